// How long a seek takes to answer in a large song: making the cursor that plays from the middle,
// with the song's state chased up to there (every track read up to the target), and taking its
// first step. Baseline: reading the whole song from memory, the least any start can cost, and the
// 50 ms a seek should answer within.
//
//   bench_seek [megabytes=25]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "services/sequence.h"
#include "services/smf_reader.h"
#include "services/stream_cursor.h"
#include "tests/support/smf_builder.h"

namespace {

using brennick::test::SmfBuilder;

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// 16 tracks of notes with controllers, bends and program changes all along, and a set-up SysEx.
std::vector<std::uint8_t> song(std::size_t megabytes)
{
    SmfBuilder b(1, 480);
    const std::size_t eventsPerTrack = megabytes * 1024 * 1024 / 16 / 4;
    for (int t = 0; t < 16; ++t) {
        auto& track = b.track();
        track.delta(0).sysex({0x7E, 0x7F, 0x09, 0x01, 0xF7});
        for (std::size_t i = 0; i < eventsPerTrack / 4; ++i) {
            track.delta(10).noteOn(t, 60 + int(i % 12), 100).delta(10).noteOff(t, 60 + int(i % 12));
            track.delta(0).controller(t, int(i % 120), int(i % 128)).delta(0).pitchBend(t, int(i % 16384));
            if (i % 1000 == 0)
                track.delta(0).programChange(t, int(i / 1000 % 128));
        }
        track.delta(0).endOfTrack();
    }
    return b.bytes();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const std::size_t megabytes = argc > 1 ? std::size_t(std::max(1, std::atoi(argv[1]))) : 25;
    const std::vector<std::uint8_t> bytes = song(megabytes);
    auto sequence = std::make_shared<brennick::Sequence>(brennick::readStandardMidiFile(bytes).sequence);
    const std::uint64_t middle = sequence->track(0).lengthTicks() / 2;
    std::vector<double> seeks, reads;
    for (int run = 0; run < 9; ++run) {
        double start = now();
        brennick::PlayFrom from;
        from.tick = middle;
        brennick::StreamCursor cursor(sequence, {60000.0, 0.0}, from);
        if (cursor.peek(0.0, 1024) == nullptr)
            return 1;
        seeks.push_back(now() - start);
        start = now();
        const auto read = brennick::readStandardMidiFile(bytes);
        reads.push_back(now() - start);
        if (read.sequence.trackCount() != sequence->trackCount())
            return 1;
    }
    const double seek = median(seeks), read = median(reads);
    std::printf("seek to the middle of a %.1f MB song, 16 tracks, median of 9\n", double(bytes.size()) / 1e6);
    std::printf("  seek (chase and first step): %7.2f ms\n", seek * 1e3);
    std::printf("  baseline, reading the song:  %7.2f ms\n", read * 1e3);
    std::printf("  ratio seek / read:           %7.2f\n", seek / read);
    std::printf("  against the 50 ms target:    %7.2f\n", seek / 0.050);
    return 0;
}
