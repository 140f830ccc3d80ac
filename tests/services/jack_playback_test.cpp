// What is JACK's own: pretty names; and the call layer's handles and track lengths, which need no
// sink. The playback rules both backends share, JACK's fixed set of ports among them, are in the
// playback contract suite.
#include <gtest/gtest.h>

#include "services/music_services.h"
#include "tests/support/call_layer.h"
#include "tests/support/jack_environment.h"
#include "tests/support/smf_builder.h"

using namespace brennick;
using brennick::test::destinationNamed;
using brennick::test::jackServer;
using brennick::test::JackSink;
using brennick::test::loadSequence;
using brennick::test::SmfBuilder;

namespace {

JACK_SERVER_FOR_ALL_TESTS;

}  // namespace

TEST(JackPlayback, ServerIsUp)
{
    ASSERT_TRUE(jackServer() != nullptr && jackServer()->running()) << "jackd could not be started";
}

TEST(JackPlayback, DestinationsAreNamedByPrettyNameElseFullPortName)
{
    JackSink lumen2("synth-a", "in", std::string("Lumen 2 Port"));
    JackSink carrow("Carrow");
    ASSERT_TRUE(lumen2.ok() && carrow.ok());
    MIDIClientRef client = 0;
    EXPECT_EQ(MIDIClientCreate("Play Sequence", nullptr, nullptr, &client), 0);
    EXPECT_NE(client, 0u);
    EXPECT_GE(destinationNamed("Lumen 2 Port"), 0);
    EXPECT_GE(destinationNamed("Carrow:midi_in"), 0);
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
