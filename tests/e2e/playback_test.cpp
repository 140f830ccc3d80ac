// The real program, started as a user would: a file reaches the right synth, whole and in order,
// and a second launch hands its file to the running player.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <jack/jack.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes carrowSong()
{
    SmfBuilder b(1, 96);
    b.track().delta(0).tempo(500000).delta(96).tempo(300000).delta(0).endOfTrack();
    auto& t = b.track();
    t.delta(0).sysex({0x05, 0x3E, 0x13, 0x00, 0x01, 0xF7});  // a count byte, then model 13: Carrow
    for (int i = 0; i < 8; ++i)
        t.delta(i == 0 ? 0 : 24).noteOn(1, 60 + i, 90).delta(24).noteOff(1, 60 + i);
    t.delta(0).endOfTrack();
    return b.bytes();
}

std::vector<Bytes> expectedCarrowEvents()
{
    std::vector<Bytes> events{{0xF0, 0x05, 0x3E, 0x13, 0x00, 0x01, 0xF7}};
    for (int i = 0; i < 8; ++i) {
        events.push_back({0x91, std::uint8_t(60 + i), 90});
        events.push_back({0x81, std::uint8_t(60 + i), 0x40});
    }
    return events;
}

std::vector<Bytes> bytesOf(const std::vector<ReceivedEvent>& events)
{
    std::vector<Bytes> out;
    for (const auto& e : events)
        out.push_back(e.bytes);
    return out;
}

}  // namespace

TEST(Player, PlaysTheFileToTheSynthItNamesAndForwardsSecondLaunches)
{
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink lumen("synth-1", "in", std::string("Lumen Port"));
    JackSink carrow("synth-2", "in", std::string("Carrow"));
    JackSink tessel("synth-3", "in", std::string("Tessel Port"));

    PlayerProcess player;
    const std::string song = player.root() + "/song.mid";
    writeFile(song, carrowSong());
    player.start({song}, {{"JACK_DEFAULT_SERVER", server.name()}});

    const std::vector<Bytes> expected = expectedCarrowEvents();
    ASSERT_TRUE(carrow.waitForCount(expected.size(), 15.0)) << player.standardError();
    carrow.waitForQuiet(0.2, 3.0);
    EXPECT_EQ(bytesOf(carrow.events()), expected);
    EXPECT_EQ(lumen.count(), 0u);
    EXPECT_EQ(tessel.count(), 0u);
    EXPECT_TRUE(player.running());

    // A second launch, with a file:// URL and a relative-free absolute path, hands over and ends.
    SmfBuilder b(0, 96);
    b.track()
        .delta(0)
        .sysex({0x3E, 0x02, 0xF7})
        .delta(0)
        .noteOn(0, 40, 1)
        .delta(10)
        .noteOff(0, 40)
        .delta(0)
        .endOfTrack();
    const std::string second = player.root() + "/tessel file.mid";
    writeFile(second, b.bytes());
    EXPECT_EQ(player.runSecondLaunch({"file://" + player.root() + "/tessel%20file.mid"}, 15.0), 0);
    ASSERT_TRUE(tessel.waitForCount(3, 10.0)) << player.standardError();
    EXPECT_EQ(tessel.events()[0].bytes, (Bytes{0xF0, 0x3E, 0x02, 0xF7}));
    EXPECT_TRUE(player.running());

    // Other URLs leave the fixed log line (and say that they cannot be played).
    EXPECT_EQ(player.runSecondLaunch({"brennick://something"}, 15.0), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const std::string line = "handleGetURLEvent:(NSAppleEventDescriptor *)event withReplyEvent:"
                             "(NSAppleEventDescriptor *)replyEvent";
    while (player.standardError().find(line) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(player.standardError().find(line + "\n"), std::string::npos);

    // Ending, it leaves the JACK server in order: at once, its client gone, nothing of it in /dev/shm.
    const auto asked = std::chrono::steady_clock::now();
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(10.0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
    jack_client_t* probe = jack_client_open("probe", JackNoStartServer, nullptr);
    ASSERT_NE(probe, nullptr);
    const char** ours = jack_get_ports(probe, "^Brennick MIDI Player:", nullptr, 0);
    EXPECT_EQ(ours, nullptr) << "the player's client is still on the server";
    jack_free(ours);
    jack_client_close(probe);
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/jack_sem.0_" + server.name() + "_Brennick MIDI Player"));
}

// Synths behind interfaces whose ports carry the interface's name: the player asks the devices who
// they are, sends the file to the one that answered as its model, remembers the answers while the
// ports stay the same, and never asks when a name matches.
TEST(Player, FindsTheSynthBehindAnInterfaceByAskingIt)
{
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSynth silent("USB MIDI Interface", std::nullopt);
    JackSynth tessel("MIDI Adapter", 0x02);
    JackSynth carrow("MIDI Cable", 0x13);
    PlayerProcess player;
    const std::string song = player.root() + "/carrow.mid";
    writeFile(song, carrowSong());

    const LaunchResult listed =
        player.runLaunch({"--list", "carrow.mid"}, {{"JACK_DEFAULT_SERVER", server.name()}}, player.root(), 60.0);
    EXPECT_EQ(listed.standardOutput, "MIDI destinations:\n"
                                     "  1. USB MIDI Interface:midi_in (did not answer)\n"
                                     "  2. MIDI Adapter:midi_in (answered as Tessel)\n"
                                     "  3. MIDI Cable:midi_in (answered as Carrow)\n"
                                     "carrow.mid: model \"Carrow\" -> 3. MIDI Cable:midi_in (answered as Carrow)\n")
        << listed.standardError;

    // --list asked once, the player asks once; a second file finds the answers remembered.
    const Bytes inquiry{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    std::vector<Bytes> expected{inquiry, inquiry};
    player.start({song}, {{"JACK_DEFAULT_SERVER", server.name()}});
    for (int file = 0; file < 2; ++file) {
        if (file == 1) {
            EXPECT_EQ(player.runSecondLaunch({song}, 15.0), 0);
        }
        for (const Bytes& event : expectedCarrowEvents())
            expected.push_back(event);
        ASSERT_TRUE(carrow.received().waitForCount(expected.size(), 15.0)) << player.standardError();
        carrow.received().waitForQuiet(0.2, 3.0);
        EXPECT_EQ(bytesOf(carrow.received().events()), expected);
    }
    EXPECT_EQ(bytesOf(silent.received().events()), (std::vector<Bytes>{inquiry, inquiry}));
    EXPECT_EQ(bytesOf(tessel.received().events()), (std::vector<Bytes>{inquiry, inquiry}));

    // A port appearing forgets the answers; a name that matches is used without asking anyone.
    JackSink lumen("Lumen", "in");
    const std::string lumenSong = player.root() + "/lumen.mid";
    SmfBuilder b(0, 96);
    b.track().delta(0).sysex({0x3E, 0x00, 0xF7}).delta(0).noteOn(0, 40, 1).delta(10).noteOff(0, 40).delta(0).endOfTrack();
    writeFile(lumenSong, b.bytes());
    EXPECT_EQ(player.runSecondLaunch({lumenSong}, 15.0), 0);
    ASSERT_TRUE(lumen.waitForCount(3, 10.0)) << player.standardError();
    EXPECT_EQ(silent.received().count() + tessel.received().count(), 4u);
    EXPECT_EQ(bytesOf(carrow.received().events()), expected);

    // The next Carrow file asks again, and still finds its synth.
    EXPECT_EQ(player.runSecondLaunch({song}, 15.0), 0);
    expected.push_back(inquiry);
    for (const Bytes& event : expectedCarrowEvents())
        expected.push_back(event);
    ASSERT_TRUE(carrow.received().waitForCount(expected.size(), 15.0)) << player.standardError();
    carrow.received().waitForQuiet(0.2, 3.0);
    EXPECT_EQ(bytesOf(carrow.received().events()), expected);
    EXPECT_EQ(silent.received().count(), 3u);
}

// With "Play Several Files in Turn" on in the settings file, the files given play one after another,
// whole and in order; the end of the list is the end of playback ("Quit on stop": status 1), and
// the recent files are remembered, newest first.
TEST(Player, SeveralFilesPlayInOrder)
{
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink carrow("synth-2", "in", std::string("Carrow"));
    PlayerProcess player;
    const std::string settings =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>"
        "<key>Quit on stop</key><integer>1</integer><key>Play several files in turn</key><integer>1</integer>"
        "</dict>\n</plist>\n";
    writeFile(player.settingsPath(), {settings.begin(), settings.end()});
    std::vector<std::string> files;
    std::vector<Bytes> expected;
    for (int key : {70, 60, 65}) {
        SmfBuilder b(0, 96);
        b.track()
            .delta(0)
            .sysex({0x3E, 0x13, 0xF7})
            .delta(0)
            .noteOn(0, key, 90)
            .delta(48)
            .noteOff(0, key)
            .delta(0)
            .endOfTrack();
        files.push_back(player.root() + "/song " + std::to_string(key) + ".mid");
        writeFile(files.back(), b.bytes());
        expected.insert(expected.end(),
                        {{0xF0, 0x3E, 0x13, 0xF7}, {0x90, std::uint8_t(key), 90}, {0x80, std::uint8_t(key), 0x40}});
    }
    player.start(files, {{"JACK_DEFAULT_SERVER", server.name()}});
    EXPECT_EQ(player.waitForExit(20.0), 1) << player.standardError();
    EXPECT_EQ(bytesOf(carrow.events()), expected);
    const std::vector<std::uint8_t> saved = readFile(player.settingsPath());
    const std::string text(saved.begin(), saved.end());
    const std::size_t newest = text.find("song 65.mid"), oldest = text.find("song 70.mid");
    EXPECT_TRUE(newest != std::string::npos && oldest != std::string::npos && newest < text.find("song 60.mid") &&
                text.find("song 60.mid") < oldest)
        << text;
}

// The opening of a song (its model SysEx, program changes and first chord, all at tick 0) reaches
// the synth at every launch, also when the machine is busy and the song is large: a stream must
// not start before its new connection carries events.
TEST(Player, EveryLaunchUnderLoadDeliversTheOpeningOfTheSong)
{
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink carrow("synth-2", "in", std::string("Carrow"));
    PlayerProcess player;

    SmfBuilder b(0, 96);
    auto& t = b.track();
    std::vector<Bytes> opening{{0xF0, 0x3E, 0x13, 0xF7}};
    t.delta(0).sysex({0x3E, 0x13, 0xF7});
    for (int channel = 0; channel < 8; ++channel) {
        t.delta(0).programChange(channel, 10 + channel);
        opening.push_back({std::uint8_t(0xC0 | channel), std::uint8_t(10 + channel)});
    }
    for (int key : {60, 64, 67}) {
        t.delta(0).noteOn(0, key, 100);
        opening.push_back({0x90, std::uint8_t(key), 100});
    }
    for (int i = 0; i < 600000; ++i)  // about 5 MB of later notes
        t.delta(i == 0 ? 96 : 1).noteOn(1, 40 + i % 40, 1).delta(0).noteOff(1, 40 + i % 40);
    t.delta(0).endOfTrack();
    const std::string song = player.root() + "/large.mid";
    writeFile(song, b.bytes());

    // One core kept busy. A cycle the server could not finish in time (an xrun) loses what was
    // written in it for any client: the launches that met one prove nothing either way.
    std::atomic<bool> busy{true};
    std::thread load([&busy] {
        while (busy.load(std::memory_order_relaxed)) {}
    });
    XrunWatch xruns;
    ASSERT_TRUE(xruns.ok());
    int checked = 0;
    for (int launch = 0; launch < 12; ++launch) {
        xruns.reset();
        const std::size_t before = carrow.count();
        player.start({song}, {{"JACK_DEFAULT_SERVER", server.name()}});
        const bool arrived = carrow.waitForCount(before + opening.size(), 15.0);
        player.sendSignal(SIGTERM);
        EXPECT_EQ(player.waitForExit(10.0), 0);
        carrow.waitForQuiet(0.2, 5.0);
        ASSERT_TRUE(arrived) << "launch " << launch << ": " << player.standardError();
        if (xruns.count() > 0)
            continue;
        ++checked;
        const std::vector<Bytes> got = bytesOf(carrow.events());
        EXPECT_EQ(std::vector<Bytes>(got.begin() + long(before), got.begin() + long(before + opening.size())), opening)
            << "launch " << launch;
    }
    busy = false;
    load.join();
    std::printf("%d of 12 launches met no xrun and were checked\n", checked);
}
