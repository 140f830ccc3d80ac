// The real player with a sequence file in its resource directory: played at launch, with the
// settings already loaded, so "Quit on stop" ends the program after it.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <string>

#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;

namespace {

// Three notes with keys 70, 71, 72, a quarter note apart; placed in a subfolder of the resources.
void writeResourceSequence(const PlayerProcess& player)
{
    SmfBuilder b(1, 96);
    b.track().delta(0).tempo(500000).delta(0).endOfTrack();
    auto& t = b.track();
    for (int key = 70; key <= 72; ++key)
        t.delta(key == 70 ? 0 : 72).noteOn(0, key, 100).delta(24).noteOff(0, key);
    t.delta(0).endOfTrack();
    std::filesystem::create_directories(player.resourceDirectory() + "/songs");
    writeFile(player.resourceDirectory() + "/songs/demo.mid", b.bytes());
}

std::vector<int> noteOnKeys(const JackSink& sink)
{
    std::vector<int> keys;
    for (const auto& e : sink.events())
        if (e.bytes.size() == 3 && (e.bytes[0] & 0xF0) == 0x90 && e.bytes[2] != 0)
            keys.push_back(e.bytes[1]);
    return keys;
}

class ResourceSequence : public ::testing::TestWithParam<int> {};

// Played at launch with no file given; with "Quit on stop" on, the program ends after it.
TEST_P(ResourceSequence, PlaysAtLaunchWithoutAnyFileGivenAndQuitsAfterItWhenSet)
{
    const int quitOnStop = GetParam();
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink sink("Carrow");
    ASSERT_TRUE(sink.ok());
    PlayerProcess player;
    writeText(player.settingsPath(),
              settingsText("<key>Quit on stop</key><integer>" + std::to_string(quitOnStop) + "</integer>"));
    writeResourceSequence(player);
    player.start({});
    if (quitOnStop) {
        EXPECT_EQ(player.waitForExit(15.0), 1) << player.standardError();
    } else {
        ASSERT_TRUE(sink.waitForCount(6, 10.0)) << player.standardError();
        EXPECT_TRUE(player.running());
        player.sendSignal(SIGTERM);
        EXPECT_EQ(player.waitForExit(10.0), 0);
    }
    EXPECT_EQ(noteOnKeys(sink), (std::vector<int>{70, 71, 72}));
}

INSTANTIATE_TEST_SUITE_P(QuitOnStop, ResourceSequence, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

}  // namespace
