#include "services/stream_cursor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "services/chase.h"
#include "services/sequence.h"
#include "services/smf/track_merge.h"

namespace brennick {

namespace {
using Merge = smf::TrackMerge;
constexpr std::size_t kKeys = 16 * 128;
constexpr std::uint8_t kSustain = 64;
constexpr std::uint8_t kResetAllControllers = 121;
constexpr std::uint8_t kEndOfExclusive = 0xF7;
}  // namespace

void StreamEvent::copyTo(std::uint8_t* out) const noexcept
{
    if (leadingF0)
        *out++ = 0xF0;
    if (!bytes.empty())
        std::memcpy(out, bytes.data(), bytes.size());
}

// The system message (packet) under way or next: taken out of its track's merge, so its track can
// already look at what follows it.
struct StreamCursor::SystemMessage {
    MidiMessage message;
    std::uint64_t tick = 0;
    std::uint32_t fileTrack = 0;
    const std::uint8_t* at = nullptr;
    std::size_t size = 0;    // on the wire
    std::size_t offset = 0;  // bytes already produced
    double startSeconds = 0.0;
    bool leadingF0 = false;
    bool continues = false;  // its track's next system message continues it (the track is held back)
    bool completesSysEx = false;
};

StreamCursor::StreamCursor(std::shared_ptr<const Sequence> sequence, SysExPacing pacing, PlayFrom from,
                           std::shared_ptr<StopReport> report, std::shared_ptr<LoopSwitch> loop)
    : sequence_(std::move(sequence)),
      prelude_(from.tick > 0 ? std::make_unique<ChasePrelude>(*sequence_, from.tick) : nullptr),
      originSeconds_(sequence_->tempoMap().ticksToSeconds(from.tick)), rate_(from.rate > 0.0 ? from.rate : 1.0),
      pacer_(pacing),
      channels_(std::make_unique<Merge>(*sequence_, false, Merge::Start{from.tick, 0, prelude_ ? &prelude_->track() : nullptr})),
      systems_(std::make_unique<Merge>(*sequence_, true,
                                       Merge::Start{from.tick, from.dumpMessage, prelude_ ? &prelude_->track() : nullptr})),
      system_(std::make_unique<SystemMessage>()), releasedAt_(kKeys, -1.0),
      report_(report ? std::move(report) : std::make_shared<StopReport>()), loop_(std::move(loop)),
      loopSeconds_(loop_ ? loopSeconds(*sequence_) : 0.0)
{
    const std::size_t preludeSystem = prelude_ ? prelude_->track().systemMessageCount() : 0;
    endSecondsBound_ = std::max(0.0, sequence_->lastMessageSeconds() - originSeconds_) / rate_ +
                       pacer_.drainSeconds(sequence_->systemBytes() * (prelude_ ? 2 : 1)) +
                       pacer_.pauseSeconds() * double(sequence_->systemMessageCount() + preludeSystem);
    loadSystem();
}

// The time of a message at `tick` from the cursor's start; the chased state (at tick 0) goes first.
double StreamCursor::secondsAt(TempoMap::Cursor& clock, std::uint64_t tick) const noexcept
{
    return std::max(0.0, (clock.ticksToSeconds(tick) - originSeconds_) / rate_);
}

StreamCursor::~StreamCursor() = default;

double StreamCursor::loopSeconds(const Sequence& sequence) noexcept
{
    if (sequence.isSysExDump() || !sequence.hasMessages())
        return 0.0;
    return sequence.tempoMap().ticksToSeconds(sequence.lengthTicks());
}

// Takes the next system message with something to send out of its merge: the held-back track's
// continuation when a message goes on, else the earliest. False when there is none.
bool StreamCursor::loadSystem() noexcept
{
    Merge& m = *systems_;
    SystemMessage& s = *system_;
    systemNotBefore_ = 0;
    for (;;) {
        std::uint32_t trackIndex;
        if (held_) {
            trackIndex = heldTrack_;  // its next message is the continuation, already fetched
            held_ = false;
        } else if (!stopping_ && !m.empty()) {
            // A system message due after the next channel message can wait to be found.
            const Merge::Track* channel = channels_->top();
            m.settle(channel != nullptr ? channel->message.tick : ~std::uint64_t{0});
            if (m.empty() || m.topPending()) {  // none left, or none due yet
                systemNotBefore_ = m.empty() ? 0 : m.pendingTick();
                s.size = 0;
                return false;
            }
            trackIndex = m.pop();
        } else {
            s.size = 0;
            return false;
        }
        Merge::Track& track = m.tracks[trackIndex];
        const MidiMessage message = track.message;
        const std::uint8_t* const at = track.at;
        const bool terminated = !message.bytes.empty() && message.bytes.back() == 0xF7;
        const bool open = message.kind != MessageKind::Escape && !terminated;
        Merge::Scan next = open ? m.scanForContinuation(track) : m.scan(track, Merge::kScanStep);
        bool continues = next == Merge::Scan::Found && track.message.kind == MessageKind::SysExContinuation;
        // An empty continuation carries nothing to send: whether the message goes on is up to what
        // follows it, so that the last piece sent says it ends the message.
        while (continues && track.message.bytes.empty()) {
            next = m.scanForContinuation(track);
            continues = next == Merge::Scan::Found && track.message.kind == MessageKind::SysExContinuation;
        }
        if (continues) {
            held_ = true;
            heldTrack_ = trackIndex;
        } else {
            m.putBack(trackIndex, next);
        }

        s.message = message;
        s.tick = message.tick;
        s.fileTrack = track.index;
        s.at = at;
        s.leadingF0 = message.kind == MessageKind::SysEx;
        s.size = message.bytes.size() + (s.leadingF0 ? 1 : 0);
        s.offset = 0;
        s.continues = continues;
        if (abandoning_ || s.size == 0) {
            // The rest of an abandoned message, or an empty packet: nothing to send. A message ends
            // with its last packet.
            if (!continues && message.kind == MessageKind::SysExContinuation) {
                abandoning_ = false;
                messageOpen_ = false;
                finishing_ = false;
            }
            s.size = 0;
            if (stopping_ && !finishing_)
                return false;
            continue;
        }
        // A SysEx ends with its last packet; an escape packet may hold a whole SysEx of its own.
        const bool endsSysEx =
            !continues && (message.kind != MessageKind::Escape || (message.bytes.front() == 0xF0 && terminated));
        // Packets left when a stop came go at the paced speed, whatever their times.
        const double ideal = stopping_ ? 0.0 : secondsAt(m.clock, message.tick);
        s.startSeconds = pacer_.schedule(ideal, s.size, endsSysEx);
        return true;
    }
}

const StreamEvent* StreamCursor::peek(double horizonSeconds, std::size_t maxPieceBytes) noexcept
{
    peeked_ = Peeked::Nothing;
    if (cutting_) {
        event_.seconds = std::max(lastSeconds_, stopSeconds_);
        event_.kind = StreamEvent::Kind::SysEx;
        event_.leadingF0 = event_.startsMessage = false;
        event_.endsMessage = true;
        event_.bytes = std::span<const std::uint8_t>(&kEndOfExclusive, 1);
        peeked_ = Peeked::EndOfMessage;
        return &event_;
    }
    SystemMessage& s = *system_;
    Merge::Track* channel = stopping_ ? nullptr : channels_->top();
    // No system message can come before the next channel message: no need to look again yet.
    const bool systemWaits = channel != nullptr && channel->message.tick < systemNotBefore_;
    if (s.size == 0 && (held_ || (!stopping_ && !systemWaits && !systems_->empty())))
        loadSystem();
    const bool haveSystem = s.size != 0 && s.offset < s.size;
    if (messageOpen_ && !haveSystem)
        messageOpen_ = false;  // its packets ran out

    // The merged order decides, not the times: a system message the pacer holds back keeps the
    // messages after it waiting.
    bool takeSystem = haveSystem;
    if (channel != nullptr && haveSystem && !messageOpen_)
        takeSystem = s.tick != channel->message.tick ? s.tick < channel->message.tick
                     : s.fileTrack != channel->index ? s.fileTrack < channel->index
                                                     : s.at < channel->at;

    if (takeSystem) {
        const double speed = pacer_.bytesPerSecond();
        const std::size_t remaining = s.size - s.offset;
        std::size_t due = remaining;
        if (speed > 0.0) {
            // Byte k of the message leaves at start + k / speed.
            const double dueBytes = std::ceil((horizonSeconds - s.startSeconds) * speed);
            due = dueBytes <= double(s.offset) ? 1
                  : dueBytes >= double(s.size) ? remaining
                                               : std::size_t(dueBytes) - s.offset;
        }
        pieceBytes_ = std::max<std::size_t>(1, std::min({remaining, due, maxPieceBytes}));
        event_.seconds = std::max(lastSeconds_, s.startSeconds + (speed > 0.0 ? double(s.offset) / speed : 0.0));
        event_.kind = s.message.kind == MessageKind::Escape ? StreamEvent::Kind::Escape : StreamEvent::Kind::SysEx;
        event_.leadingF0 = s.leadingF0 && s.offset == 0;
        const std::size_t dataOffset = s.offset - (s.leadingF0 && s.offset > 0 ? 1 : 0);
        event_.bytes = s.message.bytes.subspan(dataOffset, pieceBytes_ - (event_.leadingF0 ? 1 : 0));
        event_.startsMessage = s.offset == 0 && s.message.kind != MessageKind::SysExContinuation;
        event_.endsMessage = s.offset + pieceBytes_ == s.size && !s.continues;
        peeked_ = Peeked::SystemPiece;
        return &event_;
    }
    if (channel != nullptr) {
        event_.seconds = std::max(lastSeconds_, secondsAt(channels_->clock, channel->message.tick));
        event_.kind = StreamEvent::Kind::Channel;
        event_.leadingF0 = false;
        event_.startsMessage = event_.endsMessage = false;
        event_.bytes = channel->message.bytes;
        peeked_ = Peeked::Channel;
        return &event_;
    }
    if (stopping_ && !messageOpen_)
        return nextNoteOff();
    if (!stopping_ && playsAgain()) {
        if (const StreamEvent* noteOff = nextNoteOff())
            return noteOff;
        startNextPass();
        return peek(horizonSeconds, maxPieceBytes);  // the pass has something to produce
    }
    if (endOfSong_ == EndOfSong::Releases && !stopping_)
        return nextNoteOff();
    return nullptr;
}

bool StreamCursor::playsAgain() noexcept
{
    if (endOfSong_ == EndOfSong::NotYet) {
        // A pass that produced nothing would be followed by another at once, for ever.
        const bool again = loopSeconds_ > 0.0 && loop_->on.load(std::memory_order_acquire) &&
                           (passes_ == 0 || passProduced_);
        const bool releaseAtEnd = !again && loopSeconds_ > 0.0 && loop_->releaseAtEnd.load(std::memory_order_acquire);
        if (again || releaseAtEnd) {
            endOfSong_ = again ? EndOfSong::PlaysAgain : EndOfSong::Releases;
            passEndSeconds_ = std::max(lastSeconds_, (loopSeconds_ - originSeconds_) / rate_);
            endSecondsBound_ = std::max(endSecondsBound_, passEndSeconds_);
            noteOffScan_ = 0;
        } else {
            endOfSong_ = EndOfSong::Ended;
        }
        if (again)
            loop_->passesBegun.fetch_add(1, std::memory_order_release);
        else if (loop_)
            loop_->ended.store(true, std::memory_order_release);
    }
    return endOfSong_ == EndOfSong::PlaysAgain;
}

// The song again from its start, one song length after the pass before: a fresh start's merges,
// without the state chased for where this cursor began.
void StreamCursor::startNextPass() noexcept
{
    channels_->rewind();
    systems_->rewind();
    system_->size = 0;
    held_ = false;
    abandoning_ = false;
    systemNotBefore_ = 0;
    originSeconds_ -= loopSeconds_;
    endSecondsBound_ += loopSeconds_ / rate_ + pacer_.drainSeconds(sequence_->systemBytes()) +
                        pacer_.pauseSeconds() * double(sequence_->systemMessageCount());
    endOfSong_ = EndOfSong::NotYet;
    noteOffScan_ = 0;
    ++passes_;
    passProduced_ = false;
}

void StreamCursor::advance() noexcept
{
    switch (peeked_) {
    case Peeked::Nothing: return;
    case Peeked::Channel:
        trackNote(event_.bytes, event_.seconds);
        channels_->advanceTop();
        passProduced_ = true;
        break;
    case Peeked::SystemPiece: {
        SystemMessage& s = *system_;
        if (s.offset == 0 && event_.startsMessage)
            messageOpen_ = true;
        s.offset += pieceBytes_;
        if (s.offset == s.size)
            finishSystemMessage();
        passProduced_ = true;
        break;
    }
    case Peeked::EndOfMessage:
        cutting_ = false;
        messageOpen_ = false;
        break;
    case Peeked::NoteOff:
        trackNote(event_.bytes, event_.seconds);  // what a stop after the end of a pass still silences
        ++noteOffScan_;
        break;
    }
    lastSeconds_ = event_.seconds;
    peeked_ = Peeked::Nothing;
}

// The current packet has gone: load what follows (a continuation goes on at once).
void StreamCursor::finishSystemMessage() noexcept
{
    SystemMessage& s = *system_;
    if (!s.continues) {
        messageOpen_ = false;
        finishing_ = false;
        s.size = 0;
        return;
    }
    loadSystem();
}

void StreamCursor::abandonMessage() noexcept
{
    if (!messageOpen_)
        return;
    peeked_ = Peeked::Nothing;
    system_->size = 0;
    messageOpen_ = false;
    finishing_ = false;
    cutting_ = false;  // its end would reach nobody who had its start
    if (held_) {
        abandoning_ = true;
        loadSystem();  // skips the packets that are left
    }
}

void StreamCursor::stop(double atSeconds, bool finishMessageUnderWay) noexcept
{
    if (stopping_)
        return;
    stopping_ = true;
    stopSeconds_ = atSeconds;
    noteOffScan_ = 0;  // from the first key, also when the end of a pass was silencing
    peeked_ = Peeked::Nothing;
    SystemMessage& s = *system_;
    const bool underWay = finishMessageUnderWay && messageOpen_ && s.size != 0;
    finishing_ = underWay && restOfMessageEndsWithin(kLongestFinishSeconds);
    cutting_ = underWay && !finishing_;
    if (!finishing_) {
        s.size = 0;
        held_ = false;
        if (!cutting_) {
            messageOpen_ = false;
            lastSeconds_ = atSeconds;  // what was produced after the stop has been taken back
        }
    }
    report_->cutMessage.store(cutting_, std::memory_order_relaxed);
    report_->taken.store(true, std::memory_order_release);
}

void StreamCursor::endMessageNow() noexcept
{
    if (!finishing_ || !messageOpen_)
        return;
    finishing_ = false;
    cutting_ = true;
    system_->size = 0;
    held_ = false;
    peeked_ = Peeked::Nothing;
    report_->cutMessage.store(true, std::memory_order_relaxed);
}

// Whether what is left of the system message under way drains within `seconds` at the paced speed.
// Its packets still to come are counted as far as those bytes, or as far as one search step
// reaches: a message in more packets than that is taken for a long one.
bool StreamCursor::restOfMessageEndsWithin(double seconds) const noexcept
{
    const double speed = pacer_.bytesPerSecond();
    if (speed <= 0.0)
        return true;
    const double budget = seconds * speed;
    const SystemMessage& s = *system_;
    double bytes = double(s.size - s.offset);
    if (!held_)
        return bytes <= budget;
    const Merge::Track& track = systems_->tracks[heldTrack_];
    smf::TrackDecoder decoder = track.decoder;  // a copy: looking ahead moves nothing
    MidiMessage packet = track.message;         // the next packet, found already
    bytes += double(packet.bytes.size());
    for (std::size_t step = 0; bytes <= budget; ++step) {
        if (!decoder.insideSysEx())
            return true;  // the packet counted last ends the message
        if (step == Merge::kScanStep)
            return false;
        const smf::TrackDecoder::Step next = decoder.next(packet);
        if (next == smf::TrackDecoder::Step::Skipped ||
            (next == smf::TrackDecoder::Step::Message && packet.kind == MessageKind::Meta))
            continue;
        if (next != smf::TrackDecoder::Step::Message || packet.kind != MessageKind::SysExContinuation)
            return true;  // it ends there, unfinished in the file
        bytes += double(packet.bytes.size());
    }
    return false;
}

void StreamCursor::trackNote(std::span<const std::uint8_t> message, double seconds) noexcept
{
    if (message.size() < 3)
        return;
    const std::uint8_t type = message[0] & 0xF0;
    if (type == 0xB0 && (message[1] == kSustain || message[1] == kResetAllControllers)) {
        const auto bit = std::uint16_t(1u << (message[0] & 0x0F));
        sustained_ = message[1] == kSustain && message[2] >= 64 ? sustained_ | bit : sustained_ & ~bit;
        return;
    }
    if (type != 0x80 && type != 0x90)
        return;
    const unsigned channel = message[0] & 0x0F;
    const unsigned key = message[1] & 0x7F;
    std::uint64_t& word = sounding_[channel][key >> 6];
    const std::uint64_t bit = std::uint64_t(1) << (key & 63);
    if (type == 0x90 && message[2] != 0) {
        word |= bit;
    } else {
        word &= ~bit;
        releasedAt_[channel * 128 + key] = seconds;
    }
}

// After a stop, or at the end of a pass: one note-off at a time for every key sounding then, after
// what was sent; then the sustain pedals the song left down (a note let go under one would sound on).
const StreamEvent* StreamCursor::nextNoteOff() noexcept
{
    const double atSeconds = stopping_ ? stopSeconds_ : passEndSeconds_;
    for (; noteOffScan_ < kKeys + 16; ++noteOffScan_) {
        if (noteOffScan_ < kKeys) {
            const unsigned channel = unsigned(noteOffScan_ / 128);
            const unsigned key = unsigned(noteOffScan_ % 128);
            const bool on = (sounding_[channel][key >> 6] >> (key & 63)) & 1;
            // A stop taken back to an earlier time also silences what was let go after it.
            if (!on && !(stopping_ && releasedAt_[noteOffScan_] > stopSeconds_))
                continue;
            noteOff_[0] = static_cast<std::uint8_t>(0x80 | channel);
            noteOff_[1] = static_cast<std::uint8_t>(key);
            noteOff_[2] = 0x40;
        } else {
            const unsigned channel = unsigned(noteOffScan_ - kKeys);
            if (!((sustained_ >> channel) & 1))
                continue;
            noteOff_[0] = static_cast<std::uint8_t>(0xB0 | channel);
            noteOff_[1] = kSustain;
            noteOff_[2] = 0;
        }
        event_.seconds = std::max(lastSeconds_, atSeconds);
        event_.kind = StreamEvent::Kind::Channel;
        event_.leadingF0 = event_.startsMessage = event_.endsMessage = false;
        event_.bytes = std::span<const std::uint8_t>(noteOff_, 3);
        peeked_ = Peeked::NoteOff;
        return &event_;
    }
    return nullptr;
}

}  // namespace brennick
