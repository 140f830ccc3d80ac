#pragma once
// MIDI output through the ALSA sequencer: one client per process, events timestamped on a
// sequencer queue so the kernel sends each at its time.

#include <memory>

#include "services/midi_backend.h"

namespace brennick {

// Opens a client of the ALSA sequencer. Null when the sequencer cannot be opened (no
// /dev/snd/seq, as on kernels without sound support).
std::shared_ptr<MidiBackend> openAlsaBackend();

}  // namespace brennick
