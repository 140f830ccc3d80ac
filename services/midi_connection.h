#pragma once
// The process's one connection to the MIDI service: JACK when a server is reachable, otherwise the
// ALSA sequencer, otherwise none.

#include <memory>

#include "services/midi_backend.h"

namespace brennick {

// The backend for this process, opened on first use. A backend that went away is replaced at the
// next call. Call it on the MIDI service thread only (services/midi_service_thread.h): opening can
// take seconds.
std::shared_ptr<MidiBackend> currentMidiBackend();

// The backend opened already, when it is still alive; never opens one (null instead).
std::shared_ptr<MidiBackend> openedMidiBackend();

// Closes the connection in order at the end of the program, on the service thread: streams end as
// stop() ends them (waiting up to `timeoutSeconds` for them), then the client leaves the service.
// When the service thread is held by a call that does not return (a server that does not answer)
// for longer than `queueSeconds`, nothing is closed and the answer is false: the caller ends the
// process without waiting. Later calls to currentMidiBackend() open a new connection.
bool closeMidiServices(double timeoutSeconds, double queueSeconds = 0.5);

}  // namespace brennick
