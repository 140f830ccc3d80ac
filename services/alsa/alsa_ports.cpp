#include "services/alsa/alsa_ports.h"

#include <algorithm>
#include <memory>
#include <tuple>
#include <utility>

namespace brennick::alsa {

namespace {

// The port name when it already begins with the client name (hardware ports usually do), else both.
std::string composeDisplayName(const std::string& clientName, const std::string& portName)
{
    if (portName.compare(0, clientName.size(), clientName) == 0)
        return portName;
    return clientName + " " + portName;
}

bool isDestinationPort(const snd_seq_port_info_t* port)
{
    const unsigned caps = snd_seq_port_info_get_capability(port);
    constexpr unsigned wanted = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    return (caps & wanted) == wanted && (caps & SND_SEQ_PORT_CAP_NO_EXPORT) == 0;
}

}  // namespace

Destination::Destination(snd_seq_addr_t address, std::string clientName, std::string portName)
    : MidiDestination(std::to_string(address.client) + ":" + std::to_string(address.port) + " " + clientName + ":" +
                          portName,
                      composeDisplayName(clientName, portName)),
      address(address), clientName(std::move(clientName))
{
}

void forEachOtherPort(snd_seq_t* seq, const std::string& alsoSkip,
                      const std::function<void(int, const std::string&, const snd_seq_port_info_t*)>& visit)
{
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    const int own = snd_seq_client_id(seq);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        const int c = snd_seq_client_info_get_client(client);
        const std::string clientName = snd_seq_client_info_get_name(client);
        if (c == SND_SEQ_CLIENT_SYSTEM || c == own || clientName == "Midi Through" ||
            (!alsoSkip.empty() && clientName == alsoSkip))
            continue;
        snd_seq_port_info_set_client(port, c);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0)
            visit(c, clientName, port);
    }
}

std::vector<DestinationHandle> listDestinations(snd_seq_t* seq)
{
    std::vector<std::tuple<int, int, DestinationHandle>> found;
    forEachOtherPort(seq, std::string(), [&found](int c, const std::string& clientName, const snd_seq_port_info_t* port) {
        if (!isDestinationPort(port))
            return;
        const int p = snd_seq_port_info_get_port(port);
        const snd_seq_addr_t address{static_cast<unsigned char>(c), static_cast<unsigned char>(p)};
        found.emplace_back(c, p, std::make_shared<Destination>(address, clientName, snd_seq_port_info_get_name(port)));
    });
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
    });
    std::vector<DestinationHandle> result;
    result.reserve(found.size());
    for (auto& entry : found)
        result.push_back(std::move(std::get<2>(entry)));
    return result;
}

bool stillThere(snd_seq_t* seq, snd_seq_addr_t address, const std::string& clientName)
{
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    return snd_seq_get_any_client_info(seq, address.client, client) >= 0 &&
           clientName == snd_seq_client_info_get_name(client) &&
           snd_seq_get_any_port_info(seq, address.client, address.port, port) >= 0 && isDestinationPort(port);
}

int createStreamPort(snd_seq_t* seq)
{
    return snd_seq_create_simple_port(seq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
}

const Destination* connectStreamPort(snd_seq_t* seq, int port, const MidiDestination* destination)
{
    const auto* target = dynamic_cast<const Destination*>(destination);
    if (target == nullptr || !stillThere(seq, target->address, target->clientName) ||
        snd_seq_connect_to(seq, port, target->address.client, target->address.port) < 0)
        return nullptr;
    return target;
}

}  // namespace brennick::alsa
