// How the real player ends and what it leaves in its settings file: the automatic quit at the end
// of playback (status 1, only after everything it sent has left), a termination signal and the
// Quit item (status 0), each saving the option. Where the file goes, and what a save keeps, is the
// settings suite's (tests/app).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "tests/e2e/x_display.h"
#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Bytes = std::vector<std::uint8_t>;

namespace {

// The option, beside a key the player does not know, which each save keeps.
std::string settingsText(int quitOnStop)
{
    return brennick::test::settingsText("<key>Extra</key><string>kept at each save</string><key>Quit on stop</key>"
                                        "<integer>" +
                                        std::to_string(quitOnStop) + "</integer>");
}

// Written by a save over the test's own text: the value, and the key the player does not know kept.
void expectSaved(const std::string& path, int quitOnStop)
{
    const std::string text = readText(path);
    EXPECT_NE(text, settingsText(quitOnStop)) << "not saved";
    EXPECT_NE(text.find("<key>Quit on stop</key>"), std::string::npos) << text;
    EXPECT_NE(text.find("<integer>" + std::to_string(quitOnStop) + "</integer>"), std::string::npos) << text;
    EXPECT_NE(text.find("<key>Extra</key>"), std::string::npos) << text;
}

std::string writeSong(const PlayerProcess& player, const Bytes& bytes)
{
    const std::string path = player.root() + "/song.mid";
    writeFile(path, bytes);
    return path;
}

// Ten seconds of notes: the player is still playing whenever the test ends it.
Bytes longSong()
{
    SmfBuilder b(0, 96);
    auto& t = b.track();
    for (int i = 0; i < 20; ++i)
        t.delta(i == 0 ? 0 : 48).noteOn(0, 60, 100).delta(48).noteOff(0, 60);
    t.delta(0).endOfTrack();
    return b.bytes();
}

TEST(AutoQuit, EndOfPlaybackSavesAndExitsWith1AfterTheLastSysExHasLeft)
{
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink sink("Carrow");
    ASSERT_TRUE(sink.ok());
    PlayerProcess player;
    writeText(player.settingsPath(), settingsText(1));

    // A note, then at the very end of the file a 60000-byte dump: at 60000 bytes per second it
    // is still leaving for about a second after the schedule's end.
    Bytes dump(60000);
    for (std::size_t i = 0; i < dump.size(); ++i)
        dump[i] = std::uint8_t(i * 13 % 128);
    dump.front() = 0x3E;
    dump.back() = 0xF7;
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60).delta(0).sysex(dump).delta(0).endOfTrack();
    player.start({writeSong(player, b.bytes())});

    EXPECT_EQ(player.waitForExit(20.0), 1) << player.standardError();
    // The process has gone: whatever the sink holds now is all it will ever get.
    Bytes sysex;
    for (const auto& e : sink.events())
        if (!(e.bytes.size() == 3 && (e.bytes[0] & 0xE0) == 0x80))
            sysex.insert(sysex.end(), e.bytes.begin(), e.bytes.end());
    Bytes expected{0xF0};
    expected.insert(expected.end(), dump.begin(), dump.end());
    EXPECT_EQ(sysex.size(), expected.size());
    EXPECT_TRUE(sysex == expected) << "the dump was cut short or damaged";
    EXPECT_EQ(sink.overflowed(), 0u);
    expectSaved(player.settingsPath(), 1);
}

TEST(AutoQuit, WithTheOptionOffThePlayerStaysOpenAfterTheEnd)
{
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink sink("Carrow");
    ASSERT_TRUE(sink.ok());
    PlayerProcess player;
    writeText(player.settingsPath(), settingsText(0));
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(24).noteOff(0, 60).delta(0).endOfTrack();
    player.start({writeSong(player, b.bytes())});
    ASSERT_TRUE(sink.waitForCount(2, 10.0)) << sink.count() << " events arrived\n" << player.standardError();
    // The end is a quarter of a second in; a player that quit would be gone well within this.
    EXPECT_EQ(player.waitForExit(1.5), -1) << "ended by itself with the option off";
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(10.0), 0);
    expectSaved(player.settingsPath(), 0);
}

// The ways to quit besides the end of playback: a termination signal, or Ctrl+Q on the window.
struct Quitting {
    const char* name;
    int signal;  // 0: Ctrl+Q
};

class Quit : public ::testing::TestWithParam<Quitting> {};

TEST_P(Quit, EndsWithStatus0AndSaves)
{
    const bool key = GetParam().signal == 0;
    if (key && (!programAvailable("Xvfb") || !programAvailable("xdotool")))
        GTEST_SKIP() << "needs Xvfb and xdotool (scripts/install-deps.sh test)";
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink sink("Carrow");
    ASSERT_TRUE(sink.ok());
    std::optional<XDisplay> display;
    if (key) {
        ASSERT_TRUE(display.emplace().ok());
    }
    PlayerProcess player;
    player.start({writeSong(player, longSong())},
                 key ? display->playerEnvironment() : std::map<std::string, std::string>{});
    // A first launch creates the settings file while launching: once it is there the player runs.
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(player.settingsPath()); }, 20.0))
        << player.standardError();
    ASSERT_TRUE(sink.waitForCount(1, 10.0));
    // Replaced behind the player's back, keeping the value (the launch may still be about to read
    // the file): only a save at the end writes it in the player's own layout.
    writeText(player.settingsPath(), settingsText(0));
    if (key) {
        const auto windows = display->waitForPlayerWindows(1, 10.0);
        ASSERT_EQ(windows.size(), 1u);
        ASSERT_TRUE(display->pressKeys(windows.front(), "ctrl+q"));
    } else {
        player.sendSignal(GetParam().signal);
    }
    EXPECT_EQ(player.waitForExit(10.0), 0) << player.standardError();
    expectSaved(player.settingsPath(), 0);
}

INSTANTIATE_TEST_SUITE_P(Ways, Quit,
                         ::testing::Values(Quitting{"SIGTERM", SIGTERM}, Quitting{"SIGINT", SIGINT},
                                           Quitting{"CtrlQ", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

class TerminationSignal : public ::testing::TestWithParam<int> {};

// Ending in the middle of a SysEx far too long to finish (a megabyte takes 17 s at the player's
// pace): the synth gets its F7 before the player leaves, never half a message left open.
TEST_P(TerminationSignal, EndsTheSysExUnderWayWithF7BeforeLeaving)
{
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink sink("Carrow");
    ASSERT_TRUE(sink.ok());
    PlayerProcess player;
    Bytes dump(1 << 20, 0x21);
    dump.back() = 0xF7;
    SmfBuilder b(0, 96);
    b.track().delta(0).sysex(dump).delta(0).endOfTrack();
    player.start({writeSong(player, b.bytes())});
    ASSERT_TRUE(sink.waitForCount(10, 20.0)) << player.standardError();
    player.sendSignal(GetParam());
    EXPECT_EQ(player.waitForExit(10.0), 0) << player.standardError();
    Bytes wire;
    for (const auto& e : sink.events())
        wire.insert(wire.end(), e.bytes.begin(), e.bytes.end());
    ASSERT_GE(wire.size(), 2u);
    EXPECT_EQ(wire.front(), 0xF0);
    EXPECT_EQ(wire.back(), 0xF7) << wire.size() << " bytes arrived, the message left open";
    EXPECT_LT(wire.size(), dump.size());
    EXPECT_EQ(std::count_if(wire.begin() + 1, wire.end() - 1, [](std::uint8_t x) { return x >= 0x80; }), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });

}  // namespace
