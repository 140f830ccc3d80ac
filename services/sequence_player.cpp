#include "services/sequence_player.h"

#include <algorithm>

#include "services/midi_backend.h"
#include "services/playback_schedule.h"
#include "services/sequence.h"

namespace brennick {

namespace {

// A schedule points into its sequence: keep both alive together.
struct ScheduledSequence {
    std::shared_ptr<const Sequence> sequence;
    PlaybackSchedule schedule;
};

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

bool SequencePlayer::start(const std::string& destinationUniqueName, double maxSysExBytesPerSecond)
{
    stop();
    stoppedAtSeconds_ = 0.0;
    if (!sequence_)
        return false;
    backend_ = currentMidiBackend();
    if (!backend_)
        return false;
    auto holder = std::make_shared<ScheduledSequence>();
    holder->sequence = sequence_;
    holder->schedule = PlaybackSchedule::build(*sequence_, maxSysExBytesPerSecond);
    scheduleEndSeconds_ = holder->schedule.endSeconds();
    std::shared_ptr<const PlaybackSchedule> schedule(holder, &holder->schedule);
    stream_ = backend_->play(std::move(schedule), destinationUniqueName);
    if (!stream_)
        return false;
    startedAt_ = std::chrono::steady_clock::now();
    return true;
}

void SequencePlayer::stop()
{
    if (!stream_)
        return;
    stoppedAtSeconds_ = elapsedSeconds();
    stream_->stop();
    stream_.reset();
}

double SequencePlayer::elapsedSeconds() const
{
    if (!stream_)
        return stoppedAtSeconds_;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt_).count();
}

double SequencePlayer::positionBeats() const
{
    if (!sequence_)
        return 0.0;
    return sequence_->tempoMap().secondsToBeats(elapsedSeconds());
}

bool SequencePlayer::waitUntilSent(double graceSeconds)
{
    if (!stream_)
        return true;
    const double remaining = std::max(0.0, scheduleEndSeconds_ - elapsedSeconds());
    return stream_->waitUntilSent(remaining + std::max(0.0, graceSeconds));
}

}  // namespace brennick
