#pragma once
// The JACK server's MIDI ports as destinations and sources: listing them with their display names.

#include <jack/jack.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "services/midi_backend.h"

namespace brennick::jack {

class Destination final : public MidiDestination {
public:
    Destination(std::string portName, std::string displayName, std::uint64_t id)
        : MidiDestination(std::move(portName), std::move(displayName)), id(id)
    {
    }
    const std::uint64_t id;  // the backend's number for the port name: compared in the process callback
};

class Source final : public MidiSource {
public:
    Source(std::string portName, std::string displayName, std::string paired)
        : MidiSource(std::move(portName), std::move(displayName), std::move(paired))
    {
    }
};

// The MIDI input ports of the other clients than `client`, in the server's order, each numbered
// by `idOf` (the same port name, the same number).
std::vector<DestinationHandle> listDestinations(jack_client_t* client,
                                                const std::function<std::uint64_t(const std::string&)>& idOf);

// The MIDI output ports of the other clients than `client`, in the server's order, each paired
// with the first input port of its own client.
std::vector<SourceHandle> listSources(jack_client_t* client);

}  // namespace brennick::jack
