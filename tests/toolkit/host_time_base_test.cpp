#include "toolkit/ca_host_time_base.h"

#include <gtest/gtest.h>

namespace {

TEST(HostTimeBase, ValuesFromTheTimeBase)
{
    struct Case {
        mach_timebase_info_data_t timeBase;
        double frequency, inverse;
    };
    const Case cases[] = {{{1, 1}, 1e9, 1e-9}, {{125, 3}, 24e6, 1.0 / 24e6}};
    for (const Case& c : cases) {
        CAHostTimeBase::Initialize(c.timeBase);
        EXPECT_EQ(CAHostTimeBase::sToNanosNumerator, c.timeBase.numer);
        EXPECT_EQ(CAHostTimeBase::sToNanosDenominator, c.timeBase.denom);
        EXPECT_EQ(CAHostTimeBase::sFromNanosNumerator, c.timeBase.denom);
        EXPECT_EQ(CAHostTimeBase::sFromNanosDenominator, c.timeBase.numer);
        EXPECT_DOUBLE_EQ(CAHostTimeBase::sFrequency, c.frequency);
        EXPECT_DOUBLE_EQ(CAHostTimeBase::sInverseFrequency, c.inverse);
        EXPECT_EQ(CAHostTimeBase::sMinDelta, 1u);
        EXPECT_TRUE(CAHostTimeBase::sIsInited);
        EXPECT_FALSE(CAHostTimeBase::sUseMicroseconds);
    }
    EXPECT_EQ(CAHostTimeBase::ConvertToNanos(3), 125u);
    EXPECT_EQ(CAHostTimeBase::ConvertFromNanos(250), 6u);
    EXPECT_EQ(CAHostTimeBase::ConvertToNanos(300'000'000'000'000'000ull), 12'500'000'000'000'000'000ull)
        << "no intermediate overflow";
}

TEST(HostTimeBase, HostClockIsMonotonicNanoseconds)
{
    CAHostTimeBase::Initialize();
    EXPECT_DOUBLE_EQ(CAHostTimeBase::sFrequency, 1e9);
    const std::uint64_t a = CAHostTimeBase::GetTheCurrentTime();
    const std::uint64_t b = CAHostTimeBase::GetTheCurrentTime();
    EXPECT_LE(a, b);
    EXPECT_EQ(CAHostTimeBase::ConvertToNanos(b), b);
}

}  // namespace
