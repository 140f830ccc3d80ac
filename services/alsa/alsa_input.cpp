#include "services/alsa/alsa_input.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <tuple>

#include "services/alsa/alsa_client.h"
#include "services/alsa/alsa_ports.h"

namespace brennick::alsa {

namespace {

constexpr int kStopCheckMs = 20;  // how soon a listener that is destroyed notices
// Event cells the kernel holds for us while the thread is not reading (a SysEx piece takes about
// ten): the most it grants, so a dump at full speed is not cut while the thread waits its turn.
constexpr int kInputPool = 2000;
// Room for one decoded event that is not a SysEx (those are taken as they come).
constexpr std::size_t kDecodeBytes = 64;

bool isSourcePort(const snd_seq_port_info_t* port)
{
    const unsigned caps = snd_seq_port_info_get_capability(port);
    constexpr unsigned wanted = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    return (caps & wanted) == wanted && (caps & SND_SEQ_PORT_CAP_NO_EXPORT) == 0;
}

class AlsaListener final : public InputListener {
public:
    AlsaListener(snd_seq_t* seq, snd_midi_event_t* decoder, SysExHandler handler)
        : seq_(seq), decoder_(decoder), handler_(std::move(handler)), reader_([this] { read(); })
    {
    }
    ~AlsaListener() override { stop(); }
    void stop() override
    {
        if (!reader_.joinable())
            return;
        stop_.store(true, std::memory_order_release);
        reader_.join();
        snd_midi_event_free(decoder_);
        snd_seq_close(seq_);
    }
    InputCounts counts() const override { return assembler_.counts(); }

private:
    void read()
    {
        const int fdCount = snd_seq_poll_descriptors_count(seq_, POLLIN);
        std::vector<pollfd> fds(std::size_t(std::max(fdCount, 0)));
        snd_seq_poll_descriptors(seq_, fds.data(), unsigned(fds.size()), POLLIN);
        while (!stop_.load(std::memory_order_acquire)) {
            ::poll(fds.data(), fds.size(), kStopCheckMs);
            snd_seq_event_t* ev = nullptr;
            int rc;
            while ((rc = snd_seq_event_input(seq_, &ev)) >= 0 || rc == -ENOSPC) {
                if (rc == -ENOSPC) {
                    assembler_.interrupt();  // the kernel dropped what we were too slow to read
                    continue;
                }
                if (ev != nullptr)
                    take(*ev);
            }
        }
    }

    void take(const snd_seq_event_t& ev)
    {
        if (ev.type == SND_SEQ_EVENT_SYSEX) {
            assembler_.feed({static_cast<const std::uint8_t*>(ev.data.ext.ptr), ev.data.ext.len}, handler_);
            return;
        }
        // Other MIDI messages as bytes: a status byte inside a SysEx ends it, real-time ones do not.
        std::uint8_t bytes[kDecodeBytes];
        const long n = snd_midi_event_decode(decoder_, bytes, sizeof bytes, &ev);
        if (n > 0)
            assembler_.feed({bytes, std::size_t(n)}, handler_);
    }

    snd_seq_t* seq_;
    snd_midi_event_t* decoder_;
    SysExHandler handler_;
    SysExAssembler assembler_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

}  // namespace

Source::Source(snd_seq_addr_t address, std::string clientName, std::string portName, std::string pairedDestination)
    : MidiSource(std::to_string(address.client) + ":" + std::to_string(address.port) + " " + clientName + ":" + portName,
                 portName.compare(0, clientName.size(), clientName) == 0 ? portName : clientName + " " + portName,
                 std::move(pairedDestination)),
      address(address)
{
}

std::vector<SourceHandle> listSources(snd_seq_t* seq)
{
    const std::vector<DestinationHandle> destinations = listDestinations(seq);
    const auto pairedWith = [&](int client) {
        for (const DestinationHandle& d : destinations)
            if (static_cast<const Destination&>(*d).address.client == client)
                return d->identity();
        return std::string();
    };
    std::vector<SourceHandle> result;  // the query goes in client and port order
    forEachOtherPort(seq, kClientName, [&](int c, const std::string& clientName, const snd_seq_port_info_t* port) {
        if (!isSourcePort(port))
            return;
        const snd_seq_addr_t address{static_cast<unsigned char>(c),
                                     static_cast<unsigned char>(snd_seq_port_info_get_port(port))};
        result.push_back(
            std::make_shared<Source>(address, clientName, snd_seq_port_info_get_name(port), pairedWith(c)));
    });
    return result;
}

std::unique_ptr<InputListener> listenTo(const MidiSource* source, SysExHandler handler)
{
    const auto* from = dynamic_cast<const Source*>(source);
    if (from == nullptr)
        return nullptr;
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0)
        return nullptr;
    snd_seq_set_client_name(seq, kClientName);
    snd_seq_set_client_pool_input(seq, kInputPool);
    snd_midi_event_t* decoder = nullptr;
    // Only we connect to the port: other programs do not see it as a destination.
    const int port = snd_seq_create_simple_port(seq, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0 || snd_seq_connect_from(seq, port, from->address.client, from->address.port) < 0 ||
        snd_midi_event_new(kDecodeBytes, &decoder) < 0) {
        snd_seq_close(seq);
        return nullptr;
    }
    snd_midi_event_no_status(decoder, 1);  // every message with its status byte
    return std::make_unique<AlsaListener>(seq, decoder, std::move(handler));
}

}  // namespace brennick::alsa
