// A soak of the real program: random play requests from second launches, a few a second, for a
// number of minutes, hostile files among ordinary songs and dumps, against a private JACK server.
// The player's resident memory and open file descriptors must stay flat: the figures after the
// first minute are the baseline.
//
//   bench_player_soak [minutes=10]

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Bytes = std::vector<std::uint8_t>;

namespace {

long residentKilobytesOf(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

int openDescriptorsOf(pid_t pid)
{
    int count = 0;
    if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* entry = ::readdir(dir))
            count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count;
}

std::vector<std::string> writeFiles(const std::string& root)
{
    std::vector<std::pair<std::string, Bytes>> files;
    SmfBuilder song(1, 96);
    song.track().delta(0).tempo(400000).delta(0).endOfTrack();
    auto& t = song.track();
    t.delta(0).sysex({0x3E, 0x13, 0x00, 0xF7});
    for (int i = 0; i < 400; ++i)
        t.delta(6).noteOn(0, 40 + i % 40, 90).delta(6).noteOff(0, 40 + i % 40);
    t.delta(0).endOfTrack();
    files.emplace_back("song.mid", song.bytes());
    Bytes dump;
    for (int m = 0; m < 20; ++m) {
        dump.insert(dump.end(), {0xF0, 0x3E, 0x13, std::uint8_t(m)});
        dump.insert(dump.end(), 200, 0x11);
        dump.push_back(0xF7);
    }
    files.emplace_back("dump.syx", dump);
    files.emplace_back("notes.mid", Bytes{'n', 'o', 't', 'e', 's'});
    files.emplace_back("empty.syx", Bytes{});
    Bytes cut = song.bytes();
    cut.resize(cut.size() / 2);
    files.emplace_back("cut.mid", cut);
    files.emplace_back("garbage.syx", Bytes{0xF0, 0x3E, 0x13, 0x00, 0xF7, 'x', 0xF0, 0x01});
    SmfBuilder wide(1, 96);
    for (int i = 0; i < 5000; ++i)
        wide.track().delta(0).noteOn(0, 60, 90).delta(1).noteOff(0, 60);
    files.emplace_back("wide.mid", wide.bytes());
    std::vector<std::string> paths;
    for (const auto& [name, bytes] : files) {
        paths.push_back(root + "/" + name);
        writeFile(paths.back(), bytes);
    }
    paths.push_back(root + "/missing.mid");
    paths.push_back(root);  // a folder
    return paths;
}

}  // namespace

int main(int argc, char** argv)
{
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    JackTestServer server;
    if (!server.running()) {
        std::printf("jackd could not be started\n");
        return 1;
    }
    JackSink sink("synth", "in", std::string("Carrow"));
    PlayerProcess player;
    const std::vector<std::string> files = writeFiles(player.root());
    player.start({files[0]});
    std::this_thread::sleep_for(std::chrono::seconds(1));

    std::mt19937 random(7);
    const auto begun = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count(); };
    long baselineKb = -1;
    int baselineFds = -1;
    long lastKb = 0;
    int lastFds = 0;
    std::size_t requests = 0, failures = 0;
    double nextSample = 0;
    std::printf("%8s %10s %12s %6s\n", "seconds", "requests", "resident KiB", "fds");
    while (elapsed() < minutes * 60) {
        const std::string& file = files[random() % files.size()];
        failures += player.runSecondLaunch({file}, 10.0) != 0;
        ++requests;
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 250));
        if (elapsed() >= nextSample) {
            lastKb = residentKilobytesOf(player.pid());
            lastFds = openDescriptorsOf(player.pid());
            std::printf("%8.0f %10zu %12ld %6d\n", elapsed(), requests, lastKb, lastFds);
            std::fflush(stdout);
            if (baselineKb < 0 && elapsed() >= 60) {
                baselineKb = lastKb;
                baselineFds = lastFds;
            }
            nextSample += 30;
        }
        if (!player.running())
            break;
    }
    const bool alive = player.running();
    std::printf("%zu requests in %.0f s, %zu second launches not answered; player %s\n", requests, elapsed(), failures,
                alive ? "still running" : "GONE");
    if (baselineKb >= 0)
        std::printf("resident memory: %ld KiB after the first minute, %ld KiB at the end: growth %ld KiB (target < "
                    "2048 KiB: %s)\nopen file descriptors: %d after the first minute, %d at the end (target: "
                    "unchanged: %s)\n",
                    baselineKb, lastKb, lastKb - baselineKb, lastKb - baselineKb < 2048 ? "met" : "NOT met",
                    baselineFds, lastFds, lastFds == baselineFds ? "met" : "NOT met");
    return alive ? 0 : 1;
}
