#pragma once
// A sequence flattened into the two time-ordered lists an output backend sends from.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace brennick {

class Sequence;

struct ScheduledMessage {
    double seconds = 0.0;  // from the start of playback
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
};

// Channel messages keep their tempo-mapped times. System messages (SysEx packets, their
// continuations and escapes) start when the SysEx pacer lets them, in file order, and then drain
// at `bytesPerSecond`. Both lists point into the sequence, which must outlive the schedule.
// Meta events are not sent. All tracks play together, whatever the file's format.
struct PlaybackSchedule {
    std::vector<ScheduledMessage> channel;
    std::vector<ScheduledMessage> system;
    double bytesPerSecond = 0.0;  // drain speed of system messages; 0 = unlimited

    static PlaybackSchedule build(const Sequence& sequence, double maxSysExBytesPerSecond);

    // When the last byte of the schedule has been sent, in seconds from the start.
    double endSeconds() const noexcept;
};

}  // namespace brennick
