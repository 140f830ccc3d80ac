#pragma once
// A loaded Standard MIDI File: its tracks of timed messages and its tempo map.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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
    MidiTrack() = default;
    MidiTrack(MidiTrack&& other) noexcept;  // leaves `other` empty
    MidiTrack& operator=(MidiTrack&& other) noexcept;
    ~MidiTrack() = default;

    std::size_t size() const noexcept;
    // The message at `index` (< size()), in file order, which is time order.
    MidiMessage operator[](std::size_t index) const noexcept;
    // The tick of the end-of-track event, else of the last event; 0 for an empty track.
    std::uint64_t lengthTicks() const noexcept;
    // Calls `visit(const MidiMessage&)` for every message in file order: faster than indexing.
    template <class Visit> void forEach(Visit&& visit) const;

private:
    friend class SmfTrackWriter;

    // 8 bytes per message, no heap block of its own: a file holds millions of them.
    struct Record {
        std::uint32_t tickLow;          // the tick's low 32 bits; the high bits come from epochStarts_
        std::uint8_t kindAndIndexHigh;  // MessageKind in bits 0-2; pooled index bits 24-28 above
        std::uint8_t bytes[3];          // Channel: status and data; other kinds: pooled index bits 0-23
    };
    // A message whose bytes live in pool_ (meta events and SysEx packets).
    struct Pooled {
        std::uint64_t offset;
        std::uint32_t length;
        std::uint8_t metaType;
    };

    MidiMessage decode(const Record& record, std::uint64_t tickHigh) const noexcept;

    struct FreeDeleter {
        void operator()(Record* p) const noexcept { std::free(p); }
    };
    // From malloc, not a vector: the reader sizes the block for the most records the chunk could
    // hold and gives back the unused end, which the system never had to provide.
    std::unique_ptr<Record[], FreeDeleter> records_;
    std::size_t recordCount_ = 0;
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
    const MidiTrack& track(std::size_t index) const noexcept;   // index < trackCount(); else an empty track
    double trackLengthBeats(std::size_t index) const noexcept;  // tempoMap().ticksToBeats(lengthTicks)
    double lengthBeats() const noexcept;                        // the largest track length, 0 if none

private:
    friend class SmfSequenceBuilder;

    std::uint16_t format_ = 0;
    TempoMap tempoMap_;
    std::vector<MidiTrack> tracks_;
};

// Inline: the player calls these for every message of a file.

inline std::size_t MidiTrack::size() const noexcept
{
    return recordCount_;
}

inline MidiMessage MidiTrack::decode(const Record& r, std::uint64_t tickHigh) const noexcept
{
    MidiMessage m;
    m.tick = tickHigh | r.tickLow;
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

inline MidiMessage MidiTrack::operator[](std::size_t index) const noexcept
{
    std::uint64_t tickHigh = 0;
    if (!epochStarts_.empty()) [[unlikely]] {
        const auto epoch = std::upper_bound(epochStarts_.begin(), epochStarts_.end(), index) - epochStarts_.begin();
        tickHigh = static_cast<std::uint64_t>(epoch) << 32;
    }
    return decode(records_[index], tickHigh);
}

template <class Visit> void MidiTrack::forEach(Visit&& visit) const
{
    std::size_t epoch = 0;
    std::size_t epochEnd = epochStarts_.empty() ? recordCount_ : epochStarts_[0];
    for (std::size_t i = 0; i < recordCount_; ++i) {
        while (i == epochEnd)
            [[unlikely]]
            {
                ++epoch;
                epochEnd = epoch < epochStarts_.size() ? epochStarts_[epoch] : recordCount_;
            }
        visit(decode(records_[i], static_cast<std::uint64_t>(epoch) << 32));
    }
}

}  // namespace brennick
