// How soon a launch is heard: from the process start to the first note at the synth, on a private
// JACK server, for the real player started with a small song (its window is built while the MIDI
// connection opens). Baseline: a minimal command-line JACK sender (this program, re-run as one:
// open a client, register a port, activate, connect, write the note), the least any JACK program
// can take for the same. Median of N launches each.
//
//   bench_first_note [launches=20]

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;

namespace {

constexpr const char* kSenderFlag = "--minimal-sender";

// The baseline: sends one note to `destination` and ends once the server has taken it.
int minimalSender(const char* destination)
{
    jack_client_t* client = jack_client_open("minimal-sender", JackNoStartServer, nullptr);
    if (client == nullptr)
        return 1;
    static jack_port_t* port = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    static std::atomic<int> state{0};  // 0 wait for the connection, 1 written, 2 a cycle later
    jack_set_process_callback(
        client,
        [](jack_nframes_t frames, void*) {
            void* buffer = jack_port_get_buffer(port, frames);
            jack_midi_clear_buffer(buffer);
            if (state.load() == 0 && jack_port_connected(port) > 0) {
                const jack_midi_data_t note[3] = {0x90, 60, 100};
                jack_midi_event_write(buffer, 0, note, 3);
                state.store(1);
            } else if (state.load() == 1) {
                state.store(2);
            }
            return 0;
        },
        nullptr);
    if (jack_activate(client) != 0 || jack_connect(client, jack_port_name(port), destination) != 0)
        return 1;
    while (state.load() < 2)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    jack_client_close(client);
    return 0;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// Microseconds on JACK's clock (CLOCK_MONOTONIC) of `frame`, asked of the server by a probe.
jack_time_t timeOfFrame(jack_client_t* probe, std::uint32_t frame)
{
    return jack_frames_to_time(probe, frame);
}

// Starts a launch with `start`, waits for the sink's next event; milliseconds from the launch to
// that event, or a negative number when none came.
template <typename Start> double launchToFirstNote(JackSink& sink, jack_client_t* probe, Start start)
{
    const std::size_t before = sink.count();
    const jack_time_t launched = jack_get_time();
    start();
    if (!sink.waitForCount(before + 1, 10.0))
        return -1.0;
    const jack_time_t heard = timeOfFrame(probe, sink.events()[before].frame);
    return double(std::int64_t(heard - launched)) / 1000.0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], kSenderFlag) == 0)
        return minimalSender(argv[2]);
    const int launches = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    JackTestServer server;
    if (!server.running()) {
        std::fprintf(stderr, "no JACK server could be started\n");
        return 1;
    }
    JackSink carrow("synth-carrow", "in", std::string("Carrow"));
    jack_client_t* probe = jack_client_open("first-note-probe", JackNoStartServer, nullptr);
    if (!carrow.ok() || probe == nullptr) {
        std::fprintf(stderr, "the sink or the probe could not join the server\n");
        return 1;
    }

    PlayerProcess player;
    const std::string song = player.root() + "/first-note.mid";
    SmfBuilder b(0, 96);
    b.track().delta(0).sysex({0x3E, 0x13, 0xF7}).delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60).delta(0).endOfTrack();
    writeFile(song, b.bytes());

    std::vector<double> ours;
    std::vector<double> baseline;
    for (int i = 0; i < launches; ++i) {
        // The player's first event is the model's SysEx, sent at the same instant as the note.
        const double heard = launchToFirstNote(carrow, probe, [&] {
            player.start({song}, {{"JACK_DEFAULT_SERVER", server.name()}});
        });
        player.sendSignal(SIGTERM);
        player.waitForExit(10.0);
        carrow.waitForQuiet(0.1, 2.0);
        if (heard >= 0)
            ours.push_back(heard);

        const double sent = launchToFirstNote(carrow, probe, [&] {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::setenv("JACK_DEFAULT_SERVER", server.name().c_str(), 1);
                ::execl("/proc/self/exe", argv[0], kSenderFlag, carrow.portName().c_str(), static_cast<char*>(nullptr));
                ::_exit(127);
            }
            std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
        });
        if (sent >= 0)
            baseline.push_back(sent);
    }
    jack_client_close(probe);
    if (ours.empty() || baseline.empty()) {
        std::fprintf(stderr, "no note arrived (player: %zu, baseline: %zu launches)\n", ours.size(), baseline.size());
        return 1;
    }
    const double player_ms = median(ours);
    const double baseline_ms = median(baseline);
    std::printf("launch to first note, median of %d launches on a private JACK server (48 kHz, 256 frames)\n",
                launches);
    std::printf("  brennick-midi-player:          %7.1f ms (%zu heard)\n", player_ms, ours.size());
    std::printf("  baseline, minimal JACK sender: %7.1f ms (%zu heard)\n", baseline_ms, baseline.size());
    std::printf("  ratio player / baseline:       %7.2f\n", player_ms / baseline_ms);
    return 0;
}
