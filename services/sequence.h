#pragma once
// A loaded Standard MIDI File: its tracks of timed messages and its tempo map.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "services/midi_message.h"
#include "services/tempo_map.h"

namespace brennick {

class SmfTrackWriter;  // the reader's filler of MidiTrack storage (smf_reader.cpp)

// A track's messages in file order. The spans of its messages stay valid while the track lives.
// The end-of-track event, when the file has one, is the last message (kind Meta, type 0x2F).
class MidiTrack {
public:
    std::size_t size() const noexcept;
    // The message at `index` (< size()), in file order, which is time order.
    MidiMessage operator[](std::size_t index) const noexcept;
    // The tick of the end-of-track event, else of the last event; 0 for an empty track.
    std::uint64_t lengthTicks() const noexcept;

private:
    friend class SmfTrackWriter;

    // 8 bytes per message, no heap block of its own: a file holds millions of them.
    struct Record {
        std::uint32_t tickLow;  // the tick's low 32 bits; the high bits come from epochStarts_
        std::uint8_t kindAndIndexHigh;  // MessageKind in bits 0-2; pooled index bits 24-28 above
        std::uint8_t bytes[3];  // Channel: status and data; other kinds: pooled index bits 0-23
    };
    // A message whose bytes live in pool_ (meta events and SysEx packets).
    struct Pooled {
        std::uint64_t offset;
        std::uint32_t length;
        std::uint8_t metaType;
    };

    // Leaves new elements uninitialised: the reader sizes the records once and then fills them.
    template <class T>
    struct UninitialisedAllocator : std::allocator<T> {
        template <class U>
        struct rebind {
            using other = UninitialisedAllocator<U>;
        };
        UninitialisedAllocator() = default;
        template <class U>
        UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
        template <class U>
        void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
        template <class U, class... Args>
        void construct(U* p, Args&&... args) { ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...); }
    };

    std::vector<Record, UninitialisedAllocator<Record>> records_;
    std::vector<Pooled> pooled_;
    std::vector<std::uint8_t> pool_;
    // epochStarts_[k] is the index of the first record whose tick is at least (k + 1) << 32.
    std::vector<std::uint32_t> epochStarts_;
    std::uint64_t lengthTicks_ = 0;
};

class Sequence {
public:
    Sequence();  // empty: no tracks, default tempo map
    Sequence(Sequence&&) noexcept;
    Sequence& operator=(Sequence&&) noexcept;
    ~Sequence();

    std::uint16_t format() const noexcept;  // 0, 1 or 2 as the header says
    const TempoMap& tempoMap() const noexcept;
    std::size_t trackCount() const noexcept;
    const MidiTrack& track(std::size_t index) const noexcept;  // index < trackCount(); else an empty track
    double trackLengthBeats(std::size_t index) const noexcept;  // tempoMap().ticksToBeats(lengthTicks)
    double lengthBeats() const noexcept;                         // the largest track length, 0 if none

private:
    friend class SmfSequenceBuilder;

    std::uint16_t format_ = 0;
    TempoMap tempoMap_;
    std::vector<MidiTrack> tracks_;
};

// Inline: the player calls these for every message of a file.

inline std::size_t MidiTrack::size() const noexcept { return records_.size(); }

inline MidiMessage MidiTrack::operator[](std::size_t index) const noexcept
{
    const Record& r = records_[index];
    MidiMessage m;
    m.tick = r.tickLow;
    if (!epochStarts_.empty()) [[unlikely]] {
        const auto epoch = std::upper_bound(epochStarts_.begin(), epochStarts_.end(), index) - epochStarts_.begin();
        m.tick |= static_cast<std::uint64_t>(epoch) << 32;
    }
    m.kind = static_cast<MessageKind>(r.kindAndIndexHigh & 0x07);
    if (m.kind == MessageKind::Channel) {
        // Program change and channel pressure carry one data byte, the other channel messages two.
        const std::uint8_t type = r.bytes[0] & 0xF0;
        m.bytes = std::span<const std::uint8_t>(r.bytes, type == 0xC0 || type == 0xD0 ? 2 : 3);
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

}  // namespace brennick
