#pragma once
// The playback rules every output backend shares: which message goes next and when.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "services/sysex_pacer.h"
#include "services/tempo_map.h"

namespace brennick {

class Sequence;
class ChasePrelude;
namespace smf {
class TrackMerge;
}

// Where and how fast a cursor plays a sequence.
struct PlayFrom {
    // The song's messages from this tick on, after the state chased up to it (see ChasePrelude);
    // their times count from it.
    std::uint64_t tick = 0;
    // A SysEx dump (messages all at tick 0, one after the other): from its message of this number on.
    std::size_t dumpMessage = 0;
    // Tempo: 2 plays the song twice as fast, 0.5 half as fast. SysEx pacing is not scaled.
    double rate = 1.0;
};

// What a backend sends next: one whole channel message, or one piece of a system message.
struct StreamEvent {
    enum class Kind : std::uint8_t {
        Channel,  // a channel message (or a note-off the stop adds)
        SysEx,    // bytes of a SysEx message (F0 packet or continuation)
        Escape,   // bytes of an escape packet: anything to send as stored
    };

    double seconds = 0.0;  // when it is due, from the start of playback; never before the previous event
    Kind kind = Kind::Channel;
    bool leadingF0 = false;      // the piece opens a SysEx: F0 goes on the wire before `bytes`
    bool startsMessage = false;  // the first piece of a system message
    bool endsMessage = false;    // the last piece of a system message (all its packets)
    std::span<const std::uint8_t> bytes;

    std::size_t size() const noexcept { return bytes.size() + (leadingF0 ? 1 : 0); }
    // Writes the event as it goes on the wire (F0 included) to `out`, which holds size() bytes.
    void copyTo(std::uint8_t* out) const noexcept;
};

// What a stop did, for the thread that asked for it; written by the thread that plays the cursor.
struct StopReport {
    std::atomic<bool> taken{false};       // the cursor has been stopped
    std::atomic<bool> cutMessage{false};  // it ended a system message under way early, with F7
};

// Whether a cursor plays its song again when it reaches the end, switched by another thread while
// it plays, and what the cursor did about it, for the position the player shows.
struct LoopSwitch {
    std::atomic<bool> on{false};
    std::atomic<std::uint32_t> passesBegun{0};  // the passes after the first one the cursor has begun
    std::atomic<bool> ended{false};             // it reached the end with the switch off: no more passes
    // At an end with no pass to follow, what still sounds is let go there too: another song may
    // follow on that frame, and nothing of this one must sound into it.
    std::atomic<bool> releaseAtEnd{false};
};

// Walks a sequence as it plays, producing the next messages on demand; nothing is laid out ahead.
//
// - The tracks are merged in time order; at one tick, track order, and file order within a track.
//   No message goes before one that comes earlier in that order.
// - System messages (SysEx packets, continuations and escapes) start when the SysEx pacer lets
//   them, and drain at its speed: a piece holds the bytes due by the caller's horizon. Channel
//   messages keep their tempo-mapped times, but one behind a system message that the pacer holds
//   back waits for it: a reset sent late must not wipe out the programs set after it.
// - A SysEx is never broken by another message: while one is under way, whole or in packets, the
//   other messages wait and go right after it.
// - Sounding notes are tracked, so a stop can silence them.
// - With its loop switch on at the end, the song plays again from its start, as a fresh start would
//   (no chased state), each pass one song length (StreamCursor::loopSeconds) after the one before;
//   first the notes still sounding get note-offs, and the sustain pedals left down are let go, at
//   the end of the pass. With its switch set to release at the end, the last pass ends the same way.
//
// Everything but construction is real-time safe: no allocation, no lock, no system call. One thread
// at a time uses a cursor.
class StreamCursor {
public:
    // `report`: where the stop says what it did (a new one when null). `loop`: whether to play the
    // song again at its end (never when null).
    StreamCursor(std::shared_ptr<const Sequence> sequence, SysExPacing pacing, PlayFrom from = {},
                 std::shared_ptr<StopReport> report = nullptr, std::shared_ptr<LoopSwitch> loop = nullptr);
    ~StreamCursor();
    StreamCursor(const StreamCursor&) = delete;
    StreamCursor& operator=(const StreamCursor&) = delete;

    // The next event, or null once everything has been produced. A system piece holds the bytes
    // due before `horizonSeconds` (its first byte at least) and at most `maxPieceBytes` (>= 1).
    // The event and its bytes stay valid until advance() or the next peek().
    const StreamEvent* peek(double horizonSeconds, std::size_t maxPieceBytes) noexcept;

    // The event last peeked has been sent.
    void advance() noexcept;

    // Nothing more to produce.
    bool atEnd() noexcept { return peek(0.0, 1) == nullptr; }

    // From now on only what ends playback cleanly: with `finishMessageUnderWay`, the rest of a
    // system message that has begun (its remaining packets at the paced speed, whatever their
    // times) when that takes at most kLongestFinishSeconds, else F7 at once, ending it early (the
    // synth rejects a cut message, but never takes what follows as part of it); then a note-off,
    // at `atSeconds` or after that message, for every note sounding at `atSeconds`, and the sustain
    // pedal let go on every channel that left it down. Without it, a message under way is dropped
    // (the caller took back what it had sent of it).
    void stop(double atSeconds, bool finishMessageUnderWay) noexcept;
    bool stopping() const noexcept { return stopping_; }
    static constexpr double kLongestFinishSeconds = 1.0;
    // After a stop: the message under way ends at once, with F7, however short its rest (the
    // service is about to close).
    void endMessageNow() noexcept;
    // Shared with whoever asks what the stop did; made with the cursor.
    std::shared_ptr<const StopReport> stopReport() const noexcept { return report_; }

    // A system message has begun and not ended: nothing else may go to the destination now.
    bool insideSystemMessage() const noexcept { return messageOpen_; }
    // Drops the rest of the system message under way (its destination went away in the middle
    // of it); playback goes on with the next message.
    void abandonMessage() noexcept;

    // When everything will have been produced, at the latest (pacing can only delay system messages);
    // of the passes begun so far when the song plays again.
    double endSecondsBound() const noexcept { return endSecondsBound_; }
    // How long one pass of `sequence` lasts when it plays again, in the song's seconds: the time of
    // its end-of-track event. 0: it cannot play again (nothing to send, no length, or a SysEx dump,
    // whose length is its pacing).
    static double loopSeconds(const Sequence& sequence) noexcept;
    const Sequence& sequence() const noexcept { return *sequence_; }

private:
    struct SystemMessage;

    bool loadSystem() noexcept;
    double secondsAt(TempoMap::Cursor& clock, std::uint64_t tick) const noexcept;
    bool restOfMessageEndsWithin(double seconds) const noexcept;
    void finishSystemMessage() noexcept;
    void trackNote(std::span<const std::uint8_t> message, double seconds) noexcept;
    const StreamEvent* nextNoteOff() noexcept;
    // At the end of the song: whether it plays again, decided once; a pass starts after the note-offs.
    bool playsAgain() noexcept;
    void startNextPass() noexcept;

    std::shared_ptr<const Sequence> sequence_;
    std::unique_ptr<const ChasePrelude> prelude_;  // played first when the cursor starts past tick 0
    double originSeconds_ = 0.0;                   // the song's time where the cursor starts
    double rate_ = 1.0;
    SysExPacer pacer_;
    std::unique_ptr<smf::TrackMerge> channels_;
    std::unique_ptr<smf::TrackMerge> systems_;
    std::unique_ptr<SystemMessage> system_;  // the system message under way or next, if loaded

    StreamEvent event_;
    enum class Peeked : std::uint8_t { Nothing, Channel, SystemPiece, EndOfMessage, NoteOff } peeked_ = Peeked::Nothing;
    std::size_t pieceBytes_ = 0;
    double lastSeconds_ = 0.0;  // of the latest event advanced past
    bool messageOpen_ = false;
    bool held_ = false;  // a message goes on in another packet: its track waits out of the merge
    // The earliest tick the next system message can have, as far as its search has got.
    std::uint64_t systemNotBefore_ = 0;
    std::uint32_t heldTrack_ = 0;
    bool abandoning_ = false;  // skipping the rest of an abandoned message's packets

    bool stopping_ = false;
    bool finishing_ = false;  // stopping, but the message under way goes on to its end
    bool cutting_ = false;    // stopping, and the message under way ends early: F7 comes next
    double stopSeconds_ = 0.0;
    std::size_t noteOffScan_ = 0;  // next key (channel * 128 + key) the stop looks at
    std::uint8_t noteOff_[3] = {};

    // 128 key bits per channel, after what has been produced, and when each key was last let go.
    std::uint64_t sounding_[16][2] = {};
    std::uint16_t sustained_ = 0;  // channels whose sustain pedal is down
    std::vector<double> releasedAt_;
    std::shared_ptr<StopReport> report_;
    double endSecondsBound_ = 0.0;

    std::shared_ptr<LoopSwitch> loop_;
    double loopSeconds_ = 0.0;
    enum class EndOfSong : std::uint8_t { NotYet, PlaysAgain, Releases, Ended } endOfSong_ = EndOfSong::NotYet;
    double passEndSeconds_ = 0.0;  // where the pass that ends stops, from the start of playback
    std::uint32_t passes_ = 0;     // begun after the first
    bool passProduced_ = false;    // the pass under way has produced something of the song
};

}  // namespace brennick
