#pragma once
// A loaded song: the file's bytes as read, where each track's events lie in them, and the tempo map.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "services/midi_message.h"
#include "services/tempo_map.h"

namespace brennick {

class SmfSequenceBuilder;

// One track's messages in file order (which is time order), decoded from the file's bytes as they
// are visited. A track holds no copy of its messages: a file of millions of them costs its own size.
class MidiTrack {
public:
    std::size_t size() const noexcept { return messageCount_; }
    // The tick of the end-of-track event, else of the last event; 0 for an empty track.
    std::uint64_t lengthTicks() const noexcept { return lengthTicks_; }
    // Messages the track holds of each sort: what playback needs to visit it for.
    std::size_t channelMessageCount() const noexcept { return channelCount_; }
    std::size_t systemMessageCount() const noexcept { return systemCount_; }

    // The track's event data as stored, up to where its reading ended (after its end-of-track
    // event, or before an event that could not be read).
    std::span<const std::uint8_t> events() const noexcept { return events_; }

    // Calls `visit` for every message in file order.
    void forEach(const std::function<void(const MidiMessage&)>& visit) const;

    // A track over event data made by the program itself (delta-time events as in an MTrk chunk),
    // which must outlive it.
    static MidiTrack ofEvents(std::span<const std::uint8_t> events) noexcept;

private:
    friend class SmfSequenceBuilder;

    std::span<const std::uint8_t> events_;
    std::size_t messageCount_ = 0;
    std::size_t channelCount_ = 0;
    std::size_t systemCount_ = 0;
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
    std::uint64_t lengthTicks() const noexcept;                 // the largest track length, 0 if none
    double lengthBeats() const noexcept;                        // the same, in beats
    bool hasMessages() const noexcept;                          // any track holds a message to send

    // Bytes of every system message as sent (F0 included) and how many there are: what SysEx
    // pacing stretches a song by at most.
    std::uint64_t systemBytes() const noexcept { return systemBytes_; }
    std::size_t systemMessageCount() const noexcept { return systemCount_; }
    // The time of the latest message of any track, tempo-mapped.
    double lastMessageSeconds() const noexcept { return lastMessageSeconds_; }
    // The time of the latest system message of any track, tempo-mapped; 0 without one.
    double lastSystemMessageSeconds() const noexcept { return lastSystemMessageSeconds_; }

    // A raw SysEx file (a sound dump): its messages all stand at tick 0 and go out one after
    // another at the destination's pace, so its length is the time pacing takes, not a tick count.
    bool isSysExDump() const noexcept { return sysExDump_; }

private:
    friend class SmfSequenceBuilder;

    std::unique_ptr<std::uint8_t[]> bytes_;  // the data every track points into
    std::uint16_t format_ = 0;
    TempoMap tempoMap_;
    std::vector<MidiTrack> tracks_;
    std::uint64_t systemBytes_ = 0;
    std::size_t systemCount_ = 0;
    double lastMessageSeconds_ = 0.0;
    std::uint64_t lastSystemTick_ = 0;
    double lastSystemMessageSeconds_ = 0.0;
    bool sysExDump_ = false;
};

}  // namespace brennick
