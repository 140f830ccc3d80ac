#pragma once
// MIDI through a JACK server: one client per process, sample-accurate output from the process
// callback (here), the port listing (jack_ports) and input (jack_input).

#include <memory>

#include "services/midi_backend.h"

namespace brennick {

// Connects to a running JACK server (never starts one). Null when none is reachable.
std::shared_ptr<MidiBackend> openJackBackend();

}  // namespace brennick
