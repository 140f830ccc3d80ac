#pragma once
// Class-wide constants converting between host clock ticks, nanoseconds and seconds. Host ticks
// are CLOCK_MONOTONIC nanoseconds, so this host's time base is 1/1.

#include "toolkit/audio_stream_basic_description.h"

#include <cstdint>

// The host clock's time base: nanoseconds = ticks x numer / denom.
struct mach_timebase_info_data_t {
    UInt32 numer;
    UInt32 denom;
};

// Fills `info` with this host's time base (1/1); returns 0.
int mach_timebase_info(mach_timebase_info_data_t* info);

class CAHostTimeBase {
public:
    // Reads the host time base and sets the class-wide values. Call before other threads read them.
    static void Initialize();
    // Sets the class-wide values from a time base of `numerator`/`denominator` (both non-zero),
    // for a tick unit other than this host's.
    static void Initialize(const mach_timebase_info_data_t& timeBase);

    // The host clock now, in ticks (CLOCK_MONOTONIC nanoseconds).
    static std::uint64_t GetTheCurrentTime();
    // Ticks to nanoseconds and back with the time base last set (exact up to 64-bit results).
    static std::uint64_t ConvertToNanos(std::uint64_t hostTime);
    static std::uint64_t ConvertFromNanos(std::uint64_t nanos);

    static UInt32 sMinDelta;
    static UInt32 sToNanosNumerator;
    static UInt32 sToNanosDenominator;
    static UInt32 sFromNanosNumerator;
    static UInt32 sFromNanosDenominator;
    static bool sUseMicroseconds;
    static bool sIsInited;
    static double sFrequency;         // host ticks per second
    static double sInverseFrequency;  // seconds per host tick
};
