#include "services/sysex_pacer.h"

#include <algorithm>

namespace brennick {

SysExPacer::SysExPacer(SysExPacing pacing) noexcept
    : pacing_{pacing.bytesPerSecond > 0.0 ? pacing.bytesPerSecond : 0.0,
              pacing.pauseSeconds > 0.0 ? pacing.pauseSeconds : 0.0}
{
}

double SysExPacer::drainSeconds(std::size_t length) const noexcept
{
    return pacing_.bytesPerSecond > 0.0 ? double(length) / pacing_.bytesPerSecond : 0.0;
}

double SysExPacer::schedule(double idealSeconds, std::size_t length, bool completesSysEx) noexcept
{
    const double start = std::max(idealSeconds, busyUntil_);
    busyUntil_ = start + drainSeconds(length) + (completesSysEx ? pacing_.pauseSeconds : 0.0);
    return start;
}

}  // namespace brennick
