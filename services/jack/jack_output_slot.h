#pragma once
// One output port of the JACK backend and the stream it carries, shared by the MIDI service thread
// (which fills a slot) and the process callback (which plays it) without a lock.

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "services/stream_cursor.h"

namespace brennick::jack {

// A slot's life: the service thread takes a Free slot (Reserved), fills it and hands it to the process
// callback (Starting); the callback plays it (Playing) and, once asked to stop, ends it cleanly
// (Stopping) and lets go of it (Stopped); the service thread then frees it again.
enum SlotState : int { Free, Reserved, Starting, Playing, Stopping, Stopped };

// One output port and the stream it carries. The MIDI service thread owns the fields marked (main)
// while the slot is Free or Reserved; the process callback owns the (rt) fields from Starting on.
struct Slot {
    std::atomic<int> state{Free};
    std::atomic<jack_port_t*> port{nullptr};  // registered on first use by the service thread, kept
    std::atomic<bool> stopRequested{false};
    std::unique_ptr<StreamCursor> cursor;  // (main) set before Starting, freed once Stopped
    std::uint64_t destinationId = 0;       // (main) set before Starting; 0: none
    std::uint64_t startAfterCycle = 0;     // (main) set before Starting
    bool awaitConnection = false;          // (main) set before Starting
    std::uint64_t connectedAtCycle = 0;    // (rt) the first cycle whose graph showed the connection
    std::array<char, 512> destination{};   // (main) full port name, set before Starting
    // (main) set before Starting: the stream this one follows, as it was then (a slot taken again has
    // another generation), and how many of its frames pass before this one's second 0.
    const Slot* after = nullptr;
    std::uint32_t afterGeneration = 0;
    std::uint64_t afterFrames = 0;
    std::atomic<std::uint32_t> generation{0};  // counts the times the slot was taken

    // (rt, read by a stream that follows) the frame of the backend's frame clock where the stream's
    // second 0 falls, once known
    std::atomic<bool> originSet{false};
    std::atomic<std::uint64_t> originFrame{0};

    std::atomic<bool> drained{false};
    std::atomic<std::uint64_t> drainedAtCycle{0};
};

}  // namespace brennick::jack
