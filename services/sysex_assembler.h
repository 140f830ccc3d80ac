#pragma once
// Whole SysEx messages (F0 ... F7) out of MIDI bytes that arrive in pieces of any size: a JACK
// event split anywhere, ALSA's 256-byte pieces. Never hands out half a message, and holds at most
// one bounded message in memory.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace brennick {

struct InputCounts {
    std::uint64_t dropped = 0;  // SysEx messages cut short by another status byte, or too long
    std::uint64_t other = 0;    // channel, common and real-time messages, and stray bytes
    bool unfinished = false;    // a SysEx begun and not ended yet: cut short if nothing more comes
};

class SysExAssembler {
public:
    using Deliver = std::function<void(std::span<const std::uint8_t>)>;

    // A message longer than this (F0 and F7 included) is dropped.
    static constexpr std::size_t kMaxMessageBytes = std::size_t(1) << 20;

    explicit SysExAssembler(std::size_t maxMessageBytes = kMaxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

    // Takes the next piece; `deliver` gets each message that it completes, in order.
    void feed(std::span<const std::uint8_t> piece, const Deliver& deliver);
    // A message whose rest was lost (a piece that could not be kept): the one under way is dropped.
    void interrupt();
    // Counts one whole message that is not a SysEx (a backend that delivers messages decoded).
    void countOther() { other_.fetch_add(1, std::memory_order_relaxed); }

    // May be read on any thread while another feeds.
    InputCounts counts() const noexcept
    {
        return {dropped_.load(std::memory_order_relaxed), other_.load(std::memory_order_relaxed),
                unfinished_.load(std::memory_order_relaxed)};
    }

private:
    enum class Mode {
        Idle,        // no status yet: data bytes are stray
        Running,     // after another status byte: data bytes are its data
        Inside,      // collecting a SysEx
        Discarding,  // a SysEx too long: its bytes are passed over up to its end
    };

    void endMessage();

    std::size_t maxMessageBytes_;
    Mode mode_ = Mode::Idle;
    std::vector<std::uint8_t> message_;
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> other_{0};
    std::atomic<bool> unfinished_{false};  // mode_ == Inside, for other threads
};

}  // namespace brennick
