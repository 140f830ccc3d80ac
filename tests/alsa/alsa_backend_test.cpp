// What is the ALSA sequencer's own, on the machine this runs on (a small virtual machine where the
// kernel has no sequencer): which ports are destinations, the queue's timing, the kernel's event
// pool, events as the sequencer carries them, raw bytes through a VirMIDI port. The playback rules
// both backends share are in the playback contract suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "services/midi_connection.h"
#include "services/music_services.h"
#include "tests/alsa/alsa_test_sink.h"
#include "tests/support/call_layer.h"
#include "tests/support/smf_builder.h"

using namespace brennick;
using brennick::test::AlsaSink;
using brennick::test::play;
using brennick::test::RawMidiReader;
using brennick::test::SeqEvent;
using brennick::test::SmfBuilder;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Timer ticks under emulation come late by a few milliseconds now and then.
constexpr double kToleranceSeconds = 0.015;

double secondsBetween(const SeqEvent& a, const SeqEvent& b)
{
    return double(b.ns - a.ns) / 1e9;
}

}  // namespace

TEST(AlsaBackend, TheSequencerIsChosenWhenNoJackServerRuns)
{
    test::prepareGuest();
    auto backend = currentMidiBackend();
    ASSERT_NE(backend, nullptr) << "no ALSA sequencer here (/dev/snd/seq)";
    EXPECT_STREQ(backend->name(), "ALSA sequencer");
    EXPECT_EQ(currentMidiBackend(), backend);  // one client per process
    EXPECT_EQ(test::clientsNamed("Brennick MIDI Player").size(), 1u);
}

TEST(AlsaBackend, DestinationsAreWritablePortsOfOtherClientsNamedAndOrdered)
{
    AlsaSink carrow("Carrow", "Carrow In");
    AlsaSink lumen("Lumen", "Lumen 2 Port");
    AlsaSink nimbus("Nimbus", "in");
    ASSERT_TRUE(carrow.ok() && lumen.ok() && nimbus.ok());
    lumen.addPort("Lumen Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);  // no input
    lumen.addPort("Lumen Private", SND_SEQ_PORT_CAP_WRITE);                          // not subscribable
    lumen.addPort("Lumen Hidden", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT);

    const auto list = currentMidiBackend()->destinations();
    std::vector<std::pair<int, int>> numbers;
    for (const auto& d : list) {
        std::printf("  destination \"%s\" (%s)\n", d->displayName().c_str(), d->identity().c_str());
        int c = -1, p = -1;
        ASSERT_EQ(std::sscanf(d->identity().c_str(), "%d:%d", &c, &p), 2) << d->identity();
        numbers.emplace_back(c, p);
        EXPECT_NE(c, 0) << "the System client";
        EXPECT_EQ(d->identity().find("Midi Through"), std::string::npos);
        EXPECT_EQ(d->identity().find("Brennick MIDI Player"), std::string::npos);
        EXPECT_EQ(d->displayName().find("Lumen Out"), std::string::npos);
        EXPECT_EQ(d->displayName().find("Lumen Private"), std::string::npos);
        EXPECT_EQ(d->displayName().find("Lumen Hidden"), std::string::npos);
    }
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));

    // The port name when it begins with the client name, else "client port".
    const struct {
        const AlsaSink& sink;
        const char* unique;
        const char* display;
    } cases[] = {{carrow, "Carrow:Carrow In", "Carrow In"},
                 {lumen, "Lumen:Lumen 2 Port", "Lumen 2 Port"},
                 {nimbus, "Nimbus:in", "Nimbus in"}};
    for (const auto& c : cases) {
        const std::string unique =
            std::to_string(c.sink.client()) + ":" + std::to_string(c.sink.port()) + " " + c.unique;
        auto it = std::find_if(list.begin(), list.end(), [&](const auto& d) { return d->identity() == unique; });
        ASSERT_NE(it, list.end()) << unique;
        EXPECT_EQ((*it)->displayName(), c.display);
    }
}

TEST(AlsaBackend, DenseFileTimingErrorStaysSmall)
{
    AlsaSink sink("Carrow", "Carrow In");
    SmfBuilder b(1, 480);
    auto& tempo = b.track();
    tempo.delta(0).tempo(500000).delta(960).tempo(350000).delta(960).tempo(750000).delta(0).endOfTrack();
    auto& notes = b.track();
    const int n = 200;  // 64th notes, three messages each: 3.4 s
    for (int i = 0; i < n; ++i)
        notes.delta(i == 0 ? 0 : 15)
            .noteOn(i % 16, 40 + i % 40, 90)
            .delta(0)
            .noteOn(i % 16, 80, 1)
            .delta(0)
            .noteOff(i % 16, 40 + i % 40);
    notes.delta(0).endOfTrack();
    // Ideal times: ticks 15*i; 0.5 s per beat up to tick 960, 0.35 to 1920, then 0.75.
    const auto ideal = [](int tick) {
        if (tick <= 960)
            return tick / 480.0 * 0.5;
        if (tick <= 1920)
            return 1.0 + (tick - 960) / 480.0 * 0.35;
        return 1.7 + (tick - 1920) / 480.0 * 0.75;
    };
    MusicPlayer player = play(b.bytes(), "Carrow In");
    ASSERT_TRUE(sink.waitForCount(std::size_t(3 * n), 30.0)) << sink.count();
    const auto events = sink.events();
    ASSERT_EQ(events.size(), std::size_t(3 * n));
    std::vector<double> errors;
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) {
            const SeqEvent& e = events[std::size_t(3 * i + k)];
            ASSERT_EQ(e.bytes.size(), 3u);
            EXPECT_EQ(e.bytes[0] & 0x0F, i % 16);
            errors.push_back(std::abs(secondsBetween(events[0], e) - ideal(15 * i)));
        }
    }
    std::sort(errors.begin(), errors.end());
    const double p99 = errors[errors.size() * 99 / 100];
    std::printf("  %zu events: timing error max %.0f us, p99 %.0f us, median %.0f us\n", errors.size(),
                errors.back() * 1e6, p99 * 1e6, errors[errors.size() / 2] * 1e6);
    EXPECT_LT(p99, kToleranceSeconds);
    EXPECT_EQ(sink.overruns(), 0u);
    DisposeMusicPlayer(player);
}

TEST(AlsaBackend, MoreEventsAheadThanTheKernelPoolHoldsAllArriveInOrder)
{
    AlsaSink sink("Carrow", "Carrow In");
    SmfBuilder b(0, 1000);  // 1000 ticks per beat at 120 bpm: a tick is half a millisecond
    auto& t = b.track();
    const int n = 6000;  // 3 per tick over 1 s: three times what the kernel holds for a client
    for (int i = 0; i < n; ++i)
        t.delta(i % 3 == 0 && i > 0 ? 1 : 0).controller(i % 16, i % 120, (i / 16) % 128);
    t.delta(0).endOfTrack();
    MusicPlayer player = play(b.bytes(), "Carrow In");
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 5.0), 0);
    sink.waitForQuiet(0.1, 2.0);
    const auto events = sink.events();
    ASSERT_EQ(events.size(), std::size_t(n));
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(events[std::size_t(i)].bytes,
                  (Bytes{std::uint8_t(0xB0 | (i % 16)), std::uint8_t(i % 120), std::uint8_t((i / 16) % 128)}))
            << "event " << i;
    EXPECT_NEAR(secondsBetween(events.front(), events.back()), (n / 3 - 1) * 0.0005, kToleranceSeconds);
    EXPECT_EQ(sink.overruns(), 0u);
    DisposeMusicPlayer(player);
}

// The bytes a hardware synth would get: through a VirMIDI port to its raw MIDI device.
TEST(AlsaBackend, SixtyFourKilobyteDumpArrivesWholeAsRawBytes)
{
    std::string virmidi;
    for (const auto& d : currentMidiBackend()->destinations())
        if (d->displayName().find("VirMIDI 0-0") != std::string::npos)
            virmidi = d->displayName();
    ASSERT_FALSE(virmidi.empty()) << "no VirMIDI port";
    RawMidiReader raw("hw:0,0");
    ASSERT_TRUE(raw.ok());
    const test::DumpBetweenNotes file = test::dumpBetweenNotes();
    MusicPlayer player = play(file.song, virmidi, 60000);
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 3.0), 0);
    raw.waitForQuiet(0.2, 3.0);
    const Bytes got = raw.bytes();
    EXPECT_EQ(got.size(), file.wire.size());
    const auto firstDifference = std::mismatch(got.begin(), got.end(), file.wire.begin(), file.wire.end());
    EXPECT_TRUE(got == file.wire) << "raw bytes differ from byte " << (firstDifference.first - got.begin());
    DisposeMusicPlayer(player);
}

TEST(AlsaBackend, ContinuationAndEscapePacketsKeepTheirBytes)
{
    AlsaSink sink("Carrow", "Carrow In");
    SmfBuilder b(0, 96);
    b.track()
        .delta(0)
        .sysex({0x3E, 0x01})  // no F7: continued below
        .delta(10)
        .sysexF7({0x02, 0xF7})
        .delta(10)
        .sysexF7({0xF3, 0x05})  // an escape holding a song select
        .delta(0)
        .endOfTrack();
    MusicPlayer player = play(b.bytes(), "Carrow In");
    ASSERT_TRUE(sink.waitForCount(3, 5.0));
    sink.waitForQuiet(0.1, 1.0);
    const auto events = sink.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].bytes, (Bytes{0xF0, 0x3E, 0x01}));
    EXPECT_EQ(events[1].bytes, (Bytes{0x02, 0xF7}));
    EXPECT_EQ(events[2].type, SND_SEQ_EVENT_SONGSEL);
    EXPECT_EQ(events[2].bytes, (Bytes{0xF3, 0x05}));
    DisposeMusicPlayer(player);
}
