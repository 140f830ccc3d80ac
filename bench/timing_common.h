#pragma once
// What the timing benchmarks of every backend share: the song they play and how errors are summed up.

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "services/sequence.h"
#include "tests/support/smf_builder.h"

namespace brennick::bench {

// A format-1 file of about `seconds`: tempo changes every 4 beats in the conductor track, a track
// of 16th-note two-key chords and one of 8th-note bass notes with a controller each.
inline std::vector<std::uint8_t> timingSong(double seconds)
{
    test::SmfBuilder b(1, 480);
    auto& conductor = b.track();
    const std::uint32_t tempos[] = {500000, 430000, 610000, 375000, 520000};
    const int beats = int(seconds * 2.0);
    for (int beat = 0; beat < beats; beat += 4)
        conductor.delta(beat == 0 ? 0 : 4 * 480).tempo(tempos[(beat / 4) % 5]);
    conductor.delta(0).endOfTrack();
    auto& chords = b.track();
    for (int i = 0; i < beats * 4; ++i) {
        const int key = 50 + i % 30;
        chords.delta(i == 0 ? 0 : 60).noteOn(1, key, 90).delta(0).noteOn(1, key + 4, 80);
        chords.delta(60).noteOff(1, key).delta(0).noteOff(1, key + 4);
    }
    chords.delta(0).endOfTrack();
    auto& bass = b.track();
    for (int i = 0; i < beats * 2; ++i)
        bass.delta(i == 0 ? 0 : 120)
            .controller(2, 1, i % 128)
            .delta(0)
            .noteOn(2, 30 + i % 12, 100)
            .delta(120)
            .noteOff(2, 30 + i % 12);
    bass.delta(0).endOfTrack();
    return b.bytes();
}

// One channel message as a perfect sender would send it.
struct IdealMessage {
    double seconds = 0;  // tempo-mapped, from the start
    std::uint32_t length = 0;
    std::uint8_t data[3] = {};
};

// The song's channel messages in the order they are played (by tick, then track, then file order)
// at their tempo-mapped times, worked out on their own from the tracks and the tempo map.
inline std::vector<IdealMessage> idealChannelMessages(const Sequence& sequence)
{
    std::vector<std::tuple<std::uint64_t, std::size_t, std::size_t, IdealMessage>> all;
    for (std::size_t t = 0; t < sequence.trackCount(); ++t) {
        std::size_t index = 0;
        sequence.track(t).forEach([&](const MidiMessage& m) {
            if (m.kind != MessageKind::Channel)
                return;
            IdealMessage ideal;
            ideal.seconds = sequence.tempoMap().ticksToSeconds(m.tick);
            ideal.length = std::uint32_t(m.bytes.size());
            std::copy(m.bytes.begin(), m.bytes.end(), ideal.data);
            all.emplace_back(m.tick, t, index++, ideal);
        });
    }
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return std::tie(std::get<0>(a), std::get<1>(a), std::get<2>(a)) <
               std::tie(std::get<0>(b), std::get<1>(b), std::get<2>(b));
    });
    std::vector<IdealMessage> messages;
    messages.reserve(all.size());
    for (const auto& entry : all)
        messages.push_back(std::get<3>(entry));
    return messages;
}

struct ErrorSummary {
    double max = 0, p99 = 0, median = 0;
    std::size_t count = 0;
};

// Maximum, 99th percentile and median of absolute timing errors (any unit).
inline ErrorSummary summarize(std::vector<double> errors)
{
    ErrorSummary s;
    s.count = errors.size();
    if (errors.empty())
        return s;
    std::sort(errors.begin(), errors.end());
    s.max = errors.back();
    s.p99 = errors[std::min(errors.size() - 1, std::size_t(double(errors.size()) * 0.99))];
    s.median = errors[errors.size() / 2];
    return s;
}

}  // namespace brennick::bench
