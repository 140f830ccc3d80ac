// Pictures of the real player's window under Xvfb while it plays to a private JACK server: at a
// quarter, half and nearly all of a song, each at the dark and the light end of the arc's breath
// (knob-<percent>-dark.png, knob-<percent>-light.png), written to <build>/screenshots/. The
// half-way light one is also written there as brennick-midi-player.png: copied over
// resources/screenshots/brennick-midi-player.png it renews the software centre's picture.
#include <gtest/gtest.h>

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "tests/e2e/x_display.h"
#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kBeats = 32;  // one note a beat at 120 beats a minute: 16 seconds

std::vector<std::uint8_t> carrowSong()
{
    SmfBuilder b(1, 96);
    b.track().delta(0).tempo(500000).delta(0).endOfTrack();
    auto& t = b.track();
    t.delta(0).sysex({0x3E, 0x13, 0x00, 0xF7});  // model 13: Carrow
    for (int beat = 0; beat < kBeats; ++beat)
        t.delta(beat == 0 ? 0 : 48).noteOn(0, 48 + beat % 24, 80).delta(48).noteOff(0, 48 + beat % 24);
    t.delta(0).endOfTrack();
    return b.bytes();
}

// The point of the arc's centre line `degrees` clockwise from the bottom, in the 450-point window.
QPoint onArc(double degrees)
{
    const double a = degrees * kPi / 180.0;
    return QPoint(int(std::lround(225.0 - 167.4 * std::sin(a))), int(std::lround(225.0 + 167.4 * std::cos(a))));
}

double luma(const QImage& image, QPoint p)
{
    const QRgb c = image.pixel(p);
    return 0.2126 * qRed(c) + 0.7152 * qGreen(c) + 0.0722 * qBlue(c);
}

struct Breath {
    QImage dark, light;
    double darkLuma = 256.0, lightLuma = -1.0;
};

// Grabs `window` as fast as it can for a little over one breath (20 passes at 30 a second) and
// keeps the frames where the arc at `degrees` is darkest and lightest.
Breath grabBreath(QScreen* screen, WId window, double degrees)
{
    Breath breath;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(750);
    while (std::chrono::steady_clock::now() < until) {
        const QImage frame = screen->grabWindow(window).toImage().convertToFormat(QImage::Format_ARGB32);
        const double l = frame.size() == QSize(450, 450) ? luma(frame, onArc(degrees)) : -1.0;
        if (l >= 0.0 && l < breath.darkLuma) {
            breath.darkLuma = l;
            breath.dark = frame;
        }
        if (l > breath.lightLuma) {
            breath.lightLuma = l;
            breath.light = frame;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    return breath;
}

TEST(Screenshot, KnobWindowWhilePlaying)
{
    if (!programAvailable("Xvfb") || !programAvailable("xdotool"))
        GTEST_SKIP() << "needs Xvfb and xdotool (scripts/install-deps.sh test)";
    JackTestServer server;
    ASSERT_TRUE(server.running());
    JackSink carrow("synth", "in", std::string("Carrow"));
    ASSERT_TRUE(carrow.ok());
    XDisplay display;
    ASSERT_TRUE(display.ok());

    PlayerProcess player;
    const std::string song = player.root() + "/Nocturne.mid";
    writeFile(song, carrowSong());
    player.start({song}, display.playerEnvironment());
    const auto windows = display.waitForPlayerWindows(1, 20.0);
    ASSERT_EQ(windows.size(), 1u) << player.standardError();

    // The grabbing client joins the player's display; it starts after every child process.
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("DISPLAY", QByteArray::fromStdString(display.name()));
    int argc = 1;
    char name[] = "screenshot_e2e_test";
    char* argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);
    const WId window = WId(std::stoul(windows.front()));

    const QDir out(QStringLiteral(BRENNICK_BINARY_DIR "/screenshots"));
    ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
    for (int percent : {25, 50, 94}) {
        // A note starts on every beat: its arrival says where the song is.
        const int beat = kBeats * percent / 100;
        ASSERT_TRUE(carrow.waitForCount(std::size_t(2 + 2 * beat), 30.0)) << percent << "%\n" << player.standardError();
        const Breath breath = grabBreath(app.primaryScreen(), window, 360.0 * percent / 200.0);
        ASSERT_FALSE(breath.light.isNull()) << percent << "%";
        const QString stem = QStringLiteral("knob-%1-").arg(percent);
        EXPECT_TRUE(breath.dark.save(out.filePath(stem + "dark.png")));
        EXPECT_TRUE(breath.light.save(out.filePath(stem + "light.png")));
        if (percent != 50)
            continue;
        EXPECT_TRUE(breath.light.save(out.filePath(QStringLiteral("brennick-midi-player.png"))));
        // A round window on a transparent ground, progress part way round: the arc stands out
        // from the bare track ahead of it.
        const QImage& shot = breath.light;
        EXPECT_EQ(qAlpha(shot.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(shot.pixel(225, 225)), 255);
        EXPECT_GE(breath.lightLuma - luma(shot, onArc(270.0)), 25.0);
    }
    EXPECT_TRUE(player.running()) << player.standardError();
    player.sendSignal(SIGTERM);
    EXPECT_EQ(player.waitForExit(10.0), 0) << player.standardError();
}

}  // namespace
