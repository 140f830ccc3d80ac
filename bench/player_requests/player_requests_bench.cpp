// The player under many play requests, as the real program meets them, against a private JACK
// server:
//  1. memory after thousands of requests in a row, each through the controller's whole path (file
//     read, model scan, routing, start) inside a running event loop, so that what the program
//     deletes later is deleted as it would be. Baseline: the resident size after the first 50
//     requests, when caches and the JACK connection are warm.
//  2. how long the window's thread is held up by a request for a 25 MB song: a 1 ms heartbeat
//     timer on that thread records its longest gap while such requests come in; and the real
//     program answers a second launch sent right after one, against the same with nothing to do.
//
//   QT_QPA_PLATFORM=offscreen bench_player_requests [requests=3000]

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_delegate.h"
#include "app/main_interface.h"
#include "app/playback_state.h"
#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/process_stats.h"
#include "tests/support/smf_builder.h"

using namespace brennick;
using namespace brennick::test;

namespace {

std::filesystem::path writeSong(const std::string& name, const std::vector<std::uint8_t>& bytes)
{
    const auto path = std::filesystem::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

// A song of a few thousand events with a SysEx dump, like a typical request.
std::vector<std::uint8_t> typicalSong()
{
    SmfBuilder b(1, 96);
    auto& t = b.track();
    std::vector<std::uint8_t> dump(2000, 0x10);
    dump[0] = 0x3E;
    dump[1] = 0x13;
    dump.back() = 0xF7;
    t.delta(0).sysex(dump);
    for (int i = 0; i < 2000; ++i)
        t.delta(i == 0 ? 0 : 12).noteOn(0, 40 + i % 40, 90).delta(12).noteOff(0, 40 + i % 40);
    t.delta(0).endOfTrack();
    return b.bytes();
}

// About 25 MB: 15 tracks of notes under running status.
std::vector<std::uint8_t> bigSong()
{
    SmfBuilder b(1, 480);
    b.track().delta(0).tempo(500000).delta(0).endOfTrack();
    for (int c = 0; c < 15; ++c) {
        auto& t = b.track();
        t.delta(0).noteOn(c, 60, 90);
        while (t.data().size() < (25u << 20) / 15)
            t.delta(30).running({60 + int(t.data().size() % 12), int(t.data().size() % 2) * 90});
        t.delta(0).endOfTrack();
    }
    return b.bytes();
}

// Runs the event loop until `requests` requests have been made, each once the one before has
// started playing (its file read off the window's thread, its player started).
void requestsInTheLoop(QApplication& app, AppDelegate& delegate, const QString& file, int requests,
                       const std::function<void(int)>& after)
{
    int made = 0;
    MusicPlayer previous = nullptr;
    QTimer next;
    next.setInterval(0);
    QObject::connect(&next, &QTimer::timeout, [&] {
        if (made > 0 && Player == previous)
            return;  // still being read
        previous = Player;
        delegate.playMidiFile(&file);
        after(++made);
        if (made == requests)
            app.quit();
    });
    next.start();
    app.exec();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int requests = argc > 1 ? std::atoi(argv[1]) : 3000;
    JackTestServer server;
    if (!server.running()) {
        std::printf("jackd could not be started\n");
        return 1;
    }
    JackSink sink("synth", "in", std::string("Carrow"));
    const auto typical = writeSong("brennick-requests-bench.mid", typicalSong());
    const auto big = writeSong("brennick-requests-bench-25mb.mid", bigSong());
    const QString typicalFile = QString::fromStdString(typical.string());
    const QString bigFile = QString::fromStdString(big.string());

    MainInterface ui = loadMainInterface(QString());
    long warm = 0;
    requestsInTheLoop(app, *ui.delegate, typicalFile, requests, [&](int made) {
        if (made == 50)
            warm = residentKilobytes();
    });
    const long after = residentKilobytes();
    std::printf("Resident memory over %d play requests of a %ju-byte song, in the event loop:\n", requests,
                std::uintmax_t(std::filesystem::file_size(typical)));
    std::printf("  after 50 requests (baseline): %ld KiB\n  after %d requests:           %ld KiB\n", warm, requests,
                after);
    std::printf("  growth: %ld KiB (target < 1024 KiB: %s); ratio to baseline %.3f\n", after - warm,
                after - warm < 1024 ? "met" : "NOT met", double(after) / double(warm));

    // The window's thread while 25 MB songs are requested: a heartbeat every millisecond.
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    heartbeat.start();
    last = clock.elapsed();
    QTimer::singleShot(0, [&] {
        for (int i = 0; i < 5; ++i)
            QTimer::singleShot(i * 400, [&] { ui.delegate->playMidiFile(&bigFile); });
        QTimer::singleShot(5 * 400 + 1500, &app, &QCoreApplication::quit);
    });
    app.exec();
    std::printf("Window thread while a %.1f MB song is requested five times: longest gap between 1 ms "
                "heartbeats %lld ms (target <= 100 ms: %s)\n",
                double(std::filesystem::file_size(big)) / 1e6, static_cast<long long>(longest),
                longest <= 100 ? "met" : "NOT met");
    ui.delegate->playMidiFile(nullptr);

    // The real program: a second launch's answer right after a request for the 25 MB song.
    PlayerProcess player;
    player.start({typical.string()});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto launch = [&](const std::string& file) {
        const auto begun = std::chrono::steady_clock::now();
        player.runSecondLaunch({file}, 30.0);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count() * 1e3;
    };
    std::vector<double> idle, busy;
    for (int i = 0; i < 7; ++i) {
        idle.push_back(launch(typical.string()));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    for (int i = 0; i < 7; ++i) {
        launch(big.string());
        busy.push_back(launch(typical.string()));  // right after the request for the big song
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::printf("Second launch answered by the running player (ms, median / max of 7): idle %.1f / %.1f, right "
                "after a 25 MB request %.1f / %.1f; difference of the medians %.1f ms (target <= 100 ms: %s)\n",
                median(idle), *std::max_element(idle.begin(), idle.end()), median(busy),
                *std::max_element(busy.begin(), busy.end()), median(busy) - median(idle),
                median(busy) - median(idle) <= 100 ? "met" : "NOT met");
    std::filesystem::remove(typical);
    std::filesystem::remove(big);
    return 0;
}
