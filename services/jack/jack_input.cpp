#include "services/jack/jack_input.h"

#include <jack/midiport.h>

#include <chrono>
#include <span>

namespace brennick::jack {

namespace {

constexpr auto kDrainInterval = std::chrono::milliseconds(2);
// Put in the ring where an event was lost (the ring was full): an undefined status byte, so the
// SysEx under way is dropped, never handed out with a hole in it.
constexpr std::uint8_t kLostMark = 0xF4;

}  // namespace

void receive(InputSlot& slot, jack_nframes_t frames) noexcept
{
    jack_port_t* port = slot.port.load(std::memory_order_acquire);
    if (port == nullptr || !slot.listening.load(std::memory_order_acquire))
        return;
    void* buffer = jack_port_get_buffer(port, frames);
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0)
            continue;
        if (slot.lost && slot.ring->write(std::span(&kLostMark, 1)))
            slot.lost = false;
        if (slot.lost || !slot.ring->write(std::span<const std::uint8_t>(event.buffer, event.size)))
            slot.lost = true;
    }
}

Listener::Listener(InputSlot& slot, SysExHandler handler, std::function<void(InputSlot&)> release)
    : slot_(slot), handler_(std::move(handler)), release_(std::move(release))
{
    drainer_ = std::thread([this] {
        const auto take = [this](std::span<const std::uint8_t> piece) { assembler_.feed(piece, handler_); };
        while (!stop_.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(kDrainInterval);
            slot_.ring->drain(take);
        }
    });
}

void Listener::stop()
{
    if (!drainer_.joinable())
        return;
    stop_.store(true, std::memory_order_release);
    drainer_.join();
    // What arrived since the last drain is handed out too: the counts then say all that came.
    slot_.ring->drain([this](std::span<const std::uint8_t> piece) { assembler_.feed(piece, handler_); });
    release_(slot_);
}

}  // namespace brennick::jack
