#include "services/tempo_map.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace brennick {

namespace {
constexpr double kSmpteSecondsPerBeat = 0.5;  // SMPTE time has no tempo: count beats at 120 bpm

double framesPerSecond(std::uint8_t nominal)
{
    // 29 stands for 30-frame drop-frame timecode, which runs at 30000/1001 frames per second.
    return nominal == 29 ? 30000.0 / 1001.0 : nominal;
}
}  // namespace

TempoMap::TempoMap(TimeDivision division, std::vector<TempoChange> changes)
    : division_(division), changes_(std::move(changes))
{
    if (division_.smpte ? (division_.framesPerSecond == 0 || division_.ticksPerFrame == 0)
                        : division_.ticksPerQuarter == 0)
        division_ = TimeDivision{};

    std::erase_if(changes_, [](const TempoChange& c) { return c.microsecondsPerQuarter == 0; });
    std::stable_sort(changes_.begin(), changes_.end(),
                     [](const TempoChange& a, const TempoChange& b) { return a.tick < b.tick; });
    // Keep the last of equal ticks: it is the tempo in force once that tick is reached.
    auto keep = changes_.begin();
    for (auto it = changes_.begin(); it != changes_.end(); ++it) {
        if (keep != changes_.begin() && std::prev(keep)->tick == it->tick)
            *std::prev(keep) = *it;
        else
            *keep++ = *it;
    }
    changes_.erase(keep, changes_.end());

    if (division_.smpte) {
        secondsPerTickSmpte_ = 1.0 / (framesPerSecond(division_.framesPerSecond) * division_.ticksPerFrame);
        first_.secondsPerBeat = kSmpteSecondsPerBeat;
        first_.secondsPerTick = secondsPerTickSmpte_;
        return;
    }

    const double ticksPerQuarter = division_.ticksPerQuarter;
    // SMF stores tempo as microseconds per quarter note, and a beat here is a quarter note.
    auto makeSegment = [&](std::uint64_t tick, std::uint32_t microseconds, const Segment* previous) {
        Segment s;
        s.startTick = tick;
        s.startBeats = static_cast<double>(tick) / ticksPerQuarter;
        s.startSeconds =
            previous ? previous->startSeconds + (s.startBeats - previous->startBeats) * previous->secondsPerBeat : 0.0;
        s.secondsPerBeat = microseconds / 1e6;
        s.secondsPerTick = s.secondsPerBeat / ticksPerQuarter;
        return s;
    };
    auto it = changes_.begin();
    first_ = makeSegment(0, it != changes_.end() && it->tick == 0 ? (it++)->microsecondsPerQuarter : 500000, nullptr);
    later_.reserve(static_cast<std::size_t>(changes_.end() - it));
    for (; it != changes_.end(); ++it)
        later_.push_back(makeSegment(it->tick, it->microsecondsPerQuarter, later_.empty() ? &first_ : &later_.back()));
}

TimeDivision TempoMap::division() const noexcept
{
    return division_;
}

const std::vector<TempoChange>& TempoMap::changes() const noexcept
{
    return changes_;
}

const TempoMap::Segment& TempoMap::segmentAtTick(std::uint64_t ticks) const noexcept
{
    if (later_.empty() || ticks < later_.front().startTick)
        return first_;
    const auto found = std::prev(std::upper_bound(later_.begin(), later_.end(), ticks,
                                                  [](std::uint64_t t, const Segment& s) { return t < s.startTick; }));
    return *found;
}

double TempoMap::ticksToBeats(std::uint64_t ticks) const noexcept
{
    if (division_.smpte)
        return static_cast<double>(ticks) * secondsPerTickSmpte_ / kSmpteSecondsPerBeat;
    return static_cast<double>(ticks) / division_.ticksPerQuarter;
}

double TempoMap::ticksToSeconds(std::uint64_t ticks) const noexcept
{
    if (division_.smpte)
        return static_cast<double>(ticks) * secondsPerTickSmpte_;
    const Segment& s = segmentAtTick(ticks);
    return s.startSeconds + static_cast<double>(ticks - s.startTick) * s.secondsPerTick;
}

double TempoMap::beatsToSeconds(double beats) const noexcept
{
    const Segment* s = &first_;
    if (!later_.empty() && beats >= later_.front().startBeats)
        s = &*std::prev(std::upper_bound(later_.begin(), later_.end(), beats,
                                         [](double b, const Segment& seg) { return b < seg.startBeats; }));
    return s->startSeconds + (beats - s->startBeats) * s->secondsPerBeat;
}

double TempoMap::secondsToBeats(double seconds) const noexcept
{
    const Segment* s = &first_;
    if (!later_.empty() && seconds >= later_.front().startSeconds)
        s = &*std::prev(std::upper_bound(later_.begin(), later_.end(), seconds,
                                         [](double t, const Segment& seg) { return t < seg.startSeconds; }));
    return s->startBeats + (seconds - s->startSeconds) / s->secondsPerBeat;
}

std::uint64_t TempoMap::secondsToTicks(double seconds) const noexcept
{
    if (!(seconds > 0.0))
        return 0;
    const auto ticksAfter = [seconds](double startSeconds, double secondsPerTick) {
        const double ticks = std::ceil((seconds - startSeconds) / secondsPerTick - 1e-9);
        return ticks >= 1.8e19 ? UINT64_MAX : std::uint64_t(std::max(0.0, ticks));
    };
    if (division_.smpte)
        return ticksAfter(0.0, secondsPerTickSmpte_);
    const Segment* s = &first_;
    if (!later_.empty() && seconds >= later_.front().startSeconds)
        s = &*std::prev(std::upper_bound(later_.begin(), later_.end(), seconds,
                                         [](double t, const Segment& seg) { return t < seg.startSeconds; }));
    const std::uint64_t ticks = ticksAfter(s->startSeconds, s->secondsPerTick);
    return ticks > UINT64_MAX - s->startTick ? UINT64_MAX : s->startTick + ticks;
}

}  // namespace brennick
