#include "services/sequence.h"

#include <algorithm>

namespace brennick {

namespace {
std::size_t channelMessageLength(std::uint8_t status)
{
    // Program change and channel pressure carry one data byte, the other channel messages two.
    const std::uint8_t type = status & 0xF0;
    return type == 0xC0 || type == 0xD0 ? 2 : 3;
}
}  // namespace

std::size_t MidiTrack::size() const noexcept { return records_.size(); }

MidiMessage MidiTrack::operator[](std::size_t index) const noexcept
{
    const Record& r = records_[index];
    MidiMessage m;
    m.tick = r.tickLow;
    if (!epochStarts_.empty()) {
        const auto epoch = std::upper_bound(epochStarts_.begin(), epochStarts_.end(), index) - epochStarts_.begin();
        m.tick |= static_cast<std::uint64_t>(epoch) << 32;
    }
    m.kind = static_cast<MessageKind>(r.kindAndIndexHigh & 0x07);
    if (m.kind == MessageKind::Channel) {
        m.bytes = std::span<const std::uint8_t>(r.bytes, channelMessageLength(r.bytes[0]));
    } else {
        const std::size_t pooledIndex = std::size_t{r.bytes[0]} | std::size_t{r.bytes[1]} << 8 |
                                        std::size_t{r.bytes[2]} << 16 |
                                        std::size_t{static_cast<std::uint8_t>(r.kindAndIndexHigh >> 3)} << 24;
        const Pooled& p = pooled_[pooledIndex];
        m.metaType = p.metaType;
        m.bytes = std::span<const std::uint8_t>(pool_.data() + p.offset, p.length);
    }
    return m;
}

std::uint64_t MidiTrack::lengthTicks() const noexcept { return lengthTicks_; }

Sequence::Sequence() = default;
Sequence::Sequence(Sequence&&) noexcept = default;
Sequence& Sequence::operator=(Sequence&&) noexcept = default;
Sequence::~Sequence() = default;

std::uint16_t Sequence::format() const noexcept { return format_; }

const TempoMap& Sequence::tempoMap() const noexcept { return tempoMap_; }

std::size_t Sequence::trackCount() const noexcept { return tracks_.size(); }

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
