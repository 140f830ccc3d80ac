#include "services/tempo_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace brennick {
namespace {

TimeDivision metrical(std::uint16_t ticksPerQuarter)
{
    TimeDivision d;
    d.ticksPerQuarter = ticksPerQuarter;
    return d;
}

TimeDivision smpte(std::uint8_t framesPerSecond, std::uint8_t ticksPerFrame)
{
    TimeDivision d;
    d.smpte = true;
    d.framesPerSecond = framesPerSecond;
    d.ticksPerFrame = ticksPerFrame;
    return d;
}

TEST(TempoMapMetrical, DefaultIs120BpmAt96TicksPerQuarter)
{
    const TempoMap map;
    EXPECT_DOUBLE_EQ(map.ticksToBeats(96), 1.0);
    EXPECT_DOUBLE_EQ(map.ticksToSeconds(96), 0.5);
    EXPECT_DOUBLE_EQ(map.beatsToSeconds(3), 1.5);
    EXPECT_DOUBLE_EQ(map.secondsToBeats(1.5), 3.0);
    EXPECT_TRUE(map.changes().empty());
}

TEST(TempoMapMetrical, FollowsTempoChanges)
{
    // 480 ticks per quarter; 120 bpm until beat 2, 60 bpm until beat 4, then 240 bpm.
    const TempoMap map(metrical(480), {{1920, 250000}, {960, 1000000}});
    struct Case {
        std::uint64_t ticks;
        double seconds;
    };
    for (const Case c : {Case{0, 0.0}, Case{480, 0.5}, Case{960, 1.0}, Case{1440, 2.0}, Case{1920, 3.0},
                         Case{2400, 3.25}, Case{4800, 4.5}}) {
        EXPECT_DOUBLE_EQ(map.ticksToSeconds(c.ticks), c.seconds) << c.ticks;
        const double beats = map.ticksToBeats(c.ticks);
        EXPECT_DOUBLE_EQ(beats, c.ticks / 480.0);
        EXPECT_DOUBLE_EQ(map.beatsToSeconds(beats), c.seconds) << c.ticks;
        EXPECT_NEAR(map.secondsToBeats(c.seconds), beats, 1e-12) << c.ticks;
    }
}

TEST(TempoMapMetrical, ChangesAreSortedWithOnePerTickAndZeroTemposIgnored)
{
    const TempoMap map(metrical(96), {{96, 400000}, {0, 600000}, {96, 300000}, {48, 0}});
    ASSERT_EQ(map.changes().size(), 2u);
    EXPECT_EQ(map.changes()[0].tick, 0u);
    EXPECT_EQ(map.changes()[0].microsecondsPerQuarter, 600000u);
    EXPECT_EQ(map.changes()[1].tick, 96u);
    EXPECT_EQ(map.changes()[1].microsecondsPerQuarter, 300000u);  // the last given at that tick
    EXPECT_DOUBLE_EQ(map.ticksToSeconds(192), 0.6 + 0.3);
}

TEST(TempoMapMetrical, NegativeTimesExtrapolateTheFirstTempo)
{
    const TempoMap map(metrical(96), {{0, 1000000}, {96, 500000}});
    EXPECT_DOUBLE_EQ(map.beatsToSeconds(-2), -2.0);
    EXPECT_DOUBLE_EQ(map.secondsToBeats(-1), -1.0);
}

TEST(TempoMapMetrical, InverseHoldsAcrossManyChanges)
{
    std::vector<TempoChange> changes;
    for (std::uint64_t i = 1; i <= 1000; ++i)
        changes.push_back({i * 97, static_cast<std::uint32_t>(200000 + (i * 7919) % 800000)});
    const TempoMap map(metrical(96), changes);
    double previous = -1;
    for (std::uint64_t t = 0; t < 100000; t += 13) {
        const double seconds = map.ticksToSeconds(t);
        EXPECT_GT(seconds, previous);
        previous = seconds;
        EXPECT_NEAR(map.secondsToBeats(seconds), map.ticksToBeats(t), 1e-9);
    }
}

TEST(TempoMapMetrical, CursorAnswersAsTheMapInAnyOrder)
{
    // The cursor starts from the stretch it last found: jumping about must not reuse a wrong one.
    const TempoMap map(metrical(96), {{96, 1000000}, {192, 250000}, {288, 2000000}});
    const std::vector<std::uint64_t> ticks{0,   95, 96, 97, 191, 192, 200, 287, 288,  1000, 400, 0,
                                           200, 97, 96, 95, 191, 192, 288, 287, 1000, 10,   193, 289};
    TempoMap::Cursor cursor(map);
    for (std::uint64_t t : ticks)
        EXPECT_DOUBLE_EQ(cursor.ticksToSeconds(t), map.ticksToSeconds(t)) << t;
    EXPECT_DOUBLE_EQ(map.ticksToSeconds(288), 0.5 + 1.0 + 0.25);

    const TempoMap plain(metrical(96), {});
    TempoMap::Cursor plainCursor(plain);
    EXPECT_DOUBLE_EQ(plainCursor.ticksToSeconds(192), 1.0);
    EXPECT_DOUBLE_EQ(plainCursor.ticksToSeconds(0), 0.0);
}

TEST(TempoMapMetrical, ZeroTicksPerQuarterReadsAs96)
{
    const TempoMap map(metrical(0), {});
    EXPECT_EQ(map.division().ticksPerQuarter, 96);
    EXPECT_DOUBLE_EQ(map.ticksToBeats(192), 2.0);
}

TEST(TempoMapSmpte, TicksAreFractionsOfASecondAndBeatsCountAt120Bpm)
{
    struct Case {
        std::uint8_t fps;
        std::uint8_t ticksPerFrame;
        double ticksPerSecond;
    };
    for (const Case c : {Case{24, 10, 240}, Case{25, 40, 1000}, Case{30, 80, 2400}, Case{29, 100, 2997.002997002997}}) {
        const TempoMap map(smpte(c.fps, c.ticksPerFrame), {{0, 1000000}});  // tempo events do not apply
        const auto ticks = static_cast<std::uint64_t>(c.fps) * c.ticksPerFrame * 10;
        const double seconds = ticks / c.ticksPerSecond;
        EXPECT_NEAR(map.ticksToSeconds(ticks), seconds, 1e-9) << int(c.fps);
        EXPECT_NEAR(TempoMap::Cursor(map).ticksToSeconds(ticks), seconds, 1e-9) << int(c.fps);
        EXPECT_NEAR(map.ticksToBeats(ticks), seconds * 2, 1e-9) << int(c.fps);
        EXPECT_DOUBLE_EQ(map.beatsToSeconds(4), 2.0);
        EXPECT_DOUBLE_EQ(map.secondsToBeats(2), 4.0);
    }
}

TEST(TempoMapSmpte, ZeroTicksPerFrameReadsAs96TicksPerQuarter)
{
    const TempoMap map(smpte(25, 0), {});
    EXPECT_FALSE(map.division().smpte);
    EXPECT_DOUBLE_EQ(map.ticksToSeconds(96), 0.5);
}

}  // namespace
}  // namespace brennick
