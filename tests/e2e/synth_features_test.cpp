// The real program for people who send sound dumps: a .syx file goes to its model's synth, or to
// the one picked for the model (kept across a restart) with that model's pause after each message;
// the desktop's media controls stop it (note-offs) and play it again, over a real session bus; a
// dump a synth sends is received into a file that plays back as it came.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "tests/e2e/x_display.h"
#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/session_bus.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr unsigned kRate = 48000;
constexpr unsigned kPeriod = 256;

// Five dump messages naming model 13 (Carrow).
Bytes carrowDump()
{
    return sysexDumpFile(0x13, 5, 0x10);
}

// Start frames of the messages a sink received, whole SysEx messages only.
std::vector<std::uint32_t> messageStarts(const JackSink& sink, std::size_t* whole)
{
    std::vector<std::uint32_t> starts;
    Bytes message;
    std::uint32_t start = 0;
    *whole = 0;
    for (const ReceivedEvent& e : sink.events()) {
        for (std::uint8_t b : e.bytes) {
            if (b == 0xF0) {
                message.clear();
                start = e.frame;
            }
            message.push_back(b);
            if (b == 0xF7 && message.front() == 0xF0) {
                *whole += message.size() == 60;
                starts.push_back(start);
            }
        }
    }
    return starts;
}

// Whether the player launched a session bus of its own: libdbus runs dbus-launch from its own
// folder, else from PATH (here a stand-in that leaves a mark), and the real one notes the bus it
// started under $HOME/.dbus.
struct BusLaunchWatch {
    explicit BusLaunchWatch(const std::string& root) : root_(root)
    {
        std::filesystem::create_directories(root + "/fake-bin");
        writeFile(root + "/fake-bin/dbus-launch", toBytes("#!/bin/sh\ntouch '" + root + "/launched'\nexit 1\n"));
        std::filesystem::permissions(root + "/fake-bin/dbus-launch", std::filesystem::perms::owner_all);
    }
    std::map<std::string, std::string> environment() const
    {
        return {{"PATH", root_ + "/fake-bin:" + std::getenv("PATH")}, {"HOME", root_}};
    }
    bool launched() const
    {
        return std::filesystem::exists(root_ + "/launched") || std::filesystem::exists(root_ + "/.dbus/session-bus");
    }
    static Bytes toBytes(const std::string& text) { return {text.begin(), text.end()}; }

    std::string root_;
};

}  // namespace

// Without DBUS_SESSION_BUS_ADDRESS the player joins the user's bus socket in its runtime folder
// when there is one, else no bus; it never starts one, which would stay after it ends.
class SessionBusChoice : public ::testing::TestWithParam<bool> {};

TEST_P(SessionBusChoice, TheUsersBusOrNoneAndNeverALaunchedOne)
{
    const bool userBus = GetParam();
    if (!programAvailable("Xvfb"))
        GTEST_SKIP() << "needs Xvfb (scripts/install-deps.sh test)";
    XDisplay display;  // libdbus launches a bus only for a program on an X display
    ASSERT_TRUE(display.ok());
    PlayerProcess player;
    std::optional<SessionBus> bus;
    if (userBus) {
        bus.emplace("unix:path=" + player.runtimeDirectory() + "/bus");
        ASSERT_FALSE(bus->address().empty()) << "dbus-daemon did not start";
    }
    const BusLaunchWatch watch(player.root());
    auto environment = display.playerEnvironment();
    environment.merge(watch.environment());
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    player.start({}, environment);
    ASSERT_EQ(display.waitForPlayerWindows(1, 20.0).size(), 1u) << player.standardError();
    if (bus) {
        EXPECT_TRUE(waitFor([&] { return bus->playbackStatus().find("\"Stopped\"") != std::string::npos; }, 5.0))
            << bus->playbackStatus();
    }
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(10.0), 0) << player.standardError();
    EXPECT_FALSE(watch.launched());
    EXPECT_EQ(player.standardError(), "");
}

INSTANTIATE_TEST_SUITE_P(Buses, SessionBusChoice, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "UserBusSocket" : "NoBus"); });

TEST(SynthFeatures, DumpGoesToItsModelThenToThePickWithItsPauseAfterARestart)
{
    JackTestServer server(kPeriod, kRate);
    ASSERT_TRUE(server.running());
    JackSink carrow("synth-c", "in", std::string("Carrow"));
    JackSink backup("synth-b", "in", std::string("Backup Synth"));
    PlayerProcess player;
    const std::string dump = player.root() + "/patches.syx";
    writeFile(dump, carrowDump());

    // No pick: the model's synth, one message right after the other at 60000 bytes per second.
    player.start({dump});
    ASSERT_TRUE(carrow.waitForCount(5, 10.0)) << player.standardError();
    carrow.waitForQuiet(0.2, 3.0);
    std::size_t whole = 0;
    EXPECT_EQ(messageStarts(carrow, &whole).size(), 5u);
    EXPECT_EQ(whole, 5u);
    EXPECT_EQ(backup.count(), 0u);
    player.sendSignal(SIGTERM);
    ASSERT_EQ(player.waitForExit(5.0), 0);

    // The user picked "Backup Synth" for Carrow and a 40 ms pause: a new launch honours both.
    writeText(player.settingsPath(),
              settingsText("<key>Destination for model</key><dict><key>Carrow</key><string>Backup Synth</string></dict>"
                           "<key>SysEx pause after message</key><dict><key>Carrow</key><integer>40</integer></dict>"));
    player.start({dump});
    ASSERT_TRUE(backup.waitForCount(5, 10.0)) << player.standardError();
    backup.waitForQuiet(0.2, 3.0);
    const std::vector<std::uint32_t> starts = messageStarts(backup, &whole);
    ASSERT_EQ(starts.size(), 5u);
    EXPECT_EQ(whole, 5u);
    for (std::size_t i = 1; i < starts.size(); ++i) {
        const double gap = double(starts[i] - starts[i - 1]) / kRate;
        EXPECT_NEAR(gap, 60.0 / 60000.0 + 0.040, double(kPeriod) / kRate) << "message " << i;
    }
    EXPECT_EQ(carrow.count(), 5u);  // nothing more went to the model's own synth
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(5.0), 0);

    // The picked synth has gone: the automatic rule plays, and the player says why.
    backup.close();
    player.start({dump});
    ASSERT_TRUE(carrow.waitForCount(10, 10.0)) << player.standardError();
    EXPECT_NE(player.standardError().find("Backup Synth is not connected: sending to Carrow"), std::string::npos)
        << player.standardError();
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(5.0), 0);
}

TEST(SynthFeatures, MediaControlsStopWithNoteOffsAndPlayAgain)
{
    JackTestServer server(kPeriod, kRate);
    ASSERT_TRUE(server.running());
    SessionBus bus;
    ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
    JackSink carrow("synth-c", "in", std::string("Carrow"));
    PlayerProcess player;
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(96 * 40).noteOff(0, 60).delta(0).endOfTrack();  // 20 s
    const std::string song = player.root() + "/long.mid";
    writeFile(song, b.bytes());

    player.start({song}, {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
    ASSERT_TRUE(carrow.waitForCount(1, 10.0)) << player.standardError();
    ASSERT_TRUE(waitFor([&] { return bus.playbackStatus().find("\"Playing\"") != std::string::npos; }, 5.0))
        << bus.playbackStatus();
    EXPECT_NE(bus.send("org.freedesktop.DBus.Properties.Get", "string:org.mpris.MediaPlayer2.Player string:Metadata")
                  .find("long.mid"),
              std::string::npos);

    bus.send("org.mpris.MediaPlayer2.Player.Stop");
    ASSERT_TRUE(carrow.waitForCount(2, 5.0));
    EXPECT_EQ(carrow.events()[1].bytes, (Bytes{0x80, 60, 0x40}));
    EXPECT_TRUE(waitFor([&] { return bus.playbackStatus().find("\"Stopped\"") != std::string::npos; }, 5.0));

    bus.send("org.mpris.MediaPlayer2.Player.Play");
    ASSERT_TRUE(carrow.waitForCount(3, 5.0));
    EXPECT_EQ(carrow.events()[2].bytes, (Bytes{0x90, 60, 100}));  // from the start again
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(5.0), 0);
    EXPECT_EQ(carrow.events().back().bytes, (Bytes{0x80, 60, 0x40}));  // and silenced on the way out
}

namespace {

// A Carrow dump of `messages` messages of 1 to 4 kB, each unlike the others.
Bytes largeDump(std::size_t messages)
{
    Bytes dump;
    for (std::size_t m = 0; m < messages; ++m) {
        const std::size_t size = 1000 + (m * 7919) % 3001;
        dump.insert(dump.end(), {0xF0, 0x3E, 0x13});
        for (std::size_t i = 3; i + 1 < size; ++i)
            dump.push_back(std::uint8_t((m + i) % 0x3E));  // no 3E: the player finds the model by the last
        dump.push_back(0xF7);
    }
    return dump;
}

Bytes joined(const std::vector<ReceivedEvent>& events)
{
    Bytes bytes;
    for (const ReceivedEvent& e : events)
        bytes.insert(bytes.end(), e.bytes.begin(), e.bytes.end());
    return bytes;
}

const char* const kListening = "Waiting for a dump from Lumen:midi_out";

}  // namespace

TEST(SynthFeatures, ReceivedDumpAtFullSpeedIsSavedWholeAndPlaysBackIdentical)
{
    JackTestServer server(kPeriod, kRate);
    ASSERT_TRUE(server.running());
    JackSynth synth("Lumen");
    JackSink carrow("synth-c", "in", std::string("Carrow"));
    PlayerProcess player;
    const Bytes dump = largeDump(200);
    // Another maker's message and a note are ignored, and said to be.
    Bytes sent = dump;
    sent.insert(sent.begin() + 1000,  // after the first message
                {0xF0, 0x41, 0x10, 0xF7, 0x90, 0x3C, 0x40});
    writeFile(player.root() + "/backup.syx", {0xF0, 0x3E, 0x13, 0xF7});  // replaced by the dump

    auto launch = std::async(std::launch::async, [&] {
        return player.runLaunch({"--receive", "backup.syx", "--silence", "1"}, {{"QT_QPA_PLATFORM", std::nullopt}},
                                player.root(), 60.0);
    });
    ASSERT_TRUE(waitFor([&] { return player.launchStandardError().find(kListening) != std::string::npos; }, 30.0))
        << player.launchStandardError();
    synth.send(sent);
    ASSERT_TRUE(synth.waitUntilSent(30.0));
    const LaunchResult received = launch.get();
    EXPECT_EQ(received.status, 0) << received.standardError;
    char size[32];
    std::snprintf(size, sizeof size, "%.1f kB", double(dump.size()) / 1e3);
    EXPECT_EQ(received.standardOutput, "Saved 200 messages, " + std::string(size) +
                                           " to backup.syx; ignored 1 SysEx message of another maker and 1 other "
                                           "MIDI message\n");
    ASSERT_EQ(readFile(player.root() + "/backup.syx"), dump);

    player.start({player.root() + "/backup.syx"});
    ASSERT_TRUE(waitFor([&] { return joined(carrow.events()).size() >= dump.size(); }, 30.0))
        << player.standardError();
    carrow.waitForQuiet(0.2, 3.0);
    EXPECT_EQ(joined(carrow.events()), dump);
}

TEST(SynthFeatures, InterruptedDumpSavesTheWholeMessagesAndSaysHowManyWereCutShort)
{
    JackTestServer server(kPeriod, kRate);
    ASSERT_TRUE(server.running());
    JackSynth synth("Lumen");
    PlayerProcess player;
    const std::string file = player.root() + "/cut.syx";
    const Bytes dump = largeDump(5);
    std::size_t third = 0;  // where the fourth message begins
    for (int m = 0; m < 3; ++m)
        third = std::size_t(std::find(dump.begin() + third, dump.end(), 0xF7) - dump.begin()) + 1;
    // Three messages, half of one, the rest in full (the first cut short by the next start), then
    // half of one again, and the synth stops there.
    Bytes sent(dump.begin(), dump.begin() + third + 500);
    sent.insert(sent.end(), dump.begin() + third, dump.end());
    sent.insert(sent.end(), dump.begin(), dump.begin() + 700);

    player.start({"--receive", file, "--silence", "60"});
    ASSERT_TRUE(waitFor([&] { return player.standardError().find(kListening) != std::string::npos; }, 30.0))
        << player.standardError();
    synth.send(sent);
    ASSERT_TRUE(synth.waitUntilSent(30.0));
    EXPECT_FALSE(std::filesystem::exists(file));  // only at the end
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the player reads its input every few ms
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(10.0), 0) << player.standardError();
    EXPECT_NE(player.standardError().find(" to " + file + "; dropped 2 messages cut short\n"), std::string::npos)
        << player.standardError();
    EXPECT_EQ(readFile(file), dump);
}

TEST(SynthFeatures, ReceiveFromNoSuchSourceOrOfNothingLeavesTheOldFile)
{
    JackTestServer server(kPeriod, kRate);
    ASSERT_TRUE(server.running());
    JackSynth synth("Lumen");
    PlayerProcess player;
    const std::string file = player.root() + "/old.syx";
    const Bytes old{0xF0, 0x3E, 0x13, 0x01, 0xF7};
    writeFile(file, old);

    const LaunchResult unknown = player.runLaunch({"--receive", file, "--from", "Zed"}, {}, {}, 60.0);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.standardError, "no MIDI source's name contains \"Zed\"; the sources are: Lumen:midi_out\n");

    player.start({"--receive", file, "--from", "lumen"});
    ASSERT_TRUE(waitFor([&] { return player.standardError().find(kListening) != std::string::npos; }, 30.0))
        << player.standardError();
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(10.0), 1);
    EXPECT_NE(player.standardError().find("Nothing received: " + file + " not written\n"), std::string::npos)
        << player.standardError();
    EXPECT_EQ(readFile(file), old);
}
