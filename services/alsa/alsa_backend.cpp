#include "services/alsa/alsa_backend.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "services/alsa/alsa_input.h"
#include "services/alsa/alsa_ports.h"
#include "services/alsa/alsa_client.h"
#include "services/alsa/alsa_stream_writer.h"
#include "services/polling.h"

namespace brennick {

namespace {

using alsa::StreamState;
using alsa::Written;

// The first event of a stream is due this long after the request, so the first batch is in the
// kernel before its time.
constexpr std::int64_t kStartLeadNs = 20'000'000;
constexpr std::size_t kBatch = 128;  // events written per hold of the lock
constexpr auto kFeedInterval = std::chrono::milliseconds(20);
constexpr auto kPoolFullRetry = std::chrono::milliseconds(4);
constexpr auto kPollInterval = std::chrono::milliseconds(2);
constexpr std::int64_t kPortCheckIntervalNs = 100'000'000;
constexpr std::size_t kTagCount = 256;  // event tags 1..255 name the streams; 0 is unused


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
    // The stream's state, when `backend` made it.
    std::shared_ptr<StreamState> stateOf(const AlsaBackend* backend) const
    {
        return backend_.get() == backend ? state_ : nullptr;
    }

private:
    std::shared_ptr<AlsaBackend> backend_;
    std::shared_ptr<StreamState> state_;
    bool stopped_ = false;
};

// One client of the sequencer for the process, with one queue for every stream. A feeder thread
// writes each stream's events into the kernel a little ahead of their time (alsa::StreamWriter)
// and lets go of a stream once everything of it has left.
class AlsaBackend final : public MidiBackend, public std::enable_shared_from_this<AlsaBackend> {
public:
    static std::shared_ptr<AlsaBackend> open();
    ~AlsaBackend() override { close(0.0); }

    const char* name() const override { return "ALSA sequencer"; }
    bool alive() const override { return !dead_.load(std::memory_order_acquire); }
    std::vector<DestinationHandle> destinations() override;
    std::vector<SourceHandle> sources() override;
    std::unique_ptr<InputListener> listen(const SourceHandle& source, SysExHandler handler) override;
    std::unique_ptr<PlaybackStream> play(std::unique_ptr<StreamCursor> cursor, const DestinationHandle& destination,
                                         StreamStart start) override;
    void close(double timeoutSeconds) override;

    // Ends the stream: what is queued beyond the system message under way is taken back, that
    // message finishes, and the notes it left sounding get note-offs. The feeder writes those and
    // lets go of the stream once everything has left.
    void requestStop(StreamState& s);
    bool waitUntilSent(StreamState& state, double timeoutSeconds);

private:
    AlsaBackend(snd_seq_t* seq, int queue, int syncPort)
        : seq_(seq), queue_(queue), syncPort_(syncPort), writer_(seq, queue, syncPort, dead_)
    {
    }

    void feed();
    // The stream it follows has not started yet (nor been stopped before it did).
    static bool waitsForFollowed(const StreamState& s)
    {
        return s.followed && !s.followed->started && !s.followed->stopped;
    }
    void start(StreamState& s, std::int64_t now);
    void readInput();
    void disconnected(StreamState& s);
    void checkDestination(StreamState& s, std::int64_t now);
    void endOpenMessages();
    void release(const std::shared_ptr<StreamState>& s);
    unsigned char takeTag();
    std::int64_t queueNowNs();
    void stopQueueWhenIdle();

    snd_seq_t* seq_;
    const int queue_;
    const int syncPort_;
    std::uint32_t nextSerial_ = 1;
    bool queueRunning_ = false;
    bool quit_ = false;
    std::atomic<bool> dead_{false};
    alsa::StreamWriter writer_;
    std::array<bool, kTagCount> tagInUse_{};
    std::size_t nextTag_ = 1;
    std::vector<std::shared_ptr<StreamState>> streams_;
    std::mutex mutex_;  // guards the sequencer handle and every stream's state
    std::condition_variable wake_;
    std::thread feeder_;
};

std::shared_ptr<AlsaBackend> AlsaBackend::open()
{
    const std::optional<alsa::SendingClient> client = alsa::openSendingClient();
    if (!client)
        return nullptr;
    auto backend = std::shared_ptr<AlsaBackend>(new AlsaBackend(client->seq, client->queue, client->syncPort));
    backend->feeder_ = std::thread([raw = backend.get()] { raw->feed(); });
    return backend;
}

std::vector<DestinationHandle> AlsaBackend::destinations()
{
    std::lock_guard lock(mutex_);
    if (seq_ == nullptr)
        return {};
    return alsa::listDestinations(seq_);
}

std::vector<SourceHandle> AlsaBackend::sources()
{
    std::lock_guard lock(mutex_);
    if (seq_ == nullptr)
        return {};
    return alsa::listSources(seq_);
}

std::unique_ptr<InputListener> AlsaBackend::listen(const SourceHandle& source, SysExHandler handler)
{
    if (!alive())
        return nullptr;
    return alsa::listenTo(source.get(), std::move(handler));
}

std::unique_ptr<PlaybackStream> AlsaBackend::play(std::unique_ptr<StreamCursor> cursor,
                                                  const DestinationHandle& destination, StreamStart when)
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
    state->port = alsa::createStreamPort(seq_);
    if (state->port < 0) {
        tagInUse_[tag] = false;
        return nullptr;
    }
    // A destination that cannot be found (it just vanished) is not an error: the stream runs on,
    // unheard, so the caller still sees the end.
    if (const alsa::Destination* target = alsa::connectStreamPort(seq_, state->port, destination.get())) {
        state->dest = target->address;
        state->destClientName = target->clientName;
    } else {
        state->gone = true;
    }
    if (!queueRunning_) {
        // Starting resets the queue's clock to zero and drops what this client had queued on it;
        // nothing is, since every earlier stream has finished.
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
    if (const auto* previous = dynamic_cast<const AlsaStream*>(when.after)) {
        state->followed = previous->stateOf(this);
        state->followingNs = alsa::toNs(when.afterSeconds);
    }
    const std::int64_t now = queueNowNs();
    state->lastPortCheckNs = now;
    if (state->gone)
        start(*state, now);  // nothing will be sent: it only keeps time
    else if (!state->after && !waitsForFollowed(*state))
        start(*state, now);
    streams_.push_back(state);
    lock.unlock();
    wake_.notify_all();
    return std::make_unique<AlsaStream>(shared_from_this(), std::move(state));
}

void AlsaBackend::requestStop(StreamState& s)
{
    std::lock_guard lock(mutex_);
    if (s.stopped)
        return;
    s.stopped = true;
    if (seq_ == nullptr)
        return;
    if (!s.started) {
        s.allWritten = s.finished = true;  // it never sent anything
    } else if (s.follows && !s.gone && queueNowNs() < s.originNs) {
        writer_.removeQueued(s, 0);  // nothing of it was due yet
        s.allWritten = s.finished = true;
    } else if (s.finished) {
        // Everything has left: only notes the song left sounding need note-offs, now.
        s.cursor->stop(alsa::kLatestSeconds, false);
        writer_.sendRestNow(s);
    } else if (!s.gone) {
        writer_.stop(s, queueNowNs());
        // What the stop adds is written by the feeder, and its own echo says when it has left.
        s.allWritten = s.echoWritten = false;
        s.serial = nextSerial_++;
    }
    wake_.notify_all();
}

bool AlsaBackend::waitUntilSent(StreamState& state, double timeoutSeconds)
{
    return pollUntil(deadlineAfter(timeoutSeconds), kPollInterval, [&] {
        std::lock_guard lock(mutex_);
        if (seq_ == nullptr || state.gone)
            return true;
        readInput();
        return state.finished;
    });
}

void AlsaBackend::close(double timeoutSeconds)
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
    pollUntil(deadlineAfter(timeoutSeconds), kPollInterval, [this] {
        std::lock_guard lock(mutex_);
        return seq_ == nullptr || streams_.empty() || !alive();
    });
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

void AlsaBackend::start(StreamState& s, std::int64_t now)
{
    s.started = true;
    s.originNs = now + kStartLeadNs;
    if (s.followed && s.followed->started) {
        s.originNs = s.followed->originNs + s.followingNs;
        s.follows = true;
    }
    s.followed.reset();
    if (s.after)
        s.originNs = std::max(s.originNs, s.after->lastWrittenNs);
    s.after.reset();
    if (s.gone) {
        s.allWritten = s.echoWritten = s.finished = true;
        return;
    }
    writer_.feed(s, now, kBatch);
}

unsigned char AlsaBackend::takeTag()
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

std::int64_t AlsaBackend::queueNowNs()
{
    return queueRunning_ ? alsa::queueTimeNs(seq_, queue_) : 0;
}

// A running queue ticks even with nothing on it.
void AlsaBackend::stopQueueWhenIdle()
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

// Echoes of finished streams, and the system's word that a connection of ours has ended.
void AlsaBackend::readInput()
{
    snd_seq_event_t* ev = nullptr;
    int rc;
    while ((rc = snd_seq_event_input(seq_, &ev)) >= 0 || rc == -ENOSPC) {
        if (rc == -ENOSPC) {
            // Something flooded the sync port and the kernel emptied it, echoes included: send them
            // again (each still sorts after its stream's last event).
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

// The connection to the destination was taken away (or the destination left). Should it come back,
// the rest of a system message under way would reach it without its start.
void AlsaBackend::disconnected(StreamState& s)
{
    const std::int64_t now = queueNowNs();
    // Channel messages meanwhile reach nobody, and the next ones whoever is connected.
    if (s.systemQueuedAfter(now))
        writer_.takeBackMessage(s, now);
}

void AlsaBackend::checkDestination(StreamState& s, std::int64_t now)
{
    if (now - s.lastPortCheckNs < kPortCheckIntervalNs && now >= s.lastPortCheckNs)
        return;
    s.lastPortCheckNs = now;
    if (alsa::stillThere(seq_, s.dest, s.destClientName))
        return;
    // Unplugged: what is queued would reach nobody, or a newcomer with the same number.
    s.gone = true;
    writer_.removeQueued(s, 0);
    s.allWritten = s.finished = true;
}

// The client is closing past its bound: a system message not wholly out yet would stay half sent.
void AlsaBackend::endOpenMessages()
{
    const std::int64_t now = queueNowNs();
    for (const auto& s : streams_)
        if (s->stopped && s->started && !s->finished && !s->gone && s->systemQueuedAfter(now))
            writer_.endNow(*s);
}

void AlsaBackend::release(const std::shared_ptr<StreamState>& s)
{
    if (seq_ != nullptr)
        snd_seq_delete_simple_port(seq_, s->port);  // also ends its connection
    tagInUse_[s->tag] = false;
    std::erase(streams_, s);
}

void AlsaBackend::feed()
{
    std::unique_lock lock(mutex_);
    while (!quit_) {
        bool more = false, poolFull = false;
        readInput();
        const std::int64_t now = queueNowNs();
        for (std::size_t i = 0; i < streams_.size() && seq_ != nullptr; ++i) {
            const std::shared_ptr<StreamState> s = streams_[i];
            if (!s->started && !s->stopped) {
                if ((s->after && !(s->after->allWritten || s->after->gone)) || waitsForFollowed(*s))
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
                const Written w = writer_.feed(*s, now, kBatch);
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
