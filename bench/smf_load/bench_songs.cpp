#include "bench/smf_load/bench_songs.h"

#include "tests/support/smf_builder.h"

namespace brennick::bench {

namespace {

using brennick::test::SmfBuilder;

struct Rng {
    std::uint64_t state;
    std::uint32_t next()
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    }
};

// Notes (note-on, and note-on of velocity 0 as note-off, under running status) and controllers.
void addNotes(brennick::test::SmfChunkBuilder& t, int channel, std::size_t messages, Rng& rng)
{
    std::size_t written = 0;
    while (written < messages) {
        const int key = 36 + static_cast<int>(rng.next() % 48);
        t.delta(rng.next() % 60).noteOn(channel, key, 64 + static_cast<int>(rng.next() % 60));
        for (int i = 0; i < 3; ++i) {
            t.delta(rng.next() % 120).running({key + i + 1, 80});
            t.delta(rng.next() % 120).running({key + i, 0});
        }
        t.delta(rng.next() % 120).running({key + 3, 0});
        t.delta(rng.next() % 30).controller(channel, 1, static_cast<int>(rng.next() % 128));
        t.delta(rng.next() % 30).running({11, static_cast<int>(rng.next() % 128)});
        written += 10;
    }
    t.delta(0).endOfTrack();
}

}  // namespace

// A song of 15 tracks of `perTrack` messages each and an ordinary conductor track: a few tempo
// changes over the song.
std::vector<std::uint8_t> bigFile(std::size_t perTrack)
{
    Rng rng{1};
    SmfBuilder b(1, 480);
    constexpr int kTracks = 15;
    auto& conductor = b.track();
    conductor.delta(0).trackName("Conductor").delta(0).meta(0x58, {4, 2, 24, 8});
    const std::uint64_t songTicks = perTrack * 60;  // about 60 ticks per message
    for (int change = 0; change < 5; ++change)
        conductor.delta(change == 0 ? 0 : songTicks / 5).tempo(400000 + rng.next() % 300000);
    conductor.delta(0).endOfTrack();
    for (int c = 0; c < kTracks; ++c)
        addNotes(b.track(), c, perTrack, rng);
    return b.bytes();
}

std::vector<std::uint8_t> sysexFile()
{
    Rng rng{2};
    SmfBuilder b(1, 96);
    b.track().delta(0).tempo(500000).delta(0).endOfTrack();
    auto& t = b.track();
    std::vector<std::uint8_t> dump(300000);
    for (auto& byte : dump)
        byte = static_cast<std::uint8_t>(rng.next() & 0x7F);
    dump[0] = 0x3E;
    dump.back() = 0xF7;
    std::size_t messages = 0;
    while (messages < 220000) {
        const int key = 40 + static_cast<int>(rng.next() % 40);
        t.delta(rng.next() % 48).noteOn(0, key, 100).delta(rng.next() % 48).running({key, 0});
        messages += 2;
    }
    t.delta(96).sysex(dump).delta(0).endOfTrack();
    return b.bytes();
}

}  // namespace brennick::bench
