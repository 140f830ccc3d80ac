// The state a seek or a resume sends first: the song's set-up and each channel's settings at the
// target, the latest of each whichever track set it, and nothing at or after the target.
#include "services/chase.h"

#include <gtest/gtest.h>

#include <functional>

#include "services/smf_reader.h"
#include "tests/support/smf_builder.h"

using namespace brennick;
using brennick::test::SmfBuilder;
using brennick::test::SmfChunkBuilder;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct ChaseCase {
    const char* name;
    std::function<void(SmfChunkBuilder&, SmfChunkBuilder&)> song;  // two tracks of a format 1 file
    std::uint64_t tick;
    std::vector<Bytes> expected;  // as sent: SysEx with its F0
};

std::vector<Bytes> chased(const ChaseCase& c)
{
    SmfBuilder b(1, 96);
    auto& first = b.track();
    auto& second = b.track();
    c.song(first, second);
    first.delta(0).endOfTrack();
    second.delta(0).endOfTrack();
    const SmfReadResult read = readStandardMidiFile(b.bytes());
    const ChasePrelude prelude(read.sequence, c.tick);
    std::vector<Bytes> out;
    prelude.track().forEach([&out](const MidiMessage& m) {
        Bytes bytes(m.bytes.begin(), m.bytes.end());
        if (m.kind == MessageKind::SysEx)
            bytes.insert(bytes.begin(), 0xF0);
        out.push_back(bytes);
    });
    return out;
}

const ChaseCase kCases[] = {
    {"LatestOfEachSettingInMergedOrderNothingFromTheTarget",
     [](auto& a, auto& b) {
         a.delta(0).controller(0, 0, 1).delta(0).programChange(0, 5).delta(0).controller(0, 7, 100);
         a.delta(0).noteOn(0, 60, 90).delta(10).pitchBend(0, 0x2000 + 100).delta(10).channelPressure(0, 40);
         b.delta(15).programChange(0, 6).delta(0).controller(3, 11, 70);  // later in time: wins
         a.delta(76).programChange(0, 9);                                 // at the target: played, not chased
     },
     96,
     {{0xB0, 0, 1}, {0xC0, 6}, {0xB0, 7, 100}, {0xE0, 100, 0x40}, {0xD0, 40}, {0xB3, 11, 70}}},
    {"ParametersKeepTheirOwnDataAndTheLastSelectionStays",
     [](auto& a, auto&) {
         a.delta(0).controller(1, 101, 0).delta(0).controller(1, 100, 0).delta(0).controller(1, 6, 12);
         a.delta(0).controller(1, 100, 1).delta(0).controller(1, 6, 64).delta(0).controller(1, 38, 3);
         a.delta(0).controller(1, 99, 1).delta(0).controller(1, 98, 8).delta(0).controller(1, 6, 20);
     },
     1,
     {{0xB1, 101, 0}, {0xB1, 100, 0}, {0xB1, 6, 12}, {0xB1, 101, 0}, {0xB1, 100, 1}, {0xB1, 6, 64},
      {0xB1, 38, 3}, {0xB1, 99, 1}, {0xB1, 98, 8}, {0xB1, 6, 20}, {0xB1, 99, 1}, {0xB1, 98, 8}}},
    {"ResetAllControllersKeepsOnlyBankProgramVolumeAndPan",
     [](auto& a, auto&) {
         a.delta(0).controller(2, 0, 3).delta(0).programChange(2, 7).delta(0).controller(2, 7, 90);
         a.delta(0).controller(2, 10, 20).delta(0).controller(2, 1, 50).delta(0).pitchBend(2, 0);
         a.delta(0).controller(2, 121, 0).delta(0).controller(2, 64, 127);
     },
     10,
     {{0xB2, 0, 3}, {0xC2, 7}, {0xB2, 7, 90}, {0xB2, 10, 20}, {0xB2, 64, 127}}},
    {"TheSetUpBeforeTheFirstNoteIsRepeatedLaterSystemMessagesAreNot",
     [](auto& a, auto& b) {
         a.delta(0).sysex({0x7E, 0x7F, 0x09, 0x01, 0xF7}).delta(5).noteOn(0, 60, 90);
         a.delta(5).sysex({0x41, 0x10, 0xF7});
         b.delta(2).sysex({0x43, 0x10, 0x4C, 0xF7});
     },
     50,
     {{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {0xF0, 0x43, 0x10, 0x4C, 0xF7}}},
};

class Chase : public ::testing::TestWithParam<ChaseCase> {};

TEST_P(Chase, SendsTheStateAtTheTarget)
{
    EXPECT_EQ(chased(GetParam()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Songs, Chase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
