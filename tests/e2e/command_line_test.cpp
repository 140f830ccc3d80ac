// The real program's command line: informational options that need no display and hand nothing
// over, usage errors, the no-display check, a stopped player that keeps its place, and --list
// against a private JACK server.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Environment = std::map<std::string, std::optional<std::string>>;

namespace {

const Environment kNoDisplay{
    {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}};

// A short song whose first Brennick SysEx names `model` (the byte after 3E), or none.
std::vector<std::uint8_t> song(std::optional<std::uint8_t> model)
{
    SmfBuilder b(0, 96);
    auto& t = b.track();
    if (model)
        t.delta(0).sysex({0x3E, *model, 0xF7});
    t.delta(0).noteOn(0, 60, 100).delta(48).noteOff(0, 60).delta(0).endOfTrack();
    return b.bytes();
}

struct LaunchCase {
    const char* name;
    std::vector<std::string> arguments;
    Environment environment;
    int status;
    const char* standardOutput;  // a part of it; "" for none at all
    const char* standardError;   // likewise
};

const LaunchCase kBeforeAnyHandOver[] = {
    {"Help", {"--help", "song.mid"}, {}, 0, "Exit status:", ""},
    {"HelpWithoutDisplay", {"--help"}, kNoDisplay, 0, "Usage: brennick-midi-player", ""},
    {"Version", {"--version"}, kNoDisplay, 0, "brennick-midi-player 1.", ""},
    {"UnknownOption", {"--bogus", "--help"}, {}, 2, "", "unknown option: --bogus\nUsage:"},
    {"QtOptionIsNoOption", {"-platform", "song.mid"}, {}, 2, "", "unknown option: -platform\nUsage:"},
    {"NoDisplay", {"song.mid"}, kNoDisplay, 2, "", "no graphical display: set DISPLAY or WAYLAND_DISPLAY\n"},
    {"NoDisplayServerForXcb",
     {"song.mid"},
     {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", "xcb"}},
     2,
     "",
     "no graphical display: set DISPLAY or WAYLAND_DISPLAY\n"},
    {"ReceiveWithoutFile", {"--receive"}, kNoDisplay, 2, "", "--receive needs an argument\nUsage:"},
    {"SilenceNotSeconds", {"--receive", "a.syx", "--silence", "soon"}, {}, 2, "", "--silence needs a number"},
    {"FromWithoutReceive", {"--from", "Lumen", "song.mid"}, {}, 2, "", "--from goes with --receive\nUsage:"},
    {"ReceiveWithAFile", {"--receive", "a.syx", "song.mid"}, {}, 2, "", "--receive takes no other file: song.mid"},
    {"FileToAStoppedPlayer", {"song.mid"}, {}, 3, "", "does not answer"},
};

void expectLaunch(const LaunchCase& c, const LaunchResult& result)
{
    SCOPED_TRACE(c.name);
    EXPECT_EQ(result.status, c.status) << result.standardError;
    for (const auto& [expected, actual] :
         {std::pair{c.standardOutput, result.standardOutput}, std::pair{c.standardError, result.standardError}}) {
        if (*expected == '\0')
            EXPECT_EQ(actual, "");
        else
            EXPECT_NE(actual.find(expected), std::string::npos) << actual;
    }
}

}  // namespace

TEST(CommandLine, OptionsUsageErrorsAndMissingDisplayEndBeforeAnyHandOver)
{
    PlayerProcess player;
    writeFile(player.root() + "/song.mid", song(0x13));
    // No MIDI service: what is handed over shows in the player's log, not on a synth.
    player.start({}, {{"JACK_DEFAULT_SERVER", "brennick-no-server"}});
    const std::string socket = player.runtimeDirectory() + "/brennick-midi-player.socket";
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(socket); }, 15.0)) << player.standardError();
    ASSERT_EQ(player.runLaunch({}).status, 0) << "the player does not serve its socket yet";

    // Stopped, the player would keep any launch that tries to hand over waiting until it gives
    // up: every launch here but the last must end at once, before that.
    player.sendSignal(SIGSTOP);
    for (const LaunchCase& c : kBeforeAnyHandOver) {
        const auto started = std::chrono::steady_clock::now();
        expectLaunch(c, player.runLaunch(c.arguments, c.environment, player.root()));
        const bool handsOver = c.status == 3;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(handsOver ? 8 : 2)) << c.name;
    }
    player.sendSignal(SIGCONT);

    // An argument that begins with "-" is a file when such a file exists, and after "--" always;
    // all reach the player as one batch.
    writeFile(player.root() + "/-platform", song(std::nullopt));
    const LaunchResult files = player.runLaunch({"-platform", "--", "-song.mid", "song.mid"}, {}, player.root());
    EXPECT_EQ(files.status, 0) << files.standardError;
    const std::string batchLine = "received 3 requests; playing the newest\n";
    EXPECT_TRUE(waitFor([&] { return player.standardError().find(batchLine) != std::string::npos; }, 10.0))
        << player.standardError();
    EXPECT_TRUE(player.running());
}

TEST(CommandLine, ListShowsTheDestinationsAndWhereEachFileWouldGo)
{
    JackTestServer server;
    ASSERT_TRUE(server.running());
    // Plain port names: what the player sees does not wait on the server's metadata.
    JackSink lumen("Lumen", "in");
    JackSink carrow("Carrow", "in");
    PlayerProcess player;
    writeFile(player.root() + "/carrow.mid", song(0x13));
    writeFile(player.root() + "/plain.mid", song(std::nullopt));
    writeFile(player.root() + "/tessel.mid", song(0x02));
    // What a play request refuses, --list refuses alike.
    ASSERT_EQ(::mkfifo((player.root() + "/fifo.mid").c_str(), 0600), 0);
    std::filesystem::create_directory(player.root() + "/folder.mid");
    writeFile(player.root() + "/large.mid", song(0x13));
    std::filesystem::resize_file(player.root() + "/large.mid", (512u << 20) + 1);  // sparse, past any limit

    Environment environment = kNoDisplay;
    environment["JACK_DEFAULT_SERVER"] = server.name();
    // Opening a JACK client can wait long on locks that JACK shares between all servers of a
    // user, when other test runs use them at the same time.
    constexpr double kListTimeoutSeconds = 60.0;
    const LaunchResult listed = player.runLaunch({"--list", "carrow.mid", "plain.mid", "tessel.mid", "missing.mid",
                                                  "fifo.mid", "folder.mid", "large.mid", "x-other:thing"},
                                                 environment, player.root(), kListTimeoutSeconds);
    EXPECT_EQ(listed.status, 0) << listed.standardError;
    EXPECT_EQ(listed.standardOutput,
              "MIDI destinations:\n"
              "  1. Lumen:in (did not answer)\n"
              "  2. Carrow:in (did not answer)\n"
              "carrow.mid: model \"Carrow\" -> 2. Carrow:in (by name)\n"
              "plain.mid: no model -> 1. Lumen:in (first destination)\n"
              "tessel.mid: model \"Tessel\" -> 1. Lumen:in (first destination)\n"
              "missing.mid: cannot be read (no such file)\n"
              "fifo.mid: cannot be read (not a regular file)\n"
              "folder.mid: cannot be read (not a regular file)\n"
              "large.mid: cannot be read (file too large)\n"
              "x-other:thing: not a file\n");
    EXPECT_EQ(lumen.count() + carrow.count(), 0u);

    // No MIDI service at all (and no ALSA sequencer on the test machines).
    if (std::filesystem::exists("/dev/snd/seq"))
        GTEST_SKIP() << "this machine has an ALSA sequencer";
    environment["JACK_DEFAULT_SERVER"] = server.name() + "-not-running";
    const LaunchResult none =
        player.runLaunch({"--list", "carrow.mid"}, environment, player.root(), kListTimeoutSeconds);
    EXPECT_EQ(none.status, 0) << none.standardError;
    EXPECT_EQ(none.standardOutput,
              "no MIDI service: neither a JACK server nor the ALSA sequencer can be reached\n"
              "MIDI destinations: none\n"
              "carrow.mid: model \"Carrow\" -> none (the player would show the no-device alert)\n");
}
