#include "services/sysex_pacer.h"

#include <algorithm>

namespace brennick {

SysExPacer::SysExPacer(double bytesPerSecond) noexcept : bytesPerSecond_(bytesPerSecond > 0.0 ? bytesPerSecond : 0.0) {}

double SysExPacer::drainSeconds(std::size_t length) const noexcept
{
    return bytesPerSecond_ > 0.0 ? double(length) / bytesPerSecond_ : 0.0;
}

double SysExPacer::schedule(double idealSeconds, std::size_t length) noexcept
{
    const double start = std::max(idealSeconds, busyUntil_);
    busyUntil_ = start + drainSeconds(length);
    return start;
}

}  // namespace brennick
