#pragma once
// A private JACK server with the dummy driver, and sink clients that record what they receive.

#include <jack/jack.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brennick::test {

// Starts `jackd -n <unique name> -d dummy` and points this process's JACK clients at it
// (JACK_DEFAULT_SERVER). Stops the server when destroyed.
class JackTestServer {
public:
    explicit JackTestServer(unsigned periodFrames = 256, unsigned sampleRate = 48000);
    ~JackTestServer();
    JackTestServer(const JackTestServer&) = delete;
    JackTestServer& operator=(const JackTestServer&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& name() const { return name_; }
    unsigned periodFrames() const { return periodFrames_; }
    unsigned sampleRate() const { return sampleRate_; }
    // Ends the server at once (SIGKILL), as a crash would.
    void kill();

private:
    void startServer();

    std::string name_;
    unsigned periodFrames_;
    unsigned sampleRate_;
    pid_t pid_ = -1;
};

struct ReceivedEvent {
    std::uint32_t frame = 0;  // the server's frame time at which the event arrived
    std::vector<std::uint8_t> bytes;
};

// A JACK client with one MIDI input port, named like a synth, recording every event.
class JackSink {
public:
    // `prettyName` sets the port's pretty-name metadata.
    explicit JackSink(const std::string& clientName, const std::string& portName = "midi_in",
                      const std::optional<std::string>& prettyName = std::nullopt);
    ~JackSink();
    JackSink(const JackSink&) = delete;
    JackSink& operator=(const JackSink&) = delete;

    bool ok() const { return client_ != nullptr; }
    std::string portName() const;  // "client:port"
    std::vector<ReceivedEvent> events() const;
    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    // Waits until at least `n` events arrived.
    bool waitForCount(std::size_t n, double timeoutSeconds) const;
    // Waits until no event arrived for `quietSeconds`.
    void waitForQuiet(double quietSeconds, double timeoutSeconds) const;
    // Closes the client: the destination disappears.
    void close();
    // Takes away every connection into the port, and gives them back.
    void disconnectSenders();
    void reconnectSenders();
    std::size_t overflowed() const { return overflow_.load(); }

private:
    static int process(jack_nframes_t frames, void* self);

    struct Record {
        std::uint32_t frame;
        std::uint32_t offset;  // into bytes_
        std::uint32_t length;
    };
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::vector<Record> records_;
    std::vector<std::uint8_t> bytes_;
    std::size_t bytesUsed_ = 0;
    std::atomic<std::size_t> count_{0};
    std::atomic<std::size_t> overflow_{0};
    std::vector<std::string> senders_;  // taken away by disconnectSenders
};

}  // namespace brennick::test
