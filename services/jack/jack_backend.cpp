#include "services/jack/jack_backend.h"

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/midiport.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include "services/playback_schedule.h"

namespace brennick {

namespace {

constexpr const char* kClientName = "Brennick MIDI Player";
constexpr std::size_t kSlotCount = 8;
constexpr auto kStopBound = std::chrono::milliseconds(500);
// How many cycles a new stream waits for its connection to show in the server's graph before it
// starts anyway (the destination vanished meanwhile: the stream runs on, unheard).
constexpr std::uint64_t kConnectionWaitCycles = 16;
constexpr std::uint64_t kActivationCycles = 2;
constexpr auto kActivationBound = std::chrono::milliseconds(500);

enum SlotState : int { Free, Reserved, Starting, Playing, Stopping, Stopped };

// One output port and the playback it carries. The main thread owns the fields marked (main) while
// the slot is Free or Reserved; the process callback owns the (rt) fields from Starting on.
struct Slot {
    std::atomic<int> state{Free};
    std::atomic<jack_port_t*> port{nullptr};     // registered on first use by the main thread, kept
    const PlaybackSchedule* schedule = nullptr;  // (main) set before Starting
    std::uint64_t startAfterCycle = 0;           // (main) set before Starting
    bool awaitConnection = false;                // (main) set before Starting
    std::array<char, 512> destination{};         // (main) full port name, set before Starting

    // (rt) playback position
    jack_nframes_t lastCycleStart = 0;
    std::uint64_t elapsedFrames = 0;  // frames from the start to the current cycle
    std::size_t channelCursor = 0;
    std::size_t systemCursor = 0;
    std::uint32_t systemOffset = 0;                           // bytes of the current system message already sent
    std::array<std::array<std::uint64_t, 2>, 16> sounding{};  // 128 key bits per channel

    std::atomic<bool> drained{false};
    std::atomic<std::uint64_t> drainedAtCycle{0};
    std::atomic<std::size_t> dropped{0};

    void resetForStart(const PlaybackSchedule* s) noexcept
    {
        schedule = s;
        elapsedFrames = 0;
        channelCursor = systemCursor = 0;
        systemOffset = 0;
        sounding = {};
        drained.store(false, std::memory_order_relaxed);
        drainedAtCycle.store(0, std::memory_order_relaxed);
        dropped.store(0, std::memory_order_relaxed);
    }
};

class JackBackend;

class JackStream final : public PlaybackStream {
public:
    JackStream(std::shared_ptr<JackBackend> backend, Slot& slot, std::shared_ptr<const PlaybackSchedule> schedule)
        : backend_(std::move(backend)), slot_(slot), schedule_(std::move(schedule))
    {
    }
    ~JackStream() override { stop(); }

    void stop() override;
    bool waitUntilSent(double timeoutSeconds) override;
    std::size_t droppedCount() const override { return slot_.dropped.load(std::memory_order_relaxed); }

private:
    std::shared_ptr<JackBackend> backend_;
    Slot& slot_;
    std::shared_ptr<const PlaybackSchedule> schedule_;
    bool released_ = false;
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
        if (jack_activate(client) != 0) {
            backend->dead_.store(true);
            return nullptr;
        }
        // What a client writes in its first cycles after activation can miss the clients it is
        // connected to (the server has yet to place it in the graph's running order): let those
        // cycles pass before any stream can start. Bounded, for a server that stalls.
        const auto deadline = std::chrono::steady_clock::now() + kActivationBound;
        while (backend->cyclesBegun_.load(std::memory_order_acquire) < kActivationCycles &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return backend;
    }

    ~JackBackend() override { closeClient(); }

    // Closing also deactivates: the callback has stopped when this returns. A client whose server
    // went away is closed before another is opened, so the two never share the library's tables.
    void closeClient() override
    {
        std::lock_guard lock(mainMutex_);
        dead_.store(true, std::memory_order_release);
        if (client_ != nullptr)
            jack_client_close(client_);
        client_ = nullptr;
    }

    const char* name() const override { return "JACK"; }
    bool alive() const override { return !dead_.load(std::memory_order_acquire); }

    std::vector<DestinationInfo> destinations() override
    {
        std::vector<DestinationInfo> result;
        if (!alive())
            return result;
        const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
        if (ports == nullptr)
            return result;
        const std::string own = std::string(jack_get_client_name(client_)) + ":";
        for (const char** p = ports; *p != nullptr; ++p) {
            if (std::strncmp(*p, own.c_str(), own.size()) == 0)
                continue;
            if (auto display = displayName(*p))
                result.push_back({*p, *display});
        }
        jack_free(ports);
        return result;
    }

    // The port's pretty-name metadata when it has one, else its full name "client:port".
    std::optional<std::string> displayName(const std::string& uniqueName) override
    {
        if (!alive())
            return std::nullopt;
        jack_port_t* port = jack_port_by_name(client_, uniqueName.c_str());
        if (port == nullptr)
            return std::nullopt;
        std::string name = uniqueName;
        char* value = nullptr;
        char* type = nullptr;
        if (jack_get_property(jack_port_uuid(port), JACK_METADATA_PRETTY_NAME, &value, &type) == 0) {
            if (value != nullptr && *value != '\0')
                name = value;
            jack_free(value);
            jack_free(type);
        }
        return name;
    }

    std::unique_ptr<PlaybackStream> play(std::shared_ptr<const PlaybackSchedule> schedule,
                                         const std::string& destination) override
    {
        std::lock_guard lock(mainMutex_);
        if (!alive())
            return nullptr;
        for (std::size_t i = 0; i < kSlotCount; ++i) {
            Slot& slot = slots_[i];
            // Stopped: the callback has finished with a slot whose release timed out earlier.
            int expected = Free;
            if (!slot.state.compare_exchange_strong(expected, Reserved)) {
                expected = Stopped;
                if (!slot.state.compare_exchange_strong(expected, Reserved))
                    continue;
            }
            jack_port_t* port = slot.port.load();
            if (port == nullptr) {
                const std::string portName = "out_" + std::to_string(i + 1);
                port = jack_port_register(client_, portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
                if (port == nullptr) {
                    slot.state.store(Free);
                    return nullptr;
                }
                slot.port.store(port, std::memory_order_release);
            }
            jack_port_disconnect(client_, port);
            // A destination that cannot be connected (it just vanished) is not an error: the
            // stream runs on, unheard, so the caller still sees the end.
            const bool connected = jack_connect(client_, jack_port_name(port), destination.c_str()) == 0;
            slot.resetForStart(schedule.get());
            // A new connection takes effect in the server's graph at a cycle boundary, and a cycle
            // the server began before it may still be about to run our callback: the callback
            // starts in the first cycle whose graph routes the port to this destination, or the
            // first events would go nowhere (or to the port's previous destination).
            slot.startAfterCycle = cyclesBegun_.load(std::memory_order_acquire);
            slot.awaitConnection = connected && destination.size() < slot.destination.size();
            if (slot.awaitConnection)
                std::memcpy(slot.destination.data(), destination.c_str(), destination.size() + 1);
            slot.state.store(Starting, std::memory_order_release);
            return std::make_unique<JackStream>(shared_from_this(), slot, std::move(schedule));
        }
        return nullptr;
    }

    void release(Slot& slot)
    {
        std::lock_guard lock(mainMutex_);
        int state = slot.state.load(std::memory_order_acquire);
        if ((state == Starting || state == Playing) &&
            slot.state.compare_exchange_strong(state, Stopping, std::memory_order_acq_rel)) {
            const auto deadline = std::chrono::steady_clock::now() + kStopBound;
            while (alive() && slot.state.load(std::memory_order_acquire) != Stopped &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (slot.state.load(std::memory_order_acquire) != Stopped && alive()) {
                // The callback did not answer in time (a stalled server): keep the slot out of use
                // rather than hand memory it may still read to another stream.
                return;
            }
        }
        if (jack_port_t* port = slot.port.load(); alive() && port != nullptr)
            jack_port_disconnect(client_, port);
        slot.schedule = nullptr;
        slot.state.store(Free, std::memory_order_release);
    }

    bool waitUntilSent(Slot& slot, double timeoutSeconds)
    {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                   std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
        for (;;) {
            if (!alive())
                return true;
            const int state = slot.state.load(std::memory_order_acquire);
            if (state == Free || state == Stopped)
                return true;
            // Drained in one cycle, delivered to the receivers by the end of that same cycle.
            if (slot.drained.load(std::memory_order_acquire) &&
                cycles_.load(std::memory_order_acquire) > slot.drainedAtCycle.load(std::memory_order_acquire))
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

private:
    explicit JackBackend(jack_client_t* client) : client_(client) {}

    static int processThunk(jack_nframes_t frames, void* self)
    {
        static_cast<JackBackend*>(self)->process(frames);
        return 0;
    }
    static void shutdownThunk(jack_status_t, const char*, void* self)
    {
        static_cast<JackBackend*>(self)->dead_.store(true, std::memory_order_release);
    }

    // Real-time: no allocation, no lock, no blocking.
    void process(jack_nframes_t frames)
    {
        const std::uint64_t thisCycle = cyclesBegun_.fetch_add(1, std::memory_order_acq_rel) + 1;
        const jack_nframes_t cycleStart = jack_last_frame_time(client_);
        const double rate = double(sampleRate_.load(std::memory_order_relaxed));
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
                if (thisCycle <= slot.startAfterCycle)
                    continue;
                // Reads the graph of this cycle from shared memory: no lock, no allocation.
                if (slot.awaitConnection && thisCycle <= slot.startAfterCycle + kConnectionWaitCycles &&
                    jack_port_connected_to(port, slot.destination.data()) == 0)
                    continue;
                slot.lastCycleStart = cycleStart;
                if (!slot.state.compare_exchange_strong(state, Playing, std::memory_order_acq_rel))
                    state = slot.state.load(std::memory_order_acquire);
                else
                    state = Playing;
            } else {
                // Follows the server's frame clock across wrap-around and skipped cycles.
                slot.elapsedFrames += jack_nframes_t(cycleStart - slot.lastCycleStart);
                slot.lastCycleStart = cycleStart;
            }
            if (state == Playing)
                emitDue(slot, buffer, frames, rate);
            else if (state == Stopping)
                silence(slot, buffer);
        }
        cycles_.fetch_add(1, std::memory_order_acq_rel);
    }

    void emitDue(Slot& slot, void* buffer, jack_nframes_t frames, double rate)
    {
        const PlaybackSchedule& s = *slot.schedule;
        const std::uint64_t windowStart = slot.elapsedFrames;
        const std::uint64_t windowEnd = windowStart + frames;
        jack_nframes_t lastOffset = 0;
        const auto offsetOf = [&](std::uint64_t frame) {
            const jack_nframes_t offset = frame <= windowStart ? 0 : jack_nframes_t(frame - windowStart);
            lastOffset = std::max(lastOffset, offset);  // event times must not go backwards
            return lastOffset;
        };
        const auto frameOf = [rate](double seconds) {
            return std::uint64_t(std::llround(std::max(0.0, seconds) * rate));
        };

        for (;;) {
            const bool haveChannel = slot.channelCursor < s.channel.size();
            const bool haveSystem = slot.systemCursor < s.system.size();
            if (!haveChannel && !haveSystem)
                break;
            const std::uint64_t channelFrame =
                haveChannel ? frameOf(s.channel[slot.channelCursor].seconds) : UINT64_MAX;
            std::uint64_t systemFrame = UINT64_MAX;
            std::uint32_t systemDue = 0;
            if (haveSystem) {
                const ScheduledMessage& m = s.system[slot.systemCursor];
                const std::uint64_t start = frameOf(m.seconds);
                systemFrame = start + (s.bytesPerSecond > 0.0
                                           ? std::uint64_t(std::floor(slot.systemOffset * rate / s.bytesPerSecond))
                                           : 0);
                // Bytes due before the window ends: byte k leaves at start + k / speed.
                if (windowEnd > start) {
                    const double due = s.bytesPerSecond > 0.0
                                           ? std::ceil(double(windowEnd - start) * s.bytesPerSecond / rate)
                                           : double(m.length);
                    systemDue = std::uint32_t(std::min<double>(due, m.length));
                }
            }
            // At equal times a system message goes first: a reset or a sound dump precedes the
            // notes that use it. While a long one is streaming, channel messages wait for its
            // end: a status byte inside a SysEx would end it early on a byte-stream receiver.
            const bool systemInFlight = slot.systemOffset > 0;
            if (haveSystem && (systemInFlight || systemFrame <= channelFrame)) {
                if (systemFrame >= windowEnd || systemDue <= slot.systemOffset)
                    break;
                if (!emitSystem(slot, buffer, offsetOf(systemFrame), systemDue))
                    break;
            } else {
                if (channelFrame >= windowEnd)
                    break;
                const ScheduledMessage& m = s.channel[slot.channelCursor];
                if (jack_midi_event_write(buffer, offsetOf(channelFrame), m.data, m.length) != 0)
                    break;  // port buffer full: the rest goes out next cycle
                trackNotes(slot, m.data, m.length);
                ++slot.channelCursor;
            }
        }
        if (slot.channelCursor >= s.channel.size() && slot.systemCursor >= s.system.size() &&
            !slot.drained.load(std::memory_order_relaxed)) {
            slot.drainedAtCycle.store(cycles_.load(std::memory_order_relaxed), std::memory_order_relaxed);
            slot.drained.store(true, std::memory_order_release);
        }
    }

    // Sends the due bytes of the current system message. A long message is carried as consecutive
    // events: each cycle takes the bytes that have drained at the paced speed by the cycle's end
    // (and that fit in the port buffer), so a 64 KB dump streams over many cycles at exactly the
    // synth's speed; the first event starts with F0, the last ends with F7, and receivers that read
    // MIDI as a byte stream see the message whole and in order.
    bool emitSystem(Slot& slot, void* buffer, jack_nframes_t offset, std::uint32_t due)
    {
        const ScheduledMessage& m = slot.schedule->system[slot.systemCursor];
        std::size_t chunk = due - slot.systemOffset;
        chunk = std::min(chunk, jack_midi_max_event_size(buffer));
        if (chunk == 0)
            return false;
        if (jack_midi_event_write(buffer, offset, m.data + slot.systemOffset, chunk) != 0)
            return false;
        slot.systemOffset += std::uint32_t(chunk);
        if (slot.systemOffset >= m.length) {
            slot.systemOffset = 0;
            ++slot.systemCursor;
        }
        return true;
    }

    static void trackNotes(Slot& slot, const std::uint8_t* data, std::uint32_t length) noexcept
    {
        if (length < 3)
            return;
        const std::uint8_t type = data[0] & 0xF0;
        const std::uint8_t key = data[1] & 0x7F;
        std::uint64_t& word = slot.sounding[data[0] & 0x0F][key >> 6];
        const std::uint64_t bit = std::uint64_t(1) << (key & 63);
        if (type == 0x90 && data[2] != 0)
            word |= bit;
        else if (type == 0x80 || type == 0x90)
            word &= ~bit;
    }

    // Ends an unfinished system message and sends note-offs for every sounding note; what does not
    // fit in this cycle's buffer goes in the next.
    void silence(Slot& slot, void* buffer)
    {
        if (slot.systemOffset != 0) {
            static constexpr std::uint8_t endOfExclusive = 0xF7;
            if (jack_midi_event_write(buffer, 0, &endOfExclusive, 1) != 0)
                return;
            slot.systemOffset = 0;
        }
        for (std::uint8_t channel = 0; channel < 16; ++channel) {
            for (std::uint8_t half = 0; half < 2; ++half) {
                std::uint64_t& word = slot.sounding[channel][half];
                while (word != 0) {
                    const int bitIndex = __builtin_ctzll(word);
                    const std::uint8_t noteOff[3] = {std::uint8_t(0x80 | channel), std::uint8_t(half * 64 + bitIndex),
                                                     0x40};
                    if (jack_midi_event_write(buffer, 0, noteOff, 3) != 0)
                        return;
                    word &= word - 1;
                }
            }
        }
        slot.state.store(Stopped, std::memory_order_release);
    }

    jack_client_t* client_;
    std::array<Slot, kSlotCount> slots_;
    std::atomic<jack_nframes_t> sampleRate_{48000};
    std::atomic<std::uint64_t> cycles_{0};       // cycles completed
    std::atomic<std::uint64_t> cyclesBegun_{0};  // cycles whose callback has begun
    std::atomic<bool> dead_{false};
    std::mutex mainMutex_;  // serialises main-thread slot management; never taken by the callback
};

void JackStream::stop()
{
    if (released_)
        return;
    released_ = true;
    backend_->release(slot_);
}

bool JackStream::waitUntilSent(double timeoutSeconds)
{
    if (released_)
        return true;
    return backend_->waitUntilSent(slot_, timeoutSeconds);
}

}  // namespace

std::shared_ptr<MidiBackend> openJackBackend()
{
    return JackBackend::open();
}

}  // namespace brennick
