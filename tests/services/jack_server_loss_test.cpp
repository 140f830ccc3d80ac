// The JACK server going away mid-playback: nothing crashes or hangs, the clock runs on, and the
// next request finds a server again when one is back.
#include <gtest/gtest.h>

#include <cstdio>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "services/music_services.h"
#include "tests/support/call_layer.h"
#include "tests/support/jack_test_server.h"
#include "tests/support/smf_builder.h"

using namespace brennick;
using brennick::test::JackSink;
using brennick::test::JackTestServer;
using brennick::test::loadSequence;
using brennick::test::SmfBuilder;

TEST(JackServerLoss, PlaybackOutlivesTheServer)
{
    auto server = std::make_unique<JackTestServer>();
    ASSERT_TRUE(server->running());
    auto sink = std::make_unique<JackSink>("Carrow");
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(960).noteOff(0, 60).delta(0).endOfTrack();

    MusicSequence sequence = nullptr;
    loadSequence(b.bytes(), &sequence);
    ASSERT_EQ(MIDIGetNumberOfDestinations(), 1u);
    MusicSequenceSetMIDIEndpoint(sequence, MIDIGetDestination(0));
    MusicPlayer player = nullptr;
    NewMusicPlayer(&player);
    MusicPlayerSetSequence(player, sequence);
    ASSERT_EQ(MusicPlayerStart(player), 0);
    ASSERT_TRUE(sink->waitForCount(1, 5.0));

    sink.reset();
    server->kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    MusicTimeStamp a = 0, c = 0;
    EXPECT_EQ(MusicPlayerGetTime(player, &a), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(MusicPlayerGetTime(player, &c), 0);
    EXPECT_GT(c, a);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(MusicPlayerWaitUntilSent(player, 1.0), 0);
    EXPECT_EQ(MusicPlayerStop(player), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_EQ(MIDIGetNumberOfDestinations(), 0u);

    // A server that comes back (under the same name) is found at the next request, at once. (The
    // sink lives in this process too, so it may only join the new server once the old client has
    // left: libjack keeps one server's state per process while any client is open.)
    server = std::make_unique<JackTestServer>();
    ASSERT_TRUE(server->running());
    JackSink again("Carrow");
    const auto requested = std::chrono::steady_clock::now();
    EXPECT_EQ(MIDIGetNumberOfDestinations(), 1u);
    MusicSequenceSetMIDIEndpoint(sequence, MIDIGetDestination(0));
    EXPECT_EQ(MusicPlayerStart(player), 0);
    const double requestSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - requested).count();
    std::printf("  first request after the restart: %.3f s\n", requestSeconds);
    EXPECT_LT(requestSeconds, 1.0);
    EXPECT_TRUE(again.waitForCount(1, 5.0));

    DisposeMusicPlayer(player);
    DisposeMusicSequence(sequence);
}
