// SysEx pacing: when each message may start on one destination.
#include <gtest/gtest.h>

#include "services/sysex_pacer.h"

using namespace brennick;

TEST(SysExPacer, MessageStartsWhenThePreviousHasDrained)
{
    SysExPacer pacer(60000.0);
    EXPECT_DOUBLE_EQ(pacer.schedule(0.0, 6000), 0.0);
    EXPECT_DOUBLE_EQ(pacer.schedule(0.0, 6000), 0.1);  // 6000 bytes at 60000 B/s
    EXPECT_DOUBLE_EQ(pacer.schedule(0.05, 600), 0.2);
    EXPECT_DOUBLE_EQ(pacer.schedule(1.0, 10), 1.0);  // idle line: its own time
}

TEST(SysExPacer, PauseFollowsOnlyMessagesThatCompleteASysEx)
{
    SysExPacer pacer(SysExPacing{1000.0, 0.02});
    EXPECT_DOUBLE_EQ(pacer.schedule(0.0, 10, false), 0.0);  // a packet the next one continues
    EXPECT_DOUBLE_EQ(pacer.schedule(0.0, 10, true), 0.01);
    EXPECT_DOUBLE_EQ(pacer.schedule(0.0, 10, true), 0.04);  // 10 ms to drain, then 20 ms of pause
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
