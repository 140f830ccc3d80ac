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
class TempoMap;

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
    const TempoMap& sequenceTempoMap() const noexcept;  // hasSequence() only

    // Starts from the beginning on `destination` (as listed by the backend that is open),
    // pacing SysEx as `pacing` says. Stops what this player was playing first. Returns at once;
    // the position stays 0 until the stream has started. A stream that cannot start (the
    // service went away) leaves the player at 0.
    void start(const DestinationHandle& destination, SysExPacing pacing);
    // Starts from the beginning as start() does, but on the frame where the song `previous` plays
    // ends (its end-of-track time at its tempo; see StreamCursor::loopSeconds), so that the two
    // follow each other with no gap; the stream is made ready now. `previous` lets go there what
    // still sounds. Stopped before then, this player has sent nothing. False, and nothing started,
    // when `previous` plays no song with such an end (stopped, paused, looping, a SysEx dump), or
    // its paced SysEx may still be sending there.
    bool startAfter(const SequencePlayer& previous, const DestinationHandle& destination, SysExPacing pacing);

    // Stops sending and silences the notes this player left sounding (after a SysEx under way, or
    // after its F7 when its rest would take longer than the stream cursor lets a stop wait). The
    // position stays where it was. Returns at once.
    void stop();
    // Whether the latest stop() ended a SysEx under way early, with F7 (false when it stopped
    // nothing); nullopt while the output has not taken that stop yet (JACK takes it in its next
    // cycle). Never waits.
    std::optional<bool> stopCutMessage() const;

    // Pause silences as a stop does and keeps the position; resume goes on from there, the synth
    // first given the song's state at that point (see ChasePrelude). Both return at once.
    void pause();
    void resume();
    bool paused() const noexcept { return paused_; }
    // Moves to `seconds` of the song (a SysEx dump: to the start of the message under way there):
    // a playing player goes on from there with the state chased; a paused or stopped one only
    // keeps the new position.
    void seek(double seconds);
    // Tempo, 0.5 to 2 (the song's own tempo map times `rate`); SysEx pacing is not scaled. A
    // playing player goes on at the new tempo from where it is.
    void setRate(double rate);
    double rate() const noexcept { return rate_; }
    // Whether the song plays again from its start at its end, with no gap (see StreamCursor);
    // switched while it plays, the pass under way decides when it ends. The position goes round
    // with the passes. A song that cannot play again (StreamCursor::loopSeconds) ends as it would.
    void setLooping(bool on);
    bool looping() const noexcept { return looping_; }
    // Whether what still sounds at the end of the song (its end-of-track time) is let go there, as
    // when another song follows (startAfter switches it on). A backend that queues ahead (ALSA)
    // may have taken the whole end of a short song before a later switch. Kept across starts.
    void setReleasingAtEnd(bool on);
    // Stops as stop() does, then sends "all notes off" and "reset all controllers" on all 16
    // channels of the destination of the latest start (after a SysEx under way has ended).
    void panic();

    // The song's time, in beats and seconds: since the start while playing (it keeps growing past
    // the end of the sequence until stopped), where it stood while paused or stopped. It follows
    // the steady clock, so it advances even when the destination or the service has gone.
    double positionBeats() const;
    double positionSeconds() const;

    // Waits until everything has left the program, at most until the latest the stream can end
    // plus `graceSeconds`.
    bool waitUntilSent(double graceSeconds);

private:
    struct Run;

    // Starts a stream at the song's `seconds` (rounded to where a stream can start); with `after`, on
    // that run's stream second `afterSeconds`.
    void startAt(double seconds, std::shared_ptr<Run> after = nullptr, double afterSeconds = 0.0);
    void endRun();
    // Whether paced SysEx of the run under way may still be sending where its song ends.
    bool maySendPastEnd() const;

    std::shared_ptr<const Sequence> sequence_;
    std::shared_ptr<Run> run_;  // the stream of the latest start, until stopped
    std::shared_ptr<const StopReport> stopReport_;  // of the stream playing or stopped last
    double stoppedAtSeconds_ = 0.0;  // the position while no stream runs
    DestinationHandle destination_;  // of the latest start
    SysExPacing pacing_;
    double rate_ = 1.0;
    bool paused_ = false;
    bool looping_ = false;
    bool releasingAtEnd_ = false;
};

}  // namespace brennick
