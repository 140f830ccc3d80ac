// Memory of the player after many play requests in a row: the controller's whole request path
// (model scan, load, routing, start) against a private JACK server, 1000 times. Baseline: the
// resident size after the first 50 requests, when caches and the JACK connection are warm.
//
//   QT_QPA_PLATFORM=offscreen bench_player_requests [requests=1000]

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/app_delegate.h"
#include "app/main_interface.h"
#include "tests/support/jack_test_server.h"
#include "tests/support/process_stats.h"
#include "tests/support/smf_builder.h"

using namespace brennick;
using namespace brennick::test;

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int requests = argc > 1 ? std::atoi(argv[1]) : 1000;
    JackTestServer server;
    if (!server.running()) {
        std::printf("jackd could not be started\n");
        return 1;
    }
    JackSink sink("synth", "in", std::string("Carrow"));

    // A song of a few thousand events with a SysEx dump, like a typical request.
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
    const auto path = std::filesystem::temp_directory_path() / "brennick-requests-bench.mid";
    const auto bytes = b.bytes();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    const QString file = QString::fromStdString(path.string());

    MainInterface ui = loadMainInterface(QString());
    long warm = 0;
    for (int i = 0; i < requests; ++i) {
        ui.delegate->playMidiFile(&file);
        QCoreApplication::processEvents();
        if (i == 49)
            warm = residentKilobytes();
    }
    const long after = residentKilobytes();
    std::printf("Resident memory over %d play requests of a %zu-byte song:\n", requests, bytes.size());
    std::printf("  after 50 requests (baseline): %ld KiB\n  after %d requests:           %ld KiB\n", warm, requests,
                after);
    std::printf("  growth: %ld KiB (target < 2048 KiB: %s); ratio to baseline %.3f\n", after - warm,
                after - warm < 2048 ? "met" : "NOT met", double(after) / double(warm));
    ui.delegate->playMidiFile(nullptr);
    std::filesystem::remove(path);
    return 0;
}
