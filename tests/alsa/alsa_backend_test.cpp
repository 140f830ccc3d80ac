// What is the ALSA sequencer's own, on the machine this runs on (a small virtual machine where the
// kernel has no sequencer): which ports are destinations, the kernel's event pool, events as the
// sequencer carries them, raw bytes through a VirMIDI port. The playback rules both backends share
// are in the playback contract suite.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "services/midi_connection.h"
#include "services/music_services.h"
#include "tests/alsa/alsa_test_sink.h"
#include "tests/support/call_layer.h"
#include "tests/support/smf_builder.h"

using namespace brennick;
using brennick::test::AlsaSink;
using brennick::test::destinationNamed;
using brennick::test::loadSequence;
using brennick::test::RawMidiReader;
using brennick::test::SeqEvent;
using brennick::test::SmfBuilder;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Timer ticks under emulation come late by a few milliseconds now and then.
constexpr double kToleranceSeconds = 0.015;

void sleepSeconds(double s)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

MusicSequence load(const Bytes& bytes)
{
    MusicSequence sequence = nullptr;
    EXPECT_EQ(loadSequence(bytes, &sequence), 0);
    return sequence;
}

// Loads `bytes` and starts it on the destination named `name`, the way the player does.
MusicPlayer play(const Bytes& bytes, const std::string& name, SInt32 maxSysExSpeed = 60000)
{
    MusicSequence sequence = load(bytes);
    const long index = destinationNamed(name);
    EXPECT_GE(index, 0) << name;
    const MIDIEndpointRef destination = MIDIGetDestination(ItemCount(std::max(0L, index)));
    EXPECT_EQ(MIDIObjectSetIntegerProperty(destination, kMIDIPropertyMaxSysExSpeed, maxSysExSpeed), 0);
    EXPECT_EQ(MusicSequenceSetMIDIEndpoint(sequence, destination), 0);
    MusicPlayer player = nullptr;
    EXPECT_EQ(NewMusicPlayer(&player), 0);
    EXPECT_EQ(MusicPlayerSetSequence(player, sequence), 0);
    EXPECT_EQ(MusicPlayerStart(player), 0);
    return player;
}

Bytes concat(const std::vector<SeqEvent>& events, int type = SND_SEQ_EVENT_SYSEX)
{
    Bytes all;
    for (const auto& e : events)
        if (e.type == type)
            all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    return all;
}

double secondsBetween(const SeqEvent& a, const SeqEvent& b)
{
    return double(b.ns - a.ns) / 1e9;
}

int threadCount()
{
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
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

TEST(AlsaBackend, DestinationsAreReadAfreshSoHotPlugWorks)
{
    ASSERT_EQ(destinationNamed("Carrow In"), -1);
    auto carrow = std::make_unique<AlsaSink>("Carrow", "Carrow In");  // plugged in after launch
    const long index = destinationNamed("Carrow In");
    ASSERT_GE(index, 0);
    const MIDIEndpointRef ref = MIDIGetDestination(ItemCount(index));
    std::string name;
    EXPECT_EQ(MIDIObjectGetStringProperty(ref, kMIDIPropertyDisplayName, &name), 0);

    carrow.reset();  // unplugged
    EXPECT_EQ(destinationNamed("Carrow In"), -1);
    EXPECT_NE(MIDIObjectGetStringProperty(ref, kMIDIPropertyDisplayName, &name), 0);

    // Another client that takes the same number is not the old destination.
    AlsaSink other("Other", "Carrow In");
    MIDIGetNumberOfDestinations();
    EXPECT_NE(MIDIObjectGetStringProperty(ref, kMIDIPropertyDisplayName, &name), 0);
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

TEST(AlsaBackend, SixtyFourKilobyteDumpArrivesWholeAsEventsAndAsRawBytes)
{
    Bytes dump(65536);
    for (std::size_t i = 0; i < dump.size(); ++i)
        dump[i] = std::uint8_t(i * 7 % 128);
    dump.back() = 0xF7;
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(1, 33, 99).delta(0).sysex(dump).delta(0).noteOff(1, 33).delta(0).endOfTrack();
    Bytes expected{0xF0};
    expected.insert(expected.end(), dump.begin(), dump.end());

    {
        AlsaSink sink("Carrow", "Carrow In");
        MusicPlayer player = play(b.bytes(), "Carrow In", 60000);
        EXPECT_EQ(MusicPlayerWaitUntilSent(player, 3.0), 0);
        sink.waitForQuiet(0.1, 3.0);
        const Bytes got = concat(sink.events());
        const auto firstDifference = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
        EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size() << ", differing from byte "
                                     << (firstDifference.first - got.begin()) << "; " << sink.overruns() << " overruns";
        DisposeMusicPlayer(player);
    }

    // The bytes a hardware synth would get: through a VirMIDI port to its raw MIDI device.
    std::string virmidi;
    for (const auto& d : currentMidiBackend()->destinations())
        if (d->displayName().find("VirMIDI 0-0") != std::string::npos)
            virmidi = d->displayName();
    ASSERT_FALSE(virmidi.empty()) << "no VirMIDI port";
    RawMidiReader raw("hw:0,0");
    ASSERT_TRUE(raw.ok());
    MusicPlayer player = play(b.bytes(), virmidi, 60000);
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 3.0), 0);
    raw.waitForQuiet(0.2, 3.0);
    // At equal times, file order: the note before the dump, the note-off after it.
    Bytes all{0x91, 33, 99};
    all.insert(all.end(), expected.begin(), expected.end());
    all.insert(all.end(), {0x81, 33, 0x40});
    const Bytes got = raw.bytes();
    EXPECT_EQ(got.size(), all.size());
    const auto firstDifference = std::mismatch(got.begin(), got.end(), all.begin(), all.end());
    EXPECT_TRUE(got == all) << "raw bytes differ from byte " << (firstDifference.first - got.begin());
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

TEST(AlsaBackend, ANewcomerTakingARemovedDestinationsNumberGetsNothing)
{
    auto sink = std::make_unique<AlsaSink>("Carrow", "Carrow In");
    SmfBuilder b(0, 96);
    auto& t = b.track();
    for (int i = 0; i < 40; ++i)
        t.delta(i == 0 ? 0 : 12).noteOn(0, 60, 100).delta(12).noteOff(0, 60);
    t.delta(0).endOfTrack();  // 10 s; only the start is played
    MusicPlayer player = play(b.bytes(), "Carrow In");
    ASSERT_TRUE(sink->waitForCount(2, 5.0));
    sink.reset();  // the synth is unplugged
    // A newcomer that takes the same client number must not get the rest.
    AlsaSink newcomer("Newcomer", "Carrow In");
    MusicTimeStamp a = 0, c = 0;
    EXPECT_EQ(MusicPlayerGetTime(player, &a), 0);
    sleepSeconds(0.5);
    EXPECT_EQ(MusicPlayerGetTime(player, &c), 0);
    EXPECT_GT(c, a);  // the clock runs on, so the end is still detected
    EXPECT_EQ(newcomer.count(), 0u);
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 0.0), 0);  // nothing left to wait for
    EXPECT_EQ(MusicPlayerStop(player), 0);
    EXPECT_EQ(DisposeMusicPlayer(player), 0);
    EXPECT_EQ(newcomer.count(), 0u);
}

TEST(AlsaBackend, WaitUntilSentReturnsOnceTheLastEventHasLeft)
{
    AlsaSink sink("Carrow", "Carrow In");
    Bytes dump(600, 0x33);  // three pieces; the last, one byte long, leaves last
    dump.back() = 0xF7;
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(48).noteOff(0, 60).delta(0).sysex(dump).delta(0).endOfTrack();
    for (int round = 0; round < 5; ++round) {
        const std::size_t before = sink.events().size();
        MusicPlayer player = play(b.bytes(), "Carrow In");
        const auto begun = std::chrono::steady_clock::now();
        EXPECT_EQ(MusicPlayerWaitUntilSent(player, 1.0), 0);
        const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        DisposeMusicPlayer(player);  // a stop right away removes only what has not left yet
        EXPECT_GE(waited, 0.25 + 600.0 / 60000.0 - 0.01);
        sink.waitForQuiet(0.1, 2.0);
        const auto events = sink.events();
        const std::vector<SeqEvent> mine(events.begin() + long(before), events.end());
        Bytes expected{0xF0};
        expected.insert(expected.end(), dump.begin(), dump.end());
        EXPECT_EQ(concat(mine), expected) << "round " << round;
        EXPECT_EQ(concat(mine, SND_SEQ_EVENT_NOTEOFF), (Bytes{0x80, 60, 0x40})) << "round " << round;
    }
}

TEST(AlsaBackend, ManyStartStopCyclesUseOneClientAndDoNotGrow)
{
    AlsaSink sink("Carrow", "Carrow In");
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60).delta(0).endOfTrack();
    MusicSequence sequence = load(b.bytes());
    MusicSequenceSetMIDIEndpoint(sequence, MIDIGetDestination(ItemCount(destinationNamed("Carrow In"))));
    int threadsBefore = 0;
    for (int i = 0; i < 300; ++i) {  // more than the 255 stream tags
        MusicPlayer player = nullptr;
        ASSERT_EQ(NewMusicPlayer(&player), 0);
        ASSERT_EQ(MusicPlayerSetSequence(player, sequence), 0);
        ASSERT_EQ(MusicPlayerStart(player), 0) << "cycle " << i;
        ASSERT_EQ(MusicPlayerStop(player), 0);
        ASSERT_EQ(DisposeMusicPlayer(player), 0);
        if (i == 9)
            threadsBefore = threadCount();
    }
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(test::clientsNamed("Brennick MIDI Player").size(), 1u);
    sink.waitForQuiet(0.1, 2.0);
    // Each cycle's note-on may or may not have been due before its stop; each one that was is
    // followed by its note-off.
    const auto events = sink.events();
    int sounding = 0;
    for (const auto& e : events)
        sounding += e.type == SND_SEQ_EVENT_NOTEON ? 1 : e.type == SND_SEQ_EVENT_NOTEOFF ? -1 : 0;
    EXPECT_LE(sounding, 0);
    DisposeMusicSequence(sequence);
}
