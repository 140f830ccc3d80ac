#pragma once
// What a MIDI backend (JACK, ALSA sequencer) offers: destinations and the transport of one stream
// to one of them for the sequence player (the playback rules live in the stream cursor); sources
// and listening to what a synth sends back.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "services/sysex_assembler.h"

namespace brennick {

class StreamCursor;

// One destination as its backend listed it. Backends add what they need to reach it; elsewhere it is
// only passed around, from the listing to the stream, as one handle.
class MidiDestination {
public:
    virtual ~MidiDestination() = default;

    // What the user sees and model names are matched against.
    const std::string& displayName() const noexcept { return displayName_; }
    // The same port has the same identity in every listing of its backend ("fluidsynth:midi_00").
    const std::string& identity() const noexcept { return identity_; }

protected:
    MidiDestination(std::string identity, std::string displayName)
        : identity_(std::move(identity)), displayName_(std::move(displayName))
    {
    }

private:
    std::string identity_;
    std::string displayName_;
};

using DestinationHandle = std::shared_ptr<const MidiDestination>;

// One source (a port that sends MIDI to us) as its backend listed it; a handle like a destination.
class MidiSource {
public:
    virtual ~MidiSource() = default;

    const std::string& displayName() const noexcept { return displayName_; }
    // Stable across listings, like a destination's.
    const std::string& identity() const noexcept { return identity_; }
    // The identity of the destination of the same device (same client), where a reply to what is
    // sent there comes from; empty when the device takes no input.
    const std::string& pairedDestination() const noexcept { return pairedDestination_; }

protected:
    MidiSource(std::string identity, std::string displayName, std::string pairedDestination)
        : identity_(std::move(identity)), displayName_(std::move(displayName)),
          pairedDestination_(std::move(pairedDestination))
    {
    }

private:
    std::string identity_;
    std::string displayName_;
    std::string pairedDestination_;
};

using SourceHandle = std::shared_ptr<const MidiSource>;

// Gets each whole SysEx message (F0 ... F7) a source sent, in order, on a thread of the backend's
// (never the real-time one). It must not destroy its own listener.
using SysExHandler = std::function<void(std::span<const std::uint8_t>)>;

// Listening to one source. Destroying it stops listening; the handler is not called afterwards.
class InputListener {
public:
    virtual ~InputListener() = default;
    // Stops listening: once it returns the handler is not called again, and counts() keeps what
    // it is then, so the two agree. Destroying the listener stops it too.
    virtual void stop() = 0;
    // What was not handed out: SysEx messages cut short or too long, and the other messages.
    virtual InputCounts counts() const = 0;
};

// One cursor playing to one destination. Destroying the stream stops it.
class PlaybackStream {
public:
    virtual ~PlaybackStream() = default;

    // Ends the stream without waiting for it: a SysEx under way is finished, or ended early with F7
    // when its rest is too long (StreamCursor::stop), never left open; then every note it left
    // sounding gets a note-off. A later stream to the same destination starts only after that.
    virtual void stop() = 0;

    // Waits until everything the cursor has to produce has left the program, at most
    // `timeoutSeconds`. True when all has been sent (or there is no service left to wait for).
    virtual bool waitUntilSent(double timeoutSeconds) = 0;
};

// When a new stream's second 0 falls: as soon as it can start, or on the second `afterSeconds` of
// another stream of the same backend, started before it, so that a song can follow another on the
// very frame that one ends. The new stream is made ready (connected) at once, ahead of that time. A
// stream to follow that has gone, or never started, leaves the new one to start as soon as it can.
struct StreamStart {
    const PlaybackStream* after = nullptr;
    double afterSeconds = 0.0;
};

class MidiBackend {
public:
    virtual ~MidiBackend() = default;

    virtual const char* name() const = 0;

    // False once the service went away; the backend is then replaced at the next request.
    virtual bool alive() const = 0;

    // The destinations as they are now, in the service's order, their display names read once.
    virtual std::vector<DestinationHandle> destinations() = 0;

    // The sources as they are now, in the service's order, each paired with its device's destination.
    virtual std::vector<SourceHandle> sources() = 0;

    // Listens to `source` (a handle this backend listed). Null when it has gone or the backend
    // cannot take another listener.
    virtual std::unique_ptr<InputListener> listen(const SourceHandle& source, SysExHandler handler) = 0;

    // Starts `cursor` on `destination` (a handle this backend listed; any other is a destination that
    // has gone), at `when`. A destination that has gone is not an error: the stream runs on, unheard,
    // so its end is still seen. Null when the backend cannot take another stream. A stream stopped
    // before its second 0 has sent nothing.
    virtual std::unique_ptr<PlaybackStream> play(std::unique_ptr<StreamCursor> cursor,
                                                 const DestinationHandle& destination, StreamStart when) = 0;

    // Ends every stream as stop() does, waits up to `timeoutSeconds` for them to finish, ends a SysEx
    // still under way then with F7 (briefly past the bound), then lets go of the service
    // connection. Streams still held afterwards fail softly.
    virtual void close(double timeoutSeconds) = 0;
};

}  // namespace brennick
