#pragma once
// A loaded Standard MIDI File: its tracks of timed messages and its tempo map.

#include <cstddef>
#include <cstdint>
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

    std::vector<Record> records_;
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

}  // namespace brennick
