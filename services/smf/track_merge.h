#pragma once
// The tracks of a sequence merged in time order, for the stream cursor: the one place that
// decides which track's message comes next.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "services/sequence.h"
#include "services/smf/track_decoder.h"

namespace brennick::smf {

// Where a merge starts: at `tick` (0: the start), and in a SysEx dump (its messages all at tick 0)
// at its message numbered `dumpMessage`; `prelude`, if given, is merged before everything (its
// messages stand at tick 0), numbered after the sequence's tracks.
struct MergeStart {
    std::uint64_t tick = 0;
    std::size_t dumpMessage = 0;
    const MidiTrack* prelude = nullptr;
};

// A k-way merge over the tracks that hold messages of one sort (channel or system), each track
// decoded where it lies in the file. Tracks are ordered by tick, then by track number, in a winner
// tree (each node holds the least key below it): moving any one track costs a load, a comparison
// and a conditional move per level, with no branch that depends on how the tracks interleave.
//
// Limits: any tick a track decoder gives (64 bits), and kMaxTracks tracks (2^32; a header need not
// count a file's tracks, but each takes at least 8 bytes of it: 32 GB for that many). Tracks past
// those would be left out.
class TrackMerge {
public:
    struct Track {
        TrackDecoder decoder;
        MidiMessage message;               // the track's next message of this sort
        const std::uint8_t* at = nullptr;  // where that message begins: file order within the track
        std::uint32_t index = 0;
        // The search for the next message paused before finding it (see scan()): `message` is stale
        // and the decoder's tick is the earliest the next message can have.
        bool pending = false;
    };
    // A track's place in the order in one number: its next tick in the high bits, its place in
    // `tracks` in the low kIndexBits, so that equal ticks go in track order and every key differs.
    // A track with nothing left (or out of the order) has a key above every tick's: all of a 64-bit
    // tick's keys stay below kDone.
    __extension__ typedef unsigned __int128 Key;
    static constexpr unsigned kIndexBits = 32;
    static constexpr std::size_t kMaxTracks = std::size_t{1} << kIndexBits;
    static constexpr Key kIndexMask = (Key{1} << kIndexBits) - 1;
    static constexpr Key kDone = ~kIndexMask;
    static_assert(kDone > (Key{~std::uint64_t{0}} << kIndexBits | kIndexMask), "a tick's key reaches kDone");
    enum class Scan : std::uint8_t { Found, Paused, Ended };
    static constexpr std::size_t kScanStep = 256;  // events decoded at most per search step

    using Start = MergeStart;

    TrackMerge(const Sequence& sequence, bool system, const Start& start = {})
        : system(system), clock(sequence.tempoMap()), sequence_(&sequence)
    {
        const auto add = [this, system](const MidiTrack& track, std::size_t number) {
            if ((system ? track.systemMessageCount() : track.channelMessageCount()) == 0)
                return;
            const auto events = track.events();
            tracks.push_back({TrackDecoder(events.data(), events.data() + events.size()),
                              {},
                              nullptr,
                              static_cast<std::uint32_t>(number)});
        };
        const std::size_t trackCount = std::min(sequence.trackCount(), kMaxTracks - 1);
        if (start.prelude != nullptr)
            add(*start.prelude, trackCount);
        const std::size_t firstSongTrack = tracks.size();
        for (std::size_t t = 0; t < trackCount; ++t)
            add(sequence.track(t), t);
        while (leaves < tracks.size())
            leaves *= 2;
        nodes.assign(2 * leaves, kDone);
        const bool skips = start.tick > 0 || (system && start.dumpMessage > 0);
        for (std::size_t i = 0; i < leaves; ++i) {
            const auto place = static_cast<std::uint32_t>(i);
            nodes[leaves + i] = i >= tracks.size()             ? doneKey(place)
                                : skips && i >= firstSongTrack ? (skipTo(tracks[i], start) ? keyOf(place) : doneKey(place))
                                                               : firstKey(place);
        }
        rebuild();
    }

    // Back to the start of the song, as a merge made with no start is; a prelude is left out.
    // Real-time safe: nothing is allocated, and a system track is searched one step at a time.
    void rewind() noexcept
    {
        const std::size_t songTracks = std::min(sequence_->trackCount(), kMaxTracks - 1);
        for (std::size_t i = 0; i < tracks.size(); ++i) {
            Track& track = tracks[i];
            const auto place = static_cast<std::uint32_t>(i);
            if (track.index >= songTracks) {
                nodes[leaves + i] = doneKey(place);
                continue;
            }
            const auto events = sequence_->track(track.index).events();
            track.decoder = TrackDecoder(events.data(), events.data() + events.size());
            track.message = {};
            track.at = nullptr;
            track.pending = false;
            nodes[leaves + i] = firstKey(place);
        }
        rebuild();
    }

    // Moves `track` to its first message of this sort at or after `start`: past a SysEx dump's
    // first messages, never into the middle of a message (the packets that continue one begun
    // before are passed over too). Runs where the cursor is made, never where it plays.
    bool skipTo(Track& track, const Start& start) noexcept
    {
        std::size_t messages = 0;
        for (bool insideSkipped = false;;) {  // a message begun before the start goes on
            if (!fetch(track))
                return false;
            const bool continuation = track.message.kind == MessageKind::SysExContinuation;
            if (continuation && insideSkipped) {
                insideSkipped = track.decoder.insideSysEx();
                continue;
            }
            const bool before =
                track.message.tick < start.tick || (system && !continuation && messages < start.dumpMessage);
            if (!before)
                return true;
            messages += system && !continuation;
            insideSkipped = system && track.decoder.insideSysEx();
        }
    }

    Key keyOf(std::uint32_t track) const noexcept { return Key{tracks[track].message.tick} << kIndexBits | track; }
    static Key doneKey(std::uint32_t track) noexcept { return kDone | track; }
    Key keyAfter(std::uint32_t track, Scan result) noexcept
    {
        Track& t = tracks[track];
        t.pending = result == Scan::Paused;
        return result == Scan::Found    ? keyOf(track)
               : result == Scan::Paused ? Key{t.decoder.tick()} << kIndexBits | track
                                        : doneKey(track);
    }

    // Moves `track` to its next message of this sort; false at its end.
    bool fetch(Track& track) noexcept { return scan(track, ~std::size_t{0}) == Scan::Found; }

    // Moves `track` towards its next message of this sort, decoding at most `budget` events: system
    // messages can lie far apart in a track of notes, and a search through all of them in one go
    // would stall the real-time thread that plays them.
    [[gnu::always_inline]] Scan scan(Track& track, std::size_t budget) noexcept
    {
        for (; budget > 0; --budget) {
            track.at = track.decoder.position();
            if (const auto step = track.decoder.next(track.message); step != TrackDecoder::Step::Message) {
                if (step == TrackDecoder::Step::Skipped)
                    continue;
                return Scan::Ended;
            }
            if (system ? isSystemMessage(track.message.kind) : track.message.kind == MessageKind::Channel)
                return Scan::Found;
        }
        return Scan::Paused;
    }
    // After an open SysEx packet: the track's next system message, searched for as long as it may
    // still continue that packet (meta events only in between). Paused: it cannot.
    Scan scanForContinuation(Track& track) noexcept
    {
        for (;;) {
            const Scan result = scan(track, kScanStep);
            if (result != Scan::Paused || !track.decoder.insideSysEx())
                return result;
        }
    }
    // Searches on until the earliest track's next message is known, or can come no sooner than
    // after `tick`. The work follows the song: tracks are searched only as far as playback has got.
    void settle(std::uint64_t tick) noexcept
    {
        while (!empty()) {
            const std::uint32_t track = winnerTrack();
            Track& t = tracks[track];
            if (!t.pending || t.decoder.tick() > tick)
                return;
            update(track, keyAfter(track, scan(t, kScanStep)));
        }
    }
    bool topPending() const noexcept { return !empty() && tracks[winnerTrack()].pending; }
    // The earliest tick the next message can have, once settle() has left the top pending.
    std::uint64_t pendingTick() const noexcept { return tracks[winnerTrack()].decoder.tick(); }
    // Puts a track taken out by pop() back in, after a scan() of its own.
    void putBack(std::uint32_t track, Scan result) noexcept { update(track, keyAfter(track, result)); }

    bool empty() const noexcept { return root() >= kDone; }
    std::uint32_t winnerTrack() const noexcept { return static_cast<std::uint32_t>(root() & kIndexMask); }
    Track* top() noexcept { return empty() ? nullptr : &tracks[winnerTrack()]; }

    // The earliest track has moved on to its next message.
    void advanceTop() noexcept
    {
        const std::uint32_t track = winnerTrack();
        update(track, fetch(tracks[track]) ? keyOf(track) : doneKey(track));
    }
    // Takes the earliest track out of the order (its message is being used) and gives its number.
    std::uint32_t pop() noexcept
    {
        const std::uint32_t track = winnerTrack();
        update(track, doneKey(track));
        return track;
    }

private:
    // The key of a track just decoded from its start: a system track as far as one search step.
    Key firstKey(std::uint32_t track) noexcept
    {
        return system ? keyAfter(track, scan(tracks[track], kScanStep))
                      : fetch(tracks[track]) ? keyOf(track) : doneKey(track);
    }
    void rebuild() noexcept
    {
        for (std::size_t node = leaves - 1; node > 0; --node)
            nodes[node] = std::min(nodes[2 * node], nodes[2 * node + 1]);
    }
    Key root() const noexcept { return nodes[1]; }  // with one leaf, the leaf itself
    // A leaf's new key, and the least keys on its way up.
    void update(std::uint32_t leaf, Key key) noexcept
    {
        std::size_t node = leaves + leaf;
        nodes[node] = key;
        for (; node > 1; node /= 2) {
            key = std::min(key, nodes[node ^ 1]);
            nodes[node / 2] = key;
        }
    }

public:
    const bool system;
    TempoMap::Cursor clock;  // converts this merge's ticks, which mostly grow
    std::vector<Track> tracks;

private:
    const Sequence* sequence_;
    std::size_t leaves = 1;
    std::vector<Key> nodes;  // 1 is the root, leaves from `leaves` on; leaves past the tracks are done
};

}  // namespace brennick::smf
