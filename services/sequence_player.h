#pragma once
// Plays one sequence to one destination and reports the position in beats.

#include <atomic>
#include <memory>
#include <optional>

#include "services/midi_backend.h"
#include "services/sysex_pacer.h"

namespace brennick {

class Sequence;
struct StopReport;

// Used from one thread (the caller's); what reaches the MIDI service runs on the MIDI service
// thread, so no call here waits for the service.
class SequencePlayer {
public:
    SequencePlayer();
    ~SequencePlayer();  // stops
    SequencePlayer(const SequencePlayer&) = delete;
    SequencePlayer& operator=(const SequencePlayer&) = delete;

    void setSequence(std::shared_ptr<const Sequence> sequence);
    bool hasSequence() const noexcept { return sequence_ != nullptr; }

    // Starts from the beginning on `destination` (as listed by the backend that is open),
    // pacing SysEx as `pacing` says. Stops what this player was playing first. Returns at once;
    // the position stays 0 until the stream has started. A stream that cannot start (the
    // service went away) leaves the player at 0.
    void start(const DestinationHandle& destination, SysExPacing pacing);

    // Stops sending and silences the notes this player left sounding (after a SysEx under way, or
    // after its F7 when its rest would take longer than the stream cursor lets a stop wait). The
    // position stays where it was. Returns at once.
    void stop();
    // Whether the latest stop() ended a SysEx under way early, with F7 (false when it stopped
    // nothing); nullopt while the output has not taken that stop yet (JACK takes it in its next
    // cycle). Never waits.
    std::optional<bool> stopCutMessage() const;

    // Beats since the stream started; keeps growing past the end of the sequence until stopped. It
    // follows the steady clock, so it advances even when the destination or the service has gone.
    double positionBeats() const;
    double positionSeconds() const;

    // Waits until everything has left the program, at most until the latest the stream can end
    // plus `graceSeconds`.
    bool waitUntilSent(double graceSeconds);

private:
    struct Run;

    std::shared_ptr<const Sequence> sequence_;
    std::shared_ptr<Run> run_;  // the stream of the latest start, until stopped
    std::shared_ptr<const StopReport> stopReport_;  // of the stream playing or stopped last
    double stoppedAtSeconds_ = 0.0;
};

}  // namespace brennick
