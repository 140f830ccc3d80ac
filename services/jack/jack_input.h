#pragma once
// MIDI input through JACK: the input ports of ours, each with a ring the process callback fills,
// and the listener that drains a ring into whole SysEx messages off the real-time thread.

#include <jack/jack.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

#include "services/byte_ring.h"
#include "services/midi_backend.h"
#include "services/sysex_assembler.h"

namespace brennick::jack {

inline constexpr std::size_t kInputSlotCount = 8;
// What a source may send between two drains of its ring (a few milliseconds): far more than a
// dump at full speed on a fast server.
inline constexpr std::size_t kInputRingBytes = std::size_t(1) << 20;

// One input port of ours and the ring the process callback fills from it. The service thread takes a
// slot (inUse), connects it and sets `listening`; only then does the callback write to the ring.
struct InputSlot {
    std::atomic<bool> inUse{false};
    std::atomic<bool> listening{false};
    std::atomic<jack_port_t*> port{nullptr};  // registered on first use by the service thread, kept
    std::unique_ptr<ByteRing> ring;           // made before the port is published, kept
    bool lost = false;                        // (rt) an event did not fit: mark it before the next
};

// Real-time: copies what arrived at the slot's port in this cycle into its ring. No allocation, no
// lock, no blocking.
void receive(InputSlot& slot, jack_nframes_t frames) noexcept;

// Listening to one slot: a thread of its own drains the ring every few milliseconds and hands out
// each whole SysEx message. `release` gives the slot back once draining has ended.
class Listener final : public InputListener {
public:
    Listener(InputSlot& slot, SysExHandler handler, std::function<void(InputSlot&)> release);
    ~Listener() override { stop(); }
    void stop() override;
    InputCounts counts() const override { return assembler_.counts(); }

private:
    InputSlot& slot_;
    SysExHandler handler_;
    std::function<void(InputSlot&)> release_;
    SysExAssembler assembler_;
    std::atomic<bool> stop_{false};
    std::thread drainer_;
};

}  // namespace brennick::jack
