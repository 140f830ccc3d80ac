// Event timing on the ALSA sequencer: every event's arrival time (stamped by the receiving client's
// queue) against its ideal tempo-mapped time, for our player (timestamped queue events) and for a
// baseline that sends each event directly from a thread that sleeps until its time (what a player
// without a queue does), once on an idle machine and once with two threads spinning beside them
// (a busy desktop).
//
//   bench_alsa_timing [seconds=20]      (inside the ALSA virtual machine)

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "bench/timing_common.h"
#include "services/midi_connection.h"
#include "services/music_services.h"
#include "services/smf_reader.h"
#include "tests/alsa/alsa_test_sink.h"
#include "tests/support/call_layer.h"

using namespace brennick;
using namespace brennick::test;

namespace {

struct Stats {
    double maxUs = 0, p99Us = 0, medianUs = 0;
    std::size_t events = 0, mismatched = 0;
};

// Error of each event against its ideal time, both counted from the first event.
Stats compare(const std::vector<SeqEvent>& got, const std::vector<bench::IdealMessage>& ideal)
{
    Stats s;
    std::vector<double> errors;
    const std::size_t n = std::min(got.size(), ideal.size());
    for (std::size_t i = 0; i < n; ++i) {
        const bench::IdealMessage& m = ideal[i];
        if (got[i].bytes != std::vector<std::uint8_t>(m.data, m.data + m.length))
            ++s.mismatched;
        const double idealUs = (m.seconds - ideal[0].seconds) * 1e6;
        const double actual = double(got[i].ns - got[0].ns) / 1e3;
        errors.push_back(std::abs(actual - idealUs));
    }
    const bench::ErrorSummary summary = bench::summarize(std::move(errors));
    s.events = summary.count;
    s.maxUs = summary.max;
    s.p99Us = summary.p99;
    s.medianUs = summary.median;
    return s;
}

// The baseline: a client of its own, connected to the sink, that sleeps until each event's time
// and sends it directly.
void playFromSleepingThread(const AlsaSink& sink, const std::vector<bench::IdealMessage>& ideal)
{
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0)
        return;
    snd_seq_set_client_name(seq, "baseline-sender");
    const int port = snd_seq_create_simple_port(seq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    snd_seq_connect_to(seq, port, sink.client(), sink.port());
    snd_midi_event_t* encoder = nullptr;
    snd_midi_event_new(16, &encoder);
    const auto start = std::chrono::steady_clock::now();
    for (const bench::IdealMessage& m : ideal) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(m.seconds)));
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_midi_event_reset_encode(encoder);
        snd_midi_event_encode(encoder, m.data, m.length, &ev);
        snd_seq_ev_set_source(&ev, port);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        snd_seq_event_output_direct(seq, &ev);
    }
    snd_midi_event_free(encoder);
    snd_seq_close(seq);
}

// Threads that keep the processor busy while they live.
class CpuHog {
public:
    explicit CpuHog(int threads)
    {
        for (int i = 0; i < threads; ++i)
            threads_.emplace_back([this] {
                volatile std::uint64_t x = 0;
                while (!stop_.load(std::memory_order_relaxed))
                    x = x + 1;
            });
    }
    ~CpuHog()
    {
        stop_.store(true);
        for (auto& t : threads_)
            t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// Plays the file through the player to a fresh sink; the stats, and the first event's delay.
Stats playThroughPlayer(const std::string& path, const std::vector<bench::IdealMessage>& ideal, double seconds,
                        double& firstLatencyUs)
{
    AlsaSink sink("Carrow", "Carrow In");
    MusicSequence sequence = nullptr;
    loadSequenceFromPath(path, &sequence);
    if (const long index = destinationNamed("Carrow In"); index >= 0)
        MusicSequenceSetMIDIEndpoint(sequence, MIDIGetDestination(ItemCount(index)));
    MusicPlayer player = nullptr;
    NewMusicPlayer(&player);
    MusicPlayerSetSequence(player, sequence);
    const std::int64_t requested = sink.nowNs();
    MusicPlayerStart(player);
    sink.waitForCount(ideal.size(), seconds * 1.5 + 10);
    MusicPlayerWaitUntilSent(player, 1.0);
    const auto events = sink.events();
    if (!events.empty())
        firstLatencyUs = double(events[0].ns - requested) / 1e3;
    DisposeMusicPlayer(player);
    DisposeMusicSequence(sequence);
    return compare(events, ideal);
}

Stats playFromSleepingThread(const std::vector<bench::IdealMessage>& ideal)
{
    AlsaSink sink("Baseline", "Baseline In");
    playFromSleepingThread(sink, ideal);
    sink.waitForQuiet(0.3, 3.0);
    return compare(sink.events(), ideal);
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const auto bytes = bench::timingSong(seconds);
    SmfReadResult read = readStandardMidiFile(bytes);
    const std::vector<bench::IdealMessage> ideal = bench::idealChannelMessages(read.sequence);
    const std::string path = writeTempFile(bytes, "alsa-timing");
    auto backend = currentMidiBackend();
    if (!backend || std::string(backend->name()) != "ALSA sequencer") {
        std::printf("no ALSA sequencer here: run this inside the ALSA virtual machine\n");
        return 1;
    }
    std::printf("ALSA sequencer event timing: %zu events over %.1f s (format 1, tempo changes every 4 beats)\n"
                "error = |arrival - ideal tempo-mapped time|, both from the first event; arrival stamped by the\n"
                "receiving client's queue\n",
                ideal.size(), ideal.back().seconds);

    std::printf("%-36s %8s %10s %10s %10s %10s %10s\n", "sender", "events", "max (us)", "p99 (us)", "median",
                "max (fr)", "p99 (fr)");
    const auto row = [](const char* name, const Stats& s) {
        std::printf("%-36s %8zu %10.0f %10.0f %10.0f %10.1f %10.1f\n", name, s.events, s.maxUs, s.p99Us, s.medianUs,
                    s.maxUs * 48000 / 1e6, s.p99Us * 48000 / 1e6);
    };
    bool whole = true;
    for (const bool busy : {false, true}) {
        double firstLatencyUs = 0;
        Stats ours, baseline;
        {
            std::unique_ptr<CpuHog> hog = busy ? std::make_unique<CpuHog>(2) : nullptr;
            ours = playThroughPlayer(path, ideal, seconds, firstLatencyUs);
            baseline = playFromSleepingThread(ideal);
        }
        row(busy ? "ours, busy (timestamped queue)" : "ours, idle (timestamped queue)", ours);
        row(busy ? "baseline, busy (sleeping thread)" : "baseline, idle (sleeping thread)", baseline);
        std::printf("  first event %.0f us after the request; events out of order or altered: %zu; "
                    "baseline/ours error ratio: max %.1fx, p99 %.1fx\n",
                    firstLatencyUs, ours.mismatched, baseline.maxUs / std::max(1.0, ours.maxUs),
                    baseline.p99Us / std::max(1.0, ours.p99Us));
        whole &= ours.events == ideal.size() && ours.mismatched == 0;
    }
    std::printf("frames at 48 kHz, to set beside the JACK figure (bench_jack_timing)\n");
    std::filesystem::remove(path);
    return whole ? 0 : 1;
}
