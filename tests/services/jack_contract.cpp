// The playback contract on a private JACK server: events arrive at their exact frames.
#include <gtest/gtest.h>

#include "tests/support/jack_environment.h"
#include "tests/support/playback_contract.h"

namespace brennick::test {

namespace {

JACK_SERVER_FOR_ALL_TESTS;

double secondsOf(const ReceivedEvent& e)
{
    return double(e.frame) / jackServer()->sampleRate();
}

class JackContractSynth final : public ContractSynth {
public:
    explicit JackContractSynth(const std::string& clientName) : synth_(clientName) {}
    std::string sourceName() const override { return synth_.sourceName(); }
    std::string destinationName() const override { return synth_.destinationName(); }
    void send(const std::vector<std::uint8_t>& bytes) override { synth_.send(bytes); }

private:
    JackSynth synth_;
};

}  // namespace

ContractBackend& contractBackend()
{
    static ContractBackend backend{
        [](const std::string& name) -> std::unique_ptr<ContractSink> {
            return std::make_unique<RecordingContractSink<JackSink, ReceivedEvent>>(name + ":midi_in", secondsOf, name);
        },
        1.5 / 48000,  // sample-accurate: within a frame of the due time
        [] {
            // One client's fixed set of output ports, reused by every stream.
            jack_client_t* probe = jack_client_open("probe-clients", JackNoStartServer, nullptr);
            ASSERT_NE(probe, nullptr);
            const char** ports = jack_get_ports(probe, "^Brennick MIDI Player:", nullptr, JackPortIsOutput);
            int ours = 0;
            for (const char** p = ports; p != nullptr && *p != nullptr; ++p)
                ++ours;
            jack_free(ports);
            jack_client_close(probe);
            EXPECT_GE(ours, 1);
            EXPECT_LE(ours, 8);
        },
        [](const std::string& name) -> std::unique_ptr<ContractSynth> {
            return std::make_unique<JackContractSynth>(name);
        },
        true,
        true};  // every sink counts the server's frames
    return backend;
}

}  // namespace brennick::test
