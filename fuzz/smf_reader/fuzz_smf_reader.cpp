// Feeds arbitrary bytes to the song readers, then plays what they return the way the player does.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "services/smf_reader.h"
#include "services/stream_cursor.h"

using namespace brennick;

namespace {
void check(bool condition)
{
    if (!condition)
        std::abort();
}

// A length in beats folded into the checksum; a hostile file's may not fit an unsigned.
unsigned fold(double beats)
{
    return beats >= 0.0 && beats < 4e9 ? static_cast<unsigned>(beats) : 1u;
}

unsigned walk(const Sequence& sequence)
{
    const TempoMap& tempo = sequence.tempoMap();
    unsigned checksum = 0;
    for (std::size_t t = 0; t < sequence.trackCount(); ++t) {
        const MidiTrack& track = sequence.track(t);
        std::uint64_t previousTick = 0;
        std::size_t count = 0;
        TempoMap::Cursor clock(tempo);
        track.forEach([&](const MidiMessage& m) {
            check(m.tick >= previousTick);
            previousTick = m.tick;
            ++count;
            for (std::uint8_t b : m.bytes)  // touches every byte, so ASan sees a bad span
                checksum += b;
            if (m.kind == MessageKind::Channel) {
                check(m.bytes.size() == 2 || m.bytes.size() == 3);
                check(m.bytes[0] >= 0x80 && m.bytes[0] < 0xF0);
                check(!((m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] == 0));
            }
            const double seconds = tempo.ticksToSeconds(m.tick);
            const double beats = tempo.ticksToBeats(m.tick);
            check(seconds >= 0 && beats >= 0);
            check(clock.ticksToSeconds(m.tick) == seconds);
            const double back = tempo.secondsToBeats(tempo.beatsToSeconds(beats));
            check(std::fabs(back - beats) <= 1e-6 * (1 + beats));
        });
        check(count == track.size());
        check(track.size() == 0 || track.lengthTicks() == previousTick);
        checksum += fold(sequence.trackLengthBeats(t));
    }
    return checksum;
}

// Plays the sequence through a stream cursor in small steps, as a backend does, stopping (and
// abandoning a message) where the input says: every event is in time order, whole, in bounds,
// and a system message is never broken by another message. Played to its end undisturbed, every
// message of every track comes out, once.
unsigned play(std::shared_ptr<const Sequence> sequence, std::uint8_t choices)
{
    StreamCursor cursor(std::move(sequence), SysExPacing{choices & 1 ? 3125.0 : 0.0, choices & 2 ? 0.01 : 0.0});
    const double stopAt = (choices >> 2) * 0.25;
    const std::size_t piece = 1 + (choices >> 4);
    double horizon = 0.0;
    double last = 0.0;
    bool inside = false;
    unsigned checksum = 0;
    std::uint8_t out[1 << 16];
    std::size_t channelMessages = 0;
    std::uint64_t systemBytes = 0;
    const Sequence& played = cursor.sequence();
    for (int steps = 0; steps < 200000; ++steps) {
        if (!cursor.stopping() && horizon >= stopAt && choices & 0x40)
            cursor.stop(horizon, true);
        if (inside && (choices & 0x80) && steps % 7 == 0) {
            cursor.abandonMessage();
            inside = false;
        }
        const StreamEvent* e = cursor.peek(horizon, piece);
        if (e == nullptr) {
            if (!(choices & 0xC0)) {
                std::size_t expected = 0;
                for (std::size_t t = 0; t < played.trackCount(); ++t)
                    expected += played.track(t).channelMessageCount();
                check(channelMessages == expected);
                check(systemBytes == played.systemBytes());
            }
            break;
        }
        if (e->seconds > horizon) {
            horizon = std::max(horizon + 0.01, std::min(e->seconds, horizon + 1.0));
            continue;
        }
        check(e->seconds >= last);
        last = e->seconds;
        check(e->size() >= 1 && e->size() <= std::max<std::size_t>(piece, 3));
        check(!inside || e->kind != StreamEvent::Kind::Channel);
        if (e->kind != StreamEvent::Kind::Channel) {
            check(inside != e->startsMessage);
            inside = !e->endsMessage;
        }
        if (e->kind == StreamEvent::Kind::Channel)
            ++channelMessages;
        else
            systemBytes += e->size();
        e->copyTo(out);
        for (std::size_t i = 0; i < e->size(); ++i)
            checksum += out[i];
        cursor.advance();
    }
    return checksum;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The last byte also chooses how to play: it lies after a file's chunks, where readers ignore it.
    const std::uint8_t choices = size > 0 ? data[size - 1] : 0;
    const std::span<const std::uint8_t> bytes(data, size);
    SmfReadResult result = choices & 0x20 ? [&] {
        FileBytes copy;
        copy.data = std::make_unique<std::uint8_t[]>(bytes.size() + 1);
        if (!bytes.empty())
            std::memcpy(copy.data.get(), bytes.data(), bytes.size());
        copy.size = bytes.size();
        return readSequenceFile(std::move(copy));
    }()
                                          : readStandardMidiFile(bytes);
    check(result.status != SmfStatus::Unreadable);
    check(result.status == SmfStatus::Complete || result.status == SmfStatus::Damaged ||
          result.sequence.trackCount() == 0);
    if (result.status == SmfStatus::Damaged)
        check(result.problemOffset <= bytes.size());
    auto sequence = std::make_shared<const Sequence>(std::move(result.sequence));
    unsigned checksum = walk(*sequence) + play(sequence, choices);
    checksum += fold(sequence->lengthBeats());
    checksum += static_cast<unsigned>(sequence->tempoMap().secondsToBeats(-1.0) < 0);
    return checksum == 0xFFFFFFFFu ? 0 : 0;
}
