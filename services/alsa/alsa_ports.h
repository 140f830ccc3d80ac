#pragma once
// The ALSA sequencer's ports as destinations: listing them, checking that one is still there, and
// connecting a port of ours to one.

#include <alsa/asoundlib.h>

#include <functional>
#include <string>
#include <vector>

#include "services/midi_backend.h"

namespace brennick::alsa {

class Destination final : public MidiDestination {
public:
    Destination(snd_seq_addr_t address, std::string clientName, std::string portName);
    const snd_seq_addr_t address;
    const std::string clientName;  // a different client that takes the same number is not this one
};

// Calls `visit(client, clientName, port)` for every port of the clients other than `seq`'s own,
// the System client, "Midi Through" and any named `alsoSkip`, in client and port order.
void forEachOtherPort(snd_seq_t* seq, const std::string& alsoSkip,
                      const std::function<void(int, const std::string&, const snd_seq_port_info_t*)>& visit);

// The writable, subscribable ports of other clients than `seq`, the System client and "Midi
// Through", ordered by client and port number.
std::vector<DestinationHandle> listDestinations(snd_seq_t* seq);

// Whether the port at `address` still belongs to the client it was listed for and takes input.
bool stillThere(snd_seq_t* seq, snd_seq_addr_t address, const std::string& clientName);

// A new port of ours for one stream to send from; negative when none can be made. Each stream has
// its own, connected to its destination: a port driven by hardware opens its device only for a
// connection, and when the destination goes the kernel drops the connection, so nothing reaches a
// newcomer that takes its number.
int createStreamPort(snd_seq_t* seq);

// Connects our `port` to `destination`; null when it cannot be reached (not one of ours, or gone).
const Destination* connectStreamPort(snd_seq_t* seq, int port, const MidiDestination* destination);

}  // namespace brennick::alsa
