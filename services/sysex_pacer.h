#pragma once
// Paces system-exclusive output so a synth's input keeps up.

#include <cstddef>

namespace brennick {

// Decides when each SysEx message may start on one destination: no earlier than its own time and
// no earlier than the previous message has drained at `bytesPerSecond`. Times are seconds on the
// playback timeline, so the pacer needs no clock of its own and gives the same answer every run.
// A speed of 0 or less means unlimited.
class SysExPacer {
public:
    explicit SysExPacer(double bytesPerSecond) noexcept;

    double bytesPerSecond() const noexcept { return bytesPerSecond_; }

    // The start time of a message of `length` bytes due at `idealSeconds`; call in message order.
    double schedule(double idealSeconds, std::size_t length) noexcept;

    // Seconds `length` bytes take to drain (0 when unlimited).
    double drainSeconds(std::size_t length) const noexcept;

private:
    double bytesPerSecond_;
    double busyUntil_ = 0.0;
};

}  // namespace brennick
