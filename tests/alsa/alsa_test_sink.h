#pragma once
// Sequencer clients for tests: a sink named like a synth that records every event it receives,
// timestamped by its own queue, and reads a VirMIDI port's raw bytes.

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brennick::test {

struct SeqEvent {
    std::int64_t ns = 0;              // the sink queue's real time when the event arrived
    int type = 0;                     // SND_SEQ_EVENT_*
    std::vector<std::uint8_t> bytes;  // the event as MIDI bytes (a SysEx piece as carried)
};

// A sequencer client "clientName" with one writable, subscribable port "portName".
class AlsaSink {
public:
    AlsaSink(const std::string& clientName, const std::string& portName);
    ~AlsaSink();
    AlsaSink(const AlsaSink&) = delete;
    AlsaSink& operator=(const AlsaSink&) = delete;

    bool ok() const { return seq_ != nullptr && port_ >= 0; }
    int client() const { return client_; }
    int port() const { return port_; }
    // Adds another port with capabilities `caps` (to check which ports count as destinations).
    int addPort(const std::string& name, unsigned caps);

    // The sink queue's real time now, in the clock of SeqEvent::ns.
    std::int64_t nowNs() const;
    std::vector<SeqEvent> events() const;
    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    bool waitForCount(std::size_t n, double timeoutSeconds) const;
    // Waits until no event arrived for `quietSeconds`.
    void waitForQuiet(double quietSeconds, double timeoutSeconds) const;
    // Events the kernel could not hand over because the sink's input pool was full.
    std::size_t overruns() const { return overruns_.load(); }
    // Sends `bytes` from our `port` to its subscribers as a USB synth does: a SysEx in pieces of 256
    // bytes a millisecond, up to its F7 or a status byte that cuts it.
    void sendFrom(int port, const std::vector<std::uint8_t>& bytes);
    // From now on each Device Inquiry that arrives is answered from `port` with the Identity Reply
    // of a Brennick synth of `familyCode`.
    void answerInquiriesFrom(int port, std::uint16_t familyCode = 0)
    {
        answerFamily_.store(familyCode);
        answerPort_.store(port);
    }
    // Closes the client: its ports disappear.
    void close();
    // Takes away every connection into the port, and gives them back.
    void disconnectSenders();
    void reconnectSenders();

private:
    void read();

    snd_seq_t* seq_ = nullptr;
    int client_ = -1;
    int port_ = -1;
    int queue_ = -1;
    std::atomic<bool> quit_{false};
    std::atomic<std::size_t> count_{0};
    std::atomic<std::size_t> overruns_{0};
    mutable std::mutex mutex_;
    std::vector<SeqEvent> events_;
    std::thread reader_;
    std::vector<snd_seq_addr_t> senders_;  // taken away by disconnectSenders
    std::mutex sendMutex_;                 // the test's sends and the reader's answers share `seq_`
    std::atomic<int> answerPort_{-1};
    std::atomic<std::uint16_t> answerFamily_{0};
};

// Reads the raw bytes written to a rawmidi device (the far side of a VirMIDI sequencer port).
class RawMidiReader {
public:
    explicit RawMidiReader(const std::string& device);
    ~RawMidiReader();
    bool ok() const { return in_ != nullptr; }
    std::vector<std::uint8_t> bytes() const;
    void waitForQuiet(double quietSeconds, double timeoutSeconds) const;

private:
    snd_rawmidi_t* in_ = nullptr;
    std::atomic<bool> quit_{false};
    std::atomic<std::size_t> size_{0};
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> bytes_;
    std::thread reader_;
};

// Gives the throw-away guest the /dev/shm every desktop has: without it libjack's probe for a
// server fails inside its metadata database and leaks there.
void prepareGuest();

// Numbers of the sequencer clients whose name is `name`.
std::vector<int> clientsNamed(const std::string& name);

}  // namespace brennick::test
