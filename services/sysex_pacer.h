#pragma once
// Paces system-exclusive output so a synth's input keeps up.

#include <cstddef>

namespace brennick {

// How fast one destination takes SysEx: bytes per second (0 or less: unlimited) and a pause after
// each complete SysEx message, which slow synths need to store what they received.
struct SysExPacing {
    double bytesPerSecond = 0.0;
    double pauseSeconds = 0.0;
};

// Decides when each SysEx message may start on one destination: no earlier than its own time and
// no earlier than the previous message has drained at the pacing's speed (and, after a message that
// completes a SysEx, its pause has passed). Times are seconds on the playback timeline, so the pacer
// needs no clock of its own and gives the same answer every run.
class SysExPacer {
public:
    explicit SysExPacer(SysExPacing pacing) noexcept;
    explicit SysExPacer(double bytesPerSecond) noexcept : SysExPacer(SysExPacing{bytesPerSecond, 0.0}) {}

    double bytesPerSecond() const noexcept { return pacing_.bytesPerSecond; }
    double pauseSeconds() const noexcept { return pacing_.pauseSeconds; }

    // The start time of a message of `length` bytes due at `idealSeconds`; call in message order.
    // `completesSysEx`: the message ends a SysEx, so the pause follows it.
    double schedule(double idealSeconds, std::size_t length, bool completesSysEx = false) noexcept;

    // Seconds `length` bytes take to drain (0 when unlimited).
    double drainSeconds(std::size_t length) const noexcept;

private:
    SysExPacing pacing_;
    double busyUntil_ = 0.0;
};

}  // namespace brennick
