// The real program for people who send sound dumps: a .syx file goes to its model's synth, or to
// the one picked for the model (kept across a restart) with that model's pause after each message;
// the desktop's media controls, over a real session bus with dbus-send, stop it (note-offs), play it
// again, pause and resume, seek, set the tempo and make it go round; a dump a synth sends is received
// into a file that plays back as it came.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <regex>
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

namespace {

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
    XrunWatch xruns;
    ASSERT_TRUE(xruns.ok());
    const Bytes dump = largeSysExDump(200);
    // Another maker's message and a note are ignored, and said to be.
    Bytes sent = dump;
    sent.insert(sent.begin() + 1000,  // after the first message
                {0xF0, 0x41, 0x10, 0xF7, 0x90, 0x3C, 0x40});
    char size[32];
    std::snprintf(size, sizeof size, "%.1f kB", double(dump.size()) / 1e3);

    // Seconds of full-speed MIDI each way: on a busy machine an attempt may meet an xrun.
    for (int attempt = 0; attempt < 3; ++attempt) {
        PlayerProcess player;
        writeFile(player.root() + "/backup.syx", {0xF0, 0x3E, 0x13, 0xF7});  // replaced by the dump
        xruns.reset();
        auto launch = std::async(std::launch::async, [&] {
            return player.runLaunch({"--receive", "backup.syx", "--silence", "1"}, {{"QT_QPA_PLATFORM", std::nullopt}},
                                    player.root(), 60.0);
        });
        ASSERT_TRUE(waitFor([&] { return player.launchStandardError().find(kListening) != std::string::npos; }, 30.0))
            << player.launchStandardError();
        synth.send(sent);
        ASSERT_TRUE(synth.waitUntilSent(30.0));
        const LaunchResult received = launch.get();
        if (xruns.count() > 0)
            continue;
        EXPECT_EQ(received.status, 0) << received.standardError;
        EXPECT_EQ(received.standardOutput, "Saved 200 messages, " + std::string(size) +
                                               " to backup.syx; ignored 1 SysEx message of another maker and 1 other "
                                               "MIDI message\n");
        ASSERT_EQ(readFile(player.root() + "/backup.syx"), dump);

        const std::size_t before = carrow.count();
        const auto playedBack = [&] {
            const auto events = carrow.events();
            return joined({events.begin() + long(before), events.end()});
        };
        player.start({player.root() + "/backup.syx"});
        ASSERT_TRUE(waitFor([&] { return playedBack().size() >= dump.size() || xruns.count() > 0; }, 30.0))
            << player.standardError();
        carrow.waitForQuiet(0.2, 3.0);
        if (xruns.count() > 0)
            continue;
        EXPECT_EQ(playedBack(), dump);
        return;
    }
    std::printf("every attempt met an xrun: nothing checked\n");
}

TEST(SynthFeatures, InterruptedDumpSavesTheWholeMessagesAndSaysHowManyWereCutShort)
{
    JackTestServer server(kPeriod, kRate);
    ASSERT_TRUE(server.running());
    JackSynth synth("Lumen");
    PlayerProcess player;
    const std::string file = player.root() + "/cut.syx";
    const Bytes dump = largeSysExDump(5);
    const Bytes sent = interruptedSysExDump(dump);

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

namespace {

// Each case plays its song through the real player and drives it over the bus once the song's first
// event has arrived; it then checks what the synth received. 96 ticks: half a second.
struct MediaControlsCase {
    const char* name;
    Bytes (*song)();
    void (*driveAndCheck)(const SessionBus& bus, const JackSink& synth);
};

bool statusBecomes(const SessionBus& bus, const std::string& status)
{
    return waitFor([&] { return bus.playbackStatus().find('"' + status + '"') != std::string::npos; }, 5.0);
}

std::vector<Bytes> received(const JackSink& synth, std::size_t from = 0)
{
    std::vector<Bytes> out;
    const auto events = synth.events();
    for (std::size_t i = from; i < events.size(); ++i)
        out.push_back(events[i].bytes);
    return out;
}

// The frames at which the messages with status byte `status` arrived.
std::vector<std::uint32_t> framesOf(const JackSink& synth, std::uint8_t status)
{
    std::vector<std::uint32_t> frames;
    for (const ReceivedEvent& e : synth.events())
        if (e.bytes.front() == status)
            frames.push_back(e.frame);
    return frames;
}

const MediaControlsCase kMediaControlsCases[] = {
    {"StopSilencesAndPlayStartsAgainFromTheStart",
     [] {
         SmfBuilder b(0, 96);
         b.track().delta(0).noteOn(0, 60, 100).delta(96 * 40).noteOff(0, 60).delta(0).endOfTrack();  // 20 s
         return b.bytes();
     },
     [](const SessionBus& bus, const JackSink& synth) {
         ASSERT_TRUE(synth.waitForCount(1, 10.0));
         EXPECT_NE(bus.playerProperty("Metadata").find("song.mid"), std::string::npos);
         bus.send("org.mpris.MediaPlayer2.Player.Stop");
         ASSERT_TRUE(synth.waitForCount(2, 5.0));
         EXPECT_EQ(synth.events()[1].bytes, (Bytes{0x80, 60, 0x40}));
         EXPECT_TRUE(statusBecomes(bus, "Stopped"));
         bus.send("org.mpris.MediaPlayer2.Player.Play");
         ASSERT_TRUE(synth.waitForCount(3, 5.0));
         EXPECT_EQ(synth.events()[2].bytes, (Bytes{0x90, 60, 100}));
     }},
    {"PauseSilencesAtOnceAndResumeGoesOnWithTheChasedState",
     [] {
         SmfBuilder b(1, 96);
         b.track().delta(0).programChange(0, 7).delta(0).controller(0, 7, 100).delta(0).noteOn(0, 60, 100).delta(0).endOfTrack();
         b.track().delta(384).noteOff(0, 60).delta(0).noteOn(0, 62, 100).delta(96).noteOff(0, 62).delta(0).endOfTrack();
         return b.bytes();
     },
     [](const SessionBus& bus, const JackSink& synth) {
         ASSERT_TRUE(synth.waitForCount(3, 5.0));
         bus.send("org.mpris.MediaPlayer2.Player.PlayPause");
         EXPECT_TRUE(synth.waitForCount(4, 0.2)) << "the pause left the note sounding";
         EXPECT_TRUE(statusBecomes(bus, "Paused"));
         synth.waitForQuiet(0.3, 2.0);
         EXPECT_EQ(synth.count(), 4u);
         bus.send("org.mpris.MediaPlayer2.Player.PlayPause");
         EXPECT_TRUE(statusBecomes(bus, "Playing"));
         ASSERT_TRUE(synth.waitForCount(9, 5.0));
         EXPECT_EQ(received(synth), (std::vector<Bytes>{{0xC0, 7}, {0xB0, 7, 100}, {0x90, 60, 100}, {0x80, 60, 0x40},
                                                        {0xC0, 7}, {0xB0, 7, 100}, {0x80, 60, 0x40}, {0x90, 62, 100},
                                                        {0x80, 62, 0x40}}));
     }},
    {"SetPositionDeliversTheStateSetEarlierBeforeTheFirstNoteAfterTheTarget",
     [] {
         SmfBuilder b(1, 96);
         b.track().delta(0).programChange(0, 9).delta(0).controller(0, 10, 30).delta(48).pitchBend(0, 0x2000 + 100).delta(0).endOfTrack();
         b.track().delta(96).noteOn(0, 60, 90).delta(96).noteOff(0, 60).delta(576).noteOn(0, 64, 90).delta(96).noteOff(0, 64).delta(0).endOfTrack();
         return b.bytes();
     },
     [](const SessionBus& bus, const JackSink& synth) {
         ASSERT_TRUE(synth.waitForCount(2, 5.0));
         std::smatch track;
         const std::string metadata = bus.playerProperty("Metadata");
         ASSERT_TRUE(std::regex_search(metadata, track, std::regex("object path \"([^\"]+)\""))) << metadata;
         bus.send("org.mpris.MediaPlayer2.Player.SetPosition", "objpath:" + track[1].str() + " int64:3500000");
         ASSERT_TRUE(synth.waitForCount(7, 5.0));
         synth.waitForQuiet(0.3, 2.0);
         EXPECT_EQ(received(synth, 2), (std::vector<Bytes>{{0xC0, 9}, {0xB0, 10, 30}, {0xE0, 100, 0x40}, {0x90, 64, 90},
                                                           {0x80, 64, 0x40}}));
         const auto events = synth.events();
         EXPECT_NEAR(double(events[5].frame - events[4].frame) / kRate, 0.5, double(kPeriod) / kRate);
     }},
    {"LoopStatusTrackGoesRoundWithoutAGapAndNoneEndsThePassUnderWay",
     [] {
         SmfBuilder b(0, 96);
         b.track().delta(0).noteOn(0, 60, 100).delta(192).noteOff(0, 60).delta(0).endOfTrack();  // a second
         return b.bytes();
     },
     [](const SessionBus& bus, const JackSink& synth) {
         ASSERT_TRUE(synth.waitForCount(1, 5.0));
         bus.setPlayerProperty("LoopStatus", "string:Track");
         EXPECT_NE(bus.playerProperty("LoopStatus").find("\"Track\""), std::string::npos);
         ASSERT_TRUE(synth.waitForCount(6, 5.0));
         const std::string position = bus.playerProperty("Position");  // gone round: within the song
         const std::size_t number = position.find("int64 ");
         ASSERT_NE(number, std::string::npos) << position;
         EXPECT_LT(std::stoll(position.substr(number + 6)), 1000000) << position;
         bus.setPlayerProperty("LoopStatus", "string:None");
         EXPECT_TRUE(statusBecomes(bus, "Stopped"));
         synth.waitForQuiet(0.3, 2.0);
         const std::vector<std::uint32_t> starts = framesOf(synth, 0x90), ends = framesOf(synth, 0x80);
         ASSERT_EQ(starts.size(), ends.size());
         ASSERT_GE(starts.size(), 3u);
         for (std::size_t pass = 1; pass < starts.size(); ++pass) {
             EXPECT_LE(starts[pass] - ends[pass - 1], kPeriod + kRate / 1000) << "gap before pass " << pass;
             EXPECT_NEAR(double(starts[pass] - starts[pass - 1]) / kRate, 1.0, double(kPeriod) / kRate) << pass;
         }
     }},
    {"RateHalfDoublesTheNoteTimesButNotTheSysExPacing",
     [] {
         SmfBuilder b(0, 96);
         auto& t = b.track();
         for (int i = 0; i < 8; ++i) {
             t.delta(i == 0 ? 0 : 36).noteOn(0, 60 + i, 90).delta(12);
             if (i == 4) {
                 Bytes dump(3000, 0x11);  // 3001 bytes with F0: 50 ms at 60000 a second
                 dump.back() = 0xF7;
                 t.sysex(dump).delta(0);
             }
             t.noteOff(0, 60 + i);
         }
         t.delta(0).endOfTrack();
         return b.bytes();
     },
     [](const SessionBus& bus, const JackSink& synth) {
         ASSERT_TRUE(synth.waitForCount(1, 5.0));
         bus.setPlayerProperty("Rate", "double:0.5");
         EXPECT_NE(bus.playerProperty("Rate").find("double 0.5"), std::string::npos);
         ASSERT_TRUE(waitFor([&] { return framesOf(synth, 0x90).size() >= 8 && framesOf(synth, 0x80).size() >= 8; }, 10.0));
         const std::vector<std::uint32_t> starts = framesOf(synth, 0x90);
         for (std::size_t i = 4; i < starts.size(); ++i)  // song time 0.75 s on: after the change
             EXPECT_NEAR(double(starts[i] - starts[i - 1]) / kRate, 0.5, double(kPeriod) / kRate) << i;
         std::vector<std::uint32_t> dump;
         for (const ReceivedEvent& e : synth.events())
             if (e.bytes.front() == 0xF0 || e.bytes.front() == 0x11)
                 dump.push_back(e.frame);
         ASSERT_FALSE(dump.empty());
         EXPECT_NEAR(double(dump.back() - dump.front()) / kRate, 3001.0 / 60000.0, 0.02 + double(kPeriod) / kRate);
     }},
};

void PrintTo(const MediaControlsCase& c, std::ostream* out) { *out << c.name; }
class MediaControlsDriveThePlayer : public ::testing::TestWithParam<MediaControlsCase> {};

}  // namespace

TEST_P(MediaControlsDriveThePlayer, AsTheSynthHearsIt)
{
    JackTestServer server(kPeriod, kRate);
    ASSERT_TRUE(server.running());
    SessionBus bus;
    ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
    JackSink synth("synth-c", "in", std::string("Carrow"));
    PlayerProcess player;
    const std::string song = player.root() + "/song.mid";
    writeFile(song, GetParam().song());
    player.start({song}, {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
    ASSERT_TRUE(waitFor([&] { return bus.playbackStatus().find("\"Playing\"") != std::string::npos; }, 10.0))
        << player.standardError();
    GetParam().driveAndCheck(bus, synth);
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(5.0), 0) << player.standardError();
    // Silenced on the way out: every note-on has its note-off.
    std::map<std::pair<int, int>, int> sounding;
    for (const ReceivedEvent& e : synth.events())
        if (e.bytes.size() == 3 && (e.bytes[0] & 0xE0) == 0x80)
            sounding[{e.bytes[0] & 0x0F, e.bytes[1]}] += (e.bytes[0] & 0xF0) == 0x90 && e.bytes[2] > 0 ? 1 : -1;
    for (const auto& [note, count] : sounding)
        EXPECT_LE(count, 0) << "channel " << note.first << ", key " << note.second << " left sounding";
}

INSTANTIATE_TEST_SUITE_P(Cases, MediaControlsDriveThePlayer, ::testing::ValuesIn(kMediaControlsCases),
                         [](const auto& info) { return std::string(info.param.name); });
