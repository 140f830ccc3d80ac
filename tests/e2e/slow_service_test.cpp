// The real program beside a JACK server that is slow to answer (a stale or locked metadata
// database makes every client open and property read wait for seconds): the window keeps
// answering, a second launch is taken at once, the file plays once JACK answers, and the player
// ends promptly when asked.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/session_bus.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::uint8_t> noteFor(std::uint8_t modelByte, std::uint8_t key)
{
    SmfBuilder b(0, 96);
    b.track().delta(0).sysex({0x3E, modelByte, 0xF7}).delta(0).noteOn(0, key, 100).delta(48).noteOff(0, key);
    b.track().delta(0).endOfTrack();
    return b.bytes();
}

// The player with libjack made slow by the given seconds for a client open and a property read.
std::map<std::string, std::string> slowJack(const JackTestServer& server, const std::string& bus, double open,
                                            double property)
{
    return {{"JACK_DEFAULT_SERVER", server.name()},
            {"DBUS_SESSION_BUS_ADDRESS", bus},
            {"LD_PRELOAD", BRENNICK_BINARY_DIR "/tests/support/brennick_slow_jack.so"},
            {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"},
            {"BRENNICK_TEST_JACK_OPEN_DELAY", std::to_string(open)},
            {"BRENNICK_TEST_JACK_PROPERTY_DELAY", std::to_string(property)}};
}

}  // namespace

TEST(SlowMidiService, TheWindowAnswersASecondLaunchIsTakenAndTheFilePlaysOnceJackAnswers)
{
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink lumen("synth-1", "in", std::string("Lumen Port"));
    JackSink carrow("synth-2", "in", std::string("Carrow"));
    SessionBus bus;
    ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";

    PlayerProcess player;
    const std::string first = player.root() + "/first.mid";
    const std::string second = player.root() + "/second.mid";
    writeFile(first, noteFor(0x00, 60));   // Lumen
    writeFile(second, noteFor(0x13, 62));  // Carrow
    player.start({first}, slowJack(server, bus.address(), 3.0, 1.0));

    // The media controls answer from the window's thread: while JACK keeps the player waiting,
    // every question is answered at once.
    ASSERT_TRUE(waitFor([&] { return bus.playbackStatus().find("string") != std::string::npos; }, 5.0))
        << player.standardError();
    double slowest = 0.0;
    for (const auto from = Clock::now(); secondsSince(from) < 3.0;) {
        const auto asked = Clock::now();
        ASSERT_NE(bus.playbackStatus().find("string"), std::string::npos);
        slowest = std::max(slowest, secondsSince(asked));
    }
    EXPECT_LT(slowest, 0.1) << "the window's thread waited on JACK";

    // A second launch is acknowledged at once; its file replaces the first and plays once JACK
    // has answered (the client open, then a property read per destination).
    const auto launched = Clock::now();
    EXPECT_EQ(player.runSecondLaunch({second}, 5.0), 0);
    EXPECT_LT(secondsSince(launched), 1.0);
    ASSERT_TRUE(carrow.waitForCount(2, 20.0)) << player.standardError();
    EXPECT_EQ(lumen.count(), 0u);

    // Quit is honoured at once even while a listing waits on JACK (the Send To menu asks for
    // one whenever it opens; a new request does too).
    EXPECT_EQ(player.runSecondLaunch({first}, 5.0), 0);
    const auto asked = Clock::now();
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(5.0), 0) << player.standardError();
    EXPECT_LT(secondsSince(asked), 1.0);
}

TEST(SlowMidiService, ListingAsksJackOnceWhetherOrNotAServerAnswers)
{
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink carrow("synth-2", "in", std::string("Carrow"));
    PlayerProcess player;
    const std::string log = player.root() + "/opens.log";
    for (const std::string& serverName : {server.name(), std::string("brennick-no-such-server")}) {
        std::remove(log.c_str());
        const LaunchResult listed =
            player.runLaunch({"--list"}, {{"JACK_DEFAULT_SERVER", serverName},
                                          {"LD_PRELOAD", BRENNICK_BINARY_DIR "/tests/support/brennick_slow_jack.so"},
                                          {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                                          {"BRENNICK_TEST_JACK_OPEN_LOG", log}});
        EXPECT_EQ(listed.status, 0) << listed.standardError;
        const std::vector<std::uint8_t> opens = readFile(log);
        EXPECT_EQ(std::count(opens.begin(), opens.end(), '\n'), 1) << serverName;
    }
}
