#pragma once
// One stream on the sequencer: its state, and the writer that turns what its stream cursor
// produces into sequencer events, timestamped on the queue so the kernel sends each at its time,
// and takes back what was queued when that has to go.

#include <alsa/asoundlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "services/stream_cursor.h"

namespace brennick::alsa {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// A hostile file can put events centuries away; the queue's clock counts seconds in 32 bits.
constexpr double kLatestSeconds = 1e9;
// System messages travel in pieces of at most this many bytes, each leaving when its first byte is
// due at the paced speed: a hardware port's small byte buffer is never flooded, and a piece always
// fits in the kernel's event pool (a 64 KB message in one event would not).
constexpr std::size_t kSysExPiece = 256;

inline std::int64_t toNs(double seconds)
{
    return std::llround(std::clamp(seconds, 0.0, kLatestSeconds) * double(kNsPerSecond));
}

// One cursor playing to one destination. Every field is guarded by the backend's mutex.
struct StreamState {
    std::unique_ptr<StreamCursor> cursor;
    snd_seq_addr_t dest{};
    std::string destClientName;
    int port = -1;  // ours, connected to the destination
    unsigned char tag = 0;
    snd_midi_event_t* encoder = nullptr;
    std::uint32_t serial = 0;  // names the stream in its echo

    std::shared_ptr<StreamState> after;  // an earlier stream to the same destination still ending
    // The stream whose time this one's second 0 follows, `followingNs` after its own, until it starts.
    std::shared_ptr<StreamState> followed;
    std::int64_t followingNs = 0;
    bool follows = false;  // it began where another stream put it
    bool started = false;
    std::int64_t originNs = 0;  // queue time of second 0 of the cursor
    std::int64_t lastWrittenNs = 0;
    std::int64_t lastPortCheckNs = 0;
    bool allWritten = false;
    bool echoWritten = false;
    bool finished = false;  // everything written has also left the queue
    bool gone = false;      // the destination disappeared; the rest is dropped
    bool stopped = false;   // asked to end; it goes away once finished

    // System messages in queue time, [from, until): a stop inside one lets it finish.
    bool messageOpen = false;
    std::int64_t openSince = 0;
    std::deque<std::pair<std::int64_t, std::int64_t>> messageSpans;
    std::array<std::uint8_t, kSysExPiece + 1> piece{};

    ~StreamState()
    {
        if (encoder != nullptr)
            snd_midi_event_free(encoder);
    }
    std::int64_t nsOf(double seconds) const { return originNs + toNs(seconds); }
    // Some of a system message is still queued at `nowNs` or later.
    bool systemQueuedAfter(std::int64_t nowNs) const
    {
        return messageOpen || (!messageSpans.empty() && messageSpans.back().second >= nowNs);
    }
};

enum class Written { One, NotDue, Done, PoolFull, Fatal };

// Writes streams' events into the kernel, on the queue of the client `seq` or past it. Used under
// the backend's lock, while its client is open. A write that finds the client gone sets `lost`.
class StreamWriter {
public:
    StreamWriter(snd_seq_t* seq, int queue, int syncPort, std::atomic<bool>& lost)
        : seq_(seq), queue_(queue), syncPort_(syncPort), lost_(lost)
    {
    }

    // Writes what is due within the look-ahead of the queue time `nowNs`, at most `limit` events,
    // and the stream's echo after its last.
    Written feed(StreamState& s, std::int64_t nowNs, std::size_t limit);
    // Stops the cursor at the queue time `nowNs`: what is queued beyond the system message under way
    // is taken back, and that message finishes (StreamCursor::stop says how).
    void stop(StreamState& s, std::int64_t nowNs);
    // Writes what the stopped cursor still has to produce at once, past the queue.
    void sendRestNow(StreamState& s);
    // The connection went away in the middle of a system message: what is queued of it is taken
    // back (no more than the system look-ahead), and the cursor goes on after that message.
    void takeBackMessage(StreamState& s, std::int64_t nowNs);
    // The client is closing, and the kernel drops what a client leaves queued: what the stream has
    // queued is taken back, and F7 for a message under way and the note-offs go at once.
    void endNow(StreamState& s);
    // Takes back what the stream has queued for `fromNs` or later.
    void removeQueued(const StreamState& s, std::int64_t fromNs);

private:
    Written writeEcho(StreamState& s);
    Written send(StreamState& s, snd_seq_event_t& ev);
    bool encode(StreamState& s, const StreamEvent& e, snd_seq_event_t& ev);

    snd_seq_t* const seq_;
    const int queue_;
    const int syncPort_;
    std::atomic<bool>& lost_;
};

}  // namespace brennick::alsa
