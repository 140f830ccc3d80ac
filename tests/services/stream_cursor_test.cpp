// The stream cursor on its own, driven as a backend drives it: the order of what it produces,
// SysEx kept whole, stop, abandon and the end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "services/sequence.h"
#include "services/smf_reader.h"
#include "services/stream_cursor.h"
#include "tests/support/smf_builder.h"

using namespace brennick;
using test::SmfBuilder;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::unique_ptr<StreamCursor> cursorFor(const SmfBuilder& file, SysExPacing pacing = {0.0, 0.0})
{
    SmfReadResult read = readStandardMidiFile(file.bytes());
    return std::make_unique<StreamCursor>(std::make_shared<const Sequence>(std::move(read.sequence)), pacing);
}

std::string hex(const Bytes& bytes)
{
    std::string out;
    for (std::uint8_t b : bytes) {
        char text[4];
        std::snprintf(text, sizeof text, out.empty() ? "%02X" : " %02X", b);
        out += text;
    }
    return out;
}

// Takes up to `limit` events in pieces of at most `piece` bytes: each message as hex, the pieces of
// a system message joined (`withTimes`: and " @" its time in milliseconds). Nothing may come inside
// a system message, or after endSecondsBound().
std::vector<std::string> take(StreamCursor& cursor, std::size_t limit, std::size_t piece = 5, bool withTimes = false)
{
    std::vector<std::string> out;
    Bytes message;
    bool open = false;
    double at = 0.0;
    for (std::size_t n = 0; n < limit; ++n) {
        const StreamEvent* e = cursor.peek(1e9, piece);
        if (e == nullptr)
            break;
        EXPECT_LE(e->seconds, cursor.endSecondsBound() + 1e-9) << "event " << n;
        const bool system = e->kind != StreamEvent::Kind::Channel;
        EXPECT_TRUE(system || !open) << "channel message inside a system message, event " << n;
        Bytes wire(e->size());
        e->copyTo(wire.data());
        if (!open) {
            message.clear();
            at = e->seconds;
        }
        message.insert(message.end(), wire.begin(), wire.end());
        open = system && !e->endsMessage;
        if (!open)
            out.push_back(hex(message) + (withTimes ? " @" + std::to_string(std::lround(at * 1000)) : ""));
        cursor.advance();
    }
    if (open)
        out.push_back(hex(message));
    return out;
}

const std::vector<std::string> kToEnd = {"(end)"};
std::vector<std::string> drain(StreamCursor& cursor)
{
    auto out = take(cursor, 100000);
    if (cursor.atEnd())
        out.insert(out.end(), kToEnd.begin(), kToEnd.end());
    return out;
}

struct OrderCase {
    const char* name;
    void (*build)(SmfBuilder&);
    SysExPacing pacing;
    std::vector<std::string> expected;
};

const OrderCase kOrderCases[] = {
    {"AtOneTickTrackOrderThenFileOrder",
     [](SmfBuilder& b) {
         b.track().delta(0).noteOn(0, 60, 100).delta(0).noteOn(0, 61, 100).delta(10).noteOn(0, 62, 100);
         b.track().delta(0).sysex({0x7E, 0x7F, 0x09, 0x01, 0xF7}).delta(0).noteOn(1, 70, 100);
         b.track().delta(5).noteOn(2, 80, 100);
     },
     {0.0, 0.0},
     {"90 3C 64", "90 3D 64", "F0 7E 7F 09 01 F7", "91 46 64", "92 50 64", "90 3E 64"}},
    {"PacketsOfOneSysExAreNeverBroken",
     [](SmfBuilder& b) {
         b.track().delta(0).sysex({0x43, 0x10}).delta(100).sysexF7({0x01, 0x02, 0xF7}).delta(0).noteOn(0, 60, 1);
         b.track().delta(50).noteOn(1, 61, 1);
     },
     {0.0, 0.0},
     {"F0 43 10 01 02 F7", "91 3D 01", "90 3C 01"}},
    {"PacedSysExInPiecesIsNeverBroken",
     [](SmfBuilder& b) {
         b.track().delta(0).sysex({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0xF7});
         b.track().delta(1).noteOn(1, 61, 1);
     },
     {100.0, 0.0},
     {"F0 01 02 03 04 05 06 07 08 09 0A 0B F7", "91 3D 01"}},
    {"PacingAndPausesStayWithinTheEndBound",
     [](SmfBuilder& b) { b.track().delta(0).sysex({1, 2, 0xF7}).delta(0).sysex({3, 0xF7}).delta(0).noteOn(0, 1, 1); },
     {100.0, 0.05},
     {"F0 01 02 F7", "F0 03 F7", "90 01 01"}},
};

void PrintTo(const OrderCase& c, std::ostream* out) { *out << c.name; }
class StreamCursorOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(StreamCursorOrder, ProducesTheMergedFileThenEnds)
{
    SmfBuilder file(1, 96);
    GetParam().build(file);
    auto expected = GetParam().expected;
    expected.insert(expected.end(), kToEnd.begin(), kToEnd.end());
    EXPECT_EQ(drain(*cursorFor(file, GetParam().pacing)), expected);
}
INSTANTIATE_TEST_SUITE_P(Cases, StreamCursorOrder, testing::ValuesIn(kOrderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A note sounds, then a SysEx of `packet` (+ `continuation`) bytes after F0 at 1000 bytes a second;
// the stop comes with `underWay` of it sent (10 bytes, F0 included) or before it.
struct StopCase {
    const char* name;
    std::size_t packet, continuation;
    bool underWay, finish;
    enum Outcome { Dropped, Finished, CutWithF7 } outcome;
};

const StopCase kStopCases[] = {
    {"NothingUnderWay", 1009, 0, false, true, StopCase::Dropped},
    {"RestWithinASecondIsFinished", 1009, 0, true, true, StopCase::Finished},
    {"RestOverASecondEndsWithF7", 1010, 0, true, true, StopCase::CutWithF7},
    {"NotFinishingDropsTheRest", 1009, 0, true, false, StopCase::Dropped},
    {"ContinuationsCountInTheRest", 20, 989, true, true, StopCase::Finished},
    {"LongContinuationsEndWithF7", 20, 990, true, true, StopCase::CutWithF7},
};

void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }
class StreamCursorStop : public testing::TestWithParam<StopCase> {};

TEST_P(StreamCursorStop, EndsTheMessageUnderWayByItsRuleThenSilences)
{
    const StopCase& c = GetParam();
    Bytes packet(c.packet, 0x11), continuation(c.continuation, 0x22);
    (c.continuation == 0 ? packet : continuation).back() = 0xF7;
    SmfBuilder file(0, 96);
    auto& track = file.track().delta(0).noteOn(0, 60, 100).delta(0).sysex(packet);
    if (c.continuation != 0)
        track.delta(0).sysexF7(continuation);
    track.delta(0).noteOn(0, 62, 100);
    auto cursor = cursorFor(file, {1000.0, 0.0});
    EXPECT_EQ(take(*cursor, 1), std::vector<std::string>{"90 3C 64"});
    if (c.underWay) {
        ASSERT_NE(cursor->peek(1e9, 10), nullptr);
        cursor->advance();
    }
    cursor->stop(0.0, c.finish);

    Bytes wire{0xF0};
    wire.insert(wire.end(), packet.begin(), packet.end());
    wire.insert(wire.end(), continuation.begin(), continuation.end());
    std::vector<std::string> expected = {c.outcome == StopCase::Finished    ? hex(Bytes(wire.begin() + 10, wire.end()))
                                         : c.outcome == StopCase::CutWithF7 ? "F7"
                                                                            : "",
                                         "80 3C 40", "(end)"};
    if (expected.front().empty())
        expected.erase(expected.begin());
    EXPECT_EQ(drain(*cursor), expected);
    EXPECT_TRUE(cursor->stopReport()->taken.load());
    EXPECT_EQ(cursor->stopReport()->cutMessage.load(), c.outcome == StopCase::CutWithF7);
}
INSTANTIATE_TEST_SUITE_P(Cases, StreamCursorStop, testing::ValuesIn(kStopCases),
                         [](const auto& info) { return std::string(info.param.name); });

// With its loop switch on, the song goes round: at its end (its end-of-track time) what sounds is let
// go, then it starts again as a fresh start would, one song length later; switched off, the pass
// under way is the last, and one set to release at its end lets go there too.
// 96 ticks: half a second.
struct LoopCase {
    const char* name;
    void (*build)(SmfBuilder&);
    std::uint64_t fromTick;
    std::size_t switchedOffAfter;  // events taken
    std::vector<std::string> expected;
    bool releaseAtEnd = false;
};

const LoopCase kLoopCases[] = {
    {"GoesRoundOneSongLengthLaterWithWhatSoundsLetGo",
     [](SmfBuilder& b) {
         b.track().delta(0).programChange(0, 5).delta(0).controller(0, 64, 127).delta(0).noteOn(0, 60, 100);
         b.track().delta(48).noteOn(1, 62, 100).delta(24).noteOff(1, 62).delta(24).endOfTrack();
     },
     0, 11,
     {"C0 05 @0", "B0 40 7F @0", "90 3C 64 @0", "91 3E 64 @250", "81 3E 40 @375", "80 3C 40 @500",
      "B0 40 00 @500", "C0 05 @500", "B0 40 7F @500", "90 3C 64 @500", "91 3E 64 @750", "81 3E 40 @875", "(end)"}},
    {"AfterASeekTheNextPassStartsAtTheEndWithoutTheChasedState",
     [](SmfBuilder& b) {
         b.track().delta(0).programChange(0, 5).delta(48).noteOn(0, 62, 100).delta(48).endOfTrack();
     },
     48, 4, {"C0 05 @0", "90 3E 64 @0", "80 3E 40 @250", "C0 05 @250", "90 3E 64 @500", "(end)"}},
    {"PacedSysExOfTheNextPassWaitsForTheLastToDrain",
     [](SmfBuilder& b) { b.track().delta(0).sysex({1, 2, 3, 0xF7}).delta(1).endOfTrack(); },
     0, 2, {"F0 01 02 03 F7 @0", "F0 01 02 03 F7 @50", "(end)"}},  // 5 bytes at 100 a second
    {"ReleasingAtTheEndLetsGoThereAndEnds",
     [](SmfBuilder& b) {
         b.track().delta(0).controller(0, 64, 127).delta(0).noteOn(0, 60, 100).delta(96).endOfTrack();
     },
     0, 0, {"B0 40 7F @0", "90 3C 64 @0", "80 3C 40 @500", "B0 40 00 @500", "(end)"}, true},
    {"ASongWithNoLengthEnds",
     [](SmfBuilder& b) { b.track().delta(0).noteOn(0, 60, 100).delta(0).endOfTrack(); },
     0, 100, {"90 3C 64 @0", "(end)"}},
    {"APassWithNothingToSendEndsTheSong",
     [](SmfBuilder& b) { b.track().delta(0).sysexF7({}).delta(96).endOfTrack(); },
     0, 100, {"(end)"}},
};

void PrintTo(const LoopCase& c, std::ostream* out) { *out << c.name; }
class StreamCursorLoop : public testing::TestWithParam<LoopCase> {};

TEST_P(StreamCursorLoop, GoesRoundWhileSwitchedOn)
{
    const LoopCase& c = GetParam();
    SmfBuilder file(1, 96);
    c.build(file);
    SmfReadResult read = readStandardMidiFile(file.bytes());
    auto loop = std::make_shared<LoopSwitch>();
    loop->on = true;
    loop->releaseAtEnd = c.releaseAtEnd;
    PlayFrom from;
    from.tick = c.fromTick;
    StreamCursor cursor(std::make_shared<const Sequence>(std::move(read.sequence)), {100.0, 0.0}, from, nullptr, loop);
    auto got = take(cursor, c.switchedOffAfter, 5, true);
    loop->on = false;
    const auto rest = take(cursor, 100, 5, true);
    got.insert(got.end(), rest.begin(), rest.end());
    if (cursor.atEnd())
        got.insert(got.end(), kToEnd.begin(), kToEnd.end());
    EXPECT_EQ(got, c.expected);
    EXPECT_TRUE(loop->ended.load());
}
INSTANTIATE_TEST_SUITE_P(Cases, StreamCursorLoop, testing::ValuesIn(kLoopCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The destination went away in the middle of a SysEx: the rest of it, every packet, is skipped.
TEST(StreamCursor, AbandonedMessageIsSkippedAndPlaybackGoesOn)
{
    for (const bool inPackets : {false, true}) {
        SCOPED_TRACE(inPackets ? "in packets" : "one packet");
        SmfBuilder file(1, 96);
        Bytes packet = {0x43, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15};
        if (!inPackets)
            packet.push_back(0xF7);
        auto& track = file.track().delta(0).sysex(packet);
        if (inPackets)
            track.delta(10).sysexF7({0x01, 0xF7});
        track.delta(inPackets ? 0 : 10).noteOn(0, 60, 1);
        file.track().delta(5).noteOn(1, 61, 1);
        auto cursor = cursorFor(file);
        ASSERT_NE(cursor->peek(1e9, 4), nullptr);
        cursor->advance();
        ASSERT_TRUE(cursor->insideSystemMessage());
        cursor->abandonMessage();
        EXPECT_FALSE(cursor->insideSystemMessage());
        EXPECT_EQ(drain(*cursor), (std::vector<std::string>{"91 3D 01", "90 3C 01", "(end)"}));
    }
}

// However many tracks a file holds (its header need not count them), each message comes once, by
// tick and at one tick by track, and then the end.
TEST(StreamCursor, ManyTracksEachPlayOnceThenTheEnd)
{
    for (const int tracks : {2, 65536, 65537}) {
        SCOPED_TRACE(tracks);
        SmfBuilder file(1, 96);
        file.headerLength(2);  // no track count
        std::vector<std::string> expected;
        for (int tick = 0; tick < 2; ++tick)
            for (int t = 0; t < tracks; ++t)
                if (t % 2 == tick)
                    expected.push_back(hex({std::uint8_t(0x90 | t % 16), std::uint8_t(t / 16 % 128), std::uint8_t(t / 2048 + 1)}));
        for (int t = 0; t < tracks; ++t)
            file.track().delta(t % 2).noteOn(t % 16, t / 16 % 128, t / 2048 + 1);
        expected.insert(expected.end(), kToEnd.begin(), kToEnd.end());
        auto cursor = cursorFor(file);
        auto got = take(*cursor, expected.size() + 1);
        if (cursor->atEnd())
            got.insert(got.end(), kToEnd.begin(), kToEnd.end());
        EXPECT_TRUE(got == expected) << got.size() << " messages, " << expected.size() - 1 << " expected";
    }
}

}  // namespace
