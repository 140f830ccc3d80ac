// Feeds arbitrary bytes to the SMF reader, then uses everything it returns the way the player does.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "services/smf_reader.h"

using namespace brennick;

namespace {
void check(bool condition)
{
    if (!condition)
        std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const SmfReadResult result = readStandardMidiFile(std::span<const std::uint8_t>(data, size));
    const Sequence& sequence = result.sequence;
    check(result.status != SmfStatus::Unreadable);
    check(result.status != SmfStatus::NotMidi || sequence.trackCount() == 0);
    if (result.status == SmfStatus::Damaged)
        check(result.problemOffset <= size);

    const TempoMap& tempo = sequence.tempoMap();
    unsigned checksum = 0;
    for (std::size_t t = 0; t < sequence.trackCount(); ++t) {
        const MidiTrack& track = sequence.track(t);
        std::uint64_t previousTick = 0;
        for (std::size_t i = 0; i < track.size(); ++i) {
            const MidiMessage m = track[i];
            check(m.tick >= previousTick);
            previousTick = m.tick;
            for (std::uint8_t b : m.bytes)  // touches every byte, so ASan sees a bad span
                checksum += b;
            if (m.kind == MessageKind::Channel) {
                check(m.bytes.size() == 2 || m.bytes.size() == 3);
                check(m.bytes[0] >= 0x80 && m.bytes[0] < 0xF0);
                check(!((m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] == 0));
            } else if (m.kind == MessageKind::SysEx) {
                check(!m.bytes.empty() && m.bytes[0] == 0xF0);
            }
            const double seconds = tempo.ticksToSeconds(m.tick);
            const double beats = tempo.ticksToBeats(m.tick);
            check(seconds >= 0 && beats >= 0);
            const double back = tempo.secondsToBeats(tempo.beatsToSeconds(beats));
            check(std::fabs(back - beats) <= 1e-6 * (1 + beats));
        }
        check(track.size() == 0 || track.lengthTicks() == previousTick);
        // The in-order walk and the tempo cursor give what indexing and the map give.
        std::size_t index = 0;
        TempoMap::Cursor clock(tempo);
        track.forEach([&](const MidiMessage& m) {
            check(index < track.size());
            const MidiMessage indexed = track[index++];
            check(m.tick == indexed.tick && m.kind == indexed.kind && m.bytes.data() == indexed.bytes.data() &&
                  m.bytes.size() == indexed.bytes.size());
            check(clock.ticksToSeconds(m.tick) == tempo.ticksToSeconds(m.tick));
        });
        check(index == track.size());
        checksum += static_cast<unsigned>(sequence.trackLengthBeats(t));
    }
    checksum += static_cast<unsigned>(sequence.lengthBeats());
    checksum += static_cast<unsigned>(tempo.secondsToBeats(-1.0) < 0);
    return checksum == 0xFFFFFFFFu ? 0 : 0;
}
