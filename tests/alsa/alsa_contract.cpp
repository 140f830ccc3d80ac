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
                                   [] { EXPECT_EQ(clientsNamed("Brennick MIDI Player").size(), 1u); }};
    return backend;
}

}  // namespace brennick::test
