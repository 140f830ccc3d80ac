// The real program given files as an attacker or an unlucky user would: each plays what can be
// played, promptly, or says in one line why it cannot; the window's thread stays free (the player
// still ends at once on SIGTERM); nothing is sent that should not be.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Bytes = std::vector<std::uint8_t>;

namespace {

// `tracks` tracks of one note each; without a track count in the header when `counted` is false
// (a header of two bytes: the reader then takes every chunk there is).
Bytes manyTracks(int tracks, bool counted)
{
    SmfBuilder b(1, 96);
    for (int i = 0; i < tracks; ++i)
        b.track().delta(0).noteOn(0, 60, 90).delta(0).endOfTrack();
    Bytes bytes = b.bytes();
    if (!counted) {
        Bytes header{'M', 'T', 'h', 'd', 0, 0, 0, 2, 0, 1};
        header.insert(header.end(), bytes.begin() + 14, bytes.end());
        bytes = std::move(header);
    }
    return bytes;
}

Bytes oneNote()
{
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 90).delta(48).noteOff(0, 60).delta(0).endOfTrack();
    return b.bytes();
}

struct HostileCase {
    const char* name;
    std::function<std::string(const PlayerProcess&)> make;  // writes the file, gives its path
    const char* standardError;                              // a line the player must write ("" for none)
    bool plays;                                             // the sink gets the file's first note
};

std::string write(const PlayerProcess& player, const std::string& name, const Bytes& bytes)
{
    const std::string path = player.root() + "/" + name;
    writeFile(path, bytes);
    return path;
}

const HostileCase kCases[] = {
    {"NotMidi",
     [](const PlayerProcess& p) {
         return write(p, "song.mid", {'h', 'e', 'l', 'l', 'o'});
     },
     "Cannot play song.mid: not a MIDI file", false},
    {"SparseTwoAndAHalfGigabytes",
     [](const PlayerProcess& p) {
         const std::string path = write(p, "huge.mid", {'M', 'T', 'h', 'd'});
         std::filesystem::resize_file(path, 5ull << 29);  // sparse: takes no disk
         return path;
     },
     "Cannot play huge.mid: file too large", false},
    {"DamagedAfterItsFirstTrack",
     [](const PlayerProcess& p) {
         Bytes bytes = manyTracks(2, true);
         bytes.resize(bytes.size() - 3);  // the second track is cut short
         return write(p, "cut.mid", bytes);
     },
     "cut.mid: damaged at byte", true},
    {"SixtyFiveThousandTracks", [](const PlayerProcess& p) { return write(p, "wide.mid", manyTracks(65535, true)); },
     "", true},
    {"UncountedTracks", [](const PlayerProcess& p) { return write(p, "wider.mid", manyTracks(120000, false)); }, "",
     true},
    {"NameThatIsNotUtf8", [](const PlayerProcess& p) { return write(p, "\xff\xfe song.mid", oneNote()); }, "", true},
    {"PathLongerThanPathMax",
     [](const PlayerProcess& p) {
         // Folders made one below the other from the one above, until the path is long enough.
         const std::string folder(200, 'd');
         std::string path = p.root();
         int at = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
         while (path.size() <= PATH_MAX + 100) {
             ::mkdirat(at, folder.c_str(), 0700);
             const int next = ::openat(at, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
             ::close(at);
             at = next;
             path += "/" + folder;
         }
         const Bytes bytes = oneNote();
         const int out = ::openat(at, "song.mid", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
         [[maybe_unused]] const ssize_t n = ::write(out, bytes.data(), bytes.size());
         ::close(out);
         ::close(at);
         return path + "/song.mid";
     },
     "", true},
};

class HostileFiles : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileFiles, PlayWhatCanBePlayedOrSayWhyAndStayResponsive)
{
    const HostileCase& c = GetParam();
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink sink("synth", "in", std::string("Carrow"));
    PlayerProcess player;
    const std::string path = c.make(player);
    const auto started = std::chrono::steady_clock::now();
    player.start({path});
    if (c.plays) {
        EXPECT_TRUE(sink.waitForCount(1, 20.0)) << player.standardError();
    }
    if (*c.standardError != '\0') {
        EXPECT_TRUE(waitFor([&] { return player.standardError().find(c.standardError) != std::string::npos; }, 10.0))
            << player.standardError();
    }
    std::printf("  %s: answered after %.2f s\n", c.name,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    if (!c.plays) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(sink.count(), 0u) << "nothing is sent for a file that cannot be played";
    }
    // The window's thread is free: the player ends at once when asked.
    const auto asked = std::chrono::steady_clock::now();
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(5.0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
}

INSTANTIATE_TEST_SUITE_P(Files, HostileFiles, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.name);
                         });

// A JACK server killed and started again under its name: the next request plays at once, to the
// server that is there now.
TEST(HostileFaults, JackServerRestartedWhilePlayingTheNextRequestPlaysAtOnce)
{
    auto server = std::make_unique<JackTestServer>();
    ASSERT_TRUE(server->running());
    auto sink = std::make_unique<JackSink>("synth", "in", std::string("Carrow"));
    PlayerProcess player;
    const std::string song = player.root() + "/song.mid";
    writeFile(song, oneNote());
    player.start({song});
    ASSERT_TRUE(sink->waitForCount(1, 10.0)) << player.standardError();
    sink.reset();
    server->kill();
    server = std::make_unique<JackTestServer>();
    ASSERT_TRUE(server->running());
    JackSink again("synth", "in", std::string("Carrow"));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(player.runSecondLaunch({song}, 10.0), 0);
    EXPECT_TRUE(again.waitForCount(1, 5.0)) << player.standardError();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    std::printf("  first note after the restart: %.3f s after the request\n", seconds);
    EXPECT_LT(seconds, 1.5);
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(5.0), 0);
}

}  // namespace
