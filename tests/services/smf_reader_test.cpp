#include "services/smf_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "services/stream_cursor.h"
#include "tests/support/smf_builder.h"

namespace brennick {
namespace {

using test::SmfBuilder;
using Bytes = std::vector<std::uint8_t>;

SmfReadResult read(const Bytes& bytes)
{
    return readStandardMidiFile(bytes);
}
SmfReadResult read(const SmfBuilder& b)
{
    return read(b.bytes());
}

// A message as the tests compare it, kept beyond the walk; SysEx packets with their F0, as sent.
struct Message {
    std::uint64_t tick;
    MessageKind kind;
    std::uint8_t metaType;
    Bytes bytes;
};

std::vector<Message> messagesOf(const MidiTrack& track)
{
    std::vector<Message> messages;
    track.forEach([&](const MidiMessage& m) {
        Bytes bytes(m.bytes.begin(), m.bytes.end());
        if (m.kind == MessageKind::SysEx)
            bytes.insert(bytes.begin(), 0xF0);
        messages.push_back({m.tick, m.kind, m.metaType, std::move(bytes)});
    });
    return messages;
}

Bytes bytesOf(const Message& m)
{
    return m.bytes;
}

// Offset of the first byte of track `index`'s event data in a file made by SmfBuilder with a
// 6-byte header and no other chunks.
std::size_t trackDataOffset(const SmfBuilder& b, std::size_t trackIndex)
{
    const Bytes bytes = b.bytes();
    std::size_t pos = 14;
    for (std::size_t i = 0; i < trackIndex; ++i)
        pos += 8 + (std::size_t{bytes[pos + 4]} << 24 | std::size_t{bytes[pos + 5]} << 16 |
                    std::size_t{bytes[pos + 6]} << 8 | bytes[pos + 7]);
    return pos + 8;
}

// --- Header parsing ---------------------------------------------------------------------------

TEST(SmfHeader, ReadsFormatTrackCountAndDivision)
{
    SmfBuilder b(1, 480);
    b.track().delta(0).endOfTrack();
    b.track().delta(0).endOfTrack();
    const SmfReadResult r = read(b);
    EXPECT_EQ(r.status, SmfStatus::Complete);
    EXPECT_EQ(r.sequence.format(), 1);
    EXPECT_EQ(r.sequence.trackCount(), 2u);
    EXPECT_FALSE(r.sequence.tempoMap().division().smpte);
    EXPECT_EQ(r.sequence.tempoMap().division().ticksPerQuarter, 480);
}

TEST(SmfHeader, LongerHeaderIsSkippedByItsLength)
{
    SmfBuilder b(0, 96);
    b.headerLength(10);
    b.track().delta(0).noteOn(0, 60, 100).delta(0).endOfTrack();
    const SmfReadResult r = read(b);
    EXPECT_EQ(r.status, SmfStatus::Complete);
    ASSERT_EQ(r.sequence.trackCount(), 1u);
    EXPECT_EQ(r.sequence.track(0).size(), 2u);
}

TEST(SmfHeader, WithoutMThdIsNotMidi)
{
    for (const Bytes& bytes : {Bytes{}, Bytes{'M', 'T'}, Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 4, 'R', 'M', 'I', 'D'},
                               Bytes{'M', 'T', 'r', 'k', 0, 0, 0, 0}}) {
        const SmfReadResult r = read(bytes);
        EXPECT_EQ(r.status, SmfStatus::NotMidi);
        EXPECT_EQ(r.problemOffset, 0u);
        EXPECT_EQ(r.sequence.trackCount(), 0u);
    }
}

TEST(SmfHeader, TrackCountBoundsTheTracksRead)
{
    SmfBuilder b(1, 96);
    b.declaredTrackCount(1);
    b.track().delta(0).noteOn(0, 60, 1).delta(0).endOfTrack();
    b.track().delta(0).noteOn(0, 61, 1).delta(0).endOfTrack();
    const SmfReadResult r = read(b);
    EXPECT_EQ(r.status, SmfStatus::Complete);  // what follows the counted tracks is not ours to judge
    EXPECT_EQ(r.sequence.trackCount(), 1u);
}

TEST(SmfHeader, ZeroTracksIsAnEmptyCompleteSequence)
{
    SmfBuilder b(1, 96);
    const SmfReadResult r = read(b);
    EXPECT_EQ(r.status, SmfStatus::Complete);
    EXPECT_EQ(r.sequence.trackCount(), 0u);
    EXPECT_EQ(r.sequence.lengthBeats(), 0.0);
}

// --- Formats ----------------------------------------------------------------------------------

TEST(SmfFormats, ZeroOneAndTwoKeepTheirTracksApart)
{
    for (std::uint16_t format : {0, 1, 2}) {
        SmfBuilder b(format, 96);
        const int tracks = format == 0 ? 1 : 3;
        for (int t = 0; t < tracks; ++t) {
            auto& track = b.track();
            for (int n = 0; n <= t; ++n)
                track.delta(10).noteOn(t, 60 + n, 100);
            track.delta(0).endOfTrack();
        }
        const SmfReadResult r = read(b);
        SCOPED_TRACE(format);
        EXPECT_EQ(r.status, SmfStatus::Complete);
        EXPECT_EQ(r.sequence.format(), format);
        ASSERT_EQ(r.sequence.trackCount(), static_cast<std::size_t>(tracks));
        for (int t = 0; t < tracks; ++t) {
            const auto track = messagesOf(r.sequence.track(t));
            ASSERT_EQ(track.size(), static_cast<std::size_t>(t + 2));
            for (int n = 0; n <= t; ++n) {
                EXPECT_EQ(track[n].tick, 10u * (n + 1));
                EXPECT_EQ(bytesOf(track[n]),
                          (Bytes{static_cast<std::uint8_t>(0x90 | t), static_cast<std::uint8_t>(60 + n), 100}));
            }
        }
    }
}

TEST(SmfFormats, TrackOutOfRangeIsEmpty)
{
    const SmfReadResult r = read(SmfBuilder(1, 96));
    EXPECT_EQ(r.sequence.track(5).size(), 0u);
    EXPECT_EQ(r.sequence.trackLengthBeats(5), 0.0);
}

// --- Running status ---------------------------------------------------------------------------

TEST(SmfRunningStatus, ExpandsForOneAndTwoDataByteMessages)
{
    SmfBuilder b(0, 96);
    b.track()
        .delta(0)
        .noteOn(2, 60, 100)
        .delta(1)
        .running({62, 90})
        .delta(1)
        .programChange(3, 7)
        .delta(1)
        .running({8})
        .delta(1)
        .pitchBend(1, 0x2000)
        .delta(1)
        .running({0x00, 0x7F})
        .delta(1)
        .endOfTrack();
    const SmfReadResult r = read(b);
    ASSERT_EQ(r.status, SmfStatus::Complete);
    const auto t = messagesOf(r.sequence.track(0));
    ASSERT_EQ(t.size(), 7u);
    const std::vector<Bytes> expected{{0x92, 60, 100}, {0x92, 62, 90},     {0xC3, 7},
                                      {0xC3, 8},       {0xE1, 0x00, 0x40}, {0xE1, 0x00, 0x7F}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(bytesOf(t[i]), expected[i]) << i;
        EXPECT_EQ(t[i].kind, MessageKind::Channel);
        EXPECT_EQ(t[i].tick, i);
    }
}

TEST(SmfRunningStatus, NoteOnOfVelocityZeroIsStoredAsNoteOff)
{
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(5, 64, 100).delta(48).running({64, 0}).delta(0).noteOn(5, 65, 0).delta(0).endOfTrack();
    const SmfReadResult r = read(b);
    const auto t = messagesOf(r.sequence.track(0));
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(bytesOf(t[1]), (Bytes{0x85, 64, 0x40}));
    EXPECT_EQ(bytesOf(t[2]), (Bytes{0x85, 65, 0x40}));
    EXPECT_EQ(t[1].tick, 48u);
}

TEST(SmfRunningStatus, SysExCancelsItAndMetaEventsDoNot)
{
    for (int cancel = 1; cancel < 3; ++cancel) {
        SmfBuilder b(0, 96);
        auto& t = b.track();
        t.delta(0).noteOn(0, 60, 100).delta(0);
        if (cancel == 1)
            t.sysex({0x7E, 0xF7});
        else
            t.sysexF7({0xF8});
        t.delta(0);
        const std::size_t dataByte = trackDataOffset(b, 0) + t.data().size();
        t.running({60, 0}).delta(0).endOfTrack();
        const SmfReadResult r = read(b);
        SCOPED_TRACE(cancel);
        EXPECT_EQ(r.status, SmfStatus::Damaged);
        EXPECT_EQ(r.problemOffset, dataByte);
        EXPECT_EQ(r.sequence.track(0).size(), 2u);  // the note and the cancelling event
    }

    // A meta event between notes keeps the running status, as files in circulation expect.
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(0).trackName("x").delta(10).running({60, 0}).delta(0).endOfTrack();
    const SmfReadResult r = read(b);
    EXPECT_EQ(r.status, SmfStatus::Complete);
    ASSERT_EQ(r.sequence.track(0).size(), 4u);
    EXPECT_EQ(bytesOf(messagesOf(r.sequence.track(0))[2]), (Bytes{0x80, 60, 0x40}));
}

// A system common or real-time status byte where an event belongs is passed over by its length;
// one of no known length ends the track. Real-time bytes keep running status, the others cancel it.
TEST(SmfRunningStatus, StrayStatusBytesOfKnownLengthArePassedOver)
{
    struct Case {
        std::uint8_t status;
        int dataBytes;  // -1: no known length
    };
    const std::vector<Case> cases{{0xF1, 1},  {0xF2, 2}, {0xF3, 1}, {0xF4, -1}, {0xF5, -1}, {0xF6, 0}, {0xF8, 0},
                                  {0xF9, -1}, {0xFA, 0}, {0xFB, 0}, {0xFC, 0},  {0xFD, -1}, {0xFE, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        const bool realTime = c.status >= 0xF8;
        SmfBuilder b(0, 96);
        auto& t = b.track();
        t.delta(0).noteOn(0, 60, 100).delta(3);
        const std::size_t stray = trackDataOffset(b, 0) + t.data().size();
        t.raw({c.status});
        for (int i = 0; i < c.dataBytes; ++i)
            t.raw({0x05});
        t.delta(4);
        const std::size_t next = trackDataOffset(b, 0) + t.data().size();
        t.running({60, 0}).delta(5).endOfTrack();
        const SmfReadResult r = read(b);
        const auto messages = messagesOf(r.sequence.track(0));
        if (c.dataBytes < 0 || !realTime) {
            EXPECT_EQ(r.status, SmfStatus::Damaged);
            EXPECT_EQ(r.problemOffset, c.dataBytes < 0 ? stray : next);
            EXPECT_EQ(messages.size(), 1u);
            EXPECT_EQ(r.strayStatusCount, c.dataBytes < 0 ? 0u : 1u);
            continue;
        }
        EXPECT_EQ(r.status, SmfStatus::Complete);
        ASSERT_EQ(messages.size(), 3u);
        EXPECT_EQ(bytesOf(messages[1]), (Bytes{0x80, 60, 0x40}));
        EXPECT_EQ(messages[1].tick, 7u);  // the skipped event's delta counts
        EXPECT_EQ(r.strayStatusCount, 1u);
        EXPECT_EQ(r.firstStrayStatusOffset, stray);
        EXPECT_NE(describeReadNote(r).find("byte " + std::to_string(stray)), std::string::npos);
    }
    // Counted over all tracks; a system common byte ends an unfinished SysEx, as on the wire.
    SmfBuilder b(0, 96);
    b.track().delta(0).sysex({0x01}).delta(0).raw({0xF2, 0x01, 0x02}).delta(0).raw({0xF8}).delta(0).sysexF7({0xF7});
    b.track().delta(0).noteOn(0, 61, 1).delta(0).raw({0xFE}).delta(0).noteOn(0, 62, 1);
    const SmfReadResult r = read(b);
    EXPECT_EQ(r.status, SmfStatus::Complete);
    EXPECT_EQ(r.strayStatusCount, 3u);
    EXPECT_EQ(messagesOf(r.sequence.track(0))[1].kind, MessageKind::Escape);  // F2 ended the SysEx
    EXPECT_EQ(r.sequence.track(1).size(), 2u);
    EXPECT_TRUE(describeReadNote(read(SmfBuilder(0, 96))).empty());
}

// --- Meta events ------------------------------------------------------------------------------

TEST(SmfMeta, KeepsTypeAndDataAndEndsTheTrackAtEndOfTrack)
{
    SmfBuilder b(1, 96);
    b.track()
        .delta(0)
        .trackName("Lead")
        .delta(5)
        .meta(0x58, {4, 2, 24, 8})
        .delta(7)
        .endOfTrack()
        .delta(0)
        .noteOn(0, 1, 1);  // after the end: ignored
    const SmfReadResult r = read(b);
    EXPECT_EQ(r.status, SmfStatus::Complete);
    const auto t = messagesOf(r.sequence.track(0));
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].kind, MessageKind::Meta);
    EXPECT_EQ(t[0].metaType, 0x03);
    EXPECT_EQ(bytesOf(t[0]), (Bytes{'L', 'e', 'a', 'd'}));
    EXPECT_EQ(t[1].metaType, 0x58);
    EXPECT_EQ(bytesOf(t[1]), (Bytes{4, 2, 24, 8}));
    EXPECT_EQ(t[2].metaType, kMetaEndOfTrack);
    EXPECT_TRUE(t[2].bytes.empty());
    EXPECT_EQ(t[2].tick, 12u);
}

TEST(SmfMeta, LongMetaDataKeepsItsBytes)
{
    Bytes text(300);
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<std::uint8_t>(i);
    SmfBuilder b(0, 96);
    b.track().delta(0).meta(0x01, text).delta(0).endOfTrack();
    const SmfReadResult r = read(b);
    EXPECT_EQ(bytesOf(messagesOf(r.sequence.track(0))[0]), text);
}

// --- SysEx packets ----------------------------------------------------------------------------

TEST(SmfSysEx, PacketsAreClassifiedAndKeptAsStored)
{
    SmfBuilder b(0, 96);
    b.track()
        .delta(0)
        .sysex({0x3E, 0x0E, 0x00, 0xF7})  // complete
        .delta(0)
        .sysex({0x43, 0x12, 0x00})  // unterminated...
        .delta(200)
        .sysexF7({0x43, 0x12, 0x00})  // ...continued...
        .delta(100)
        .sysexF7({0x43, 0xF7})  // ...and ended
        .delta(0)
        .sysexF7({0xF3, 0x01})  // nothing open: an escape
        .delta(0)
        .sysex({0x7E})  // unterminated, then
        .delta(0)
        .noteOn(0, 60, 1)  // a status byte ends it
        .delta(0)
        .sysexF7({0x01, 0xF7})  // so this is an escape
        .delta(0)
        .sysex({})  // empty: F0 alone
        .delta(0)
        .endOfTrack();
    const SmfReadResult r = read(b);
    ASSERT_EQ(r.status, SmfStatus::Complete);
    const auto t = messagesOf(r.sequence.track(0));
    ASSERT_EQ(t.size(), 10u);
    const std::vector<std::pair<MessageKind, Bytes>> expected{
        {MessageKind::SysEx, {0xF0, 0x3E, 0x0E, 0x00, 0xF7}},
        {MessageKind::SysEx, {0xF0, 0x43, 0x12, 0x00}},
        {MessageKind::SysExContinuation, {0x43, 0x12, 0x00}},
        {MessageKind::SysExContinuation, {0x43, 0xF7}},
        {MessageKind::Escape, {0xF3, 0x01}},
        {MessageKind::SysEx, {0xF0, 0x7E}},
        {MessageKind::Channel, {0x90, 60, 1}},
        {MessageKind::Escape, {0x01, 0xF7}},
        {MessageKind::SysEx, {0xF0}},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(t[i].kind, expected[i].first) << i;
        EXPECT_EQ(bytesOf(t[i]), expected[i].second) << i;
    }
    EXPECT_EQ(t[2].tick, 200u);
    EXPECT_EQ(t[3].tick, 300u);
}

TEST(SmfSysEx, MetaBetweenPacketsKeepsTheMessageOpen)
{
    SmfBuilder b(0, 96);
    b.track().delta(0).sysex({0x01}).delta(0).trackName("x").delta(0).sysexF7({0xF7}).delta(0).endOfTrack();
    const SmfReadResult r = read(b);
    EXPECT_EQ(messagesOf(r.sequence.track(0))[2].kind, MessageKind::SysExContinuation);
}

TEST(SmfSysEx, LargeDumpKeepsEveryByte)
{
    Bytes dump(100000);
    for (std::size_t i = 0; i < dump.size(); ++i)
        dump[i] = static_cast<std::uint8_t>(i * 7 & 0x7F);
    dump.back() = 0xF7;
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 1, 1).delta(0).sysex(dump).delta(0).noteOn(0, 2, 1).delta(0).endOfTrack();
    const SmfReadResult r = read(b);
    const auto t = messagesOf(r.sequence.track(0));
    ASSERT_EQ(t.size(), 4u);
    Bytes expected{0xF0};
    expected.insert(expected.end(), dump.begin(), dump.end());
    EXPECT_EQ(bytesOf(t[1]), expected);
    EXPECT_EQ(bytesOf(t[2]), (Bytes{0x90, 2, 1}));
}

// --- Divisions --------------------------------------------------------------------------------

TEST(SmfDivision, SmpteFramesAndTicksPerFrame)
{
    struct Case {
        int fps;
        int ticksPerFrame;
    };
    for (const Case c : {Case{24, 4}, Case{25, 40}, Case{29, 80}, Case{30, 100}}) {
        SmfBuilder b = SmfBuilder::smpte(0, c.fps, c.ticksPerFrame);
        b.track().delta(0).endOfTrack();
        const SmfReadResult r = read(b);
        EXPECT_EQ(r.status, SmfStatus::Complete);
        const TimeDivision d = r.sequence.tempoMap().division();
        EXPECT_TRUE(d.smpte);
        EXPECT_EQ(d.framesPerSecond, c.fps);
        EXPECT_EQ(d.ticksPerFrame, c.ticksPerFrame);
    }
}

TEST(SmfDivision, InvalidDivisionReadsAs96TicksPerQuarter)
{
    for (std::uint16_t raw : {0x0000, 0xE700 /* 25 fps, 0 ticks */, 0xF628 /* -10 fps */, 0x8028 /* -128 */}) {
        SmfBuilder b(0, 96);
        b.division(raw);
        b.track().delta(0).noteOn(0, 60, 1).delta(96).endOfTrack();
        const SmfReadResult r = read(b);
        SCOPED_TRACE(raw);
        EXPECT_EQ(r.status, SmfStatus::Damaged);
        EXPECT_EQ(r.problemOffset, 12u);
        EXPECT_FALSE(r.sequence.tempoMap().division().smpte);
        EXPECT_EQ(r.sequence.tempoMap().division().ticksPerQuarter, 96);
        EXPECT_EQ(r.sequence.track(0).size(), 2u);  // the tracks are still read
        EXPECT_DOUBLE_EQ(r.sequence.lengthBeats(), 1.0);
    }
}

// --- Tempo map from the file ------------------------------------------------------------------

TEST(SmfTempo, TempoEventsOfEveryTrackMakeTheMap)
{
    SmfBuilder b(1, 100);
    b.track().delta(0).noteOn(0, 60, 1).delta(400).noteOn(0, 60, 0).delta(0).endOfTrack();
    b.track().delta(100).tempo(1000000).delta(100).endOfTrack();
    b.track().delta(300).tempo(250000).delta(0).meta(0x51, {1, 2}).delta(0).endOfTrack();  // a short one: not a tempo
    const SmfReadResult r = read(b);
    ASSERT_EQ(r.status, SmfStatus::Complete);
    const TempoMap& map = r.sequence.tempoMap();
    ASSERT_EQ(map.changes().size(), 2u);
    EXPECT_EQ(map.changes()[0].tick, 100u);
    EXPECT_EQ(map.changes()[0].microsecondsPerQuarter, 1000000u);
    // 1 beat at 0.5 s, 2 beats at 1 s, 1 beat at 0.25 s.
    EXPECT_DOUBLE_EQ(map.ticksToSeconds(messagesOf(r.sequence.track(0))[1].tick), 2.75);
}

TEST(SmfTempo, SmpteIgnoresTempoEvents)
{
    SmfBuilder b = SmfBuilder::smpte(0, 25, 40);
    b.track().delta(0).tempo(1000000).delta(1000).endOfTrack();
    const SmfReadResult r = read(b);
    EXPECT_DOUBLE_EQ(r.sequence.tempoMap().ticksToSeconds(1000), 1.0);
    EXPECT_DOUBLE_EQ(r.sequence.lengthBeats(), 2.0);
}

// --- Track lengths ----------------------------------------------------------------------------

TEST(SmfTrackLength, EndOfTrackElseLastEvent)
{
    SmfBuilder b(1, 96);
    b.track().delta(10).noteOn(0, 60, 1).delta(86).endOfTrack();       // 1 beat
    b.track().delta(10).noteOn(0, 60, 1).delta(182).noteOn(0, 60, 0);  // no end: 2 beats
    b.track();                                                         // empty
    b.track().delta(0).endOfTrack();
    const SmfReadResult r = read(b);
    EXPECT_EQ(r.status, SmfStatus::Complete);
    ASSERT_EQ(r.sequence.trackCount(), 4u);
    EXPECT_EQ(r.sequence.track(0).lengthTicks(), 96u);
    EXPECT_EQ(r.sequence.track(1).lengthTicks(), 192u);
    EXPECT_EQ(r.sequence.track(2).lengthTicks(), 0u);
    EXPECT_EQ(r.sequence.track(3).lengthTicks(), 0u);
    EXPECT_DOUBLE_EQ(r.sequence.trackLengthBeats(0), 1.0);
    EXPECT_DOUBLE_EQ(r.sequence.lengthBeats(), 2.0);
}

TEST(SmfTrackLength, TicksBeyond32BitsStayExact)
{
    SmfBuilder b(0, 96);
    auto& t = b.track();
    const std::uint64_t maxDelta = 0x0FFFFFFF;
    for (int i = 0; i < 40; ++i)
        t.delta(maxDelta).noteOn(0, i, 1);
    t.delta(1).endOfTrack();
    const SmfReadResult r = read(b);
    ASSERT_EQ(r.status, SmfStatus::Complete);
    const auto track = messagesOf(r.sequence.track(0));
    ASSERT_EQ(track.size(), 41u);
    for (std::size_t i = 0; i < 40; ++i)
        EXPECT_EQ(track[i].tick, maxDelta * (i + 1)) << i;
    EXPECT_EQ(r.sequence.track(0).lengthTicks(), maxDelta * 40 + 1);
    EXPECT_EQ(track[40].tick, maxDelta * 40 + 1);
}

// A song costs about its own size to hold and to play, whatever it holds: millions of running-status
// notes, empty SysEx messages or tracks are never turned into something many times larger. Each file
// is read and walked to its end by a stream cursor in a process allowed the file's size twice over
// (the test's copy and the reader's) and a few megabytes more.
TEST(SmfReaderMemory, ReadingAndPlayingStayWithinTheFilesOwnSize)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address space limits do not work under the address sanitizer";
#else
    constexpr std::size_t kBytes = 24 << 20;
    struct Hostile {
        const char* name;
        Bytes file;
    };
    std::vector<Hostile> files;
    {
        SmfBuilder b(0, 96);
        auto& t = b.track();
        t.delta(0).noteOn(0, 60, 100);
        while (t.data().size() < kBytes)
            t.delta(0).running({60, 100});  // two bytes a message
        files.push_back({"running status", b.bytes()});
    }
    {
        SmfBuilder b(0, 96);
        auto& t = b.track();
        while (t.data().size() < kBytes)
            t.delta(0).sysex({});  // three bytes a message, none to send but F0
        files.push_back({"empty SysEx", b.bytes()});
    }
    {
        SmfBuilder b(1, 96);
        b.declaredTrackCount(0xFFFF);
        for (int i = 0; i < 0xFFFF; ++i)
            b.track().delta(0).noteOn(0, 60, 1);
        files.push_back({"65535 tracks", b.bytes()});
    }
    for (const Hostile& h : files) {
        SCOPED_TRACE(h.name);
        const pid_t pid = ::fork();
        if (pid == 0) {
            long pages = 0;
            if (FILE* f = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(f, "%ld", &pages) != 1)
                    pages = 0;
                std::fclose(f);
            }
            const rlim_t tight = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + h.file.size() + (24 << 20);
            const rlimit limit{tight, tight};
            if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0)
                ::_exit(2);
            SmfReadResult r = readStandardMidiFile(h.file);
            if (r.status != SmfStatus::Complete)
                ::_exit(1);
            StreamCursor cursor(std::make_shared<const Sequence>(std::move(r.sequence)), SysExPacing{});
            std::size_t events = 0;
            while (cursor.peek(1e12, 1 << 20) != nullptr) {
                cursor.advance();
                ++events;
            }
            ::_exit(events > 0 ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "ran out of memory";
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not read or played whole, 2: no limit could be set";
    }
#endif
}

// --- Malformed files --------------------------------------------------------------------------

struct MalformedCase {
    const char* name;
    Bytes bytes;
    SmfStatus status;
    std::size_t problemOffset;
    std::vector<std::size_t> messagesPerTrack;  // what could be read
};

std::vector<MalformedCase> malformedCases()
{
    std::vector<MalformedCase> cases;
    auto add = [&](const char* name, const SmfBuilder& b, SmfStatus status, std::size_t offset,
                   std::vector<std::size_t> counts) {
        cases.push_back({name, b.bytes(), status, offset, counts});
    };
    const std::size_t t0 = 22;  // first track's data in a file with a 6-byte header

    {
        SmfBuilder b(1, 96);
        b.track().delta(0).noteOn(0, 60, 1).delta(0).endOfTrack().declaredLength(0xFFFFFFFF);
        Bytes bytes = b.bytes();
        add("chunk length 0xFFFFFFFF", b, SmfStatus::Damaged, bytes.size(), {2});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).noteOn(0, 60, 1).delta(0).noteOn(0, 61, 1).delta(0).endOfTrack();
        Bytes bytes = b.bytes();
        bytes.resize(bytes.size() - 5);  // cut inside the second note
        cases.push_back({"file cut inside an event", bytes, SmfStatus::Damaged, bytes.size(), {1}});
    }
    {
        SmfBuilder b(1, 96);
        b.declaredTrackCount(3);
        b.track().delta(0).noteOn(0, 60, 1).delta(0).endOfTrack();
        add("fewer tracks than counted", b, SmfStatus::Damaged, b.bytes().size(), {2});
    }
    {
        SmfBuilder b(1, 96);
        b.declaredTrackCount(0xFFFF);
        add("65535 tracks counted, none there", b, SmfStatus::Damaged, 14, {});
    }
    {
        SmfBuilder b(1, 96);
        b.declaredTrackCount(2);
        b.chunk("MTrx").delta(0).noteOn(0, 60, 1);
        b.track().delta(0).noteOn(0, 60, 1).delta(0).endOfTrack();
        add("misspelt MTrk is skipped, one missing", b, SmfStatus::Damaged, b.bytes().size(), {2});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).noteOn(0, 60, 1).raw({0xFF, 0xFF, 0xFF, 0xFF, 0x7F}).noteOn(0, 1, 1);
        add("endless VLQ delta", b, SmfStatus::Damaged, t0 + 4 + 3, {1});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).raw({0xFF, 0x01}).raw({0x80, 0x80, 0x80, 0x80, 0x01});
        add("endless VLQ meta length", b, SmfStatus::Damaged, t0 + 3 + 3, {0});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).running({60, 100}).delta(0).endOfTrack();
        add("running status with no status", b, SmfStatus::Damaged, t0 + 1, {0});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).noteOn(0, 60, 1).delta(0).raw({0x90, 0x3C, 0x90, 0x3C, 0x00});
        add("data byte with the high bit set", b, SmfStatus::Damaged, t0 + 4 + 3, {1});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).raw({0xC0, 0x85});
        add("program change data >= 0x80", b, SmfStatus::Damaged, t0 + 2, {0});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).noteOn(0, 60, 1).delta(0).raw({0xF2, 0x00});
        add("stray song position cut short by the chunk", b, SmfStatus::Damaged, t0 + 7, {1});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).noteOn(0, 60, 1).delta(0).raw({0xF3, 0x90, 0x3C, 0x40});
        add("stray song select with a status byte for data", b, SmfStatus::Damaged, t0 + 6, {1});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).raw({0xF0, 0x85, 0x00, 0x43});  // declares 640 bytes, has 1
        add("SysEx longer than the chunk", b, SmfStatus::Damaged, t0 + 5, {0});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).raw({0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0x7F, 0x41});
        add("meta longer than the chunk", b, SmfStatus::Damaged, t0 + 8, {0});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).noteOn(0, 60, 1).delta(0).raw({0x90, 0x3C});  // chunk ends inside
        b.track().delta(0).noteOn(0, 61, 1).delta(0).endOfTrack();
        add("damaged track, next one still read", b, SmfStatus::Damaged, t0 + 4 + 3, {1, 2});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).noteOn(0, 60, 1).delta(0).raw({0xFF});
        add("meta type missing", b, SmfStatus::Damaged, t0 + 6, {1});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).noteOn(0, 60, 1).raw({0x81});
        add("delta cut short", b, SmfStatus::Damaged, t0 + 5, {1});
    }
    {
        SmfBuilder b(1, 96);
        b.headerLength(4);
        b.track().delta(0).endOfTrack();
        add("header of 4 bytes", b, SmfStatus::Damaged, 4, {1});  // no division: 96 ticks per quarter
    }
    {
        SmfBuilder b(1, 96);
        b.headerLength(0xFFFFFFFF);
        add("header length 0xFFFFFFFF", b, SmfStatus::Damaged, 14, {});
    }
    {
        SmfBuilder b(3, 96);
        b.track().delta(0).endOfTrack();
        add("unknown format", b, SmfStatus::Damaged, 8, {1});
    }
    {
        SmfBuilder b(1, 96);
        b.declaredTrackCount(2);
        b.track().delta(0).endOfTrack();
        Bytes bytes = b.bytes();
        bytes.insert(bytes.end(), {'M', 'T', 'r'});
        cases.push_back({"chunk header cut short", bytes, SmfStatus::Damaged, bytes.size(), {1}});
    }
    {
        SmfBuilder b(1, 96);
        b.declaredTrackCount(1);
        b.chunk("JUNK").raw({1, 2, 3}).declaredLength(1000);
        add("unknown chunk longer than the file", b, SmfStatus::Damaged, b.bytes().size(), {});
    }
    cases.push_back({"MThd alone", Bytes{'M', 'T', 'h', 'd', 0}, SmfStatus::Damaged, 5, {}});
    // Cases that are not damage.
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).noteOn(0, 60, 1).delta(0).endOfTrack().raw({0xF4, 0xFF});
        add("garbage after end of track", b, SmfStatus::Complete, 0, {2});
    }
    {
        SmfBuilder b(1, 96);
        b.track().delta(0).endOfTrack();
        Bytes bytes = b.bytes();
        bytes.insert(bytes.end(), {0, 0, 0});
        cases.push_back({"padding after the last track", bytes, SmfStatus::Complete, 0, {1}});
    }
    return cases;
}

TEST(SmfMalformed, LoadsWhatCouldBeRead)
{
    for (const MalformedCase& c : malformedCases()) {
        SCOPED_TRACE(c.name);
        const SmfReadResult r = read(c.bytes);
        EXPECT_EQ(r.status, c.status);
        if (c.status == SmfStatus::Damaged) {
            EXPECT_EQ(r.problemOffset, c.problemOffset);
        }
        ASSERT_EQ(r.sequence.trackCount(), c.messagesPerTrack.size());
        for (std::size_t t = 0; t < c.messagesPerTrack.size(); ++t)
            EXPECT_EQ(r.sequence.track(t).size(), c.messagesPerTrack[t]) << "track " << t;
    }
}

TEST(SmfMalformed, EveryPrefixOfAValidFileLoadsSafely)
{
    SmfBuilder b(1, 96);
    b.track().delta(0).tempo(400000).delta(0).sysex({0x43, 0x10}).delta(5).sysexF7({0x01, 0xF7}).delta(0).endOfTrack();
    b.track()
        .delta(0)
        .noteOn(0, 60, 1)
        .delta(0x3FFF)
        .running({60, 0})
        .delta(0)
        .programChange(0, 3)
        .delta(0)
        .endOfTrack();
    const Bytes full = b.bytes();
    std::size_t lastCount = 0;
    for (std::size_t n = 0; n < full.size(); ++n) {
        const SmfReadResult r = read(Bytes(full.begin(), full.begin() + n));
        ASSERT_NE(r.status, SmfStatus::Complete) << n;
        std::size_t count = 0;
        for (std::size_t t = 0; t < r.sequence.trackCount(); ++t)
            count += r.sequence.track(t).size();
        EXPECT_GE(count, lastCount) << n;  // more data never reads less
        lastCount = count;
    }
    EXPECT_EQ(read(full).status, SmfStatus::Complete);
}

// --- Corpus -----------------------------------------------------------------------------------

TEST(SmfCorpus, EveryValidFileReadsCompletelyAndNoDamagedOneIsComplete)
{
    const std::filesystem::path seeds = std::filesystem::path(BRENNICK_SOURCE_DIR) / "fuzz/smf_reader/seeds";
    int valid = 0, damaged = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(seeds)) {
        if (!entry.is_regular_file())
            continue;
        const bool isValid = entry.path().parent_path().filename() == "valid";
        SCOPED_TRACE(entry.path().string());
        const SmfReadResult r = loadSequenceFile(entry.path().string());
        if (isValid) {
            ++valid;
            EXPECT_EQ(r.status, SmfStatus::Complete);
            EXPECT_GE(r.sequence.trackCount(), 1u);
            EXPECT_GT(r.sequence.track(0).size(), 0u);
        } else {
            ++damaged;
            EXPECT_TRUE(r.status == SmfStatus::Damaged || r.status == SmfStatus::NotMidi);
        }
    }
    EXPECT_GE(valid, 5);
    EXPECT_GE(damaged, 5);
}

// --- Loading from a path ----------------------------------------------------------------------

class SmfLoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ =
            std::filesystem::temp_directory_path() / ("smf_load_test_" + std::to_string(::getpid()) + "_" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path write(const std::string& name, const Bytes& bytes)
    {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }
    std::filesystem::path dir_;
};

TEST_F(SmfLoad, ReadsAFile)
{
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60).delta(0).endOfTrack();
    const SmfReadResult r = loadSequenceFile(write("song.mid", b.bytes()).string());
    EXPECT_EQ(r.status, SmfStatus::Complete);
    ASSERT_EQ(r.sequence.trackCount(), 1u);
    EXPECT_EQ(r.sequence.track(0).size(), 3u);
    EXPECT_EQ(bytesOf(messagesOf(r.sequence.track(0))[1]), (Bytes{0x80, 60, 0x40}));
}

TEST_F(SmfLoad, MissingFileDirectoryAndEmptyFile)
{
    EXPECT_EQ(loadSequenceFile((dir_ / "absent.mid").string()).status, SmfStatus::Unreadable);
    EXPECT_EQ(loadSequenceFile(dir_.string()).status, SmfStatus::Unreadable);
    EXPECT_EQ(loadSequenceFile("").status, SmfStatus::Unreadable);
    EXPECT_EQ(loadSequenceFile(write("empty.mid", {}).string()).status, SmfStatus::Empty);
}

TEST_F(SmfLoad, FifoAndDeviceDoNotBlock)
{
    const auto fifo = dir_ / "pipe.mid";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto loading = std::async(std::launch::async, [&] {
        return loadSequenceFile(fifo.string()).readError == FileReadError::NotRegularFile &&
               loadSequenceFile("/dev/zero").readError == FileReadError::NotRegularFile;
    });
    ASSERT_EQ(loading.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(loading.get());
}

TEST_F(SmfLoad, HugeFileIsRefusedWithoutReadingIt)
{
    const auto path = write("huge.mid", Bytes{'M', 'T', 'h', 'd'});
    std::filesystem::resize_file(path, maxReadableFileBytes() + 1);  // sparse: takes no disk
    EXPECT_EQ(loadSequenceFile(path.string()).readError, FileReadError::TooLarge);
    // No file may take more than a quarter of the machine's memory, nor more than 512 MiB.
    EXPECT_EQ(maxReadableFileBytes(std::uint64_t(1) << 30), std::uint64_t(256) << 20);
    EXPECT_EQ(maxReadableFileBytes(std::uint64_t(64) << 30), kMaxPlayableFileBytes);
}

// Any name the file system holds is a name the player opens: bytes that are no UTF-8, and a path
// longer than the system takes in one call.
TEST_F(SmfLoad, NamesThatAreNotUtf8AndPathsLongerThanPathMax)
{
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 1).delta(0).endOfTrack();
    EXPECT_EQ(loadSequenceFile(write("\xff\xfe song.mid", b.bytes()).string()).status, SmfStatus::Complete);

    // Folders made one below the other, each from the one above, until the path is long enough.
    const std::string folder(200, 'd');
    std::string path = dir_.string();
    std::vector<int> fds{::open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    while (path.size() <= PATH_MAX + 300) {
        ASSERT_EQ(::mkdirat(fds.back(), folder.c_str(), 0700), 0);
        fds.push_back(::openat(fds.back(), folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        ASSERT_GE(fds.back(), 0);
        path += "/" + folder;
    }
    const Bytes bytes = b.bytes();
    const int out = ::openat(fds.back(), "song.mid", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    ASSERT_EQ(::write(out, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    ::close(out);
    EXPECT_EQ(loadSequenceFile(path + "/song.mid").status, SmfStatus::Complete);

    ::unlinkat(fds.back(), "song.mid", 0);
    for (std::size_t i = fds.size() - 1; i > 0; --i) {
        ::close(fds[i]);
        ::unlinkat(fds[i - 1], folder.c_str(), AT_REMOVEDIR);
    }
    ::close(fds[0]);
}

}  // namespace
}  // namespace brennick
