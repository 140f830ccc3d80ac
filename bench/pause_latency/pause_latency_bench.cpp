// How soon a pause is heard: from the call to the note-off at the synth, on a private JACK server,
// for pauses at random points of a held note. Baseline: one period, the least any JACK client can
// take (what is asked during a cycle goes out at the start of the next).
//
//   bench_pause_latency [pauses=50]

#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "services/music_services.h"
#include "tests/support/call_layer.h"
#include "tests/support/jack_test_server.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;

int main(int argc, char** argv)
{
    const int pauses = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    JackTestServer server;
    if (!server.running()) {
        std::fprintf(stderr, "no JACK server could be started\n");
        return 1;
    }
    JackSink carrow("synth-carrow", "in", std::string("Carrow"));
    jack_client_t* probe = jack_client_open("pause-probe", JackNoStartServer, nullptr);
    if (!carrow.ok() || probe == nullptr || jack_activate(probe) != 0) {
        std::fprintf(stderr, "the sink or the probe could not join the server\n");
        return 1;
    }
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(96 * 200).noteOff(0, 60).delta(0).endOfTrack();  // 100 s

    std::mt19937 random(7);
    std::vector<double> periods;
    const double period = double(server.periodFrames()) / server.sampleRate();
    for (int i = 0; i < pauses; ++i) {
        const std::size_t before = carrow.count();
        MusicPlayer player = play(b.bytes(), "Carrow");
        if (player == nullptr || !carrow.waitForCount(before + 1, 5.0))
            return 1;
        // Anywhere in a cycle.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        const jack_time_t asked = jack_get_time();
        MusicPlayerPause(player);
        if (carrow.waitForCount(before + 2, 2.0)) {
            const jack_time_t heard = jack_frames_to_time(probe, carrow.events()[before + 1].frame);
            periods.push_back(double(std::int64_t(heard - asked)) / 1e6 / period);
        }
        DisposeMusicPlayer(player);
        carrow.waitForQuiet(0.05, 2.0);
    }
    jack_client_close(probe);
    if (periods.empty()) {
        std::fprintf(stderr, "no pause was heard\n");
        return 1;
    }
    std::sort(periods.begin(), periods.end());
    std::printf("pause to note-off at the synth, %zu pauses on a private JACK server (48 kHz, 256 frames)\n",
                periods.size());
    std::printf("  median:  %5.2f periods\n", periods[periods.size() / 2]);
    std::printf("  p90:     %5.2f periods\n", periods[periods.size() * 9 / 10]);
    std::printf("  longest: %5.2f periods  (baseline one period; target within one: %s)\n", periods.back(),
                periods.back() <= 1.0 ? "met" : "NOT MET");
    return 0;
}
