// SysEx pacing and the flattening of a sequence into the send schedule.
#include <gtest/gtest.h>

#include "services/playback_schedule.h"
#include "services/smf_reader.h"
#include "services/sysex_pacer.h"
#include "tests/support/smf_builder.h"

using namespace brennick;
using brennick::test::SmfBuilder;

TEST(SysExPacer, MessageStartsWhenThePreviousHasDrained)
{
    SysExPacer pacer(60000.0);
    EXPECT_DOUBLE_EQ(pacer.schedule(0.0, 6000), 0.0);
    EXPECT_DOUBLE_EQ(pacer.schedule(0.0, 6000), 0.1);  // 6000 bytes at 60000 B/s
    EXPECT_DOUBLE_EQ(pacer.schedule(0.05, 600), 0.2);
    EXPECT_DOUBLE_EQ(pacer.schedule(1.0, 10), 1.0);  // idle line: its own time
}

TEST(SysExPacer, ZeroOrNegativeSpeedIsUnlimited)
{
    for (double speed : {0.0, -5.0}) {
        SysExPacer pacer(speed);
        EXPECT_DOUBLE_EQ(pacer.schedule(0.0, 100000), 0.0);
        EXPECT_DOUBLE_EQ(pacer.schedule(0.0, 100000), 0.0);
        EXPECT_DOUBLE_EQ(pacer.drainSeconds(1000), 0.0);
    }
}

namespace {
Sequence load(const std::vector<std::uint8_t>& bytes)
{
    SmfReadResult r = readStandardMidiFile(bytes);
    EXPECT_EQ(r.status, SmfStatus::Complete);
    return std::move(r.sequence);
}
}  // namespace

TEST(PlaybackSchedule, MergesTracksByTimeAndKeepsTrackOrderAtEqualTimes)
{
    SmfBuilder b(1, 96);
    auto& conductor = b.track();
    conductor.delta(0).tempo(500000).delta(96).tempo(250000).delta(0).endOfTrack();
    auto& one = b.track();
    one.delta(0).noteOn(0, 60, 100).delta(192).noteOff(0, 60).delta(0).endOfTrack();
    auto& two = b.track();
    two.delta(0).noteOn(1, 64, 90).delta(96).noteOn(1, 67, 90).delta(0).endOfTrack();
    const Sequence sequence = load(b.bytes());

    const PlaybackSchedule s = PlaybackSchedule::build(sequence, 0);
    ASSERT_EQ(s.channel.size(), 4u);
    EXPECT_TRUE(s.system.empty());
    EXPECT_EQ(s.channel[0].data[0], 0x90);  // track one before track two at tick 0
    EXPECT_EQ(s.channel[1].data[0], 0x91);
    EXPECT_DOUBLE_EQ(s.channel[2].seconds, 0.5);   // one beat at 120 bpm
    EXPECT_DOUBLE_EQ(s.channel[3].seconds, 0.75);  // then one beat at 240 bpm
    EXPECT_DOUBLE_EQ(s.endSeconds(), 0.75);
}

TEST(PlaybackSchedule, PacesSystemMessagesButNotChannelMessages)
{
    SmfBuilder b(0, 96);
    std::vector<std::uint8_t> dump(5999, 0x11);
    dump.push_back(0xF7);
    b.track().delta(0).sysex(dump).delta(0).sysex(dump).delta(0).noteOn(0, 60, 1).delta(0).endOfTrack();
    const Sequence sequence = load(b.bytes());

    const PlaybackSchedule s = PlaybackSchedule::build(sequence, 60000);
    ASSERT_EQ(s.system.size(), 2u);
    EXPECT_EQ(s.system[0].length, 6001u);  // F0 + 6000 stored bytes
    EXPECT_EQ(s.system[0].data[0], 0xF0);
    EXPECT_DOUBLE_EQ(s.system[1].seconds, 6001.0 / 60000.0);
    ASSERT_EQ(s.channel.size(), 1u);
    EXPECT_DOUBLE_EQ(s.channel[0].seconds, 0.0);
    EXPECT_DOUBLE_EQ(s.endSeconds(), 2 * 6001.0 / 60000.0);
}

TEST(PlaybackSchedule, EmptySequenceHasNothingToSend)
{
    const Sequence empty;
    const PlaybackSchedule s = PlaybackSchedule::build(empty, 60000);
    EXPECT_TRUE(s.channel.empty());
    EXPECT_TRUE(s.system.empty());
    EXPECT_DOUBLE_EQ(s.endSeconds(), 0.0);
}
