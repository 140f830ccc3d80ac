#include "services/sequence_player.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "services/midi_connection.h"
#include "services/midi_service_thread.h"
#include "services/sequence.h"
#include "services/smf_reader.h"
#include "services/stream_cursor.h"

namespace brennick {

namespace {

std::int64_t steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// One start's stream. `stream` is touched on the service thread only; the start time is read by
// the player's thread.
struct SequencePlayer::Run {
    std::unique_ptr<PlaybackStream> stream;
    std::atomic<std::int64_t> startedAtNs{0};  // 0 until the stream has started
    double fromSeconds = 0.0;                  // the song's time where the stream starts
    double rate = 1.0;
    double endSecondsBound = 0.0;              // from the stream's start; set and read on the service thread
    std::shared_ptr<LoopSwitch> loop = std::make_shared<LoopSwitch>();
    double loopSeconds = 0.0;  // the song's length when it plays again, else 0
};

namespace {

// How long the service thread waits for a panic to leave: a stopped stream may first finish a
// SysEx (at most about a second) before it.
constexpr double kPanicSendSeconds = 2.0;

// Where a stream can start at or before the song's `seconds`: a tick of a song; in a SysEx dump,
// the start of the message under way then at the pacing's speed.
std::pair<PlayFrom, double> startPoint(const Sequence& sequence, SysExPacing pacing, double seconds, double rate)
{
    PlayFrom from;
    from.rate = rate;
    if (seconds <= 0.0)
        return {from, 0.0};
    if (!sequence.isSysExDump()) {
        from.tick = sequence.tempoMap().secondsToTicks(seconds);
        return {from, sequence.tempoMap().ticksToSeconds(from.tick)};
    }
    const SysExPacer pacer(pacing);
    double start = 0.0;
    sequence.track(0).forEach([&](const MidiMessage& m) {
        if (!isSystemMessage(m.kind))
            return;
        const double next = start + pacer.drainSeconds(m.bytes.size() + 1) + pacing.pauseSeconds;
        if (next <= seconds) {
            start = next;
            ++from.dumpMessage;
        }
    });
    return {from, start};
}

// All notes off and reset all controllers on every channel, as a song of its own.
std::shared_ptr<const Sequence> panicSequence()
{
    static const std::shared_ptr<const Sequence> panic = [] {
        std::vector<std::uint8_t> events;
        for (std::uint8_t channel = 0; channel < 16; ++channel)
            for (std::uint8_t controller : {std::uint8_t(123), std::uint8_t(121)})
                events.insert(events.end(), {0x00, std::uint8_t(0xB0 | channel), controller, 0x00});
        events.insert(events.end(), {0x00, 0xFF, 0x2F, 0x00});
        std::vector<std::uint8_t> file{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'M', 'T', 'r', 'k', 0, 0};
        file.push_back(std::uint8_t(events.size() >> 8));
        file.push_back(std::uint8_t(events.size()));
        file.insert(file.end(), events.begin(), events.end());
        return std::make_shared<const Sequence>(readStandardMidiFile(std::span<const std::uint8_t>(file)).sequence);
    }();
    return panic;
}

}  // namespace

SequencePlayer::SequencePlayer() = default;

SequencePlayer::~SequencePlayer()
{
    stop();
}

void SequencePlayer::setSequence(std::shared_ptr<const Sequence> sequence)
{
    stop();
    sequence_ = std::move(sequence);
    stoppedAtSeconds_ = 0.0;
}

void SequencePlayer::start(const DestinationHandle& destination, SysExPacing pacing)
{
    destination_ = destination;
    pacing_ = pacing;
    paused_ = false;
    startAt(0.0);
}

bool SequencePlayer::startAfter(const SequencePlayer& previous, const DestinationHandle& destination,
                                SysExPacing pacing)
{
    const std::shared_ptr<Run> before = previous.run_;
    if (&previous == this || !sequence_ || !before || previous.looping_ || before->loopSeconds <= 0.0 ||
        before->fromSeconds > before->loopSeconds || previous.maySendPastEnd())
        return false;
    destination_ = destination;
    pacing_ = pacing;
    paused_ = false;
    before->loop->releaseAtEnd.store(true, std::memory_order_release);
    startAt(0.0, before, (before->loopSeconds - before->fromSeconds) / before->rate);
    return true;
}

bool SequencePlayer::maySendPastEnd() const
{
    // As StreamCursor's bound, from the latest system message: a start past 0 sends the set-up again.
    const Sequence& song = *sequence_;
    const double from = run_->fromSeconds;
    const double times = from > 0.0 ? 2.0 : 1.0;
    const SysExPacer pacer(pacing_);
    const double pacedEnd = std::max(0.0, song.lastSystemMessageSeconds() - from) / run_->rate +
                            times * (pacer.drainSeconds(song.systemBytes()) +
                                     pacer.pauseSeconds() * double(song.systemMessageCount()));
    return song.systemMessageCount() != 0 && pacedEnd > (run_->loopSeconds - from) / run_->rate;
}

void SequencePlayer::startAt(double seconds, std::shared_ptr<Run> after, double afterSeconds)
{
    endRun();
    stoppedAtSeconds_ = seconds;
    if (!sequence_)
        return;
    const auto [from, fromSeconds] = startPoint(*sequence_, pacing_, seconds, rate_);
    stoppedAtSeconds_ = fromSeconds;
    auto report = std::make_shared<StopReport>();
    stopReport_ = report;
    run_ = std::make_shared<Run>();
    run_->fromSeconds = fromSeconds;
    run_->rate = rate_;
    run_->loop->on.store(looping_, std::memory_order_relaxed);
    run_->loop->releaseAtEnd.store(releasingAtEnd_, std::memory_order_relaxed);
    run_->loopSeconds = StreamCursor::loopSeconds(*sequence_);
    // The cursor is made there too: chasing the state up to a seek reads the song that far, which
    // takes a while in a large one.
    postToMidiServiceThread([run = run_, sequence = sequence_, pacing = pacing_, from, report,
                             destination = destination_, after = std::move(after), afterSeconds] {
        auto cursor = std::make_unique<StreamCursor>(sequence, pacing, from, report, run->loop);
        run->endSecondsBound = cursor->endSecondsBound();
        const auto backend = openedMidiBackend();
        if (!backend)
            return;
        // The run followed was started by an earlier job of this thread: its stream is there, or
        // never will be (this one then starts at once).
        const bool follows = after && after->stream;
        run->stream = backend->play(std::move(cursor), destination,
                                    follows ? StreamStart{after->stream.get(), afterSeconds} : StreamStart{});
        if (!run->stream)
            return;
        const std::int64_t followedNs = follows ? after->startedAtNs.load(std::memory_order_acquire) : 0;
        run->startedAtNs.store(followedNs != 0 ? followedNs + std::llround(afterSeconds * 1e9) : steadyNanoseconds(),
                               std::memory_order_release);
    });
}

void SequencePlayer::endRun()
{
    if (!run_)
        return;
    stoppedAtSeconds_ = positionSeconds();
    postToMidiServiceThread([run = std::move(run_)] {
        if (run->stream)
            run->stream->stop();
        run->stream.reset();
    });
    run_.reset();
}

void SequencePlayer::stop()
{
    paused_ = false;
    if (!run_) {
        stopReport_.reset();
        return;
    }
    endRun();
}

void SequencePlayer::pause()
{
    if (!run_)
        return;
    endRun();
    paused_ = true;
}

void SequencePlayer::resume()
{
    if (!paused_)
        return;
    paused_ = false;
    startAt(stoppedAtSeconds_);
}

void SequencePlayer::seek(double seconds)
{
    seconds = std::max(0.0, seconds);
    if (run_)
        startAt(seconds);
    else
        stoppedAtSeconds_ = sequence_ ? startPoint(*sequence_, pacing_, seconds, rate_).second : seconds;
}

void SequencePlayer::setRate(double rate)
{
    rate = std::clamp(rate, 0.5, 2.0);
    if (rate == rate_)
        return;
    const bool playing = run_ != nullptr;
    const double at = positionSeconds();
    rate_ = rate;
    if (playing)
        startAt(at);
}

void SequencePlayer::setLooping(bool on)
{
    looping_ = on;
    if (run_)
        run_->loop->on.store(on, std::memory_order_release);
}

void SequencePlayer::setReleasingAtEnd(bool on)
{
    releasingAtEnd_ = on;
    if (run_)
        run_->loop->releaseAtEnd.store(on, std::memory_order_release);
}

void SequencePlayer::panic()
{
    stop();
    if (!destination_)
        return;
    auto cursor = std::make_shared<std::unique_ptr<StreamCursor>>(std::make_unique<StreamCursor>(panicSequence(), pacing_));
    postToMidiServiceThread([cursor, destination = destination_] {
        const auto backend = openedMidiBackend();
        if (!backend)
            return;
        // Starts once the stream stopped just now has ended; 32 short messages leave in a cycle.
        if (auto stream = backend->play(std::move(*cursor), destination, {}))
            stream->waitUntilSent(kPanicSendSeconds);
    });
}

std::optional<bool> SequencePlayer::stopCutMessage() const
{
    if (!stopReport_ || run_)
        return false;
    if (!stopReport_->taken.load(std::memory_order_acquire))
        return std::nullopt;
    return stopReport_->cutMessage.load(std::memory_order_relaxed);
}

double SequencePlayer::positionSeconds() const
{
    if (!run_)
        return stoppedAtSeconds_;
    const std::int64_t started = run_->startedAtNs.load(std::memory_order_acquire);
    // Negative until a run that follows another has begun.
    const double elapsed = started == 0 ? 0.0 : std::max(0.0, double(steadyNanoseconds() - started) / 1e9);
    const double seconds = run_->fromSeconds + elapsed * run_->rate;
    if (run_->loopSeconds <= 0.0)
        return seconds;
    // Back to the start at each end of the song the stream passes, or will pass while the switch
    // holds (it may not have reached that end yet: the clock here runs a little ahead of it).
    const LoopSwitch& loop = *run_->loop;
    const double ends = std::floor(seconds / run_->loopSeconds);
    const bool goesRound = loop.on.load(std::memory_order_acquire) && !loop.ended.load(std::memory_order_acquire);
    const double passes = goesRound ? ends : std::min(ends, double(loop.passesBegun.load(std::memory_order_acquire)));
    return seconds - passes * run_->loopSeconds;
}

const TempoMap& SequencePlayer::sequenceTempoMap() const noexcept
{
    return sequence_->tempoMap();
}

double SequencePlayer::positionBeats() const
{
    if (!sequence_)
        return 0.0;
    return sequence_->tempoMap().secondsToBeats(positionSeconds());
}

bool SequencePlayer::waitUntilSent(double graceSeconds)
{
    if (!run_)
        return true;
    bool sent = true;
    runOnMidiServiceThread([run = run_, graceSeconds, &sent] {
        if (!run->stream)
            return;
        const std::int64_t started = run->startedAtNs.load(std::memory_order_acquire);
        const double elapsed = started == 0 ? 0.0 : double(steadyNanoseconds() - started) / 1e9;
        sent = run->stream->waitUntilSent(std::max(0.0, run->endSecondsBound - elapsed) + std::max(0.0, graceSeconds));
    });
    return sent;
}

}  // namespace brennick
