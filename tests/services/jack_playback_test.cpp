// What is JACK's own: pretty names, frame-exact timing, one client with a fixed set of ports. The
// playback rules both backends share are in the playback contract suite.
#include <gtest/gtest.h>

#include <jack/jack.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "services/midi_service_thread.h"
#include "services/music_services.h"
#include "services/smf_reader.h"
#include "tests/support/call_layer.h"
#include "tests/support/jack_environment.h"
#include "tests/support/process_stats.h"
#include "tests/support/smf_builder.h"

using namespace brennick;
using brennick::test::destinationNamed;
using brennick::test::jackServer;
using brennick::test::JackSink;
using brennick::test::loadSequence;
using brennick::test::ReceivedEvent;
using brennick::test::residentKilobytes;
using brennick::test::SmfBuilder;
using brennick::test::threadCount;
using Bytes = std::vector<std::uint8_t>;

namespace {

JACK_SERVER_FOR_ALL_TESTS;


// Loads `bytes` and starts it on the destination named `name`, the way the player does.
MusicPlayer play(const Bytes& bytes, const std::string& name, SInt32 maxSysExSpeed = 60000)
{
    MusicSequence sequence = nullptr;
    EXPECT_EQ(loadSequence(bytes, &sequence), 0);
    const long index = destinationNamed(name);
    EXPECT_GE(index, 0) << name;
    const MIDIEndpointRef destination = MIDIGetDestination(ItemCount(index));
    EXPECT_EQ(MIDIObjectSetIntegerProperty(destination, kMIDIPropertyMaxSysExSpeed, maxSysExSpeed), 0);
    EXPECT_EQ(MusicSequenceSetMIDIEndpoint(sequence, destination), 0);
    MusicPlayer player = nullptr;
    EXPECT_EQ(NewMusicPlayer(&player), 0);
    EXPECT_EQ(MusicPlayerSetSequence(player, sequence), 0);
    EXPECT_EQ(MusicPlayerStart(player), 0);
    return player;
}


}  // namespace

TEST(JackPlayback, ServerIsUp)
{
    ASSERT_TRUE(jackServer() != nullptr && jackServer()->running()) << "jackd could not be started";
}

TEST(JackPlayback, DestinationsAreListedWithPrettyNamesAndProperties)
{
    JackSink lumen2("synth-a", "in", std::string("Lumen 2 Port"));
    JackSink carrow("Carrow");
    ASSERT_TRUE(lumen2.ok() && carrow.ok());
    MIDIClientRef client = 0;
    EXPECT_EQ(MIDIClientCreate("Play Sequence", nullptr, nullptr, &client), 0);
    EXPECT_NE(client, 0u);

    EXPECT_GE(destinationNamed("Lumen 2 Port"), 0);
    EXPECT_GE(destinationNamed("Carrow:midi_in"), 0);  // no pretty name: the full port name
    const MIDIEndpointRef carrowRef = MIDIGetDestination(ItemCount(destinationNamed("Carrow:midi_in")));
    SInt32 speed = 0;
    EXPECT_EQ(MIDIObjectGetIntegerProperty(carrowRef, kMIDIPropertyMaxSysExSpeed, &speed), 0);
    EXPECT_EQ(speed, 3125);
    EXPECT_EQ(MIDIObjectSetIntegerProperty(carrowRef, kMIDIPropertyMaxSysExSpeed, 60000), 0);
    EXPECT_EQ(MIDIObjectGetIntegerProperty(carrowRef, kMIDIPropertyMaxSysExSpeed, &speed), 0);
    EXPECT_EQ(speed, 60000);
    EXPECT_EQ(MIDIGetDestination(1000), 0u);

    // Names are those of the latest listing: once it no longer has the destination, nor does its ref.
    carrow.close();
    MIDIGetNumberOfDestinations();
    std::string name;
    EXPECT_NE(MIDIObjectGetStringProperty(carrowRef, kMIDIPropertyDisplayName, &name), 0);
    EXPECT_EQ(destinationNamed("Carrow:midi_in"), -1);
}

TEST(JackPlayback, FormatOneFileArrivesInOrderAtItsTempoMappedFrames)
{
    JackSink sink("Carrow");
    ASSERT_TRUE(sink.ok());
    SmfBuilder b(1, 96);
    b.track().delta(0).tempo(500000).delta(192).tempo(400000).delta(96).tempo(1000000).delta(0).endOfTrack();
    b.track()
        .delta(0)
        .sysex({0x3E, 0x13, 0x00, 0x01, 0xF7})
        .delta(0)
        .programChange(0, 5)
        .delta(48)
        .noteOn(0, 60, 100)
        .delta(48)
        .running({64, 90})  // running status: 90 40 5A
        .delta(96)
        .running({60, 0})  // velocity 0: a note-off
        .delta(96)
        .controller(0, 7, 100)
        .delta(96)
        .noteOff(0, 64)
        .delta(0)
        .endOfTrack();
    MusicPlayer player = play(b.bytes(), "Carrow:midi_in");
    ASSERT_TRUE(sink.waitForCount(7, 5.0));
    sink.waitForQuiet(0.1, 2.0);
    const auto events = sink.events();
    ASSERT_EQ(events.size(), 7u);
    const std::vector<Bytes> expected = {{0xF0, 0x3E, 0x13, 0x00, 0x01, 0xF7},
                                         {0xC0, 5},
                                         {0x90, 60, 100},
                                         {0x90, 64, 90},
                                         {0x80, 60, 0x40},
                                         {0xB0, 7, 100},
                                         {0x80, 64, 0x40}};
    // Ticks 0, 0, 48, 96, 192, 288, 384 at 96 per quarter: 0.5 s per beat up to tick 192, then
    // 0.4 s per beat to tick 288, then 1 s per beat.
    const std::vector<double> seconds = {0, 0, 0.25, 0.5, 1.0, 1.4, 2.4};
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].bytes, expected[i]) << "event " << i;
        EXPECT_EQ(std::uint32_t(events[i].frame - events[0].frame), std::uint32_t(std::llround(seconds[i] * 48000)))
            << "event " << i;
    }
    MusicTimeStamp beats = 0;
    EXPECT_EQ(MusicPlayerGetTime(player, &beats), 0);
    EXPECT_GT(beats, 4.0);
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 1.0), 0);
    EXPECT_EQ(DisposeMusicPlayer(player), 0);
}

TEST(JackPlayback, ThousandStartStopCyclesUseOneClientAndDoNotGrow)
{
    JackSink sink("Carrow");
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60).delta(0).endOfTrack();
    MusicSequence sequence = nullptr;
    loadSequence(b.bytes(), &sequence);
    MusicSequenceSetMIDIEndpoint(sequence, MIDIGetDestination(ItemCount(destinationNamed("Carrow:midi_in"))));

    long rssBefore = 0;
    int threadsBefore = 0;
    for (int i = 0; i < 1000; ++i) {
        MusicPlayer player = nullptr;
        ASSERT_EQ(NewMusicPlayer(&player), 0);
        ASSERT_EQ(MusicPlayerSetSequence(player, sequence), 0);
        ASSERT_EQ(MusicPlayerStart(player), 0) << "cycle " << i;
        ASSERT_EQ(MusicPlayerStop(player), 0);
        ASSERT_EQ(DisposeMusicPlayer(player), 0);
        runOnMidiServiceThread([] {});  // each cycle's stream has reached the server
        if (i == 99) {  // after warm-up
            rssBefore = residentKilobytes();
            threadsBefore = threadCount();
        }
    }
    EXPECT_EQ(threadCount(), threadsBefore);
#if !defined(__SANITIZE_ADDRESS__)  // the address sanitizer holds freed memory back on purpose
    EXPECT_LT(residentKilobytes() - rssBefore, 2048) << "resident memory grew";
#endif

    // One client of ours on the server, whatever the number of requests.
    jack_client_t* probe = jack_client_open("probe-clients", JackNoStartServer, nullptr);
    ASSERT_NE(probe, nullptr);
    const char** ports = jack_get_ports(probe, "^Brennick MIDI Player:", nullptr, 0);
    int ours = 0;
    for (const char** p = ports; p != nullptr && *p != nullptr; ++p)
        ++ours;
    jack_free(ports);
    jack_client_close(probe);
    EXPECT_GE(ours, 1);
    EXPECT_LE(ours, 8);  // the fixed set of output ports, reused
    DisposeMusicSequence(sequence);
}

TEST(JackPlayback, InvalidHandlesFailWithAStatus)
{
    MusicTimeStamp t = 0;
    EXPECT_NE(MusicPlayerGetTime(nullptr, &t), 0);
    EXPECT_NE(MusicPlayerStop(nullptr), 0);
    MusicPlayer player = nullptr;
    NewMusicPlayer(&player);
    EXPECT_NE(MusicPlayerGetTime(player, &t), 0);  // no sequence yet
    EXPECT_NE(MusicPlayerStart(player), 0);
    DisposeMusicPlayer(player);
    EXPECT_NE(MusicPlayerGetTime(player, &t), 0);  // disposed
    EXPECT_NE(DisposeMusicPlayer(player), 0);
    EXPECT_NE(MusicSequenceSetMIDIEndpoint(nullptr, 1), 0);

    MusicSequence sequence = nullptr;
    NewMusicSequence(&sequence);
    UInt32 count = 99;
    EXPECT_EQ(MusicSequenceGetTrackCount(sequence, &count), 0);
    EXPECT_EQ(count, 0u);
    MusicTrack track = nullptr;
    EXPECT_NE(MusicSequenceGetIndTrack(sequence, 0, &track), 0);
    EXPECT_NE(MusicSequenceSetMIDIEndpoint(sequence, 0), 0);
    const std::string missing = "/nonexistent/file.mid";
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(missing.data()),
                                                           CFIndex(missing.size()), false);
    EXPECT_NE(MusicSequenceFileLoad(sequence, url, 0, 0), 0);
    CFRelease(url);
    EXPECT_EQ(CFURLCreateFromFileSystemRepresentation(nullptr, nullptr, 3, false), nullptr);
    DisposeMusicSequence(sequence);
}

TEST(JackPlayback, TrackLengthsInBeats)
{
    SmfBuilder b(1, 480);
    b.track().delta(0).tempo(600000).delta(1920).endOfTrack();      // end-of-track at 4 beats
    b.track().delta(240).noteOn(0, 1, 1).delta(720).noteOff(0, 1);  // no end-of-track: 2 beats
    MusicSequence sequence = nullptr;
    loadSequence(b.bytes(), &sequence);
    UInt32 count = 0;
    ASSERT_EQ(MusicSequenceGetTrackCount(sequence, &count), 0);
    ASSERT_EQ(count, 2u);
    const double expected[] = {4.0, 2.0};
    for (UInt32 i = 0; i < count; ++i) {
        MusicTrack track = nullptr;
        ASSERT_EQ(MusicSequenceGetIndTrack(sequence, i, &track), 0);
        MusicTimeStamp length = 0;
        UInt32 size = sizeof length;
        ASSERT_EQ(MusicTrackGetProperty(track, kSequenceTrackProperty_TrackLength, &length, &size), 0);
        EXPECT_DOUBLE_EQ(length, expected[i]);
        UInt32 small = 4;
        EXPECT_NE(MusicTrackGetProperty(track, kSequenceTrackProperty_TrackLength, &length, &small), 0);
    }
    DisposeMusicSequence(sequence);
}
