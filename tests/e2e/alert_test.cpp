// The real player on a host without any MIDI destination: the alert comes up, a key press on it
// ends the program with status 1, and the settings file is left as it was.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/x_display.h"
#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;

namespace {

TEST(NoDeviceAlert, DismissedAlertEndsWithStatus1WithoutSaving)
{
    if (!programAvailable("Xvfb") || !programAvailable("xdotool"))
        GTEST_SKIP() << "needs Xvfb and xdotool (scripts/install-deps.sh test)";
    // A server with no client to play to; no ALSA sequencer is reachable on the test machines.
    JackTestServer server;
    ASSERT_TRUE(server.running());
    XDisplay display;
    ASSERT_TRUE(display.ok());

    PlayerProcess player;
    // Any save would rewrite this file in the player's own layout.
    const std::string settings = settingsText("<key>Quit on stop</key><integer>1</integer><key>Extra</key><true/>");
    writeText(player.settingsPath(), settings);
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60).delta(0).endOfTrack();
    const std::string song = player.root() + "/song.mid";
    writeFile(song, b.bytes());

    player.start({song}, display.playerEnvironment());
    // The player window, then the alert over it.
    const auto windows = display.waitForPlayerWindows(2, 20.0);
    ASSERT_EQ(windows.size(), 2u) << player.standardError();
    ASSERT_TRUE(player.running()) << "ended before the alert was answered";

    std::string alert;
    for (const std::string& id : windows)
        if (display.xdotool("getwindowgeometry " + id).find("450x450") == std::string::npos)
            alert = id;
    ASSERT_FALSE(alert.empty());
    ASSERT_TRUE(display.pressKeys(alert, "Return"));
    EXPECT_EQ(player.waitForExit(10.0), 1) << player.standardError();
    EXPECT_EQ(readText(player.settingsPath()), settings);
}

}  // namespace
