#include "services/alsa/alsa_backend.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "services/alsa/alsa_queue_timer.h"
#include "services/stream_cursor.h"

namespace brennick {

namespace {

constexpr const char* kClientName = "Brennick MIDI Player";
constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// How far ahead of the queue's clock the feeder keeps events in the kernel: enough to ride out a
// busy machine, little enough that a huge file never sits in the kernel at once and a stop has
// little to remove.
constexpr std::int64_t kLookaheadNs = 1'500'000'000;
// System messages go into the kernel only this far ahead: should the connection be taken away in
// the middle of one, what is queued of it is taken back, and this is all that is lost.
constexpr std::int64_t kSystemLookaheadNs = 60'000'000;
// The first event of a stream is due this long after the request, so the first batch is in the
// kernel before its time.
constexpr std::int64_t kStartLeadNs = 20'000'000;
// System messages travel in pieces of at most this many bytes, each leaving when its first byte is
// due at the paced speed: a hardware port's small byte buffer is never flooded, and a piece always
// fits in the kernel's event pool (a 64 KB message in one event would not).
constexpr std::size_t kSysExPiece = 256;
constexpr int kOutputPool = 2000;    // event cells; the most the kernel grants a client
constexpr std::size_t kBatch = 128;  // events written per hold of the lock
constexpr auto kFeedInterval = std::chrono::milliseconds(20);
constexpr auto kPoolFullRetry = std::chrono::milliseconds(4);
constexpr auto kPollInterval = std::chrono::milliseconds(2);
constexpr std::int64_t kPortCheckIntervalNs = 100'000'000;
constexpr std::size_t kTagCount = 256;  // event tags 1..255 name the streams; 0 is unused
// The queue ticks this often on the high-resolution timer: a tenth of a millisecond of error at most.
constexpr unsigned kQueueTicksPerSecond = 10000;

// A hostile file can put events centuries away; the queue's clock counts seconds in 32 bits.
constexpr double kLatestSeconds = 1e9;

std::int64_t toNs(double seconds)
{
    return std::llround(std::clamp(seconds, 0.0, kLatestSeconds) * double(kNsPerSecond));
}

// libasound reports a missing /dev/snd/seq on standard error; here that is an expected answer.
void quietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

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

class AlsaDestination final : public MidiDestination {
public:
    AlsaDestination(snd_seq_addr_t address, std::string clientName, std::string portName)
        : MidiDestination(std::to_string(address.client) + ":" + std::to_string(address.port) + " " + clientName + ":" +
                              portName,
                          composeDisplayName(clientName, portName)),
          address(address), clientName(std::move(clientName))
    {
    }
    const snd_seq_addr_t address;
    const std::string clientName;  // a different client that takes the same number is not this one
};

std::chrono::steady_clock::time_point deadlineAfter(double seconds)
{
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(std::max(0.0, seconds)));
}

enum class Written { One, NotDue, Done, PoolFull, Fatal };

// One cursor playing to one destination. Every field is guarded by the backend's mutex.
struct StreamState {
    std::unique_ptr<StreamCursor> cursor;
    snd_seq_addr_t dest{};
    std::string destClientName;
    int port = -1;  // ours, connected to the destination
    unsigned char tag = 0;
    snd_midi_event_t* encoder = nullptr;
    std::uint32_t serial = 0;  // names the stream in its echo

    std::shared_ptr<StreamState> after;  // an earlier stream to the same destination still ending
    bool started = false;
    std::int64_t originNs = 0;  // queue time of second 0 of the cursor
    std::int64_t lastWrittenNs = 0;
    std::int64_t lastPortCheckNs = 0;
    bool allWritten = false;
    bool echoWritten = false;
    bool finished = false;  // everything written has also left the queue
    bool gone = false;      // the destination disappeared; the rest is dropped
    bool stopped = false;   // asked to end; it goes away once finished

    // System messages in queue time, [from, until): a stop inside one lets it finish.
    bool messageOpen = false;
    std::int64_t openSince = 0;
    std::deque<std::pair<std::int64_t, std::int64_t>> messageSpans;
    std::array<std::uint8_t, kSysExPiece + 1> piece{};

    ~StreamState()
    {
        if (encoder != nullptr)
            snd_midi_event_free(encoder);
    }
    std::int64_t nsOf(double seconds) const { return originNs + toNs(seconds); }
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

private:
    std::shared_ptr<AlsaBackend> backend_;
    std::shared_ptr<StreamState> state_;
    bool stopped_ = false;
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
        // Where a stream's echo comes back once the queue has dispatched everything before it, and
        // where the system announces connections that end.
        const int syncPort = snd_seq_create_simple_port(
            seq, "sync", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT, SND_SEQ_PORT_TYPE_APPLICATION);
        if (queue < 0 || syncPort < 0) {
            snd_seq_close(seq);
            return nullptr;
        }
        // An event leaves within a tenth of a millisecond of its time where the kernel has the
        // high-resolution timer, else on the sequencer's default timer.
        useHighResolutionTimer(seq, queue, kQueueTicksPerSecond);
        snd_seq_connect_from(seq, syncPort, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
        auto backend = std::shared_ptr<AlsaBackend>(new AlsaBackend(seq, queue, syncPort));
        backend->feeder_ = std::thread([raw = backend.get()] { raw->feed(); });
        return backend;
    }

    ~AlsaBackend() override { close(0.0); }

    const char* name() const override { return "ALSA sequencer"; }
    bool alive() const override { return !dead_.load(std::memory_order_acquire); }

    std::vector<DestinationHandle> destinations() override
    {
        std::vector<std::tuple<int, int, DestinationHandle>> found;
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
                    const snd_seq_addr_t address{static_cast<unsigned char>(c), static_cast<unsigned char>(p)};
                    found.emplace_back(
                        c, p, std::make_shared<AlsaDestination>(address, clientName, snd_seq_port_info_get_name(port)));
                }
            }
        }
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
            return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
        });
        std::vector<DestinationHandle> result;
        result.reserve(found.size());
        for (auto& entry : found)
            result.push_back(std::move(std::get<2>(entry)));
        return result;
    }

    std::unique_ptr<PlaybackStream> play(std::unique_ptr<StreamCursor> cursor,
                                         const DestinationHandle& destination) override
    {
        std::unique_lock lock(mutex_);
        if (seq_ == nullptr || cursor == nullptr)
            return nullptr;
        const unsigned char tag = takeTag();
        if (tag == 0)
            return nullptr;
        auto state = std::make_shared<StreamState>();
        state->cursor = std::move(cursor);
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
        // A destination that cannot be found (it just vanished) is not an error: the stream runs
        // on, unheard, so the caller still sees the end.
        const auto* target = dynamic_cast<const AlsaDestination*>(destination.get());
        if (target == nullptr || !stillThere(target->address, target->clientName) ||
            snd_seq_connect_to(seq_, state->port, target->address.client, target->address.port) < 0) {
            state->gone = true;
        } else {
            state->dest = target->address;
            state->destClientName = target->clientName;
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
        // What an earlier stream to the same destination still has to send goes first.
        if (!state->gone)
            for (const auto& other : streams_)
                if (other->stopped && !other->finished && !other->gone && other->dest.client == state->dest.client &&
                    other->dest.port == state->dest.port)
                    state->after = other;
        const std::int64_t now = queueNowNs();
        state->lastPortCheckNs = now;
        if (state->gone)
            start(*state, now);  // nothing will be sent: it only keeps time
        else if (!state->after)
            start(*state, now);
        streams_.push_back(state);
        lock.unlock();
        wake_.notify_all();
        return std::make_unique<AlsaStream>(shared_from_this(), std::move(state));
    }

    // Ends the stream: what is queued beyond the system message under way is taken back, that
    // message finishes, and the notes it left sounding get note-offs. The feeder writes those and
    // lets go of the stream once everything has left.
    void requestStop(StreamState& s)
    {
        std::lock_guard lock(mutex_);
        if (s.stopped)
            return;
        s.stopped = true;
        if (seq_ == nullptr)
            return;
        if (!s.started) {
            s.allWritten = s.finished = true;  // it never sent anything
        } else if (s.finished) {
            // Everything has left: only notes the song left sounding need note-offs, now.
            s.cursor->stop(kLatestSeconds, false);
            sendRestNow(s);
        } else if (!s.gone) {
            const std::int64_t now = queueNowNs();
            std::int64_t keepUntil = now;
            bool finishMessage = false;
            if (s.messageOpen && s.openSince <= now) {
                finishMessage = true;  // all that is queued belongs to it
            } else {
                for (const auto& [from, until] : s.messageSpans)
                    if (from <= now && now < until)
                        keepUntil = until;
                removeQueued(s, keepUntil + 1);
                s.lastWrittenNs = std::min(s.lastWrittenNs, keepUntil);
            }
            s.cursor->stop(double(keepUntil - s.originNs) / double(kNsPerSecond), finishMessage);
            // What the stop adds is written by the feeder, and its own echo says when it has left.
            s.allWritten = s.echoWritten = false;
            s.serial = nextSerial_++;
        }
        wake_.notify_all();
    }

    bool waitUntilSent(StreamState& state, double timeoutSeconds)
    {
        const auto deadline = deadlineAfter(timeoutSeconds);
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (seq_ == nullptr || state.gone)
                    return true;
                readInput();
                if (state.finished)
                    return true;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(kPollInterval);
        }
    }

    void close(double timeoutSeconds) override
    {
        {
            std::lock_guard lock(mutex_);
            if (seq_ == nullptr && !feeder_.joinable())
                return;
        }
        std::vector<std::shared_ptr<StreamState>> streams;
        {
            std::lock_guard lock(mutex_);
            streams = streams_;
        }
        for (const auto& s : streams)
            requestStop(*s);
        const auto deadline = deadlineAfter(timeoutSeconds);
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (seq_ == nullptr || streams_.empty() || !alive())
                    break;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                break;
            std::this_thread::sleep_for(kPollInterval);
        }
        {
            std::lock_guard lock(mutex_);
            if (seq_ != nullptr && alive())
                endOpenMessages();
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
        streams_.clear();
    }

private:
    AlsaBackend(snd_seq_t* seq, int queue, int syncPort) : seq_(seq), queue_(queue), syncPort_(syncPort) {}

    // Whether the port at `address` still belongs to the client it was listed for and takes input.
    bool stillThere(snd_seq_addr_t address, const std::string& clientName)
    {
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_t* port = nullptr;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        return snd_seq_get_any_client_info(seq_, address.client, client) >= 0 &&
               clientName == snd_seq_client_info_get_name(client) &&
               snd_seq_get_any_port_info(seq_, address.client, address.port, port) >= 0 && isDestinationPort(port);
    }

    void start(StreamState& s, std::int64_t now)
    {
        s.started = true;
        s.originNs = now + kStartLeadNs;
        if (s.after)
            s.originNs = std::max(s.originNs, s.after->lastWrittenNs);
        s.after.reset();
        if (s.gone) {
            s.allWritten = s.echoWritten = s.finished = true;
            return;
        }
        feedStream(s, now, kBatch);
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

    // A running queue ticks even with nothing on it.
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

    static void scheduleAt(snd_seq_event_t& ev, int queue, std::int64_t ns)
    {
        snd_seq_real_time_t t{static_cast<unsigned>(ns / kNsPerSecond), static_cast<unsigned>(ns % kNsPerSecond)};
        snd_seq_ev_schedule_real(&ev, queue, 0, &t);
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

    // Echoes of finished streams, and the system's word that a connection of ours has ended.
    void readInput()
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
            if (ev == nullptr)
                continue;
            if (ev->type == SND_SEQ_EVENT_ECHO && ev->source.client == snd_seq_client_id(seq_)) {
                for (const auto& s : streams_)
                    if (s->serial == ev->data.raw32.d[0] && s->allWritten)
                        s->finished = true;
            } else if (ev->type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED &&
                       ev->data.connect.sender.client == snd_seq_client_id(seq_)) {
                for (const auto& s : streams_)
                    if (s->port == ev->data.connect.sender.port && !s->gone)
                        disconnected(*s);
            }
        }
    }

    // The connection to the destination was taken away (or the destination left). Should it come
    // back, the rest of a system message under way would reach it without its start: take back what
    // is queued of it (no more than the system look-ahead) and go on after that message.
    void disconnected(StreamState& s)
    {
        const std::int64_t now = queueNowNs();
        const bool systemQueued = s.messageOpen || (!s.messageSpans.empty() && s.messageSpans.back().second >= now);
        if (!systemQueued)
            return;  // channel messages meanwhile reach nobody, and the next ones whoever is connected
        removeQueued(s, now);
        s.lastWrittenNs = std::min(s.lastWrittenNs, now);
        s.cursor->abandonMessage();
        s.messageOpen = false;
        s.messageSpans.clear();
    }

    // Writes what the stopped cursor still has to produce at once, past the queue.
    void sendRestNow(StreamState& s)
    {
        while (const StreamEvent* e = s.cursor->peek(kLatestSeconds, kSysExPiece)) {
            snd_seq_event_t ev;
            if (encode(s, *e, ev)) {
                snd_seq_ev_set_direct(&ev);
                send(s, ev);
            }
            s.cursor->advance();
        }
    }

    // The client is closing past its bound, and the kernel drops what a client leaves queued: a
    // system message not wholly out yet would stay half sent. What its stream has queued is taken
    // back, and F7 and the note-offs go at once.
    void endOpenMessages()
    {
        const std::int64_t now = queueNowNs();
        for (const auto& stream : streams_) {
            StreamState& s = *stream;
            const bool partlyOut = s.messageOpen || (!s.messageSpans.empty() && s.messageSpans.back().second >= now);
            if (!s.stopped || !s.started || s.finished || s.gone || !partlyOut)
                continue;
            removeQueued(s, 0);
            if (!s.cursor->insideSystemMessage()) {
                // All of it had been queued: its end was taken back with the rest.
                snd_seq_event_t ev;
                snd_seq_ev_clear(&ev);
                s.piece[0] = 0xF7;
                snd_seq_ev_set_sysex(&ev, 1, s.piece.data());
                snd_seq_ev_set_direct(&ev);
                send(s, ev);
            }
            s.cursor->endMessageNow();
            sendRestNow(s);
            s.messageOpen = false;
            s.messageSpans.clear();
            s.allWritten = s.finished = true;
        }
    }

    // Takes back what the stream has queued for `fromNs` or later.
    void removeQueued(const StreamState& s, std::int64_t fromNs)
    {
        snd_seq_remove_events_t* remove = nullptr;
        snd_seq_remove_events_alloca(&remove);
        snd_seq_remove_events_set_condition(remove, SND_SEQ_REMOVE_OUTPUT | SND_SEQ_REMOVE_TAG_MATCH |
                                                        SND_SEQ_REMOVE_TIME_AFTER);
        snd_seq_remove_events_set_tag(remove, s.tag);
        snd_seq_remove_events_set_queue(remove, queue_);
        snd_seq_timestamp_t after{};
        after.time.tv_sec = static_cast<unsigned>(fromNs / kNsPerSecond);
        after.time.tv_nsec = static_cast<unsigned>(fromNs % kNsPerSecond);
        snd_seq_remove_events_set_time(remove, &after);
        snd_seq_remove_events(seq_, remove);
    }

    // Writes one event straight into the kernel (no library buffer, so what was written is exactly
    // what the cursor says). A full pool is retried later; other refusals drop the event.
    Written send(StreamState& s, snd_seq_event_t& ev)
    {
        snd_seq_ev_set_source(&ev, s.port);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_tag(&ev, s.tag);
        const int rc = snd_seq_event_output_direct(seq_, &ev);
        if (rc >= 0)
            return Written::One;
        if (rc == -EAGAIN || rc == -EINTR)
            return Written::PoolFull;
        if (rc == -ENODEV || rc == -EBADFD || rc == -ENXIO) {
            dead_.store(true, std::memory_order_release);
            return Written::Fatal;
        }
        return Written::One;
    }

    // Turns the event into a sequencer event: channel messages and escape packets that hold ordinary
    // messages (song select, clock, ...) become those events, so receivers that read events rather
    // than bytes understand them; SysEx and anything else go as bytes.
    bool encode(StreamState& s, const StreamEvent& e, snd_seq_event_t& ev)
    {
        snd_seq_ev_clear(&ev);
        if (e.kind != StreamEvent::Kind::SysEx) {
            snd_midi_event_reset_encode(s.encoder);
            const long used = snd_midi_event_encode(s.encoder, e.bytes.data(), long(e.bytes.size()), &ev);
            if (used == long(e.bytes.size()) && ev.type != SND_SEQ_EVENT_NONE && ev.type != SND_SEQ_EVENT_SYSEX)
                return true;
            if (e.kind == StreamEvent::Kind::Channel)
                return false;  // not a whole channel message
            snd_seq_ev_clear(&ev);
        }
        e.copyTo(s.piece.data());
        snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(e.size()), s.piece.data());
        return true;
    }

    // Writes what is due within the look-ahead of the queue time `nowNs`, at most `limit` events.
    Written feedStream(StreamState& s, std::int64_t nowNs, std::size_t limit)
    {
        const std::int64_t systemHorizonNs = nowNs + kSystemLookaheadNs;
        const double systemHorizonSeconds = double(systemHorizonNs - s.originNs) / double(kNsPerSecond);
        for (std::size_t i = 0; i < limit; ++i) {
            const StreamEvent* e = s.cursor->peek(systemHorizonSeconds, kSysExPiece);
            if (e == nullptr) {
                s.allWritten = true;
                return s.echoWritten ? Written::Done : writeEcho(s);
            }
            const std::int64_t atNs = s.nsOf(e->seconds);
            if (atNs > (e->kind == StreamEvent::Kind::Channel ? nowNs + kLookaheadNs : systemHorizonNs))
                return Written::NotDue;
            snd_seq_event_t ev;
            if (!encode(s, *e, ev)) {
                s.cursor->advance();
                continue;
            }
            scheduleAt(ev, queue_, atNs);
            const Written w = send(s, ev);
            if (w != Written::One)
                return w;
            s.lastWrittenNs = std::max(s.lastWrittenNs, atNs);
            if (e->startsMessage) {
                s.messageOpen = true;
                s.openSince = atNs;
            }
            if (e->endsMessage && s.messageOpen) {
                s.messageOpen = false;
                s.messageSpans.emplace_back(s.openSince, atNs);
            }
            s.cursor->advance();
        }
        return Written::One;
    }

    void checkDestination(StreamState& s, std::int64_t now)
    {
        if (now - s.lastPortCheckNs < kPortCheckIntervalNs && now >= s.lastPortCheckNs)
            return;
        s.lastPortCheckNs = now;
        if (stillThere(s.dest, s.destClientName))
            return;
        // Unplugged: what is queued would reach nobody, or a newcomer with the same number.
        s.gone = true;
        removeQueued(s, 0);
        s.allWritten = s.finished = true;
    }

    void release(const std::shared_ptr<StreamState>& s)
    {
        if (seq_ != nullptr)
            snd_seq_delete_simple_port(seq_, s->port);  // also ends its connection
        tagInUse_[s->tag] = false;
        std::erase(streams_, s);
    }

    void feed()
    {
        std::unique_lock lock(mutex_);
        while (!quit_) {
            bool more = false, poolFull = false;
            readInput();
            const std::int64_t now = queueNowNs();
            for (std::size_t i = 0; i < streams_.size() && seq_ != nullptr; ++i) {
                const std::shared_ptr<StreamState> s = streams_[i];
                if (!s->started && !s->stopped) {
                    if (s->after && !(s->after->allWritten || s->after->gone))
                        continue;
                    start(*s, now);
                }
                if (s->finished) {
                    if (s->stopped) {
                        release(s);
                        --i;
                    }
                    continue;
                }
                checkDestination(*s, now);
                if (!s->allWritten || !s->echoWritten) {
                    const Written w = feedStream(*s, now, kBatch);
                    more |= w == Written::One;
                    poolFull |= w == Written::PoolFull;
                }
                // Spans that ended long ago no longer matter to a stop.
                while (!s->messageSpans.empty() && s->messageSpans.front().second < now)
                    s->messageSpans.pop_front();
            }
            stopQueueWhenIdle();
            if (!alive())
                break;
            bool active = false;
            for (const auto& s : streams_)
                active |= !s->finished || s->stopped;
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
    if (stopped_)
        return;
    stopped_ = true;
    backend_->requestStop(*state_);
}

bool AlsaStream::waitUntilSent(double timeoutSeconds)
{
    if (stopped_)
        return true;
    return backend_->waitUntilSent(*state_, timeoutSeconds);
}

}  // namespace

std::shared_ptr<MidiBackend> openAlsaBackend()
{
    return AlsaBackend::open();
}

}  // namespace brennick
