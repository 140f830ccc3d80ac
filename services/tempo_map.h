#pragma once
// Conversion between a file's ticks, beats (quarter notes) and seconds.

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
    // The first tick at or after `seconds` (0 for seconds <= 0).
    std::uint64_t secondsToTicks(double seconds) const noexcept;

    // Converts ticks in the order a walk through the messages meets them (mostly growing): each
    // conversion starts from the stretch of tempo the previous one found instead of searching.
    // Any order gives the same answers as ticksToSeconds; only going back costs a search.
    class Cursor;

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

    TimeDivision division_;
    std::vector<TempoChange> changes_;
    Segment first_;                   // from tick 0 (metrical) or the whole file (SMPTE)
    std::vector<Segment> later_;      // metrical files: one per tempo change after tick 0
    double secondsPerTickSmpte_ = 0;  // SMPTE files only
};

class TempoMap::Cursor {
public:
    explicit Cursor(const TempoMap& map) noexcept : map_(&map) { moveTo(map.first_, 0); }

    double ticksToSeconds(std::uint64_t ticks) noexcept
    {
        if (ticks >= nextStart_ || ticks < segment_->startTick) [[unlikely]]
            seek(ticks);
        return segment_->startSeconds + static_cast<double>(ticks - segment_->startTick) * segment_->secondsPerTick;
    }

private:
    void seek(std::uint64_t ticks) noexcept
    {
        // Usually the next stretch; a search otherwise.
        if (next_ < map_->later_.size() && ticks >= nextStart_ &&
            (next_ + 1 == map_->later_.size() || ticks < map_->later_[next_ + 1].startTick)) {
            moveTo(map_->later_[next_], next_ + 1);
            return;
        }
        const Segment& s = map_->segmentAtTick(ticks);
        moveTo(s, &s == &map_->first_ ? 0 : static_cast<std::size_t>(&s - map_->later_.data()) + 1);
    }
    void moveTo(const Segment& segment, std::size_t next) noexcept
    {
        segment_ = &segment;
        next_ = next;
        nextStart_ = next < map_->later_.size() ? map_->later_[next].startTick : UINT64_MAX;
    }

    const TempoMap* map_;
    const Segment* segment_ = nullptr;
    std::size_t next_ = 0;  // index in later_ of the stretch after segment_
    std::uint64_t nextStart_ = UINT64_MAX;
};

}  // namespace brennick
