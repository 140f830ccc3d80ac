// The playback contract on the ALSA sequencer: the kernel's queue sends each event at its time.
#include <gtest/gtest.h>

#include "tests/alsa/alsa_test_sink.h"
#include "tests/support/playback_contract.h"

namespace brennick::test {

namespace {

class AlsaContractSink final : public ContractSink {
public:
    explicit AlsaContractSink(const std::string& clientName)
        : sink_(clientName, clientName + " In"), name_(clientName + " In")
    {
    }
    // The port name begins with the client name, so it is the display name.
    std::string destinationName() const override { return name_; }
    std::vector<WireEvent> events() const override
    {
        std::vector<WireEvent> out;
        for (const SeqEvent& e : sink_.events())
            out.push_back({double(e.ns) / 1e9, e.bytes});
        return out;
    }
    std::size_t count() const override { return sink_.count(); }
    bool waitForCount(std::size_t n, double timeoutSeconds) const override
    {
        return sink_.waitForCount(n, timeoutSeconds);
    }
    void waitForQuiet(double quiet, double timeout) const override { sink_.waitForQuiet(quiet, timeout); }
    void disconnectSenders() override { sink_.disconnectSenders(); }
    void reconnectSenders() override { sink_.reconnectSenders(); }

private:
    AlsaSink sink_;
    std::string name_;
};

}  // namespace

ContractBackend& contractBackend()
{
    static ContractBackend backend{
        [](const std::string& name) -> std::unique_ptr<ContractSink> {
            prepareGuest();
            return std::make_unique<AlsaContractSink>(name);
        },
        0.015,  // timer ticks under emulation come late by a few milliseconds now and then
        [] { EXPECT_EQ(clientsNamed("Brennick MIDI Player").size(), 1u); }};
    return backend;
}

}  // namespace brennick::test
