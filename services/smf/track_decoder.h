#pragma once
// Decodes the events of one MTrk chunk in place, one at a time. The reader runs it once over every
// track to check it and measure it; playback runs it again, as it goes, to send the messages: a
// song is never copied into a second form.

#include <cstdint>
#include <limits>

#include "services/midi_message.h"

namespace brennick::smf {

class TrackDecoder {
public:
    // Skipped: an event with nothing to play was passed over (see skipped()); decoding goes on.
    enum class Step : std::uint8_t { Message, Skipped, End, Problem };

    TrackDecoder() = default;
    TrackDecoder(const std::uint8_t* begin, const std::uint8_t* end) noexcept : p_(begin), end_(end) {}

    // Decodes the next event into `out`. End: the data or the end-of-track event has been passed.
    // Problem: the event starting at eventStart() is malformed; problem() is the offending byte (a
    // data byte >= 0x80, a status byte that may not appear, a data byte with no running status, the
    // fourth byte of a variable-length quantity that goes on), or the end of the data where it ran out.
    // A note-on of velocity 0 is given as a note-off of velocity 64. Running status applies to channel
    // messages only; a SysEx packet cancels it, a meta event does not (files in circulation use
    // running status across a tempo change or marker between notes).
    //
    // A system common or real-time status byte where an event belongs has no place in a file, but
    // each has a known length: F1 and F3 take one data byte, F2 two, F6, F8, FA, FB, FC and FE none.
    // Such an event is Skipped, with its data, and the track plays on. As on the wire, a system
    // common byte (F1-F6) cancels running status and ends an unfinished SysEx; a real-time byte
    // (F8-FE) leaves both. F4, F5, F9 and FD have no known length: a Problem.
    Step next(MidiMessage& out) noexcept;

    const std::uint8_t* position() const noexcept { return p_; }
    // The tick of the event decoded last: no later event comes before it.
    std::uint64_t tick() const noexcept { return tick_; }
    // An F7 packet decoded next would continue a SysEx (no status byte has come since its F0 packet).
    bool insideSysEx() const noexcept { return sysexOpen_; }
    const std::uint8_t* eventStart() const noexcept { return eventStart_; }
    const std::uint8_t* problem() const noexcept { return problem_; }
    // The status byte of the event Skipped last.
    const std::uint8_t* skipped() const noexcept { return skipped_; }

private:
    // Reads a variable-length quantity of at most four bytes (the SMF limit, 0x0FFFFFFF).
    bool readVlq(std::uint32_t& value) noexcept;
    Step fail(const std::uint8_t* at) noexcept
    {
        problem_ = at;
        p_ = end_;
        return Step::Problem;
    }
    Step skipStray(std::uint8_t status) noexcept;

    const std::uint8_t* p_ = nullptr;
    const std::uint8_t* end_ = nullptr;
    const std::uint8_t* eventStart_ = nullptr;
    const std::uint8_t* problem_ = nullptr;
    const std::uint8_t* skipped_ = nullptr;
    std::uint64_t tick_ = 0;
    std::uint8_t runningStatus_ = 0;  // 0: none
    bool sysexOpen_ = false;          // an F0 packet (or its continuations) has not ended with F7
    std::uint8_t channel_[3] = {};    // the current channel message, running status expanded
};

inline bool TrackDecoder::readVlq(std::uint32_t& value) noexcept
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        if (p_ == end_) {
            fail(end_);
            return false;
        }
        const std::uint8_t b = *p_++;
        v = v << 7 | (b & 0x7F);
        if (!(b & 0x80)) {
            value = v;
            return true;
        }
    }
    fail(p_ - 1);
    return false;
}

inline TrackDecoder::Step TrackDecoder::skipStray(std::uint8_t status) noexcept
{
    const std::uint8_t* const at = p_ - 1;
    int dataBytes;
    switch (status) {
    case 0xF1:
    case 0xF3: dataBytes = 1; break;
    case 0xF2: dataBytes = 2; break;
    case 0xF6:
    case 0xF8:
    case 0xFA:
    case 0xFB:
    case 0xFC:
    case 0xFE: dataBytes = 0; break;
    default: return fail(at);  // F4, F5, F9, FD: undefined, of no known length
    }
    for (int i = 0; i < dataBytes; ++i, ++p_) {
        if (p_ == end_ || (*p_ & 0x80))
            return fail(p_);
    }
    if (status < 0xF8) {
        runningStatus_ = 0;
        sysexOpen_ = false;
    }
    skipped_ = at;
    return Step::Skipped;
}

[[gnu::always_inline]] inline TrackDecoder::Step TrackDecoder::next(MidiMessage& out) noexcept
{
    if (p_ >= end_)
        return problem_ != nullptr ? Step::Problem : Step::End;
    eventStart_ = p_;
    std::uint32_t delta;
    if (*p_ < 0x80)
        delta = *p_++;
    else if (!readVlq(delta))
        return Step::Problem;
    tick_ = tick_ > std::numeric_limits<std::uint64_t>::max() - delta ? std::numeric_limits<std::uint64_t>::max()
                                                                      : tick_ + delta;
    if (p_ == end_)
        return fail(end_);

    std::uint8_t status = *p_;
    if (status < 0x80) {
        if (runningStatus_ == 0)
            return fail(p_);
        status = runningStatus_;
    } else {
        ++p_;
    }
    out.tick = tick_;

    if (status < 0xF0) {
        const std::uint8_t type = status & 0xF0;
        const bool twoDataBytes = type != 0xC0 && type != 0xD0;
        if (end_ - p_ < (twoDataBytes ? 2 : 1) || ((p_[0] | (twoDataBytes ? p_[1] : 0)) & 0x80))
            return fail(p_ == end_ || (p_[0] & 0x80) ? p_ : p_ + 1 == end_ ? end_ : p_ + 1);
        channel_[0] = status;
        channel_[1] = p_[0];
        channel_[2] = twoDataBytes ? p_[1] : 0;
        p_ += twoDataBytes ? 2 : 1;
        runningStatus_ = status;
        sysexOpen_ = false;  // on the wire, any status byte ends an unfinished SysEx
        if (type == 0x90 && channel_[2] == 0) {
            channel_[0] = static_cast<std::uint8_t>(0x80 | (status & 0x0F));
            channel_[2] = 0x40;
        }
        out.kind = MessageKind::Channel;
        out.metaType = 0;
        out.bytes = std::span<const std::uint8_t>(channel_, twoDataBytes ? 3 : 2);
        return Step::Message;
    }

    std::uint8_t metaType = 0;
    if (status == 0xFF) {
        if (p_ == end_)
            return fail(end_);
        metaType = *p_++;
    } else if (status != 0xF0 && status != 0xF7) [[unlikely]] {
        return skipStray(status);
    } else {
        runningStatus_ = 0;
    }
    std::uint32_t length;
    if (!readVlq(length))
        return Step::Problem;
    if (length > static_cast<std::size_t>(end_ - p_))
        return fail(end_);

    MessageKind kind = MessageKind::Meta;
    if (status != 0xFF) {
        kind = status == 0xF0 ? MessageKind::SysEx : sysexOpen_ ? MessageKind::SysExContinuation : MessageKind::Escape;
        const bool terminated = length > 0 && p_[length - 1] == 0xF7;
        sysexOpen_ = kind != MessageKind::Escape && !terminated;
    }
    out.kind = kind;
    out.metaType = metaType;
    out.bytes = std::span<const std::uint8_t>(p_, length);
    p_ += length;
    if (kind == MessageKind::Meta && metaType == kMetaEndOfTrack)
        end_ = p_;  // nothing after the end of the track is read
    return Step::Message;
}

}  // namespace brennick::smf
