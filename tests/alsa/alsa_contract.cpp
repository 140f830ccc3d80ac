// The playback contract on the ALSA sequencer: the kernel's queue sends each event at its time.
#include <gtest/gtest.h>

#include "tests/alsa/alsa_test_sink.h"
#include "tests/support/playback_contract.h"

namespace brennick::test {

namespace {

double secondsOf(const SeqEvent& e)
{
    return double(e.ns) / 1e9;
}

// A sink with a second, readable port on the same client: "<name> Out".
class AlsaContractSynth final : public ContractSynth {
public:
    explicit AlsaContractSynth(const std::string& name) : name_(name), sink_(name, name + " In")
    {
        out_ = sink_.addPort(name + " Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
        sink_.answerInquiriesFrom(out_);
    }
    std::string sourceName() const override { return name_ + " Out"; }
    std::string destinationName() const override { return name_ + " In"; }
    void send(const std::vector<std::uint8_t>& bytes) override { sink_.sendFrom(out_, bytes); }

private:
    std::string name_;
    AlsaSink sink_;
    int out_ = -1;
};

}  // namespace

ContractBackend& contractBackend()
{
    static ContractBackend backend{[](const std::string& name) -> std::unique_ptr<ContractSink> {
                                       prepareGuest();
                                       // The port name begins with the client name, so it is the display name.
                                       return std::make_unique<RecordingContractSink<AlsaSink, SeqEvent>>(
                                           name + " In", secondsOf, name, name + " In");
                                   },
                                   0.015,  // timer ticks under emulation come late by a few milliseconds now and then
                                   [] { EXPECT_EQ(clientsNamed("Brennick MIDI Player").size(), 1u); },
                                   [](const std::string& name) -> std::unique_ptr<ContractSynth> {
                                       prepareGuest();
                                       return std::make_unique<AlsaContractSynth>(name);
                                   },
                                   false};
    return backend;
}

}  // namespace brennick::test
