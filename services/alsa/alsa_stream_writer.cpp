#include "services/alsa/alsa_stream_writer.h"

#include <cerrno>

namespace brennick::alsa {

namespace {

// How far ahead of the queue's clock the feeder keeps events in the kernel: enough to ride out a
// busy machine, little enough that a huge file never sits in the kernel at once and a stop has
// little to remove.
constexpr std::int64_t kLookaheadNs = 1'500'000'000;
// System messages go into the kernel only this far ahead: should the connection be taken away in
// the middle of one, what is queued of it is taken back, and this is all that is lost.
constexpr std::int64_t kSystemLookaheadNs = 60'000'000;

snd_seq_real_time_t realTime(std::int64_t ns)
{
    return {static_cast<unsigned>(ns / kNsPerSecond), static_cast<unsigned>(ns % kNsPerSecond)};
}

}  // namespace

Written StreamWriter::feed(StreamState& s, std::int64_t nowNs, std::size_t limit)
{
    const std::int64_t systemHorizonNs = nowNs + kSystemLookaheadNs;
    const double systemHorizonSeconds = double(systemHorizonNs - s.originNs) / double(kNsPerSecond);
    for (std::size_t i = 0; i < limit; ++i) {
        const StreamEvent* e = s.cursor->peek(systemHorizonSeconds, kSysExPiece);
        if (e == nullptr) {
            s.allWritten = true;
            return s.echoWritten ? Written::Done : writeEcho(s);
        }
        const std::int64_t atNs = s.nsOf(e->seconds);
        if (atNs > (e->kind == StreamEvent::Kind::Channel ? nowNs + kLookaheadNs : systemHorizonNs))
            return Written::NotDue;
        snd_seq_event_t ev;
        if (!encode(s, *e, ev)) {
            s.cursor->advance();
            continue;
        }
        const snd_seq_real_time_t at = realTime(atNs);
        snd_seq_ev_schedule_real(&ev, queue_, 0, &at);
        const Written w = send(s, ev);
        if (w != Written::One)
            return w;
        s.lastWrittenNs = std::max(s.lastWrittenNs, atNs);
        if (e->startsMessage) {
            s.messageOpen = true;
            s.openSince = atNs;
        }
        if (e->endsMessage && s.messageOpen) {
            s.messageOpen = false;
            s.messageSpans.emplace_back(s.openSince, atNs);
        }
        s.cursor->advance();
    }
    return Written::One;
}

// The queue's clock as reported runs ahead of the tick that dispatches what is due, so "the clock
// has passed the last event" does not mean it has left. An echo to ourselves, queued after the
// stream's last event at the same time, comes back only once that has been sent.
Written StreamWriter::writeEcho(StreamState& s)
{
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    ev.type = SND_SEQ_EVENT_ECHO;
    snd_seq_ev_set_source(&ev, syncPort_);
    snd_seq_ev_set_dest(&ev, snd_seq_client_id(seq_), syncPort_);
    snd_seq_ev_set_tag(&ev, s.tag);
    ev.data.raw32.d[0] = s.serial;
    const snd_seq_real_time_t at = realTime(s.lastWrittenNs);
    snd_seq_ev_schedule_real(&ev, queue_, 0, &at);
    const int rc = snd_seq_event_output_direct(seq_, &ev);
    if (rc == -EAGAIN || rc == -EINTR)
        return Written::PoolFull;
    if (rc < 0)
        s.finished = true;  // no way left to tell: count it as sent
    s.echoWritten = true;
    return Written::One;
}

void StreamWriter::sendRestNow(StreamState& s)
{
    while (const StreamEvent* e = s.cursor->peek(kLatestSeconds, kSysExPiece)) {
        snd_seq_event_t ev;
        if (encode(s, *e, ev)) {
            snd_seq_ev_set_direct(&ev);
            send(s, ev);
        }
        s.cursor->advance();
    }
}

void StreamWriter::stop(StreamState& s, std::int64_t nowNs)
{
    std::int64_t keepUntil = nowNs;
    bool finishMessage = false;
    if (s.messageOpen && s.openSince <= nowNs) {
        finishMessage = true;  // all that is queued belongs to it
    } else {
        for (const auto& [from, until] : s.messageSpans)
            if (from <= nowNs && nowNs < until)
                keepUntil = until;
        removeQueued(s, keepUntil + 1);
        s.lastWrittenNs = std::min(s.lastWrittenNs, keepUntil);
    }
    s.cursor->stop(double(keepUntil - s.originNs) / double(kNsPerSecond), finishMessage);
}

void StreamWriter::takeBackMessage(StreamState& s, std::int64_t nowNs)
{
    removeQueued(s, nowNs);
    s.lastWrittenNs = std::min(s.lastWrittenNs, nowNs);
    s.cursor->abandonMessage();
    s.messageOpen = false;
    s.messageSpans.clear();
}

void StreamWriter::endNow(StreamState& s)
{
    removeQueued(s, 0);
    if (!s.cursor->insideSystemMessage()) {
        // All of it had been queued: its end was taken back with the rest.
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        s.piece[0] = 0xF7;
        snd_seq_ev_set_sysex(&ev, 1, s.piece.data());
        snd_seq_ev_set_direct(&ev);
        send(s, ev);
    }
    s.cursor->endMessageNow();
    sendRestNow(s);
    s.messageOpen = false;
    s.messageSpans.clear();
    s.allWritten = s.finished = true;
}

void StreamWriter::removeQueued(const StreamState& s, std::int64_t fromNs)
{
    snd_seq_remove_events_t* remove = nullptr;
    snd_seq_remove_events_alloca(&remove);
    snd_seq_remove_events_set_condition(remove, SND_SEQ_REMOVE_OUTPUT | SND_SEQ_REMOVE_TAG_MATCH |
                                                    SND_SEQ_REMOVE_TIME_AFTER);
    snd_seq_remove_events_set_tag(remove, s.tag);
    snd_seq_remove_events_set_queue(remove, queue_);
    snd_seq_timestamp_t after{};
    after.time = realTime(fromNs);
    snd_seq_remove_events_set_time(remove, &after);
    snd_seq_remove_events(seq_, remove);
}

// Writes one event straight into the kernel (no library buffer, so what was written is exactly
// what the cursor says). A full pool is retried later; other refusals drop the event.
Written StreamWriter::send(StreamState& s, snd_seq_event_t& ev)
{
    snd_seq_ev_set_source(&ev, s.port);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_tag(&ev, s.tag);
    const int rc = snd_seq_event_output_direct(seq_, &ev);
    if (rc >= 0)
        return Written::One;
    if (rc == -EAGAIN || rc == -EINTR)
        return Written::PoolFull;
    if (rc == -ENODEV || rc == -EBADFD || rc == -ENXIO) {
        lost_.store(true, std::memory_order_release);
        return Written::Fatal;
    }
    return Written::One;
}

// Turns the event into a sequencer event: channel messages and escape packets that hold ordinary
// messages (song select, clock, ...) become those events, so receivers that read events rather
// than bytes understand them; SysEx and anything else go as bytes.
bool StreamWriter::encode(StreamState& s, const StreamEvent& e, snd_seq_event_t& ev)
{
    snd_seq_ev_clear(&ev);
    if (e.kind != StreamEvent::Kind::SysEx) {
        snd_midi_event_reset_encode(s.encoder);
        const long used = snd_midi_event_encode(s.encoder, e.bytes.data(), long(e.bytes.size()), &ev);
        if (used == long(e.bytes.size()) && ev.type != SND_SEQ_EVENT_NONE && ev.type != SND_SEQ_EVENT_SYSEX)
            return true;
        if (e.kind == StreamEvent::Kind::Channel)
            return false;  // not a whole channel message
        snd_seq_ev_clear(&ev);
    }
    e.copyTo(s.piece.data());
    snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(e.size()), s.piece.data());
    return true;
}

}  // namespace brennick::alsa
