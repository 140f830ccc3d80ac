#include "services/playback_schedule.h"

#include <algorithm>
#include <queue>

#include "services/sequence.h"
#include "services/sysex_pacer.h"

namespace brennick {

namespace {

struct Cursor {
    std::uint64_t tick;
    std::size_t track;
    std::size_t index;
};

// Orders by tick, then by track number, so simultaneous messages keep file order.
struct LaterCursor {
    bool operator()(const Cursor& a, const Cursor& b) const noexcept
    {
        return a.tick != b.tick ? a.tick > b.tick : a.track > b.track;
    }
};

bool isSystem(MessageKind kind) noexcept
{
    return kind == MessageKind::SysEx || kind == MessageKind::SysExContinuation || kind == MessageKind::Escape;
}

}  // namespace

PlaybackSchedule PlaybackSchedule::build(const Sequence& sequence, double maxSysExBytesPerSecond)
{
    PlaybackSchedule schedule;
    SysExPacer pacer(maxSysExBytesPerSecond);
    schedule.bytesPerSecond = pacer.bytesPerSecond();
    const TempoMap& tempo = sequence.tempoMap();

    std::size_t total = 0;
    std::priority_queue<Cursor, std::vector<Cursor>, LaterCursor> next;
    for (std::size_t t = 0; t < sequence.trackCount(); ++t) {
        const MidiTrack& track = sequence.track(t);
        total += track.size();
        if (track.size() > 0)
            next.push({track[0].tick, t, 0});
    }
    schedule.channel.reserve(total);

    // The merge meets ticks in growing order.
    TempoMap::Cursor clock(tempo);
    while (!next.empty()) {
        const Cursor cursor = next.top();
        next.pop();
        const MidiTrack& track = sequence.track(cursor.track);
        const MidiMessage message = track[cursor.index];
        if (cursor.index + 1 < track.size())
            next.push({track[cursor.index + 1].tick, cursor.track, cursor.index + 1});
        if (message.kind == MessageKind::Meta || message.bytes.empty())
            continue;

        const double seconds = clock.ticksToSeconds(message.tick);
        const auto length = static_cast<std::uint32_t>(message.bytes.size());
        if (isSystem(message.kind))
            schedule.system.push_back({pacer.schedule(seconds, length), message.bytes.data(), length});
        else
            schedule.channel.push_back({seconds, message.bytes.data(), length});
    }
    schedule.channel.shrink_to_fit();
    return schedule;
}

double PlaybackSchedule::endSeconds() const noexcept
{
    double end = channel.empty() ? 0.0 : channel.back().seconds;
    if (!system.empty()) {
        const ScheduledMessage& last = system.back();
        const double drain = bytesPerSecond > 0.0 ? last.length / bytesPerSecond : 0.0;
        end = std::max(end, last.seconds + drain);
    }
    return end;
}

}  // namespace brennick
