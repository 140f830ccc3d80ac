#include "services/sequence_player.h"

#include <algorithm>
#include <thread>

#include "services/sequence.h"
#include "services/stream_cursor.h"

namespace brennick {

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

bool SequencePlayer::start(const DestinationHandle& destination, SysExPacing pacing)
{
    stop();
    stoppedAtSeconds_ = 0.0;
    if (!sequence_)
        return false;
    backend_ = currentMidiBackend();
    if (!backend_)
        return false;
    auto cursor = std::make_unique<StreamCursor>(sequence_, pacing);
    endSecondsBound_ = cursor->endSecondsBound();
    stopReport_ = cursor->stopReport();
    stream_ = backend_->play(std::move(cursor), destination);
    if (!stream_)
        return false;
    startedAt_ = std::chrono::steady_clock::now();
    return true;
}

void SequencePlayer::stop()
{
    if (!stream_) {
        stopReport_.reset();
        return;
    }
    stoppedAtSeconds_ = positionSeconds();
    stream_->stop();
    stream_.reset();
}

bool SequencePlayer::stopCutMessage(double waitSeconds) const
{
    if (!stopReport_ || stream_)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
    while (!stopReport_->taken.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return stopReport_->taken.load(std::memory_order_acquire) &&
           stopReport_->cutMessage.load(std::memory_order_relaxed);
}

double SequencePlayer::positionSeconds() const
{
    if (!stream_)
        return stoppedAtSeconds_;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt_).count();
}

double SequencePlayer::positionBeats() const
{
    if (!sequence_)
        return 0.0;
    return sequence_->tempoMap().secondsToBeats(positionSeconds());
}

bool SequencePlayer::waitUntilSent(double graceSeconds)
{
    if (!stream_)
        return true;
    const double remaining = std::max(0.0, endSecondsBound_ - positionSeconds());
    return stream_->waitUntilSent(remaining + std::max(0.0, graceSeconds));
}

}  // namespace brennick
