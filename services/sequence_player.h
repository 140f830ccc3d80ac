#pragma once
// Plays one sequence to one destination and reports the position in beats.

#include <chrono>
#include <memory>
#include <string>

namespace brennick {

class Sequence;
class MidiBackend;
class PlaybackStream;

class SequencePlayer {
public:
    SequencePlayer();
    ~SequencePlayer();  // stops
    SequencePlayer(const SequencePlayer&) = delete;
    SequencePlayer& operator=(const SequencePlayer&) = delete;

    void setSequence(std::shared_ptr<const Sequence> sequence);
    bool hasSequence() const noexcept { return sequence_ != nullptr; }

    // Starts from the beginning on `destinationUniqueName`, pacing SysEx at `maxSysExBytesPerSecond`.
    // Stops what this player was playing first. False when no MIDI service or output is available;
    // the player is then stopped at position 0.
    bool start(const std::string& destinationUniqueName, double maxSysExBytesPerSecond);

    // Stops sending and silences the notes this player left sounding. The position stays where it was.
    void stop();

    bool isPlaying() const noexcept { return stream_ != nullptr; }

    // Beats since the start; keeps growing past the end of the sequence until stopped. It follows
    // the steady clock, so it advances even when the destination or the service has gone away.
    double positionBeats() const;

    // Waits until everything scheduled has left the program, at most until the schedule's end
    // plus `graceSeconds`.
    bool waitUntilSent(double graceSeconds);

private:
    double elapsedSeconds() const;

    std::shared_ptr<const Sequence> sequence_;
    std::shared_ptr<MidiBackend> backend_;
    std::unique_ptr<PlaybackStream> stream_;
    std::chrono::steady_clock::time_point startedAt_{};
    double scheduleEndSeconds_ = 0.0;
    double stoppedAtSeconds_ = 0.0;
};

}  // namespace brennick
