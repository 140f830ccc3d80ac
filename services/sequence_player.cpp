#include "services/sequence_player.h"

#include <algorithm>
#include <chrono>

#include "services/midi_connection.h"
#include "services/midi_service_thread.h"
#include "services/sequence.h"
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
    double endSecondsBound = 0.0;
};

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
    stop();
    stoppedAtSeconds_ = 0.0;
    if (!sequence_)
        return;
    auto cursor = std::make_shared<std::unique_ptr<StreamCursor>>(std::make_unique<StreamCursor>(sequence_, pacing));
    run_ = std::make_shared<Run>();
    run_->endSecondsBound = (*cursor)->endSecondsBound();
    stopReport_ = (*cursor)->stopReport();
    postToMidiServiceThread([run = run_, cursor, destination] {
        const auto backend = openedMidiBackend();
        if (!backend)
            return;
        run->stream = backend->play(std::move(*cursor), destination);
        if (run->stream)
            run->startedAtNs.store(steadyNanoseconds(), std::memory_order_release);
    });
}

void SequencePlayer::stop()
{
    if (!run_) {
        stopReport_.reset();
        return;
    }
    stoppedAtSeconds_ = positionSeconds();
    postToMidiServiceThread([run = std::move(run_)] {
        if (run->stream)
            run->stream->stop();
        run->stream.reset();
    });
    run_.reset();
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
    return started == 0 ? 0.0 : double(steadyNanoseconds() - started) / 1e9;
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
    const double remaining = std::max(0.0, run_->endSecondsBound - positionSeconds()) + std::max(0.0, graceSeconds);
    bool sent = true;
    runOnMidiServiceThread([run = run_, remaining, &sent] {
        if (run->stream)
            sent = run->stream->waitUntilSent(remaining);
    });
    return sent;
}

}  // namespace brennick
