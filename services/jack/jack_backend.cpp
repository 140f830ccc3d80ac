#include "services/jack/jack_backend.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

#include "services/jack/jack_input.h"
#include "services/jack/jack_output_slot.h"
#include "services/jack/jack_ports.h"
#include "services/polling.h"
#include "services/stream_cursor.h"

namespace brennick {

namespace {

using jack::Slot;
using enum jack::SlotState;

constexpr const char* kClientName = "Brennick MIDI Player";
constexpr std::size_t kSlotCount = 8;
// How long a new stream waits for its connection to show in the server's graph before it starts
// anyway (the destination vanished meanwhile: the stream runs on, unheard). A busy server can take
// many cycles to apply a connection, and what is written before it has would be lost.
constexpr double kConnectionWaitSeconds = 2.0;
constexpr auto kPollInterval = std::chrono::milliseconds(1);
// How long a closing client waits, past its own bound, for the callback to end a system message
// under way with F7 (a few cycles; bounded for a server that stalls).
constexpr double kEndMessageBoundSeconds = 0.5;
// How long releasing a listener waits for a cycle to pass, so the callback writes to it no more.
constexpr auto kReleaseBound = std::chrono::milliseconds(500);

class JackBackend;

class JackStream final : public PlaybackStream {
public:
    JackStream(std::shared_ptr<JackBackend> backend, Slot& slot) : backend_(std::move(backend)), slot_(slot) {}
    ~JackStream() override { stop(); }

    void stop() override;
    bool waitUntilSent(double timeoutSeconds) override;
    // The stream's slot, when `backend` made it.
    const Slot* slotOf(const JackBackend* backend) const { return backend_.get() == backend ? &slot_ : nullptr; }

private:
    std::shared_ptr<JackBackend> backend_;
    Slot& slot_;
    bool stopped_ = false;
};

class JackBackend final : public MidiBackend, public std::enable_shared_from_this<JackBackend> {
public:
    static std::shared_ptr<JackBackend> open()
    {
        // Without a server, libjack explains at length on standard error; a missing server is an
        // expected answer here, not an error to show.
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        jack_status_t status{};
        jack_client_t* client = jack_client_open(kClientName, JackNoStartServer, &status);
        if (client == nullptr)
            return nullptr;
        auto backend = std::shared_ptr<JackBackend>(new JackBackend(client));
        jack_set_process_callback(client, &JackBackend::processThunk, backend.get());
        jack_on_info_shutdown(client, &JackBackend::shutdownThunk, backend.get());
        backend->sampleRate_.store(jack_get_sample_rate(client));
        // The first stream's port, made while no other client hears of it: registered later, it
        // would hold up the first note while the server tells every client of the new port.
        backend->outputPort(0);
        if (jack_activate(client) != 0) {
            backend->close(0.0);
            return nullptr;
        }
        return backend;
    }

    ~JackBackend() override { close(0.0); }

    const char* name() const override { return "JACK"; }
    bool alive() const override { return !dead_.load(std::memory_order_acquire); }

    std::vector<DestinationHandle> destinations() override
    {
        std::lock_guard lock(mainMutex_);
        if (!alive() || client_ == nullptr)
            return {};
        return jack::listDestinations(client_, [this](const std::string& portName) {
            return destinationIds_.try_emplace(portName, destinationIds_.size() + 1).first->second;
        });
    }

    std::vector<SourceHandle> sources() override
    {
        std::lock_guard lock(mainMutex_);
        if (!alive() || client_ == nullptr)
            return {};
        return jack::listSources(client_);
    }

    std::unique_ptr<InputListener> listen(const SourceHandle& source, SysExHandler handler) override
    {
        std::lock_guard lock(mainMutex_);
        if (!alive() || client_ == nullptr || dynamic_cast<const jack::Source*>(source.get()) == nullptr)
            return nullptr;
        for (std::size_t i = 0; i < jack::kInputSlotCount; ++i) {
            jack::InputSlot& slot = inputs_[i];
            bool expected = false;
            if (!slot.inUse.compare_exchange_strong(expected, true))
                continue;
            jack_port_t* port = slot.port.load();
            if (port == nullptr) {
                if (!slot.ring)
                    slot.ring = std::make_unique<ByteRing>(jack::kInputRingBytes);
                const std::string portName = "in_" + std::to_string(i + 1);
                port = jack_port_register(client_, portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
                if (port == nullptr) {
                    slot.inUse.store(false);
                    return nullptr;
                }
                slot.port.store(port, std::memory_order_release);
            }
            if (jack_connect(client_, source->identity().c_str(), jack_port_name(port)) != 0) {
                slot.inUse.store(false);
                return nullptr;  // the source has gone
            }
            slot.ring->discard();
            slot.lost = false;
            slot.listening.store(true, std::memory_order_release);
            // What the source sends once this returns (the answer to a question sent next) must
            // not be lost: wait for the connection to show in the graph and for a cycle after it.
            const Deadline bound = deadlineAfter(kConnectionWaitSeconds);
            pollUntil(bound, kPollInterval, [&] { return !alive() || jack_port_connected(port) > 0; });
            const std::uint64_t connectedBy = cyclesBegun_.load(std::memory_order_acquire);
            pollUntil(bound, kPollInterval,
                      [&] { return !alive() || cycles_.load(std::memory_order_acquire) > connectedBy; });
            return std::make_unique<jack::Listener>(slot, std::move(handler),
                                                    [self = shared_from_this()](jack::InputSlot& s) { self->releaseInput(s); });
        }
        return nullptr;
    }

    // Stops the callback writing to the slot's ring and lets the slot be taken again.
    void releaseInput(jack::InputSlot& slot)
    {
        std::lock_guard lock(mainMutex_);
        slot.listening.store(false, std::memory_order_release);
        if (client_ != nullptr) {
            jack_port_disconnect(client_, slot.port.load());
            // A callback that began before may still be writing: let it end.
            const std::uint64_t begun = cyclesBegun_.load(std::memory_order_acquire);
            pollUntil(std::chrono::steady_clock::now() + kReleaseBound, kPollInterval,
                      [&] { return !alive() || cycles_.load(std::memory_order_acquire) >= begun; });
        }
        slot.inUse.store(false, std::memory_order_release);
    }

    std::unique_ptr<PlaybackStream> play(std::unique_ptr<StreamCursor> cursor, const DestinationHandle& destination,
                                         StreamStart when) override
    {
        std::lock_guard lock(mainMutex_);
        if (!alive() || client_ == nullptr || cursor == nullptr)
            return nullptr;
        reclaimStoppedSlots();
        const auto* target = dynamic_cast<const jack::Destination*>(destination.get());
        for (std::size_t i = 0; i < kSlotCount; ++i) {
            Slot& slot = slots_[i];
            int expected = Free;
            if (!slot.state.compare_exchange_strong(expected, Reserved))
                continue;
            slot.generation.fetch_add(1, std::memory_order_acq_rel);
            jack_port_t* port = outputPort(i);
            if (port == nullptr) {
                slot.state.store(Free);
                return nullptr;
            }
            jack_port_disconnect(client_, port);
            const std::string& name = target != nullptr ? target->identity() : std::string();
            // A destination that cannot be connected (it just vanished) is not an error: the
            // stream runs on, unheard, so the caller still sees the end.
            const bool connected = target != nullptr && jack_connect(client_, jack_port_name(port), name.c_str()) == 0;
            slot.cursor = std::move(cursor);
            slot.destinationId = target != nullptr ? target->id : 0;
            const auto* previous = dynamic_cast<const JackStream*>(when.after);
            slot.after = previous != nullptr ? previous->slotOf(this) : nullptr;
            slot.afterGeneration = slot.after != nullptr ? slot.after->generation.load(std::memory_order_acquire) : 0;
            // One frame after the song before ends: on one frame, events of two ports reach a synth in
            // no set order, and a note the next song begins with must not come before the note-off
            // that ends the same note of the song before.
            slot.afterFrames =
                std::uint64_t(std::llround(std::max(0.0, when.afterSeconds) * double(sampleRate_.load()))) + 1;
            slot.originSet.store(false, std::memory_order_relaxed);
            slot.stopRequested.store(false, std::memory_order_relaxed);
            slot.drained.store(false, std::memory_order_relaxed);
            slot.drainedAtCycle.store(0, std::memory_order_relaxed);
            // A new connection takes effect in the server's graph at a cycle boundary, and a cycle
            // the server began before it may still be about to run our callback: the callback
            // starts in the first cycle whose graph routes the port to this destination, or the
            // first events would go nowhere (or to the port's previous destination).
            slot.startAfterCycle = cyclesBegun_.load(std::memory_order_acquire);
            slot.awaitConnection = connected && name.size() < slot.destination.size();
            slot.connectedAtCycle = 0;
            if (slot.awaitConnection)
                std::memcpy(slot.destination.data(), name.c_str(), name.size() + 1);
            slot.state.store(Starting, std::memory_order_release);
            return std::make_unique<JackStream>(shared_from_this(), slot);
        }
        return nullptr;
    }

    // Asks the process callback to end the slot's stream; it goes on by itself.
    void requestStop(Slot& slot)
    {
        std::lock_guard lock(mainMutex_);
        int starting = Starting;
        if (slot.state.compare_exchange_strong(starting, Stopped, std::memory_order_acq_rel))
            return;  // never started: nothing to end
        slot.stopRequested.store(true, std::memory_order_release);
        if (!alive())
            slot.state.store(Stopped, std::memory_order_release);
    }

    bool waitUntilSent(Slot& slot, double timeoutSeconds)
    {
        return pollUntil(deadlineAfter(timeoutSeconds), kPollInterval, [&] {
            const int state = slot.state.load(std::memory_order_acquire);
            // Drained in one cycle; a receiver that the server runs late in that cycle, or in the next
            // (a server that does not wait for its clients), has read it once the next has ended.
            return !alive() || state == Free || state == Stopped ||
                   (slot.drained.load(std::memory_order_acquire) &&
                    cycles_.load(std::memory_order_acquire) > slot.drainedAtCycle.load(std::memory_order_acquire) + 1);
        });
    }

    void close(double timeoutSeconds) override
    {
        {
            std::lock_guard lock(mainMutex_);
            if (client_ == nullptr)
                return;
        }
        for (Slot& slot : slots_)
            if (int s = slot.state.load(std::memory_order_acquire); s == Starting || s == Playing)
                requestStop(slot);
        const auto idle = [this] { return !alive() || allSlotsIdle(); };
        pollUntil(deadlineAfter(timeoutSeconds), kPollInterval, idle);
        // Past the bound, a system message still under way ends at once with F7: a synth must never
        // be left with half of one, waiting for the rest.
        endOpenMessages_.store(true, std::memory_order_release);
        const Deadline ended = deadlineAfter(kEndMessageBoundSeconds);
        pollUntil(ended, kPollInterval, idle);
        // What the last cycles wrote (note-offs, the end of a dump) is read by the receivers in that
        // cycle or the next: let two more pass before the ports go.
        const std::uint64_t written = cycles_.load(std::memory_order_acquire);
        pollUntil(ended, kPollInterval,
                  [&] { return !alive() || cycles_.load(std::memory_order_acquire) >= written + 2; });
        // Once the client has let go, the callback runs no more.
        std::lock_guard lock(mainMutex_);
        dead_.store(true, std::memory_order_release);
        jack_deactivate(client_);
        jack_client_close(client_);
        client_ = nullptr;
        for (Slot& slot : slots_) {
            slot.cursor.reset();
            slot.state.store(Free, std::memory_order_release);
        }
    }

private:
    explicit JackBackend(jack_client_t* client) : client_(client) {}

    // The output port of slot `i`, registered on first use and kept.
    jack_port_t* outputPort(std::size_t i)
    {
        Slot& slot = slots_[i];
        jack_port_t* port = slot.port.load();
        if (port == nullptr) {
            const std::string portName = "out_" + std::to_string(i + 1);
            port = jack_port_register(client_, portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
            slot.port.store(port, std::memory_order_release);
        }
        return port;
    }

    bool allSlotsIdle() const
    {
        for (const Slot& slot : slots_)
            if (int s = slot.state.load(std::memory_order_acquire); s == Starting || s == Playing || s == Stopping)
                return false;
        return true;
    }

    // Slots whose streams have ended: their cursors are freed here, on the service thread, never in the
    // callback.
    void reclaimStoppedSlots()
    {
        for (Slot& slot : slots_) {
            if (slot.state.load(std::memory_order_acquire) != Stopped)
                continue;
            if (jack_port_t* port = slot.port.load(); port != nullptr)
                jack_port_disconnect(client_, port);
            slot.cursor.reset();
            slot.state.store(Free, std::memory_order_release);
        }
    }

    static int processThunk(jack_nframes_t frames, void* self)
    {
        static_cast<JackBackend*>(self)->process(frames);
        return 0;
    }
    static void shutdownThunk(jack_status_t, const char*, void* self)
    {
        static_cast<JackBackend*>(self)->dead_.store(true, std::memory_order_release);
    }

    // A stream waits to start while an earlier one to the same destination is still ending (its
    // SysEx and note-offs go first).
    bool destinationBusy(const Slot& starting) const noexcept
    {
        if (starting.destinationId == 0)
            return false;
        for (const Slot& other : slots_)
            if (&other != &starting && other.destinationId == starting.destinationId &&
                other.state.load(std::memory_order_acquire) == Stopping)
                return true;
        return false;
    }

    // Whether what the slot's port writes in this cycle reaches its new destination: from the cycle
    // after the one whose graph first showed the connection (in that one the receiver may have run
    // before us), so that what a song sends at its very start (program changes, the opening chord)
    // is not lost. Reads the graph from shared memory: no lock, no allocation.
    static bool connectionCarries(Slot& slot, jack_port_t* port, std::uint64_t thisCycle, jack_nframes_t frames,
                                  double rate) noexcept
    {
        if (slot.connectedAtCycle != 0)
            return thisCycle > slot.connectedAtCycle;
        if (jack_port_connected_to(port, slot.destination.data()) != 0) {
            slot.connectedAtCycle = thisCycle;
            return false;
        }
        const double waited = double(thisCycle - slot.startAfterCycle) * double(frames) / rate;
        return waited > kConnectionWaitSeconds;
    }

    // Sets where the slot's stream has its second 0, once: in this cycle, or where the stream it
    // follows puts it once that one has begun. True once that falls within this cycle (or before).
    bool originFalls(Slot& slot, jack_nframes_t frames) noexcept
    {
        if (!slot.originSet.load(std::memory_order_relaxed)) {
            const Slot* after = slot.after;
            const bool same = after != nullptr && after->generation.load(std::memory_order_acquire) == slot.afterGeneration;
            const bool begun = same && after->originSet.load(std::memory_order_acquire);
            if (same && !begun && after->state.load(std::memory_order_acquire) != Stopped)
                return false;  // the stream it follows has not begun yet
            slot.originFrame.store(begun ? after->originFrame.load(std::memory_order_relaxed) + slot.afterFrames
                                         : frameClock_,
                                   std::memory_order_relaxed);
            slot.originSet.store(true, std::memory_order_release);
        }
        return slot.originFrame.load(std::memory_order_relaxed) < frameClock_ + frames;
    }

    // Real-time: no allocation, no lock, no blocking.
    void process(jack_nframes_t frames)
    {
        const std::uint64_t thisCycle = cyclesBegun_.fetch_add(1, std::memory_order_acq_rel) + 1;
        // Follows the server's frame clock across wrap-around and skipped cycles.
        const jack_nframes_t cycleStart = jack_last_frame_time(client_);
        frameClock_ += jack_nframes_t(cycleStart - lastCycleStart_);
        lastCycleStart_ = cycleStart;
        const double rate = double(sampleRate_.load(std::memory_order_relaxed));
        for (jack::InputSlot& slot : inputs_)
            jack::receive(slot, frames);
        for (Slot& slot : slots_) {
            jack_port_t* port = slot.port.load(std::memory_order_acquire);
            if (port == nullptr)
                continue;
            // Every registered port is cleared every cycle, so nothing stale reaches a new connection.
            void* buffer = jack_port_get_buffer(port, frames);
            jack_midi_clear_buffer(buffer);
            int state = slot.state.load(std::memory_order_acquire);
            if (state == Free || state == Reserved || state == Stopped)
                continue;
            if (state == Starting) {
                if (thisCycle <= slot.startAfterCycle || destinationBusy(slot))
                    continue;
                if (slot.awaitConnection && !connectionCarries(slot, port, thisCycle, frames, rate))
                    continue;
                if (!originFalls(slot, frames))
                    continue;
                if (!slot.state.compare_exchange_strong(state, Playing, std::memory_order_acq_rel))
                    continue;  // stopped before it started
                state = Playing;
            }
            // Negative in the cycle where a stream that follows another begins after its first frame.
            const std::int64_t elapsedFrames =
                std::int64_t(frameClock_ - slot.originFrame.load(std::memory_order_relaxed));
            StreamCursor& cursor = *slot.cursor;
            if (state == Playing && slot.stopRequested.load(std::memory_order_acquire)) {
                // A SysEx under way goes on to its end; the note-offs follow it.
                cursor.stop(double(std::max<std::int64_t>(0, elapsedFrames)) / rate, true);
                slot.state.store(Stopping, std::memory_order_release);
                state = Stopping;
            }
            if (state == Stopping && endOpenMessages_.load(std::memory_order_acquire))
                cursor.endMessageNow();  // the client is closing
            // A destination that lost its connection in the middle of a SysEx never gets the rest of
            // it later without its start.
            if (cursor.insideSystemMessage() && jack_port_connected(port) == 0)
                cursor.abandonMessage();
            emitDue(cursor, elapsedFrames, buffer, frames, rate);
            if (cursor.atEnd()) {
                if (state == Stopping) {
                    slot.state.store(Stopped, std::memory_order_release);
                } else if (!slot.drained.load(std::memory_order_relaxed)) {
                    slot.drainedAtCycle.store(cycles_.load(std::memory_order_relaxed), std::memory_order_relaxed);
                    slot.drained.store(true, std::memory_order_release);
                }
            }
        }
        cycles_.fetch_add(1, std::memory_order_acq_rel);
    }

    // Writes the events due in this cycle at their frame offsets. A system message is carried as
    // consecutive events: each cycle takes the bytes that have drained at the paced speed by the
    // cycle's end (and that fit in the port buffer), so a long dump streams over many cycles at the
    // synth's speed, whole and in order.
    static void emitDue(StreamCursor& cursor, std::int64_t windowStart, void* buffer, jack_nframes_t frames,
                        double rate) noexcept
    {
        const std::int64_t windowEnd = windowStart + frames;
        const double horizonSeconds = double(windowEnd) / rate;
        for (;;) {
            const std::size_t room = jack_midi_max_event_size(buffer);
            if (room == 0)
                break;  // the port buffer is full: the rest goes out next cycle
            const StreamEvent* event = cursor.peek(horizonSeconds, room);
            if (event == nullptr)
                break;
            const std::int64_t frame = std::llround(std::max(0.0, event->seconds) * rate);
            if (frame >= windowEnd)
                break;
            const jack_nframes_t offset = frame <= windowStart ? 0 : jack_nframes_t(frame - windowStart);
            jack_midi_data_t* out = jack_midi_event_reserve(buffer, offset, event->size());
            if (out == nullptr)
                break;
            event->copyTo(out);
            cursor.advance();
        }
    }

    jack_client_t* client_;
    std::array<Slot, kSlotCount> slots_;
    std::array<jack::InputSlot, jack::kInputSlotCount> inputs_;
    std::map<std::string, std::uint64_t> destinationIds_;  // (main)
    std::atomic<jack_nframes_t> sampleRate_{48000};
    std::uint64_t frameClock_ = 0;       // (rt) the server's frame time, never wrapping
    jack_nframes_t lastCycleStart_ = 0;  // (rt)
    std::atomic<std::uint64_t> cycles_{0};       // cycles completed
    std::atomic<std::uint64_t> cyclesBegun_{0};  // cycles whose callback has begun
    std::atomic<bool> endOpenMessages_{false};   // closing: what is under way ends now
    std::atomic<bool> dead_{false};
    std::mutex mainMutex_;  // serialises slot management off the callback; never taken by it
};

void JackStream::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    backend_->requestStop(slot_);
}

bool JackStream::waitUntilSent(double timeoutSeconds)
{
    if (stopped_)
        return true;
    return backend_->waitUntilSent(slot_, timeoutSeconds);
}

}  // namespace

std::shared_ptr<MidiBackend> openJackBackend()
{
    return JackBackend::open();
}

}  // namespace brennick
