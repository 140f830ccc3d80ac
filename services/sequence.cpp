#include "services/sequence.h"

#include <algorithm>
#include <utility>

namespace brennick {

MidiTrack::MidiTrack(MidiTrack&& other) noexcept
    : records_(std::move(other.records_)), recordCount_(std::exchange(other.recordCount_, 0)),
      pooled_(std::move(other.pooled_)), pool_(std::move(other.pool_)), epochStarts_(std::move(other.epochStarts_)),
      lengthTicks_(std::exchange(other.lengthTicks_, 0))
{
}

MidiTrack& MidiTrack::operator=(MidiTrack&& other) noexcept
{
    if (this != &other) {
        records_ = std::move(other.records_);
        recordCount_ = std::exchange(other.recordCount_, 0);
        pooled_ = std::move(other.pooled_);
        pool_ = std::move(other.pool_);
        epochStarts_ = std::move(other.epochStarts_);
        lengthTicks_ = std::exchange(other.lengthTicks_, 0);
    }
    return *this;
}

std::uint64_t MidiTrack::lengthTicks() const noexcept
{
    return lengthTicks_;
}

Sequence::Sequence() = default;
Sequence::Sequence(Sequence&&) noexcept = default;
Sequence& Sequence::operator=(Sequence&&) noexcept = default;
Sequence::~Sequence() = default;

std::uint16_t Sequence::format() const noexcept
{
    return format_;
}

const TempoMap& Sequence::tempoMap() const noexcept
{
    return tempoMap_;
}

std::size_t Sequence::trackCount() const noexcept
{
    return tracks_.size();
}

const MidiTrack& Sequence::track(std::size_t index) const noexcept
{
    static const MidiTrack empty;
    return index < tracks_.size() ? tracks_[index] : empty;
}

double Sequence::trackLengthBeats(std::size_t index) const noexcept
{
    return tempoMap_.ticksToBeats(track(index).lengthTicks());
}

double Sequence::lengthBeats() const noexcept
{
    std::uint64_t longest = 0;
    for (const MidiTrack& t : tracks_)
        longest = std::max(longest, t.lengthTicks());
    return tempoMap_.ticksToBeats(longest);
}

}  // namespace brennick
