#pragma once
// The ALSA sequencer's ports as sources, and listening to one.

#include <alsa/asoundlib.h>

#include <memory>
#include <string>
#include <vector>

#include "services/midi_backend.h"

namespace brennick::alsa {

class Source final : public MidiSource {
public:
    Source(snd_seq_addr_t address, std::string clientName, std::string portName, std::string pairedDestination);
    const snd_seq_addr_t address;
};

// The readable, subscribable ports of other clients than `seq`, the System client and "Midi
// Through", ordered by client and port number, each paired with the first destination of its client.
std::vector<SourceHandle> listSources(snd_seq_t* seq);

// Listens to `source` through a client and a thread of the listener's own, so that a source that
// floods us never holds up the output; null when it cannot be reached.
std::unique_ptr<InputListener> listenTo(const MidiSource* source, SysExHandler handler);

}  // namespace brennick::alsa
