#include "services/alsa/alsa_backend.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "services/playback_schedule.h"

namespace brennick {

namespace {

constexpr const char* kClientName = "Brennick MIDI Player";
constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// How far ahead of the queue's clock the feeder keeps events in the kernel: enough to ride out a
// busy machine, little enough that a huge file never sits in the kernel at once and a stop has
// little to remove.
constexpr std::int64_t kLookaheadNs = 1'500'000'000;
// The first event of a stream is due this long after the request, so the first batch is in the
// kernel before its time.
constexpr std::int64_t kStartLeadNs = 20'000'000;
// System messages travel in pieces of at most this many bytes, each leaving when its first byte is
// due at the paced speed: a hardware port's small byte buffer is never flooded, and a piece always
// fits in the kernel's event pool (a 64 KB message in one event would not).
constexpr std::uint32_t kSysExPiece = 256;
constexpr int kOutputPool = 2000;    // event cells; the most the kernel grants a client
constexpr std::size_t kBatch = 128;  // events written per hold of the lock
constexpr auto kFeedInterval = std::chrono::milliseconds(20);
constexpr auto kPoolFullRetry = std::chrono::milliseconds(4);
constexpr std::int64_t kPortCheckIntervalNs = 100'000'000;
constexpr std::size_t kTagCount = 256;  // event tags 1..255 name the streams; 0 is unused

// A hostile file can put events centuries away; the queue's clock counts seconds in 32 bits.
constexpr double kLatestSeconds = 1e9;

std::int64_t toNs(double seconds)
{
    return std::llround(std::clamp(seconds, 0.0, kLatestSeconds) * double(kNsPerSecond));
}

// libasound reports a missing /dev/snd/seq on standard error; here that is an expected answer.
void quietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

std::string composeUniqueName(int client, int port, const char* clientName, const char* portName)
{
    return std::to_string(client) + ":" + std::to_string(port) + " " + clientName + ":" + portName;
}

// The port name when it already begins with the client name (hardware ports usually do), else both.
std::string composeDisplayName(const std::string& clientName, const std::string& portName)
{
    if (portName.compare(0, clientName.size(), clientName) == 0)
        return portName;
    return clientName + " " + portName;
}

bool isDestinationPort(const snd_seq_port_info_t* port)
{
    const unsigned caps = snd_seq_port_info_get_capability(port);
    constexpr unsigned wanted = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    return (caps & wanted) == wanted && (caps & SND_SEQ_PORT_CAP_NO_EXPORT) == 0;
}

enum class Written { One, NotDue, Done, PoolFull, Fatal };

// One schedule playing to one destination. Every field is guarded by the backend's mutex, except
// `dropped`, which the stream object reads without it.
struct StreamState {
    std::shared_ptr<const PlaybackSchedule> schedule;
    snd_seq_addr_t dest{};
    std::string destClientName;  // a different client that takes the same number is not ours
    int port = -1;               // ours, connected to the destination
    unsigned char tag = 0;
    std::int64_t originNs = 0;  // queue time of second 0 of the schedule
    snd_midi_event_t* encoder = nullptr;

    std::size_t channelCursor = 0;
    std::size_t systemCursor = 0;
    std::uint32_t systemOffset = 0;  // bytes of the current system message already written
    std::int64_t lastWrittenNs = 0;
    std::int64_t systemWrittenNs = 0;  // time of the latest system piece written
    std::int64_t lastPortCheckNs = 0;
    bool allWritten = false;
    bool echoWritten = false;
    bool finished = false;     // everything written has also left the queue
    std::uint32_t serial = 0;  // names the stream in its echo
    bool gone = false;         // the destination disappeared; the rest is dropped
    bool stopped = false;

    // Keys sounding after what was written, and the queue time of each key's latest note-off: a
    // note-off still pending when the stream stops is removed with the rest, so its note needs ours.
    std::array<std::array<std::uint64_t, 2>, 16> sounding{};
    std::vector<std::int64_t> noteOffAt = std::vector<std::int64_t>(16 * 128, -1);
    // SysEx spans [from, until) in queue time: from the piece with F0 to the piece with the closing
    // F7. A stop inside one leaves the receiver mid-message, so it gets an F7 of its own.
    bool sysExOpen = false;
    std::int64_t openSince = 0;
    std::deque<std::pair<std::int64_t, std::int64_t>> sysExSpans;

    std::atomic<std::size_t> dropped{0};

    ~StreamState()
    {
        if (encoder != nullptr)
            snd_midi_event_free(encoder);
    }

    std::size_t remaining() const
    {
        return (schedule->channel.size() - channelCursor) + (schedule->system.size() - systemCursor);
    }
};

class AlsaBackend;

class AlsaStream final : public PlaybackStream {
public:
    AlsaStream(std::shared_ptr<AlsaBackend> backend, std::shared_ptr<StreamState> state)
        : backend_(std::move(backend)), state_(std::move(state))
    {
    }
    ~AlsaStream() override { stop(); }

    void stop() override;
    bool waitUntilSent(double timeoutSeconds) override;
    std::size_t droppedCount() const override { return state_->dropped.load(std::memory_order_relaxed); }

private:
    std::shared_ptr<AlsaBackend> backend_;
    std::shared_ptr<StreamState> state_;
    bool released_ = false;
};

class AlsaBackend final : public MidiBackend, public std::enable_shared_from_this<AlsaBackend> {
public:
    static std::shared_ptr<AlsaBackend> open()
    {
        snd_lib_error_set_handler(&quietAlsaErrors);
        snd_seq_t* seq = nullptr;
        const int opened = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
        snd_lib_error_set_handler(nullptr);
        if (opened < 0)
            return nullptr;
        snd_seq_set_client_name(seq, kClientName);
        // The default pool (500 cells) holds too little look-ahead for dense files and long SysEx;
        // a kernel that grants less still works, with a shorter reach.
        snd_seq_set_client_pool_output(seq, kOutputPool);
        const int queue = snd_seq_alloc_named_queue(seq, kClientName);
        // Where a stream's echo comes back once the queue has dispatched everything before it.
        const int syncPort = snd_seq_create_simple_port(
            seq, "sync", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT, SND_SEQ_PORT_TYPE_APPLICATION);
        if (queue < 0 || syncPort < 0) {
            snd_seq_close(seq);
            return nullptr;
        }
        auto backend = std::shared_ptr<AlsaBackend>(new AlsaBackend(seq, queue, syncPort));
        backend->feeder_ = std::thread([raw = backend.get()] { raw->feed(); });
        return backend;
    }

    ~AlsaBackend() override { closeClient(); }

    void closeClient() override
    {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        if (feeder_.joinable() && feeder_.get_id() != std::this_thread::get_id())
            feeder_.join();
        std::lock_guard lock(mutex_);
        dead_.store(true, std::memory_order_release);
        if (seq_ != nullptr)
            snd_seq_close(seq_);
        seq_ = nullptr;
    }

    const char* name() const override { return "ALSA sequencer"; }
    bool alive() const override { return !dead_.load(std::memory_order_acquire); }

    std::vector<DestinationInfo> destinations() override
    {
        std::vector<std::tuple<int, int, DestinationInfo>> found;
        {
            std::lock_guard lock(mutex_);
            if (seq_ == nullptr)
                return {};
            snd_seq_client_info_t* client = nullptr;
            snd_seq_port_info_t* port = nullptr;
            snd_seq_client_info_alloca(&client);
            snd_seq_port_info_alloca(&port);
            const int own = snd_seq_client_id(seq_);
            snd_seq_client_info_set_client(client, -1);
            while (snd_seq_query_next_client(seq_, client) >= 0) {
                const int c = snd_seq_client_info_get_client(client);
                const std::string clientName = snd_seq_client_info_get_name(client);
                if (c == SND_SEQ_CLIENT_SYSTEM || c == own || clientName == "Midi Through")
                    continue;
                snd_seq_port_info_set_client(port, c);
                snd_seq_port_info_set_port(port, -1);
                while (snd_seq_query_next_port(seq_, port) >= 0) {
                    if (!isDestinationPort(port))
                        continue;
                    const int p = snd_seq_port_info_get_port(port);
                    const char* portName = snd_seq_port_info_get_name(port);
                    found.emplace_back(c, p,
                                       DestinationInfo{composeUniqueName(c, p, clientName.c_str(), portName),
                                                       composeDisplayName(clientName, portName)});
                }
            }
        }
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
            return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
        });
        std::vector<DestinationInfo> result;
        result.reserve(found.size());
        for (auto& entry : found)
            result.push_back(std::move(std::get<2>(entry)));
        return result;
    }

    std::optional<std::string> displayName(const std::string& uniqueName) override
    {
        std::lock_guard lock(mutex_);
        snd_seq_addr_t address{};
        std::string clientName, portName;
        if (!resolve(uniqueName, address, clientName, portName))
            return std::nullopt;
        return composeDisplayName(clientName, portName);
    }

    std::unique_ptr<PlaybackStream> play(std::shared_ptr<const PlaybackSchedule> schedule,
                                         const std::string& destination) override
    {
        std::unique_lock lock(mutex_);
        if (seq_ == nullptr || schedule == nullptr)
            return nullptr;
        const unsigned char tag = takeTag();
        if (tag == 0)
            return nullptr;
        auto state = std::make_shared<StreamState>();
        state->schedule = std::move(schedule);
        state->tag = tag;
        state->serial = nextSerial_++;
        if (snd_midi_event_new(16, &state->encoder) < 0) {
            tagInUse_[tag] = false;
            return nullptr;
        }
        // Each stream sends from a port of its own, connected to the destination: a port driven
        // by hardware opens its device only for a connection, and when the destination goes the
        // kernel drops the connection, so nothing reaches a newcomer that takes its number.
        state->port = snd_seq_create_simple_port(seq_, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                                 SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (state->port < 0) {
            tagInUse_[tag] = false;
            return nullptr;
        }
        std::string portName;
        // A destination that cannot be found (it just vanished) is not an error: the stream runs
        // on, unheard, so the caller still sees the end.
        if (!resolve(destination, state->dest, state->destClientName, portName) ||
            snd_seq_connect_to(seq_, state->port, state->dest.client, state->dest.port) < 0) {
            state->gone = true;
            state->dropped.store(state->remaining(), std::memory_order_relaxed);
        }
        if (!queueRunning_) {
            // Starting resets the queue's clock to zero and drops what this client had queued on
            // it; nothing is, since every earlier stream has finished.
            snd_seq_start_queue(seq_, queue_, nullptr);
            if (snd_seq_drain_output(seq_) < 0) {
                snd_seq_drop_output(seq_);
                snd_seq_delete_simple_port(seq_, state->port);
                tagInUse_[tag] = false;
                return nullptr;
            }
            queueRunning_ = true;
        }
        const std::int64_t now = queueNowNs();
        state->originNs = now + kStartLeadNs;
        state->lastPortCheckNs = now;
        if (!state->gone)
            feedStream(*state, now + kLookaheadNs, kBatch);
        else
            state->allWritten = state->finished = true;
        streams_.push_back(state);
        lock.unlock();
        wake_.notify_all();
        return std::make_unique<AlsaStream>(shared_from_this(), std::move(state));
    }

    // Removes what is still queued for the stream, closes an interrupted SysEx and sends note-offs
    // for what it left sounding, directly (unqueued).
    void release(StreamState& state)
    {
        std::lock_guard lock(mutex_);
        if (state.stopped)
            return;
        state.stopped = true;
        if (seq_ != nullptr) {
            if (!state.finished)
                removeQueued(state);
            if (!state.gone)
                silence(state, state.finished ? INT64_MAX : queueNowNs());
            snd_seq_delete_simple_port(seq_, state.port);  // also ends its connection
        }
        tagInUse_[state.tag] = false;
        std::erase_if(streams_, [&](const auto& s) { return s.get() == &state; });
        stopQueueWhenIdle();
    }

    bool waitUntilSent(StreamState& state, double timeoutSeconds)
    {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                   std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (seq_ == nullptr || state.stopped || state.gone)
                    return true;
                readEchoes();
                if (state.finished)
                    return true;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

private:
    AlsaBackend(snd_seq_t* seq, int queue, int syncPort) : seq_(seq), queue_(queue), syncPort_(syncPort) {}

    // Finds the port a unique name was made for; false when it is gone, has been taken by another
    // client, or no longer takes input.
    bool resolve(const std::string& uniqueName, snd_seq_addr_t& address, std::string& clientName, std::string& portName)
    {
        if (seq_ == nullptr)
            return false;
        int client = -1, port = -1, consumed = 0;
        if (std::sscanf(uniqueName.c_str(), "%d:%d %n", &client, &port, &consumed) != 2 || consumed == 0 ||
            client < 0 || client > 255 || port < 0 || port > 255)
            return false;
        snd_seq_client_info_t* clientInfo = nullptr;
        snd_seq_port_info_t* portInfo = nullptr;
        snd_seq_client_info_alloca(&clientInfo);
        snd_seq_port_info_alloca(&portInfo);
        if (snd_seq_get_any_client_info(seq_, client, clientInfo) < 0 ||
            snd_seq_get_any_port_info(seq_, client, port, portInfo) < 0 || !isDestinationPort(portInfo))
            return false;
        const char* cn = snd_seq_client_info_get_name(clientInfo);
        const char* pn = snd_seq_port_info_get_name(portInfo);
        if (composeUniqueName(client, port, cn, pn) != uniqueName)
            return false;
        address.client = static_cast<unsigned char>(client);
        address.port = static_cast<unsigned char>(port);
        clientName = cn;
        portName = pn;
        return true;
    }

    unsigned char takeTag()
    {
        for (std::size_t i = 1; i < kTagCount; ++i) {
            const std::size_t tag = (nextTag_ + i - 1) % (kTagCount - 1) + 1;
            if (!tagInUse_[tag]) {
                tagInUse_[tag] = true;
                nextTag_ = tag % (kTagCount - 1) + 1;
                return static_cast<unsigned char>(tag);
            }
        }
        return 0;
    }

    std::int64_t queueNowNs()
    {
        if (!queueRunning_)
            return 0;
        snd_seq_queue_status_t* status = nullptr;
        snd_seq_queue_status_alloca(&status);
        if (snd_seq_get_queue_status(seq_, queue_, status) < 0)
            return 0;
        const snd_seq_real_time_t* t = snd_seq_queue_status_get_real_time(status);
        return std::int64_t(t->tv_sec) * kNsPerSecond + t->tv_nsec;
    }

    // A running queue ticks (typically a thousand times a second) even with nothing on it.
    void stopQueueWhenIdle()
    {
        if (!queueRunning_ || seq_ == nullptr)
            return;
        for (const auto& s : streams_)
            if (!s->finished)
                return;
        snd_seq_stop_queue(seq_, queue_, nullptr);
        if (snd_seq_drain_output(seq_) < 0)
            snd_seq_drop_output(seq_);
        queueRunning_ = false;
    }

    // The queue's clock as reported runs ahead of the tick that dispatches what is due, so "the
    // clock has passed the last event" does not mean it has left. An echo to ourselves, queued
    // after the stream's last event at the same time, comes back only once that has been sent.
    Written writeEcho(StreamState& s)
    {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        ev.type = SND_SEQ_EVENT_ECHO;
        snd_seq_ev_set_source(&ev, syncPort_);
        snd_seq_ev_set_dest(&ev, snd_seq_client_id(seq_), syncPort_);
        snd_seq_ev_set_tag(&ev, s.tag);
        ev.data.raw32.d[0] = s.serial;
        scheduleAt(ev, queue_, s.lastWrittenNs);
        const int rc = snd_seq_event_output_direct(seq_, &ev);
        if (rc == -EAGAIN || rc == -EINTR)
            return Written::PoolFull;
        if (rc < 0)
            s.finished = true;  // no way left to tell: count it as sent
        s.echoWritten = true;
        return Written::One;
    }

    void readEchoes()
    {
        snd_seq_event_t* ev = nullptr;
        int rc;
        while ((rc = snd_seq_event_input(seq_, &ev)) >= 0 || rc == -ENOSPC) {
            if (rc == -ENOSPC) {
                // Something flooded the sync port and the kernel emptied it, echoes included: send
                // them again (each still sorts after its stream's last event).
                for (const auto& s : streams_)
                    s->echoWritten = s->echoWritten && s->finished;
                continue;
            }
            if (ev == nullptr || ev->type != SND_SEQ_EVENT_ECHO || ev->source.client != snd_seq_client_id(seq_))
                continue;
            for (const auto& s : streams_)
                if (s->serial == ev->data.raw32.d[0])
                    s->finished = true;
        }
    }

    void removeQueued(const StreamState& s)
    {
        snd_seq_remove_events_t* remove = nullptr;
        snd_seq_remove_events_alloca(&remove);
        snd_seq_remove_events_set_condition(remove, SND_SEQ_REMOVE_OUTPUT | SND_SEQ_REMOVE_TAG_MATCH);
        snd_seq_remove_events_set_tag(remove, s.tag);
        snd_seq_remove_events(seq_, remove);
    }

    static void prepare(const StreamState& s, snd_seq_event_t& ev)
    {
        snd_seq_ev_set_source(&ev, s.port);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_tag(&ev, s.tag);
    }

    // Writes one event straight into the kernel (no library buffer, so what was written is exactly
    // what the cursors say). A full pool is retried later; other refusals drop the event.
    Written send(StreamState& s, snd_seq_event_t& ev)
    {
        const int rc = snd_seq_event_output_direct(seq_, &ev);
        if (rc >= 0)
            return Written::One;
        if (rc == -EAGAIN || rc == -EINTR)
            return Written::PoolFull;
        if (rc == -ENODEV || rc == -EBADFD || rc == -ENXIO) {
            dead_.store(true, std::memory_order_release);
            return Written::Fatal;
        }
        s.dropped.fetch_add(1, std::memory_order_relaxed);
        return Written::One;
    }

    static void scheduleAt(snd_seq_event_t& ev, int queue, std::int64_t ns)
    {
        snd_seq_real_time_t t{static_cast<unsigned>(ns / kNsPerSecond), static_cast<unsigned>(ns % kNsPerSecond)};
        snd_seq_ev_schedule_real(&ev, queue, 0, &t);
    }

    static void trackNotes(StreamState& s, const snd_seq_event_t& ev, std::int64_t ns)
    {
        if (ev.type != SND_SEQ_EVENT_NOTEON && ev.type != SND_SEQ_EVENT_NOTEOFF)
            return;
        const unsigned channel = ev.data.note.channel & 0x0F;
        const unsigned key = ev.data.note.note & 0x7F;
        std::uint64_t& word = s.sounding[channel][key >> 6];
        const std::uint64_t bit = std::uint64_t(1) << (key & 63);
        if (ev.type == SND_SEQ_EVENT_NOTEON && ev.data.note.velocity != 0) {
            word |= bit;
        } else {
            word &= ~bit;
            s.noteOffAt[channel * 128 + key] = ns;
        }
    }

    // Writes the next due event of the stream, if any is due before `horizonNs`.
    Written writeNext(StreamState& s, std::int64_t horizonNs)
    {
        const PlaybackSchedule& p = *s.schedule;
        const bool haveChannel = s.channelCursor < p.channel.size();
        const bool haveSystem = s.systemCursor < p.system.size();
        if (!haveChannel && !haveSystem)
            return Written::Done;
        const std::int64_t channelNs = haveChannel ? s.originNs + toNs(p.channel[s.channelCursor].seconds) : INT64_MAX;
        std::int64_t systemNs = INT64_MAX;
        if (haveSystem) {
            const double drained = p.bytesPerSecond > 0.0 ? s.systemOffset / p.bytesPerSecond : 0.0;
            systemNs = s.originNs + toNs(p.system[s.systemCursor].seconds + drained);
        }
        // At equal times a system message goes first: a reset or a sound dump precedes the notes
        // that use it. A message under way is finished before any channel message: on a MIDI
        // byte stream a status byte inside SysEx would end it and garble the rest.
        if (haveSystem && (systemNs <= channelNs || s.systemOffset > 0)) {
            if (systemNs > horizonNs)
                return Written::NotDue;
            return writeSystemPiece(s, systemNs);
        }
        if (channelNs > horizonNs)
            return Written::NotDue;
        // Held back by a SysEx it fell into: right after its last piece (the queue keeps events
        // of equal time in the order they were written).
        const std::int64_t atNs = std::max(channelNs, s.systemWrittenNs);
        const ScheduledMessage& m = p.channel[s.channelCursor];
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_midi_event_reset_encode(s.encoder);
        const long used = snd_midi_event_encode(s.encoder, m.data, m.length, &ev);
        if (used != long(m.length) || ev.type == SND_SEQ_EVENT_NONE) {
            s.dropped.fetch_add(1, std::memory_order_relaxed);  // not a whole channel message
            ++s.channelCursor;
            return Written::One;
        }
        prepare(s, ev);
        scheduleAt(ev, queue_, atNs);
        const Written w = send(s, ev);
        if (w == Written::One) {
            trackNotes(s, ev, atNs);
            s.lastWrittenNs = std::max(s.lastWrittenNs, atNs);
            ++s.channelCursor;
        }
        return w;
    }

    // System messages: SysEx (F0 ...) and its continuations go verbatim, in pieces; an escape
    // packet that holds ordinary messages (song select, clock, ...) becomes those events, so
    // receivers that read events rather than bytes understand it; anything else goes verbatim.
    Written writeSystemPiece(StreamState& s, std::int64_t ns)
    {
        const ScheduledMessage& m = s.schedule->system[s.systemCursor];
        const std::uint8_t* data = m.data + s.systemOffset;
        const std::uint32_t left = m.length - s.systemOffset;
        const bool startsSysEx = m.data[0] == 0xF0;
        const bool escape = !startsSysEx && !s.sysExOpen && m.data[0] >= 0x80 && m.data[0] != 0xF7;
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        std::uint32_t used = 0;
        if (escape) {
            if (s.systemOffset == 0)
                snd_midi_event_reset_encode(s.encoder);
            const long n = snd_midi_event_encode(s.encoder, data, left, &ev);
            if (n > 0 && ev.type != SND_SEQ_EVENT_NONE && ev.type != SND_SEQ_EVENT_SYSEX)
                used = std::uint32_t(n);
            else
                snd_seq_ev_clear(&ev);
        }
        if (used == 0) {
            used = std::min(left, kSysExPiece);
            snd_seq_ev_set_sysex(&ev, used, const_cast<std::uint8_t*>(data));
        }
        prepare(s, ev);
        scheduleAt(ev, queue_, ns);
        const Written w = send(s, ev);
        if (w != Written::One)
            return w;
        s.lastWrittenNs = std::max(s.lastWrittenNs, ns);
        s.systemWrittenNs = ns;
        if (!escape) {
            if (s.systemOffset == 0 && startsSysEx && !s.sysExOpen) {
                s.sysExOpen = true;
                s.openSince = ns;
            }
            if (s.sysExOpen && used == left && m.data[m.length - 1] == 0xF7) {
                s.sysExOpen = false;
                s.sysExSpans.emplace_back(s.openSince, ns);
            }
        }
        s.systemOffset += used;
        if (s.systemOffset >= m.length) {
            s.systemOffset = 0;
            ++s.systemCursor;
        }
        return w;
    }

    // Writes what is due before `horizonNs`, at most `limit` events.
    Written feedStream(StreamState& s, std::int64_t horizonNs, std::size_t limit)
    {
        for (std::size_t i = 0; i < limit; ++i) {
            const Written w = writeNext(s, horizonNs);
            if (w == Written::Done) {
                s.allWritten = true;
                return s.echoWritten ? w : writeEcho(s);
            }
            if (w != Written::One)
                return w;
        }
        return Written::One;
    }

    void checkDestination(StreamState& s, std::int64_t now)
    {
        if (now - s.lastPortCheckNs < kPortCheckIntervalNs && now >= s.lastPortCheckNs)
            return;
        s.lastPortCheckNs = now;
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_t* port = nullptr;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        if (snd_seq_get_any_client_info(seq_, s.dest.client, client) >= 0 &&
            s.destClientName == snd_seq_client_info_get_name(client) &&
            snd_seq_get_any_port_info(seq_, s.dest.client, s.dest.port, port) >= 0)
            return;
        // Unplugged: what is queued would reach nobody, or a newcomer with the same number.
        s.gone = true;
        removeQueued(s);
        s.dropped.fetch_add(s.remaining(), std::memory_order_relaxed);
        s.allWritten = s.finished = true;
    }

    void feed()
    {
        std::unique_lock lock(mutex_);
        while (!quit_) {
            bool more = false, poolFull = false;
            readEchoes();
            const std::int64_t now = queueNowNs();
            for (std::size_t i = 0; i < streams_.size() && seq_ != nullptr; ++i) {
                StreamState& s = *streams_[i];
                if (s.stopped || s.finished)
                    continue;
                checkDestination(s, now);
                if (!s.allWritten || !s.echoWritten) {
                    const Written w = feedStream(s, now + kLookaheadNs, kBatch);
                    more |= w == Written::One;
                    poolFull |= w == Written::PoolFull;
                }
                // Spans that ended long ago no longer matter to a stop.
                while (!s.sysExSpans.empty() && s.sysExSpans.front().second < now)
                    s.sysExSpans.pop_front();
            }
            stopQueueWhenIdle();
            if (!alive())
                break;
            bool active = false;
            for (const auto& s : streams_)
                active |= !s->finished;
            if (more) {
                lock.unlock();  // let a waiting caller in between batches
                std::this_thread::yield();
                lock.lock();
            } else if (poolFull) {
                wake_.wait_for(lock, kPoolFullRetry);
            } else if (active) {
                wake_.wait_for(lock, kFeedInterval);
            } else {
                wake_.wait(lock);
            }
        }
    }

    void sendDirect(StreamState& s, snd_seq_event_t& ev)
    {
        prepare(s, ev);
        snd_seq_ev_set_direct(&ev);
        // A vanished destination refuses: there is nothing left to silence.
        snd_seq_event_output_direct(seq_, &ev);
    }

    void silence(StreamState& s, std::int64_t now)
    {
        bool midSysEx = s.sysExOpen && s.openSince <= now;
        for (const auto& [from, until] : s.sysExSpans)
            midSysEx |= from <= now && now < until;
        if (midSysEx) {
            static std::uint8_t endOfExclusive = 0xF7;
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            snd_seq_ev_set_sysex(&ev, 1, &endOfExclusive);
            sendDirect(s, ev);
        }
        for (unsigned channel = 0; channel < 16; ++channel) {
            for (unsigned key = 0; key < 128; ++key) {
                const bool on = (s.sounding[channel][key >> 6] >> (key & 63)) & 1;
                if (!on && s.noteOffAt[channel * 128 + key] <= now)
                    continue;
                snd_seq_event_t ev;
                snd_seq_ev_clear(&ev);
                snd_seq_ev_set_noteoff(&ev, channel, key, 0x40);
                sendDirect(s, ev);
            }
        }
        s.sounding = {};
    }

    snd_seq_t* seq_;
    const int queue_;
    const int syncPort_;
    std::uint32_t nextSerial_ = 1;
    bool queueRunning_ = false;
    bool quit_ = false;
    std::atomic<bool> dead_{false};
    std::array<bool, kTagCount> tagInUse_{};
    std::size_t nextTag_ = 1;
    std::vector<std::shared_ptr<StreamState>> streams_;
    std::mutex mutex_;  // guards the sequencer handle and every stream's state
    std::condition_variable wake_;
    std::thread feeder_;
};

void AlsaStream::stop()
{
    if (released_)
        return;
    released_ = true;
    backend_->release(*state_);
}

bool AlsaStream::waitUntilSent(double timeoutSeconds)
{
    if (released_)
        return true;
    return backend_->waitUntilSent(*state_, timeoutSeconds);
}

}  // namespace

std::shared_ptr<MidiBackend> openAlsaBackend()
{
    return AlsaBackend::open();
}

}  // namespace brennick
