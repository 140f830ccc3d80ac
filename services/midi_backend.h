#pragma once
// What a MIDI output backend (JACK, ALSA sequencer) offers the sequence player.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brennick {

struct PlaybackSchedule;

struct DestinationInfo {
    std::string uniqueName;   // stable identity within the backend, e.g. "fluidsynth:midi_00"
    std::string displayName;  // what the user sees and model names are matched against
};

// One schedule playing to one destination. Destroying it stops it.
class PlaybackStream {
public:
    virtual ~PlaybackStream() = default;

    // Stops sending and silences what this stream left sounding (note-offs; an unfinished SysEx is
    // closed with F7). Returns once that has been sent, or after a short bound when the service is gone.
    virtual void stop() = 0;

    // Waits until every message of the schedule has left the program, at most `timeoutSeconds`.
    // True when all has been sent (or there is no service left to wait for).
    virtual bool waitUntilSent(double timeoutSeconds) = 0;

    // Messages the backend had to drop (a full port buffer, a vanished destination).
    virtual std::size_t droppedCount() const = 0;
};

class MidiBackend {
public:
    virtual ~MidiBackend() = default;

    virtual const char* name() const = 0;

    // False once the service went away; the backend is then replaced at the next request.
    virtual bool alive() const = 0;

    // Lets go of the service connection at once (after it went away); streams still held fail softly.
    virtual void closeClient() = 0;

    // The destinations as they are now, in the service's order.
    virtual std::vector<DestinationInfo> destinations() = 0;

    // The current display name of a destination, or nothing when it no longer exists.
    virtual std::optional<std::string> displayName(const std::string& uniqueName) = 0;

    // Starts `schedule` (kept alive by the stream) on the destination. Returns null when the
    // backend cannot take another stream.
    virtual std::unique_ptr<PlaybackStream> play(std::shared_ptr<const PlaybackSchedule> schedule,
                                                 const std::string& destinationUniqueName) = 0;
};

// The backend for this process: JACK when a server is reachable, otherwise the ALSA sequencer,
// otherwise none. A backend that went away is replaced at the next call.
std::shared_ptr<MidiBackend> currentMidiBackend();

}  // namespace brennick
