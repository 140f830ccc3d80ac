#pragma once
// What a synth must be sent so that it sounds, at a point of a song, as if the song had played
// from its start: after a seek, and on resuming a pause.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "services/sequence.h"

namespace brennick {

// The song's state at a tick, as a track to play before the song's own messages from that tick on:
// - the song's set-up, its system messages (resets, parameter changes) that come before its first
//   note, as stored, in file order; later system messages are not repeated;
// - for each channel: the last bank select and program change, the last value of every controller
//   set (RPN and NRPN data once per parameter, then the parameter last selected), pitch bend and
//   channel pressure. A "reset all controllers" forgets what came before it but bank, program,
//   volume and pan. Notes are not chased.
// Every event of the track is at delta 0. It owns its bytes.
class ChasePrelude {
public:
    // The state before the messages at `tick` (those at `tick` itself are played, not chased).
    ChasePrelude(const Sequence& sequence, std::uint64_t tick);

    const MidiTrack& track() const noexcept { return track_; }
    bool empty() const noexcept { return track_.size() == 0; }

private:
    std::vector<std::uint8_t> bytes_;
    MidiTrack track_;
};

}  // namespace brennick
