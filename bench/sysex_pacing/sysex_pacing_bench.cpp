// SysEx pacing as a synth receives it: for each of the player's pacing presets, a sound dump of
// twenty 1000-byte messages plays to a sink on a private JACK server, and the speed measured inside
// each message and the gap measured between messages are set beside the setting.
//
//   bench_sysex_pacing

#include <algorithm>
#include <cstdio>
#include <vector>

#include "services/music_services.h"
#include "tests/support/call_layer.h"
#include "tests/support/jack_test_server.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Preset {
    const char* name;
    SInt32 bytesPerSecond;
    SInt32 pauseMs;
};

struct Message {
    std::uint32_t firstFrame = 0, lastFrame = 0;  // of its first and its last event
    std::size_t bytes = 0;
    std::size_t bytesBeforeLastEvent = 0;
};

// The messages as a byte-stream receiver sees them, with the frames of their first and last bytes.
std::vector<Message> messagesOf(const std::vector<ReceivedEvent>& events)
{
    std::vector<Message> out;
    for (const ReceivedEvent& e : events) {
        if (!e.bytes.empty() && e.bytes[0] == 0xF0)
            out.push_back({e.frame, e.frame, 0, 0});
        if (out.empty())
            continue;
        out.back().lastFrame = e.frame;
        out.back().bytesBeforeLastEvent = out.back().bytes;
        out.back().bytes += e.bytes.size();
    }
    return out;
}

}  // namespace

int main()
{
    constexpr unsigned kRate = 48000;
    JackTestServer server(256, kRate);
    if (!server.running()) {
        std::printf("jackd could not be started\n");
        return 1;
    }
    SmfBuilder b(0, 96);
    auto& t = b.track();
    for (int m = 0; m < 20; ++m) {
        Bytes message(999, std::uint8_t(m));
        message.back() = 0xF7;
        t.delta(0).sysex(message);
    }
    t.delta(0).endOfTrack();
    const Bytes song = b.bytes();

    const Preset presets[] = {{"Standard (60000 bytes/s)", 60000, 0},
                              {"20 ms pause after each message", 60000, 20},
                              {"40 ms pause after each message", 60000, 40},
                              {"Half speed (30000 bytes/s)", 30000, 0}};
    std::printf("SysEx pacing measured at the synth (JACK, %u Hz, period 256: one period is %.1f ms)\n", kRate,
                256e3 / kRate);
    std::printf("%-32s %12s %12s %12s %12s\n", "preset", "set B/s", "measured B/s", "set gap ms", "measured ms");
    for (const Preset& p : presets) {
        JackSink sink("synth", "in", std::string("Carrow"));
        MusicSequence sequence = nullptr;
        loadSequence(song, &sequence);
        const MIDIEndpointRef destination = MIDIGetDestination(ItemCount(destinationNamed("Carrow")));
        MIDIObjectSetIntegerProperty(destination, kMIDIPropertyMaxSysExSpeed, p.bytesPerSecond);
        MIDIObjectSetIntegerProperty(destination, kMIDIPropertySysExPause, p.pauseMs);
        MusicSequenceSetMIDIEndpoint(sequence, destination);
        MusicPlayer player = nullptr;
        NewMusicPlayer(&player);
        MusicPlayerSetSequence(player, sequence);
        MusicPlayerStart(player);
        MusicPlayerWaitUntilSent(player, 5.0);
        sink.waitForQuiet(0.2, 5.0);
        const std::vector<Message> messages = messagesOf(sink.events());
        // Speed inside a message: each event carries the bytes due from its frame on, so the bytes
        // before its last event took the frames up to that event. Gap: from when a message had
        // drained at the set speed to the next message's first byte.
        double speedSum = 0, gapSum = 0;
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const Message& m = messages[i];
            speedSum += double(m.bytesBeforeLastEvent) * kRate / std::max(1u, m.lastFrame - m.firstFrame);
            if (i > 0) {
                const double drained =
                    messages[i - 1].firstFrame + double(messages[i - 1].bytes) * kRate / p.bytesPerSecond;
                gapSum += (m.firstFrame - drained) * 1e3 / kRate;
            }
        }
        const std::size_t n = std::max<std::size_t>(messages.size(), 2);
        std::printf("%-32s %12d %12.0f %12d %12.2f   (%zu whole messages)\n", p.name, p.bytesPerSecond,
                    speedSum / double(messages.size()), p.pauseMs, gapSum / double(n - 1), messages.size());
        DisposeMusicPlayer(player);
        DisposeMusicSequence(sequence);
    }
    return 0;
}
