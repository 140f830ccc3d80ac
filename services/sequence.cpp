#include "services/sequence.h"

#include <algorithm>

#include "services/smf/track_decoder.h"

namespace brennick {

void MidiTrack::forEach(const std::function<void(const MidiMessage&)>& visit) const
{
    smf::TrackDecoder decoder(events_.data(), events_.data() + events_.size());
    MidiMessage message;
    for (;;) {
        const smf::TrackDecoder::Step step = decoder.next(message);
        if (step == smf::TrackDecoder::Step::Message)
            visit(message);
        else if (step != smf::TrackDecoder::Step::Skipped)
            return;
    }
}

MidiTrack MidiTrack::ofEvents(std::span<const std::uint8_t> events) noexcept
{
    MidiTrack track;
    track.events_ = events;
    track.forEach([&track](const MidiMessage& m) {
        ++track.messageCount_;
        track.channelCount_ += m.kind == MessageKind::Channel;
        track.systemCount_ += isSystemMessage(m.kind);
        track.lengthTicks_ = m.tick;
    });
    return track;
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

bool Sequence::hasMessages() const noexcept
{
    return std::any_of(tracks_.begin(), tracks_.end(), [](const MidiTrack& t) {
        return t.channelMessageCount() + t.systemMessageCount() > 0;
    });
}

std::uint64_t Sequence::lengthTicks() const noexcept
{
    std::uint64_t longest = 0;
    for (const MidiTrack& t : tracks_)
        longest = std::max(longest, t.lengthTicks());
    return longest;
}

double Sequence::lengthBeats() const noexcept
{
    return tempoMap_.ticksToBeats(lengthTicks());
}

}  // namespace brennick
