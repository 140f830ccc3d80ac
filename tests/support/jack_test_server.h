#pragma once
// A private JACK server with the dummy driver, and sink clients that record what they receive.

#include <jack/jack.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
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

// Every event one input port received, recorded in the process callback without allocating.
class ReceivedLog {
public:
    ReceivedLog();
    // In the process callback: records the events in `portBuffer`, in a cycle starting at `cycleStart`.
    void record(void* portBuffer, jack_nframes_t cycleStart) noexcept;

    std::vector<ReceivedEvent> events() const;
    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    // Waits until at least `n` events arrived.
    bool waitForCount(std::size_t n, double timeoutSeconds) const;
    // Waits until no event arrived for `quietSeconds`.
    void waitForQuiet(double quietSeconds, double timeoutSeconds) const;
    std::size_t overflowed() const { return overflow_.load(); }

private:
    struct Record {
        std::uint32_t frame;
        std::uint32_t offset;  // into bytes_
        std::uint32_t length;
    };
    std::vector<Record> records_;
    std::vector<std::uint8_t> bytes_;
    std::size_t bytesUsed_ = 0;
    std::atomic<std::size_t> count_{0};
    std::atomic<std::size_t> overflow_{0};
};

// Counts the server's xruns. In a cycle the server could not finish in time, what a client wrote
// can be lost for every client: a check of exact delivery across one proves nothing either way.
class XrunWatch {
public:
    XrunWatch();
    ~XrunWatch();
    XrunWatch(const XrunWatch&) = delete;
    XrunWatch& operator=(const XrunWatch&) = delete;
    bool ok() const { return client_ != nullptr; }
    int count() const { return xruns_.load(); }
    void reset() { xruns_.store(0); }

private:
    jack_client_t* client_ = nullptr;
    std::atomic<int> xruns_{0};
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
    std::vector<ReceivedEvent> events() const { return log_.events(); }
    std::size_t count() const { return log_.count(); }
    bool waitForCount(std::size_t n, double timeoutSeconds) const { return log_.waitForCount(n, timeoutSeconds); }
    void waitForQuiet(double quietSeconds, double timeoutSeconds) const
    {
        log_.waitForQuiet(quietSeconds, timeoutSeconds);
    }
    // Closes the client: the destination disappears.
    void close();
    // Takes away every connection into the port, and gives them back.
    void disconnectSenders();
    void reconnectSenders();
    std::size_t overflowed() const { return log_.overflowed(); }

private:
    static int process(jack_nframes_t frames, void* self);

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    ReceivedLog log_;
    std::vector<std::string> senders_;  // taken away by disconnectSenders
};

// A synth that talks back: a JACK client with ports "midi_in" and "midi_out". It sends the bytes
// it is given at full speed (each cycle as much as the port takes, in events of at most
// `pieceBytes`: a SysEx split across events), and answers a Device Inquiry (F0 7E 7F 06 01 F7,
// as one event) with an Identity Reply naming maker 3E and `familyCode` (none: it stays silent,
// as many synths do). It records what it receives.
class JackSynth {
public:
    explicit JackSynth(const std::string& clientName, std::optional<std::uint16_t> familyCode = 0,
                       std::size_t pieceBytes = 1000);
    ~JackSynth();
    JackSynth(const JackSynth&) = delete;
    JackSynth& operator=(const JackSynth&) = delete;

    bool ok() const { return client_ != nullptr; }
    std::string sourceName() const;       // "client:midi_out"
    std::string destinationName() const;  // "client:midi_in"
    void send(const std::vector<std::uint8_t>& bytes);
    // Waits until everything given has been sent.
    bool waitUntilSent(double timeoutSeconds);
    const ReceivedLog& received() const { return received_; }

private:
    static int process(jack_nframes_t frames, void* self);

    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    std::optional<std::uint16_t> familyCode_;
    std::size_t pieceBytes_;
    ReceivedLog received_;
    std::size_t inquiriesOwed_ = 0;  // (process) answered once the lock is free
    std::mutex mutex_;               // guards the two below; only tried by the process callback
    std::vector<std::uint8_t> pending_;
    std::size_t sent_ = 0;
};

}  // namespace brennick::test
