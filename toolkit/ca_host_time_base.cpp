#include "toolkit/ca_host_time_base.h"

#include <cassert>
#include <time.h>

UInt32 CAHostTimeBase::sMinDelta = 0;
UInt32 CAHostTimeBase::sToNanosNumerator = 0;
UInt32 CAHostTimeBase::sToNanosDenominator = 0;
UInt32 CAHostTimeBase::sFromNanosNumerator = 0;
UInt32 CAHostTimeBase::sFromNanosDenominator = 0;
bool CAHostTimeBase::sUseMicroseconds = false;
bool CAHostTimeBase::sIsInited = false;
double CAHostTimeBase::sFrequency = 0.0;
double CAHostTimeBase::sInverseFrequency = 0.0;

int mach_timebase_info(mach_timebase_info_data_t* info)
{
    info->numer = 1;
    info->denom = 1;
    return 0;
}

void CAHostTimeBase::Initialize()
{
    mach_timebase_info_data_t timeBase{};
    mach_timebase_info(&timeBase);
    Initialize(timeBase);
}

void CAHostTimeBase::Initialize(const mach_timebase_info_data_t& timeBase)
{
    assert(timeBase.numer != 0 && timeBase.denom != 0);
    sMinDelta = 1;
    sToNanosNumerator = timeBase.numer;
    sToNanosDenominator = timeBase.denom;
    sFromNanosNumerator = timeBase.denom;
    sFromNanosDenominator = timeBase.numer;
    sFrequency = double(timeBase.denom) / double(timeBase.numer) * 1000000000.0;
    sInverseFrequency = 1.0 / sFrequency;
    sIsInited = true;
}

std::uint64_t CAHostTimeBase::GetTheCurrentTime()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000000000u + std::uint64_t(now.tv_nsec);
}

namespace {
__extension__ typedef unsigned __int128 UInt128;

std::uint64_t scale(std::uint64_t value, UInt32 numerator, UInt32 denominator)
{
    if (numerator == denominator)
        return value;
    return std::uint64_t(UInt128(value) * numerator / (denominator ? denominator : 1));
}
}  // namespace

std::uint64_t CAHostTimeBase::ConvertToNanos(std::uint64_t hostTime)
{
    if (!sIsInited)
        Initialize();
    return scale(hostTime, sToNanosNumerator, sToNanosDenominator);
}

std::uint64_t CAHostTimeBase::ConvertFromNanos(std::uint64_t nanos)
{
    if (!sIsInited)
        Initialize();
    return scale(nanos, sFromNanosNumerator, sFromNanosDenominator);
}
