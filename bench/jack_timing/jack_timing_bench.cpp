// Event timing on JACK: every event's arrival frame against its ideal tempo-mapped frame, for our
// player and for a baseline that sends from a sleeping thread through a ring buffer (what a player
// without a scheduling callback does), at JACK periods of 256 and 1024 frames.
//
//   bench_jack_timing [seconds=60]

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/timing_common.h"
#include "services/music_services.h"
#include "services/smf_reader.h"
#include "tests/support/call_layer.h"
#include "tests/support/jack_test_server.h"

using namespace brennick;
using namespace brennick::test;

namespace {

struct Stats {
    double maxFrames = 0, p99Frames = 0;
    std::size_t events = 0;
};

// Error of each event's arrival frame against its ideal frame, both counted from the first event.
Stats compare(const std::vector<ReceivedEvent>& got, const std::vector<bench::IdealMessage>& ideal, unsigned rate)
{
    std::vector<double> errors;
    const std::size_t n = std::min(got.size(), ideal.size());
    for (std::size_t i = 0; i < n; ++i) {
        const double idealFrame = std::llround(ideal[i].seconds * rate);
        const double actual = double(std::uint32_t(got[i].frame - got[0].frame));
        errors.push_back(std::abs(actual - idealFrame));
    }
    const bench::ErrorSummary summary = bench::summarize(std::move(errors));
    return {summary.max, summary.p99, summary.count};
}

// The baseline: a thread sleeps until each event's time and pushes it into a ring buffer; the
// process callback writes whatever it finds at the start of its cycle.
class SleepingThreadSender {
public:
    explicit SleepingThreadSender(const std::string& destination)
    {
        client_ = jack_client_open("baseline-sender", JackNoStartServer, nullptr);
        port_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        ring_ = jack_ringbuffer_create(1 << 16);
        jack_set_process_callback(client_, &SleepingThreadSender::process, this);
        jack_activate(client_);
        jack_connect(client_, jack_port_name(port_), destination.c_str());
    }
    ~SleepingThreadSender()
    {
        jack_client_close(client_);
        jack_ringbuffer_free(ring_);
    }
    void play(const std::vector<bench::IdealMessage>& ideal)
    {
        const auto start = std::chrono::steady_clock::now();
        for (const bench::IdealMessage& m : ideal) {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(m.seconds)));
            std::uint8_t record[4] = {std::uint8_t(m.length), 0, 0, 0};
            std::copy(m.data, m.data + std::min<std::uint32_t>(m.length, 3), record + 1);
            jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(record), 4);
        }
    }

private:
    static int process(jack_nframes_t frames, void* arg)
    {
        auto* self = static_cast<SleepingThreadSender*>(arg);
        void* buffer = jack_port_get_buffer(self->port_, frames);
        jack_midi_clear_buffer(buffer);
        std::uint8_t record[4];
        while (jack_ringbuffer_read_space(self->ring_) >= 4) {
            jack_ringbuffer_read(self->ring_, reinterpret_cast<char*>(record), 4);
            jack_midi_event_write(buffer, 0, record + 1, record[0]);
        }
        return 0;
    }
    jack_client_t* client_;
    jack_port_t* port_;
    jack_ringbuffer_t* ring_;
};

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const auto bytes = bench::timingSong(seconds);
    SmfReadResult read = readStandardMidiFile(bytes);
    const std::vector<bench::IdealMessage> ideal = bench::idealChannelMessages(read.sequence);
    const std::string path = writeTempFile(bytes, "jack-timing");
    std::printf("JACK event timing: %zu events over %.1f s, error = |arrival - ideal tempo-mapped frame|\n",
                ideal.size(), ideal.back().seconds);
    std::printf("%-8s %-28s %10s %10s %14s\n", "period", "sender", "max (fr)", "p99 (fr)", "first event");

    for (unsigned period : {256u, 1024u}) {
        JackTestServer server(period, 48000);
        if (!server.running()) {
            std::printf("jackd could not be started\n");
            return 1;
        }
        Stats ours, baseline;
        double firstLatencyFrames = 0;
        {
            JackSink sink("Carrow");
            MusicSequence sequence = nullptr;
            loadSequenceFromPath(path, &sequence);
            MIDIGetNumberOfDestinations();
            MusicSequenceSetMIDIEndpoint(sequence, MIDIGetDestination(0));
            MusicPlayer player = nullptr;
            NewMusicPlayer(&player);
            MusicPlayerSetSequence(player, sequence);
            jack_client_t* clock = jack_client_open("clock", JackNoStartServer, nullptr);
            const jack_nframes_t requested = jack_frame_time(clock);
            MusicPlayerStart(player);
            sink.waitForCount(ideal.size(), seconds * 1.5 + 5);
            MusicPlayerWaitUntilSent(player, 1.0);
            const auto events = sink.events();
            if (!events.empty())
                firstLatencyFrames = double(std::uint32_t(events[0].frame - requested));
            ours = compare(events, ideal, 48000);
            DisposeMusicPlayer(player);
            DisposeMusicSequence(sequence);
            jack_client_close(clock);
        }
        {
            JackSink sink("Baseline");
            SleepingThreadSender sender(sink.portName());
            sender.play(ideal);
            sink.waitForQuiet(0.3, 3.0);
            baseline = compare(sink.events(), ideal, 48000);
        }
        std::printf("%-8u %-28s %10.0f %10.0f %11.0f fr\n", period, "ours (process callback)", ours.maxFrames,
                    ours.p99Frames, firstLatencyFrames);
        std::printf("%-8u %-28s %10.0f %10.0f %14s\n", period, "baseline (sleeping thread)", baseline.maxFrames,
                    baseline.p99Frames, "-");
        std::printf("         target: max <= 1 frame: %s; first event within one period (%u): %s; "
                    "baseline/ours max error ratio: %.0fx\n",
                    ours.maxFrames <= 1 ? "met" : "NOT met", period, firstLatencyFrames <= period ? "met" : "NOT met",
                    baseline.maxFrames / std::max(1.0, ours.maxFrames));
    }
    std::filesystem::remove(path);
    return 0;
}
