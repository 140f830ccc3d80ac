// The playback rules, checked on what a real destination of the backend receives.
#include "tests/support/playback_contract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "services/midi_connection.h"
#include "services/midi_service_thread.h"
#include "services/music_services.h"
#include "tests/support/call_layer.h"
#include "tests/support/process_stats.h"
#include "tests/support/smf_builder.h"

namespace brennick::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

void sleepSeconds(double s)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

// The bytes a byte-stream receiver (a MIDI cable) would see.
Bytes wire(const std::vector<WireEvent>& events)
{
    Bytes all;
    for (const WireEvent& e : events)
        all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    return all;
}

// One message as a byte-stream receiver parses it, with the time its first byte arrived.
struct Message {
    double seconds;
    Bytes bytes;
};

// Splits the stream into messages. A status byte inside a SysEx (other than its F7) would end it
// early on a cable: such a SysEx comes out without its F7, and so does a tail sent without its F0
// (as data bytes with no status).
std::vector<Message> messages(const std::vector<WireEvent>& events)
{
    std::vector<Message> out;
    bool inSysEx = false;
    for (const WireEvent& e : events) {
        for (const std::uint8_t b : e.bytes) {
            if (inSysEx && b < 0x80) {
                out.back().bytes.push_back(b);
                continue;
            }
            if (inSysEx && b == 0xF7) {
                out.back().bytes.push_back(b);
                inSysEx = false;
                continue;
            }
            inSysEx = false;
            if (b >= 0x80 || out.empty())
                out.push_back({e.seconds, {}});
            out.back().bytes.push_back(b);
            inSysEx = b == 0xF0;
        }
    }
    return out;
}

bool isWholeSysEx(const Bytes& m)
{
    return m.size() >= 2 && m.front() == 0xF0 && m.back() == 0xF7;
}

Bytes sysex(std::size_t length, std::uint8_t fill)
{
    Bytes b(length, fill);
    b.back() = 0xF7;
    return b;
}

class PlaybackContract : public ::testing::Test {
protected:
    std::unique_ptr<ContractSink> sink(const std::string& name) { return contractBackend().makeSink(name); }
    double tolerance() const { return contractBackend().timingToleranceSeconds; }
};

TEST_F(PlaybackContract, TracksMergeInTimeOrderAtTheirTempoMappedTimesAndOnlyTheChosenDestinationReceives)
{
    auto carrow = sink("Carrow");
    auto other = sink("Other");
    SmfBuilder b(1, 96);
    b.track().delta(0).tempo(500000).delta(192).tempo(400000).delta(96).tempo(1000000).delta(0).endOfTrack();
    b.track()
        .delta(0)
        .programChange(0, 5)
        .delta(48)
        .noteOn(0, 60, 100)
        .delta(48)
        .running({64, 90})
        .delta(96)
        .running({60, 0})  // velocity 0: a note-off
        .delta(192)
        .noteOff(0, 64)
        .delta(0)
        .endOfTrack();
    b.track().delta(48).noteOn(1, 40, 70).delta(240).controller(1, 7, 100).delta(0).endOfTrack();
    MusicPlayer player = play(b.bytes(), carrow->destinationName());
    ASSERT_TRUE(carrow->waitForCount(7, 5.0));
    carrow->waitForQuiet(0.1, 2.0);
    const auto got = messages(carrow->events());
    // Ticks 0, 48 (track 1 before track 2), 48, 96, 192, 288, 384 at 96 per quarter: 0.5 s a beat
    // to tick 192, 0.4 s a beat to 288, then 1 s a beat.
    const std::vector<std::pair<double, Bytes>> expected = {
        {0.0, {0xC0, 5}},        {0.25, {0x90, 60, 100}}, {0.25, {0x91, 40, 70}},  {0.5, {0x90, 64, 90}},
        {1.0, {0x80, 60, 0x40}}, {1.4, {0xB1, 7, 100}},   {2.4, {0x80, 64, 0x40}},
    };
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].bytes, expected[i].second) << i;
        EXPECT_NEAR(got[i].seconds - got[0].seconds, expected[i].first, tolerance()) << i;
    }
    EXPECT_EQ(other->count(), 0u);
    MusicTimeStamp beats = 0;  // past the end (4 beats) the position runs on
    EXPECT_EQ(MusicPlayerGetTime(player, &beats), 0);
    EXPECT_GT(beats, 4.0);
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 1.0), 0);
    DisposeMusicPlayer(player);
}

TEST_F(PlaybackContract, StopSendsNoteOffsForWhatIsSoundingAndNothingElse)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);
    b.track()
        .delta(0)
        .noteOn(0, 60, 100)
        .delta(0)
        .noteOn(3, 72, 100)
        .delta(0)
        .noteOn(0, 61, 100)
        .delta(0)
        .noteOff(0, 61)
        .delta(960)
        .noteOff(0, 60)
        .delta(0)
        .endOfTrack();
    MusicPlayer player = play(b.bytes(), carrow->destinationName());
    ASSERT_TRUE(carrow->waitForCount(4, 5.0));
    EXPECT_EQ(MusicPlayerStop(player), 0);
    ASSERT_TRUE(carrow->waitForCount(6, 2.0));
    carrow->waitForQuiet(0.2, 2.0);
    const auto got = messages(carrow->events());
    ASSERT_EQ(got.size(), 6u);
    std::vector<Bytes> offs = {got[4].bytes, got[5].bytes};
    std::sort(offs.begin(), offs.end());
    EXPECT_EQ(offs, (std::vector<Bytes>{{0x80, 60, 0x40}, {0x83, 72, 0x40}}));
    MusicTimeStamp a = 0, c = 0;  // stopped: the position holds still
    MusicPlayerGetTime(player, &a);
    sleepSeconds(0.05);
    MusicPlayerGetTime(player, &c);
    EXPECT_DOUBLE_EQ(a, c);
    DisposeMusicPlayer(player);
}

// SysEx drains at the destination's speed, one message after another; a channel message due
// meanwhile waits for the message under way and never breaks into it; at one tick, file order.
TEST_F(PlaybackContract, SysExIsPacedWholeAndNeverBrokenByOtherMessages)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(1, 96);
    b.track()
        .delta(0)
        .noteOff(0, 50)  // before the dump in the file: before it on the wire
        .delta(0)
        .sysex(sysex(6000, 0x21))
        .delta(2)
        .sysex(sysex(6000, 0x42))
        .delta(0)
        .endOfTrack();
    b.track().delta(1).noteOn(1, 60, 1).delta(0).endOfTrack();  // due during the first dump
    MusicPlayer player = play(b.bytes(), carrow->destinationName(), 60000);
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 2.0), 0);
    carrow->waitForQuiet(0.1, 2.0);
    const auto got = messages(carrow->events());
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].bytes, (Bytes{0x80, 50, 0x40}));
    EXPECT_TRUE(isWholeSysEx(got[1].bytes) && got[1].bytes.size() == 6001);
    EXPECT_EQ(got[2].bytes, (Bytes{0x91, 60, 1}));  // after the first dump, before the second
    EXPECT_TRUE(isWholeSysEx(got[3].bytes) && got[3].bytes.size() == 6001);
    // The second starts once the first (6001 bytes) has drained at 60000 bytes per second.
    EXPECT_NEAR(got[3].seconds - got[1].seconds, 6001.0 / 60000.0, tolerance());
    const auto events = carrow->events();
    EXPECT_NEAR(events.back().seconds - got[1].seconds, 12002.0 / 60000.0, 0.02 + tolerance());
    DisposeMusicPlayer(player);
}

// No message goes before one that comes earlier in the merged file order: what follows a system
// message that the pacer holds back waits for it, and goes right after it; what is not behind one
// keeps its time. (A reset arriving after the programs set behind it would wipe them out.)
TEST_F(PlaybackContract, NothingOvertakesASystemMessageThePacerHoldsBack)
{
    auto carrow = sink("Carrow");
    const Bytes gmOn{0x7E, 0x7F, 0x09, 0x01, 0xF7};
    const Bytes gsReset{0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    SmfBuilder b(1, 96);
    b.track()
        .delta(0)
        .sysex(gmOn)
        .delta(0)
        .sysex(gsReset)  // waits for the first to drain
        .delta(0)
        .programChange(0, 5)
        .delta(0)
        .programChange(1, 6)
        .delta(96)
        .noteOff(0, 60)  // at 0.5 s, behind nothing
        .delta(0)
        .endOfTrack();
    b.track().delta(0).noteOn(0, 60, 100).delta(0).endOfTrack();  // tick 0, but the later track
    MusicPlayer player = play(b.bytes(), carrow->destinationName(), 3125);
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 2.0), 0);
    carrow->waitForQuiet(0.1, 2.0);
    const auto got = messages(carrow->events());
    const std::vector<Bytes> expected{{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7},
                                      {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7},
                                      {0xC0, 5},
                                      {0xC1, 6},
                                      {0x90, 60, 100},
                                      {0x80, 60, 0x40}};
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].bytes, expected[i]) << i;
    EXPECT_NEAR(got[1].seconds - got[0].seconds, 6.0 / 3125.0, tolerance());
    for (std::size_t i = 2; i < 5; ++i)
        EXPECT_NEAR(got[i].seconds, got[1].seconds, tolerance()) << i;
    EXPECT_NEAR(got[5].seconds - got[0].seconds, 0.5, tolerance());
    DisposeMusicPlayer(player);
}

// A stray system status byte of known length in a track is neither sent nor the end of its track.
TEST_F(PlaybackContract, StrayStatusBytesAreNotSentAndTheirTrackPlaysOn)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);
    b.track()
        .delta(0)
        .noteOn(0, 60, 100)
        .delta(0)
        .raw({0xF8})  // real time: running status goes on
        .delta(12)
        .running({60, 0})
        .delta(0)
        .raw({0xF2, 0x10, 0x20})
        .delta(12)
        .noteOn(0, 62, 90)
        .delta(0)
        .raw({0xF3, 0x01})
        .delta(0)
        .raw({0xFE})
        .delta(12)
        .noteOff(0, 62)
        .delta(0)
        .endOfTrack();
    MusicPlayer player = play(b.bytes(), carrow->destinationName());
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 2.0), 0);
    carrow->waitForQuiet(0.1, 2.0);
    EXPECT_EQ(wire(carrow->events()), (Bytes{0x90, 60, 100, 0x80, 60, 0x40, 0x90, 62, 90, 0x80, 62, 0x40}));
    DisposeMusicPlayer(player);
}

// A SysEx stored as an F0 packet and F7 continuations is one message on the wire: nothing else
// goes between its packets, even what is due in between.
TEST_F(PlaybackContract, SysExInPacketsStaysOneMessage)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(1, 96);
    b.track().delta(0).sysex({0x3E, 0x13, 0x01}).delta(48).sysexF7({0x02, 0x03, 0xF7}).delta(0).endOfTrack();
    b.track().delta(24).noteOn(0, 60, 90).delta(0).noteOff(0, 60).delta(0).endOfTrack();
    MusicPlayer player = play(b.bytes(), carrow->destinationName());
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 2.0), 0);
    carrow->waitForQuiet(0.1, 2.0);
    const auto got = messages(carrow->events());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].bytes, (Bytes{0xF0, 0x3E, 0x13, 0x01, 0x02, 0x03, 0xF7}));
    EXPECT_EQ(got[1].bytes, (Bytes{0x90, 60, 90}));
    EXPECT_EQ(got[2].bytes, (Bytes{0x80, 60, 0x40}));
    EXPECT_NEAR(got[1].seconds - got[0].seconds, 0.25, tolerance());  // right after the continuation
    DisposeMusicPlayer(player);
}

// Tracks that each hold SysEx and notes merge like any other: every message once, by tick, and at
// one tick in track order.
TEST_F(PlaybackContract, SysExInSeveralTracksAllArrivesInTimeOrder)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(1, 96);
    b.track().delta(0).sysex({0x01, 0xF7}).delta(24).sysex({0x02, 0xF7}).delta(0).endOfTrack();
    b.track()
        .delta(12)
        .sysex({0x03, 0xF7})
        .delta(24)
        .noteOn(0, 60, 90)
        .delta(12)
        .sysex({0x04, 0xF7})
        .delta(0)
        .endOfTrack();
    b.track().delta(12).noteOn(1, 40, 70).delta(12).sysex({0x05, 0xF7}).delta(36).noteOff(1, 40).delta(0).endOfTrack();
    MusicPlayer player = play(b.bytes(), carrow->destinationName());
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 2.0), 0);
    carrow->waitForQuiet(0.1, 2.0);
    std::vector<Bytes> got;
    for (const Message& m : messages(carrow->events()))
        got.push_back(m.bytes);
    const std::vector<Bytes> expected = {
        {0xF0, 0x01, 0xF7}, {0xF0, 0x03, 0xF7}, {0x91, 40, 70},     {0xF0, 0x02, 0xF7},
        {0xF0, 0x05, 0xF7}, {0x90, 60, 90},     {0xF0, 0x04, 0xF7}, {0x81, 40, 0x40},
    };
    EXPECT_EQ(got, expected);
    DisposeMusicPlayer(player);
}

TEST_F(PlaybackContract, PauseFollowsEachSysExMessage)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);
    auto& t = b.track();
    for (int i = 0; i < 4; ++i)
        t.delta(0).sysex(sysex(60, std::uint8_t(i)));
    t.delta(0).endOfTrack();
    MusicPlayer player = play(b.bytes(), carrow->destinationName(), 60000, 40);
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 2.0), 0);
    carrow->waitForQuiet(0.1, 2.0);
    const auto got = messages(carrow->events());
    ASSERT_EQ(got.size(), 4u);
    for (std::size_t i = 1; i < got.size(); ++i) {
        EXPECT_TRUE(isWholeSysEx(got[i].bytes));
        // 61 bytes drain in about a millisecond, then 40 ms of silence.
        EXPECT_NEAR(got[i].seconds - got[i - 1].seconds, 61.0 / 60000.0 + 0.040, tolerance()) << i;
    }
    DisposeMusicPlayer(player);
}

// A stop in the middle of a dump lets the dump finish when its rest takes at most a second (the
// synth never gets half a message); a longer one ends at once with F7, and the player says so. Then
// the notes are silenced; a new request to the same synth starts after all of that.
TEST_F(PlaybackContract, StopFinishesTheSysExUnderWayOrEndsALongOneThenSilencesAndTheNextSongWaits)
{
    struct Case {
        const char* name;
        std::vector<std::size_t> packets;  // the dump's packets: an F0 one, then F7 continuations
        bool cut;
    };
    const std::vector<Case> cases{{"half a second", {30000}, false},
                                  {"five seconds", {300000}, true},
                                  {"five seconds in packets", {3000, 3000, 294000}, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto carrow = sink("Carrow");
        SmfBuilder b(0, 96);
        auto& t = b.track();
        t.delta(0).noteOn(0, 60, 100);
        std::size_t dumpBytes = 1;
        for (std::size_t i = 0; i < c.packets.size(); ++i) {
            Bytes packet(c.packets[i], 0x11);
            if (i + 1 == c.packets.size())
                packet.back() = 0xF7;
            i == 0 ? t.delta(0).sysex(packet) : t.delta(0).sysexF7(packet);
            dumpBytes += packet.size();
        }
        t.delta(0).sysex(sysex(3000, 0x12)).delta(0).endOfTrack();
        MusicPlayer player = play(b.bytes(), carrow->destinationName(), 60000);
        ASSERT_TRUE(carrow->waitForCount(2, 5.0));
        sleepSeconds(0.1);
        EXPECT_EQ(MusicPlayerStop(player), 0);
        SmfBuilder next(0, 96);
        next.track().delta(0).noteOn(0, 70, 100).delta(0).noteOff(0, 70).delta(0).endOfTrack();
        MusicPlayer nextPlayer = play(next.bytes(), carrow->destinationName());
        bool cut = !c.cut;
        EXPECT_EQ(MusicPlayerGetStopCutSysEx(player, 1.0, &cut), 0);
        EXPECT_EQ(cut, c.cut);
        carrow->waitForQuiet(0.3, 5.0);
        const auto got = messages(carrow->events());
        ASSERT_EQ(got.size(), 5u);
        EXPECT_EQ(got[0].bytes, (Bytes{0x90, 60, 100}));
        EXPECT_TRUE(isWholeSysEx(got[1].bytes));  // whole or ended with F7; the second never
        if (c.cut)
            EXPECT_LT(got[1].bytes.size(), dumpBytes / 2);
        else
            EXPECT_EQ(got[1].bytes.size(), dumpBytes);
        EXPECT_EQ(got[2].bytes, (Bytes{0x80, 60, 0x40}));
        EXPECT_EQ(got[3].bytes, (Bytes{0x90, 70, 100}));
        EXPECT_EQ(got[4].bytes, (Bytes{0x80, 70, 0x40}));
        // A cut dump holds the next song back no longer than the stop took to come.
        EXPECT_EQ(got[3].seconds - got[1].seconds < 0.45, c.cut) << got[3].seconds - got[1].seconds;
        DisposeMusicPlayer(player);
        DisposeMusicPlayer(nextPlayer);
    }
}

// The service closing (the program ends) in the middle of a SysEx, whatever its bound: the synth
// gets the message's F7 before the client goes, never half a message left open.
TEST_F(PlaybackContract, ClosingTheServiceEndsTheSysExUnderWayWithF7)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);
    b.track().delta(0).sysex(sysex(30000, 0x13)).delta(0).endOfTrack();  // 0.5 s: a stop would finish it
    MusicPlayer player = play(b.bytes(), carrow->destinationName(), 60000);
    ASSERT_TRUE(carrow->waitForCount(1, 5.0));
    sleepSeconds(0.1);
    closeMidiServices(0.0);
    carrow->waitForQuiet(0.3, 3.0);
    const auto got = messages(carrow->events());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(isWholeSysEx(got[0].bytes));
    EXPECT_LT(got[0].bytes.size(), 30001u);
    DisposeMusicPlayer(player);
}

// A connection taken away in the middle of a SysEx: the rest of that message is dropped rather than
// sent later without its start; playback goes on with the next message.
TEST_F(PlaybackContract, ConnectionLostInsideSysExDropsTheRestOfThatMessage)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);
    auto& t = b.track();
    for (int i = 0; i < 4; ++i)
        t.delta(0).sysex(sysex(12000, std::uint8_t(0x30 + i)));  // 0.2 s each
    t.delta(0).endOfTrack();
    MusicPlayer player = play(b.bytes(), carrow->destinationName(), 60000);
    ASSERT_TRUE(carrow->waitForCount(2, 5.0));
    sleepSeconds(0.05);
    carrow->disconnectSenders();
    sleepSeconds(0.1);  // still inside the first message
    carrow->reconnectSenders();
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 2.0), 0);
    carrow->waitForQuiet(0.2, 3.0);
    const auto got = messages(carrow->events());
    ASSERT_GE(got.size(), 2u);
    // The start of the first message, cut by the disconnection; then only whole messages.
    EXPECT_EQ(got[0].bytes.front(), 0xF0);
    for (std::size_t i = 1; i < got.size(); ++i)
        EXPECT_TRUE(isWholeSysEx(got[i].bytes) && got[i].bytes.size() == 12001) << "message " << i;
    DisposeMusicPlayer(player);
}

TEST_F(PlaybackContract, SixtyFourKilobyteDumpArrivesWholeBetweenTheNotesAroundItPacedOrNot)
{
    const DumpBetweenNotes file = dumpBetweenNotes();
    for (const SInt32 bytesPerSecond : {0, 60000}) {
        SCOPED_TRACE(bytesPerSecond);
        if (bytesPerSecond == 0 && !contractBackend().unpacedDumpsArriveWhole)
            continue;
        auto carrow = sink("Carrow");
        MusicPlayer player = play(file.song, carrow->destinationName(), bytesPerSecond);
        EXPECT_EQ(MusicPlayerWaitUntilSent(player, 3.0), 0);
        carrow->waitForQuiet(0.2, 3.0);
        const Bytes got = wire(carrow->events());
        EXPECT_TRUE(got == file.wire)
            << got.size() << " bytes of " << file.wire.size() << ", differing from byte "
            << std::mismatch(got.begin(), got.end(), file.wire.begin(), file.wire.end()).first - got.begin();
        DisposeMusicPlayer(player);
    }
}

// Waiting until sent returns once the last event has left, not before; a stop right after it takes
// nothing back.
TEST_F(PlaybackContract, WaitUntilSentReturnsOnceTheLastEventHasLeft)
{
    auto carrow = sink("Carrow");
    const Bytes dump = sysex(600, 0x33);  // on the sequencer three pieces, the last of one byte
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(48).noteOff(0, 60).delta(0).sysex(dump).delta(0).endOfTrack();
    Bytes expected{0x90, 60, 100, 0x80, 60, 0x40, 0xF0};
    expected.insert(expected.end(), dump.begin(), dump.end());
    for (int round = 0; round < 5; ++round) {
        const std::size_t before = carrow->events().size();
        MusicPlayer player = play(b.bytes(), carrow->destinationName());
        const auto begun = std::chrono::steady_clock::now();
        EXPECT_EQ(MusicPlayerWaitUntilSent(player, 1.0), 0);
        const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        DisposeMusicPlayer(player);
        EXPECT_GE(waited, 0.25 + 601.0 / 60000.0 - 0.01);
        carrow->waitForQuiet(0.1, 2.0);
        const auto events = carrow->events();
        EXPECT_EQ(wire({events.begin() + long(before), events.end()}), expected) << "round " << round;
    }
}

// Start and stop as often as a user could: one client of ours on the service, no thread or memory
// left behind, and each note that was due before its stop silenced.
TEST_F(PlaybackContract, ManyStartStopCyclesUseOneClientAndDoNotGrow)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60).delta(0).endOfTrack();
    MusicSequence sequence = nullptr;
    ASSERT_EQ(loadSequence(b.bytes(), &sequence), 0);
    ASSERT_EQ(MusicSequenceSetMIDIEndpoint(sequence,
                                           MIDIGetDestination(ItemCount(destinationNamed(carrow->destinationName())))),
              0);
    long rssBefore = 0;
    int threadsBefore = 0;
    for (int i = 0; i < 1000; ++i) {  // more than the sequencer's 255 stream tags
        MusicPlayer player = nullptr;
        ASSERT_EQ(NewMusicPlayer(&player), 0);
        ASSERT_EQ(MusicPlayerSetSequence(player, sequence), 0);
        ASSERT_EQ(MusicPlayerStart(player), 0) << "cycle " << i;
        ASSERT_EQ(MusicPlayerStop(player), 0);
        ASSERT_EQ(DisposeMusicPlayer(player), 0);
        runOnMidiServiceThread([] {});  // each cycle's stream has reached the service
        if (i == 99) {                  // after warm-up
            rssBefore = residentKilobytes();
            threadsBefore = threadCount();
        }
    }
    EXPECT_EQ(threadCount(), threadsBefore);
#if !defined(__SANITIZE_ADDRESS__)  // the address sanitizer holds freed memory back on purpose
    EXPECT_LT(residentKilobytes() - rssBefore, 2048) << "resident memory grew";
#endif
    contractBackend().expectOneClientOfOurs();
    carrow->waitForQuiet(0.1, 2.0);
    int sounding = 0;
    for (const Message& m : messages(carrow->events()))
        sounding += (m.bytes[0] & 0xF0) == 0x90 ? 1 : (m.bytes[0] & 0xF0) == 0x80 ? -1 : 0;
    EXPECT_LE(sounding, 0);
    DisposeMusicSequence(sequence);
}

// Destinations are read afresh at each listing: one plugged in later is found with the call layer's
// properties; once unplugged, neither it nor its ref is, even when a newcomer takes its place.
TEST_F(PlaybackContract, DestinationsAreReadAfreshSoHotPlugWorks)
{
    MIDIGetNumberOfDestinations();
    auto plugged = sink("Plugged");
    const std::string name = plugged->destinationName();
    const long index = destinationNamed(name);
    ASSERT_GE(index, 0);
    const MIDIEndpointRef ref = MIDIGetDestination(ItemCount(index));
    SInt32 speed = 0;
    EXPECT_EQ(MIDIObjectGetIntegerProperty(ref, kMIDIPropertyMaxSysExSpeed, &speed), 0);
    EXPECT_EQ(speed, 3125);  // a MIDI cable's, until set
    EXPECT_EQ(MIDIObjectSetIntegerProperty(ref, kMIDIPropertyMaxSysExSpeed, 60000), 0);
    EXPECT_EQ(MIDIObjectGetIntegerProperty(ref, kMIDIPropertyMaxSysExSpeed, &speed), 0);
    EXPECT_EQ(speed, 60000);
    EXPECT_EQ(MIDIGetDestination(1000), 0u);

    plugged.reset();
    EXPECT_EQ(destinationNamed(name), -1);
    std::string display;
    EXPECT_NE(MIDIObjectGetStringProperty(ref, kMIDIPropertyDisplayName, &display), 0);
    auto newcomer = sink("Newcomer");  // may take the unplugged one's number
    MIDIGetNumberOfDestinations();
    EXPECT_NE(MIDIObjectGetStringProperty(ref, kMIDIPropertyDisplayName, &display), 0);
}

// The messages received from `from` on.
std::vector<Bytes> bytesFrom(const std::vector<Message>& got, std::size_t from)
{
    std::vector<Bytes> out;
    for (std::size_t i = from; i < got.size(); ++i)
        out.push_back(got[i].bytes);
    return out;
}

// Pause lets go of every sounding note and of the sustain pedal; resume gives the synth the state
// at the paused point, then goes on where it was. A seek does the same at its target.
TEST_F(PlaybackContract, PauseAndSeekSilenceThenGoOnWithTheStateChased)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);  // 120 bpm: 96 ticks, half a second
    auto& t = b.track();
    t.delta(0).programChange(0, 1).delta(0).controller(0, 64, 127).delta(0).noteOn(0, 60, 90);
    t.delta(96).noteOff(0, 60).delta(0).programChange(0, 2).delta(0).pitchBend(0, 0x2000 + 50);
    t.delta(192).noteOn(0, 72, 90).delta(48).noteOff(0, 72).delta(0).endOfTrack();
    MusicPlayer player = play(b.bytes(), carrow->destinationName());
    ASSERT_TRUE(carrow->waitForCount(3, 5.0));
    EXPECT_EQ(MusicPlayerPause(player), 0);
    carrow->waitForQuiet(0.3, 3.0);
    MusicTimeStamp paused = 0, later = 0;
    EXPECT_EQ(MusicPlayerGetTime(player, &paused), 0);
    // Note-offs (on a queueing service also for what it had queued ahead), the pedal last.
    const std::vector<Bytes> silenced = bytesFrom(messages(carrow->events()), 3);
    ASSERT_FALSE(silenced.empty());
    EXPECT_NE(std::find(silenced.begin(), silenced.end(), Bytes{0x80, 60, 0x40}), silenced.end());
    EXPECT_EQ(silenced.back(), (Bytes{0xB0, 64, 0}));
    for (std::size_t i = 0; i + 1 < silenced.size(); ++i)
        EXPECT_EQ(silenced[i][0], 0x80) << i;
    EXPECT_EQ(MusicPlayerGetTime(player, &later), 0);
    EXPECT_EQ(later, paused);  // the position holds while paused
    EXPECT_LT(paused, 1.0);

    EXPECT_EQ(MusicPlayerResume(player), 0);
    const std::size_t resumed = 3 + silenced.size();
    ASSERT_TRUE(carrow->waitForCount(resumed + 5, 5.0));
    EXPECT_EQ(bytesFrom(messages(carrow->events()), resumed),
              (std::vector<Bytes>{{0xC0, 1}, {0xB0, 64, 127}, {0x80, 60, 0x40}, {0xC0, 2}, {0xE0, 50, 0x40}}));

    // Past the program change and the bend: the stream that played is stopped as a stop does (on
    // a queueing service, with note-offs for what it had queued ahead), the state is chased, then
    // the note comes a quarter of a second after the target.
    EXPECT_EQ(MusicPlayerSetTime(player, 2.5), 0);
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 3.0), 0);
    carrow->waitForQuiet(0.2, 3.0);
    const auto got = messages(carrow->events());
    std::size_t chased = got.size();
    while (chased > resumed + 5 && got[chased - 1].bytes != Bytes{0xC0, 2})
        --chased;
    ASSERT_GT(chased, resumed + 5);
    EXPECT_EQ(bytesFrom(got, chased - 1),
              (std::vector<Bytes>{{0xC0, 2}, {0xB0, 64, 127}, {0xE0, 50, 0x40}, {0x90, 72, 90}, {0x80, 72, 0x40}}));
    EXPECT_EQ(got[chased - 2].bytes, (Bytes{0xB0, 64, 0}));  // the pedal let go first
    if (got.size() == chased + 4) {
        EXPECT_NEAR(got[chased + 2].seconds - got[chased - 1].seconds, 0.25, tolerance());
    }
    DisposeMusicPlayer(player);
}

// Half the tempo doubles every channel message's time; SysEx keeps the synth's pace.
TEST_F(PlaybackContract, TempoScalesChannelTimesButNotSysExPacing)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);
    b.track().delta(0).sysex(sysex(6000, 0x11)).delta(96).noteOn(0, 60, 90).delta(96).noteOff(0, 60).delta(0).endOfTrack();
    MusicPlayer player = play(b.bytes(), carrow->destinationName(), 60000, 0, 0.5);
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 3.0), 0);
    carrow->waitForQuiet(0.2, 3.0);
    const auto got = messages(carrow->events());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NEAR(got[1].seconds - got[0].seconds, 1.0, tolerance());  // 0.5 s at half speed
    EXPECT_NEAR(got[2].seconds - got[1].seconds, 1.0, tolerance());
    const auto events = carrow->events();
    std::size_t lastSysExPiece = 0;
    for (std::size_t i = 0; i < events.size() && events[i].bytes.front() != 0x90; ++i)
        lastSysExPiece = i;
    EXPECT_NEAR(events[lastSysExPiece].seconds - events[0].seconds, 6001.0 / 60000.0, 0.02 + tolerance());
    DisposeMusicPlayer(player);
}

// Looping: the song goes round with the same events, each pass one song length after the one
// before, and the position with it; switched off, the pass under way is the last.
TEST_F(PlaybackContract, LoopingPlaysTheSameEventsOneSongLengthApartUntilSwitchedOff)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);
    b.track().delta(0).programChange(0, 3).delta(0).noteOn(0, 60, 90).delta(48).noteOff(0, 60).delta(48).endOfTrack();
    // On when it starts: a queueing service has the whole song in hand at once.
    MusicPlayer player = play(b.bytes(), carrow->destinationName(), 60000, 0, 1.0, true);
    ASSERT_TRUE(carrow->waitForCount(3 * 3, 5.0));
    MusicTimeStamp beats = 0;
    EXPECT_EQ(MusicPlayerGetTime(player, &beats), 0);
    EXPECT_LT(beats, 1.0);
    EXPECT_EQ(MusicPlayerSetLooping(player, false), 0);
    carrow->waitForQuiet(0.7, 5.0);
    const auto got = messages(carrow->events());
    ASSERT_GE(got.size(), 9u);
    EXPECT_EQ(got.size() % 3, 0u);
    for (std::size_t i = 3; i < got.size(); ++i) {
        EXPECT_EQ(got[i].bytes, got[i % 3].bytes) << i;
        EXPECT_NEAR(got[i].seconds - got[i - 3].seconds, 0.5, tolerance()) << i;
    }
    EXPECT_EQ(MusicPlayerGetTime(player, &beats), 0);
    EXPECT_GT(beats, 1.0);  // past the end of the last pass
    DisposeMusicPlayer(player);
}

// A song started to follow another begins where that one's song ends (its end-of-track time at its
// tempo), on the same destination or another, after what still sounds there has been let go; stopped
// before then, it sends nothing.
TEST_F(PlaybackContract, AFollowingSongBeginsWhereThePreviousEndsAndStoppedBeforeSendsNothing)
{
    auto carrow = sink("Carrow");
    auto lumen = sink("Lumen");
    SmfBuilder first(0, 96);
    first.track().delta(0).noteOn(0, 60, 90).delta(96).endOfTrack();  // half a second, the note left sounding
    SmfBuilder second(0, 96);
    second.track().delta(0).noteOn(0, 62, 90).delta(48).noteOff(0, 62).delta(0).endOfTrack();
    const Bytes firstOn{0x90, 60, 90}, firstOff{0x80, 60, 0x40}, secondOn{0x90, 62, 90};
    const struct {
        const char* name;
        double rate;
        bool toAnother;
        bool stoppedBefore;
    } cases[] = {{"same destination", 1.0, false, false},
                 {"another destination, the first twice as fast", 2.0, true, false},
                 {"stopped before it began", 1.0, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.toAnother && !contractBackend().sinksShareOneClock)
            continue;
        const std::size_t carrowBefore = carrow->count(), lumenBefore = lumen->count();
        // Let go at the end switched on at the start: a queueing service takes the whole short song at once.
        MusicPlayer previous = play(first.bytes(), carrow->destinationName(), 60000, 0, c.rate, false, nullptr, true);
        ContractSink& next = c.toAnother ? *lumen : *carrow;
        MusicPlayer following = play(second.bytes(), next.destinationName(), 60000, 0, 1.0, false, previous);
        ASSERT_NE(following, nullptr);
        if (c.stoppedBefore) {
            EXPECT_EQ(MusicPlayerStop(following), 0);
        }
        sleepSeconds(1.0);
        DisposeMusicPlayer(following);
        DisposeMusicPlayer(previous);
        carrow->waitForQuiet(0.3, 5.0);
        lumen->waitForQuiet(0.3, 5.0);
        const auto carrowGot = messages(carrow->events());
        const auto nextGot = messages(next.events());
        const auto secondsOf = [](const std::vector<Message>& got, std::size_t from, const Bytes& bytes) {
            for (std::size_t i = from; i < got.size(); ++i)
                if (got[i].bytes == bytes)
                    return got[i].seconds;
            return -1.0;
        };
        const double start = secondsOf(carrowGot, carrowBefore, firstOn);
        ASSERT_GE(start, 0.0);
        const std::size_t nextBefore = c.toAnother ? lumenBefore : carrowBefore;
        const double end = 0.5 / c.rate;
        EXPECT_NEAR(secondsOf(carrowGot, carrowBefore, firstOff) - start, end, tolerance());
        if (c.stoppedBefore) {
            EXPECT_EQ(carrowGot.size() - carrowBefore, 2u) << "the stopped song sounded";
            continue;
        }
        EXPECT_NEAR(secondsOf(nextGot, nextBefore, secondOn) - start, end, tolerance());
        EXPECT_EQ(nextGot.size() - nextBefore, c.toAnother ? 2u : 4u);
        // What ends the first song reaches the synth before what begins the next.
        if (!c.toAnother && nextGot.size() - nextBefore == 4u) {
            EXPECT_EQ(nextGot[nextBefore + 1].bytes, firstOff);
        }
    }
    // Paced SysEx that may still be sending where the song ends: nothing is made to follow it there.
    SmfBuilder paced(0, 96);
    paced.track().delta(90).sysex(sysex(3000, 0x11)).delta(6).endOfTrack();  // 50 ms from 469 ms on
    MusicPlayer previous = play(paced.bytes(), carrow->destinationName());
    EXPECT_EQ(play(second.bytes(), carrow->destinationName(), 60000, 0, 1.0, false, previous), nullptr);
    DisposeMusicPlayer(previous);
}

// Panic: what sounds is let go, then all notes off and reset all controllers on every channel.
TEST_F(PlaybackContract, PanicSendsAllNotesOffAndResetAllControllersOnEveryChannel)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(3, 60, 90).delta(960).noteOff(3, 60).delta(0).endOfTrack();
    MusicPlayer player = play(b.bytes(), carrow->destinationName());
    ASSERT_TRUE(carrow->waitForCount(1, 5.0));
    EXPECT_EQ(MusicPlayerPanic(player), 0);
    ASSERT_TRUE(carrow->waitForCount(2 + 32, 5.0));
    carrow->waitForQuiet(0.2, 3.0);
    std::vector<Bytes> expected{{0x93, 60, 90}, {0x83, 60, 0x40}};
    for (std::uint8_t channel = 0; channel < 16; ++channel) {
        expected.push_back({std::uint8_t(0xB0 | channel), 123, 0});
        expected.push_back({std::uint8_t(0xB0 | channel), 121, 0});
    }
    EXPECT_EQ(bytesFrom(messages(carrow->events()), 0), expected);
    DisposeMusicPlayer(player);
}

TEST_F(PlaybackContract, DestinationRemovedDuringPlaybackIsNotAnError)
{
    auto carrow = sink("Carrow");
    SmfBuilder b(0, 96);
    auto& t = b.track();
    for (int i = 0; i < 40; ++i)
        t.delta(i == 0 ? 0 : 12).noteOn(0, 60, 100).delta(12).noteOff(0, 60);
    t.delta(0).endOfTrack();  // 5 s; only the start is played
    MusicPlayer player = play(b.bytes(), carrow->destinationName());
    ASSERT_TRUE(carrow->waitForCount(2, 5.0));
    carrow.reset();                    // the synth is unplugged
    auto newcomer = sink("Newcomer");  // may take its number, and must not get the rest
    MusicTimeStamp a = 0, c = 0;
    EXPECT_EQ(MusicPlayerGetTime(player, &a), 0);
    sleepSeconds(0.3);
    EXPECT_EQ(MusicPlayerGetTime(player, &c), 0);
    EXPECT_GT(c, a);  // the clock runs on, so the end is still detected
    EXPECT_EQ(MusicPlayerStop(player), 0);
    EXPECT_EQ(DisposeMusicPlayer(player), 0);
    EXPECT_EQ(newcomer->count(), 0u);
}

// What a synth sends back reaches a listener as whole SysEx messages, however the service splits
// them: the answer to a Device Inquiry, a dump at full speed identical, and a SysEx cut short by a
// status byte is dropped and counted, never handed out. The source is paired with the synth's
// destination.
TEST_F(PlaybackContract, SysExFromASynthArrivesWholeThroughAListenerAndAnInterruptedOneIsDropped)
{
    if (!contractBackend().makeSynth)
        GTEST_SKIP() << "no synth that sends back on this service";
    auto synth = contractBackend().makeSynth("Talker");
    std::shared_ptr<MidiBackend> backend;
    SourceHandle source;
    std::string pairedDestination;
    runOnMidiServiceThread([&] {
        backend = currentMidiBackend();
        for (const SourceHandle& s : backend->sources())
            if (s->displayName() == synth->sourceName())
                source = s;
        for (const DestinationHandle& d : backend->destinations())
            if (d->displayName() == synth->destinationName())
                pairedDestination = d->identity();
    });
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->pairedDestination(), pairedDestination);

    std::mutex mutex;
    std::vector<Bytes> received;
    std::unique_ptr<InputListener> listener;
    runOnMidiServiceThread([&] {
        listener = backend->listen(source, [&](std::span<const std::uint8_t> m) {
            std::lock_guard lock(mutex);
            received.emplace_back(m.begin(), m.end());
        });
    });
    ASSERT_NE(listener, nullptr);
    const auto waitForMessages = [&](std::size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (received.size() >= n || std::chrono::steady_clock::now() > deadline)
                    return;
            }
            sleepSeconds(0.01);
        }
    };

    // A Device Inquiry played to the synth's destination is answered on its source.
    SmfBuilder inquiry(0, 96);
    inquiry.track().delta(0).sysex({0x7E, 0x7F, 0x06, 0x01, 0xF7}).delta(0).endOfTrack();
    MusicPlayer player = play(inquiry.bytes(), synth->destinationName());
    waitForMessages(1);
    DisposeMusicPlayer(player);
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(received, (std::vector<Bytes>{{0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x3E, 0, 0, 0, 0, 1, 0, 0, 0, 0xF7}}));
        received.clear();
    }

    std::vector<Bytes> expected;
    Bytes dump;
    for (std::size_t i = 0; i < 50; ++i) {
        Bytes message = sysex(1000 + i * 61, std::uint8_t(i));  // 1 to 4 kB
        message.front() = 0xF0;
        dump.insert(dump.end(), message.begin(), message.end());
        expected.push_back(std::move(message));
    }
    const Bytes interrupted = {0xF0, 0x41, 0x01, 0x02, 0x90, 0x3C, 0x40};
    const Bytes last = {0xF0, 0x41, 0x7F, 0xF7};
    dump.insert(dump.end(), interrupted.begin(), interrupted.end());
    dump.insert(dump.end(), last.begin(), last.end());
    expected.push_back(last);
    synth->send(dump);
    waitForMessages(expected.size());
    const InputCounts counts = listener->counts();
    runOnMidiServiceThread([&] { listener.reset(); });
    std::lock_guard lock(mutex);
    ASSERT_EQ(received.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(received[i], expected[i]) << i;
    EXPECT_EQ(counts.dropped, 1u);
    EXPECT_EQ(counts.other, 1u);  // the note-on that cut the SysEx short
}

}  // namespace
}  // namespace brennick::test
