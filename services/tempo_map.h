#pragma once
// Conversion between a file's ticks, beats (quarter notes) and seconds.

#include <atomic>
#include <cstdint>
#include <vector>

namespace brennick {

// The division field of a file's header.
struct TimeDivision {
    bool smpte = false;
    std::uint16_t ticksPerQuarter = 96;  // metrical files; never 0 (a damaged 0 reads as 96)
    std::uint8_t framesPerSecond = 0;    // SMPTE files: 24, 25, 29 (29.97 drop frame) or 30
    std::uint8_t ticksPerFrame = 0;      // SMPTE files; never 0
};

struct TempoChange {
    std::uint64_t tick = 0;
    std::uint32_t microsecondsPerQuarter = 500000;
};

// Built once from the tempo events of every track. Metrical files: beats = ticks / ticksPerQuarter
// and seconds follow the tempo changes (500000 us per quarter, 120 bpm, before the first one).
// SMPTE files: ticks are a fixed fraction of a second, tempo events do not apply, and beats are
// counted at 120 bpm. Tempo events of 0 microseconds per quarter are ignored (no time could pass).
class TempoMap {
public:
    TempoMap() = default;
    // `changes` in any order; of several at one tick the last given wins. An invalid division
    // (0 ticks per quarter or per frame) reads as 96 ticks per quarter.
    TempoMap(TimeDivision division, std::vector<TempoChange> changes);

    TimeDivision division() const noexcept;
    const std::vector<TempoChange>& changes() const noexcept;  // sorted by tick, one per tick

    double ticksToBeats(std::uint64_t ticks) const noexcept;
    double ticksToSeconds(std::uint64_t ticks) const noexcept;
    double beatsToSeconds(double beats) const noexcept;
    double secondsToBeats(double seconds) const noexcept;  // inverse of beatsToSeconds; < 0 gives < 0

private:
    // One stretch of constant tempo. Lookups binary-search the start fields.
    struct Segment {
        std::uint64_t startTick = 0;
        double startBeats = 0;
        double startSeconds = 0;
        double secondsPerBeat = 0.5;
        double secondsPerTick = 0.5 / 96;
    };
    const Segment& segmentAtTick(std::uint64_t ticks) const noexcept;

    // The index in later_ of the segment last found by tick: callers walk a track in time order, so
    // the next lookup almost always hits it or the one after. Relaxed: any value is only a guess.
    struct Hint {
        mutable std::atomic<std::uint32_t> index{0};
        Hint() = default;
        Hint(const Hint&) noexcept {}
        Hint& operator=(const Hint&) noexcept
        {
            index.store(0, std::memory_order_relaxed);
            return *this;
        }
    };

    TimeDivision division_;
    std::vector<TempoChange> changes_;
    Segment first_;                  // from tick 0 (metrical) or the whole file (SMPTE)
    std::vector<Segment> later_;     // metrical files: one per tempo change after tick 0
    double secondsPerTickSmpte_ = 0;  // SMPTE files only
    Hint hint_;
};

}  // namespace brennick
