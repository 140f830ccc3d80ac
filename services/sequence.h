#pragma once
// A loaded Standard MIDI File: its tracks of timed messages and its tempo map.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "services/midi_message.h"
#include "services/tempo_map.h"

namespace brennick {

class MidiTrack {
public:
    std::size_t size() const noexcept;
    // The message at `index` (< size()), in file order, which is time order.
    MidiMessage operator[](std::size_t index) const noexcept;
    // The tick of the end-of-track event, else of the last event; 0 for an empty track.
    std::uint64_t lengthTicks() const noexcept;

    // (storage is the reader's concern; see sequence.cpp)
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
    const MidiTrack& track(std::size_t index) const noexcept;  // index < trackCount()
    double trackLengthBeats(std::size_t index) const noexcept;  // tempoMap().ticksToBeats(lengthTicks)
    double lengthBeats() const noexcept;                         // the largest track length, 0 if none
};

}  // namespace brennick
