#include "services/jack/jack_ports.h"

#include <jack/metadata.h>

#include <cstring>

namespace brennick::jack {

namespace {

// The port's pretty-name metadata when it has one, else its full name "client:port".
std::string displayName(jack_port_t* port, const std::string& fullName)
{
    std::string name = fullName;
    char* value = nullptr;
    char* type = nullptr;
    if (jack_get_property(jack_port_uuid(port), JACK_METADATA_PRETTY_NAME, &value, &type) == 0) {
        if (value != nullptr && *value != '\0')
            name = value;
        jack_free(value);
        jack_free(type);
    }
    return name;
}

// Calls `visit(name, port)` for every MIDI port in direction `flags` of the clients other than
// `client`, in the server's order.
void forEachOtherPort(jack_client_t* client, unsigned long flags,
                      const std::function<void(const char*, jack_port_t*)>& visit)
{
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
    if (ports == nullptr)
        return;
    const std::string own = std::string(jack_get_client_name(client)) + ":";
    for (const char** p = ports; *p != nullptr; ++p)
        if (std::strncmp(*p, own.c_str(), own.size()) != 0)
            if (jack_port_t* port = jack_port_by_name(client, *p))
                visit(*p, port);
    jack_free(ports);
}

}  // namespace

std::vector<DestinationHandle> listDestinations(jack_client_t* client,
                                                const std::function<std::uint64_t(const std::string&)>& idOf)
{
    std::vector<DestinationHandle> result;
    forEachOtherPort(client, JackPortIsInput, [&](const char* name, jack_port_t* port) {
        result.push_back(std::make_shared<Destination>(name, displayName(port, name), idOf(name)));
    });
    return result;
}

std::vector<SourceHandle> listSources(jack_client_t* client)
{
    std::vector<std::string> inputs;
    forEachOtherPort(client, JackPortIsInput, [&](const char* name, jack_port_t*) { inputs.emplace_back(name); });
    std::vector<SourceHandle> result;
    forEachOtherPort(client, JackPortIsOutput, [&](const char* name, jack_port_t* port) {
        // The client's name is what comes before the port's own (short) name.
        const std::size_t shortName = std::strlen(jack_port_short_name(port));
        const std::string clientPrefix = std::string(name).substr(0, std::strlen(name) - shortName);
        std::string paired;
        for (const std::string& input : inputs)
            if (clientPrefix.size() > 1 && input.compare(0, clientPrefix.size(), clientPrefix) == 0) {
                paired = input;
                break;
            }
        result.push_back(std::make_shared<Source>(name, displayName(port, name), std::move(paired)));
    });
    return result;
}

}  // namespace brennick::jack
