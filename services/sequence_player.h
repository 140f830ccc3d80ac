#pragma once
// Plays one sequence to one destination and reports the position in beats.

#include <chrono>
#include <memory>

#include "services/midi_backend.h"
#include "services/sysex_pacer.h"

namespace brennick {

class Sequence;
struct StopReport;

class SequencePlayer {
public:
    SequencePlayer();
    ~SequencePlayer();  // stops
    SequencePlayer(const SequencePlayer&) = delete;
    SequencePlayer& operator=(const SequencePlayer&) = delete;

    void setSequence(std::shared_ptr<const Sequence> sequence);
    bool hasSequence() const noexcept { return sequence_ != nullptr; }

    // Starts from the beginning on `destination`, pacing SysEx as `pacing` says. Stops what this
    // player was playing first. False when no MIDI service or output is available; the player is
    // then stopped at position 0.
    bool start(const DestinationHandle& destination, SysExPacing pacing);

    // Stops sending and silences the notes this player left sounding (after a SysEx under way, or
    // after its F7 when its rest would take longer than the stream cursor lets a stop wait). The
    // position stays where it was. Returns at once.
    void stop();
    // Whether the latest stop() ended a SysEx under way early, with F7; false when it stopped
    // nothing. The output takes a stop in its own time (JACK in its next cycle): this waits at most
    // `waitSeconds` for that, and a stop not taken by then has cut nothing yet.
    bool stopCutMessage(double waitSeconds) const;

    bool isPlaying() const noexcept { return stream_ != nullptr; }

    // Beats since the start; keeps growing past the end of the sequence until stopped. It follows
    // the steady clock, so it advances even when the destination or the service has gone away.
    double positionBeats() const;
    double positionSeconds() const;

    // Waits until everything has left the program, at most until the latest the stream can end
    // plus `graceSeconds`.
    bool waitUntilSent(double graceSeconds);

private:
    std::shared_ptr<const Sequence> sequence_;
    std::shared_ptr<MidiBackend> backend_;
    std::unique_ptr<PlaybackStream> stream_;
    std::shared_ptr<const StopReport> stopReport_;  // of the stream playing or stopped last
    std::chrono::steady_clock::time_point startedAt_{};
    double endSecondsBound_ = 0.0;
    double stoppedAtSeconds_ = 0.0;
};

}  // namespace brennick
