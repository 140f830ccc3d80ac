#pragma once
// The playback rules every backend must keep, as one test suite (playback_contract.cpp) that each
// backend's test program runs against its real service. The program supplies the sinks.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace brennick::test {

// What a destination received: bytes as carried, and when (seconds on the sink's own clock).
struct WireEvent {
    double seconds = 0;
    std::vector<std::uint8_t> bytes;
};

// A synth stand-in on the backend's service: a destination named `destinationName()`.
class ContractSink {
public:
    virtual ~ContractSink() = default;
    virtual std::string destinationName() const = 0;
    virtual std::vector<WireEvent> events() const = 0;
    virtual std::size_t count() const = 0;
    virtual bool waitForCount(std::size_t n, double timeoutSeconds) const = 0;
    virtual void waitForQuiet(double quietSeconds, double timeoutSeconds) const = 0;
    // Takes away the player's connection to the sink, as a patchbay would, and gives it back.
    virtual void disconnectSenders() = 0;
    virtual void reconnectSenders() = 0;
};

// One of the tests' recording sinks (JackSink, AlsaSink) as the suite sees it: `secondsOf` gives
// the time an event of the sink arrived.
template <class Sink, class Event> class RecordingContractSink final : public ContractSink {
public:
    template <class... SinkArguments>
    RecordingContractSink(std::string destinationName, double (*secondsOf)(const Event&), SinkArguments&&... arguments)
        : sink_(std::forward<SinkArguments>(arguments)...), name_(std::move(destinationName)), secondsOf_(secondsOf)
    {
    }
    std::string destinationName() const override { return name_; }
    std::vector<WireEvent> events() const override
    {
        std::vector<WireEvent> out;
        for (const Event& e : sink_.events())
            out.push_back({secondsOf_(e), e.bytes});
        return out;
    }
    std::size_t count() const override { return sink_.count(); }
    bool waitForCount(std::size_t n, double timeout) const override { return sink_.waitForCount(n, timeout); }
    void waitForQuiet(double quiet, double timeout) const override { sink_.waitForQuiet(quiet, timeout); }
    void disconnectSenders() override { sink_.disconnectSenders(); }
    void reconnectSenders() override { sink_.reconnectSenders(); }

private:
    Sink sink_;
    std::string name_;
    double (*secondsOf_)(const Event&);
};

// A synth stand-in that sends back: a source and, on the same client, a destination.
class ContractSynth {
public:
    virtual ~ContractSynth() = default;
    virtual std::string sourceName() const = 0;
    virtual std::string destinationName() const = 0;
    // Sends `bytes` as fast as the service takes them.
    virtual void send(const std::vector<std::uint8_t>& bytes) = 0;
};

struct ContractBackend {
    // A sink whose client is called `clientName`.
    std::function<std::unique_ptr<ContractSink>(const std::string& clientName)> makeSink;
    // How far an event's arrival may stray from its due time on this service.
    double timingToleranceSeconds = 0;
    // Checks that this process holds one client of the service, whatever the number of requests.
    std::function<void()> expectOneClientOfOurs;
    // A synth whose client is called `clientName`; unset where the tests have none for the service.
    std::function<std::unique_ptr<ContractSynth>(const std::string& clientName)> makeSynth = {};
    // Whether a dump sent at full speed reaches a software receiver whole. The ALSA sequencer never
    // holds a sender back for its receiver: it drops what the receiver's pool cannot hold, so there
    // only a paced dump is sure to arrive whole when the reader is slow (as under emulation).
    bool unpacedDumpsArriveWhole = true;
    // Whether the sinks' times are on one clock, so that what two of them received compares.
    bool sinksShareOneClock = false;
};

// Defined by each test program that runs the suite.
ContractBackend& contractBackend();

}  // namespace brennick::test
