// The longest single step of the stream cursor (one peek and one advance), which the JACK process
// callback takes: a step that searches far through a song stalls the real-time thread. Baseline: one
// JACK period of 256 frames at 48 kHz (5.33 ms), the shortest the player is meant for; the mean step
// shows the ordinary cost.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
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
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Notes with a SysEx (a reset, a patch) at the start, in the middle and at the end of each track:
// a system message's search for the next one crosses half a track of notes.
std::vector<std::uint8_t> song(int tracks, int notesPerTrack)
{
    SmfBuilder b(tracks == 1 ? 0 : 1, 480);
    for (int t = 0; t < tracks; ++t) {
        auto& track = b.track();
        for (int i = 0; i < notesPerTrack; ++i) {
            if (i == 0 || i == notesPerTrack / 2)
                track.delta(0).sysex({0x7E, 0x7F, 0x09, 0x01, 0xF7});
            track.delta(10).noteOn(t % 16, 60 + i % 12, 100).delta(10).noteOn(t % 16, 60 + i % 12, 0);
        }
        track.delta(0).sysex({0x7E, 0x7F, 0x09, 0x02, 0xF7}).delta(0).endOfTrack();
    }
    return b.bytes();
}

struct Walk {
    double setUp = 0.0;
    double longest = 0.0;
    double total = 0.0;
    std::size_t steps = 0;
};

Walk walk(const std::vector<std::uint8_t>& bytes)
{
    brennick::SmfReadResult read = brennick::readStandardMidiFile(bytes);
    Walk w;
    const double setUpStart = now();
    brennick::StreamCursor cursor(std::make_shared<const brennick::Sequence>(std::move(read.sequence)),
                                  brennick::SysExPacing{60000.0, 0.0});
    w.setUp = now() - setUpStart;
    for (;;) {
        const double start = now();
        const brennick::StreamEvent* e = cursor.peek(1e300, 1 << 20);
        if (e == nullptr)
            break;
        cursor.advance();
        const double step = now() - start;
        w.longest = std::max(w.longest, step);
        w.total += step;
        ++w.steps;
    }
    return w;
}

// The median of several walks: a step the machine interrupted shows in one walk, a step that
// searches far shows in every one.
void measure(const std::string& title, const std::vector<std::uint8_t>& bytes)
{
    constexpr int kWalks = 5;
    std::vector<Walk> walks;
    for (int i = 0; i < kWalks; ++i)
        walks.push_back(walk(bytes));
    auto median = [&](double Walk::*field) {
        std::vector<double> v;
        for (const Walk& w : walks)
            v.push_back(w.*field);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double longest = median(&Walk::longest);
    constexpr double kPeriod = 256.0 / 48000.0;
    std::printf("\n%s: %.1f MB, %zu events\n", title.c_str(), double(bytes.size()) / 1e6, walks[0].steps);
    std::printf("  cursor set up:  %8.3f ms\n", median(&Walk::setUp) * 1e3);
    std::printf("  longest step:   %8.3f ms = %5.1f%% of a 256-frame period (5.33 ms)  (target <= 10%%: %s)\n",
                longest * 1e3, 100.0 * longest / kPeriod, longest <= 0.1 * kPeriod ? "met" : "NOT MET");
    std::printf("  mean step:      %8.0f ns, two clock reads included\n",
                median(&Walk::total) / double(std::max<std::size_t>(walks[0].steps, 1)) * 1e9);
}

}  // namespace

int main()
{
    std::printf("Stream cursor steps (peek and advance, unpaced drain of the whole song), CPU time\n");
    std::printf("of this thread: time the thread was not running is not the cursor's. Medians of 5 walks.\n");
    measure("one track, 1.5 M notes, SysEx at start, middle and end", song(1, 750000));
    measure("16 tracks, 1.5 M notes, SysEx at start, middle and end of each", song(16, 47000));
    return 0;
}
