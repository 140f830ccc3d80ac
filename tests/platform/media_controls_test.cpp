// Desktop media controls on a private session bus, seen and driven by real clients: what they read,
// what their calls do, which changes they are told of, and running with no bus at all.
#include "platform/media_controls.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>

#include <cmath>
#include <optional>
#include <sys/prctl.h>

#include "platform/local_path.h"

namespace brennick {
namespace {

const QString kPath = QString::fromLatin1(MediaControls::kObjectPath);
const QString kName = QString::fromLatin1(MediaControls::kBusName);
const QString kPlayer = QStringLiteral("org.mpris.MediaPlayer2.Player");

class MediaControlsOnTheBus : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "platform_media_controls";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
        daemon_ = new QProcess;
        daemon_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });  // ends with the test
        daemon_->start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
        ASSERT_TRUE(daemon_->waitForReadyRead(10000)) << "dbus-daemon did not start";
        address_ = QString::fromUtf8(daemon_->readLine().trimmed());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8());
    }
    static void TearDownTestSuite()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        daemon_->terminate();
        daemon_->waitForFinished();
        delete daemon_;
    }

    // Another program's connection: calls let this thread's event loop run, so that the player on
    // the same thread can answer.
    static QDBusConnection client() { return QDBusConnection::connectToBus(address_, QStringLiteral("client")); }
    static QDBusMessage call(const QString& interface, const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(kName, kPath, interface, method);
        message.setArguments(arguments);
        return client().call(message, QDBus::BlockWithGui);
    }
    static QVariantMap properties(const QString& interface)
    {
        const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"), "GetAll", {interface});
        return qdbus_cast<QVariantMap>(reply.arguments().value(0));
    }

    static inline QProcess* daemon_ = nullptr;
    static inline QString address_;
};

TEST_F(MediaControlsOnTheBus, IntrospectionAndPropertiesFollowThePlayer)
{
    MediaControls controls;
    ASSERT_EQ(controls.busName(), kName);
    const QString xml =
        call(QStringLiteral("org.freedesktop.DBus.Introspectable"), "Introspect").arguments().value(0).toString();
    for (const char* fragment : {R"(<interface name="org.mpris.MediaPlayer2">)", R"(<method name="OpenUri">)",
                                 R"(<property name="Metadata" type="a{sv}" access="read")",
                                 R"(<property name="Volume" type="d" access="readwrite")",
                                 R"(<property name="LoopStatus" type="s" access="readwrite")"})
        EXPECT_TRUE(xml.contains(QLatin1String(fragment))) << fragment;
    // Position changes all the time: clients must not wait for PropertiesChanged to learn it.
    EXPECT_TRUE(xml.contains(QRegularExpression(R"(<property name="Position" type="x" access="read">\s*)"
                                                R"(<annotation name="org.freedesktop.DBus.Property.EmitsChangedSignal")"
                                                R"( value="false"/>)")))
        << xml.toStdString();

    const QVariantMap expectedRoot{
        {"Identity", "Brennick MIDI Player"},
        {"DesktopEntry", "brennick-midi-player"},
        {"CanQuit", true},
        {"CanRaise", true},
        {"HasTrackList", false},
        {"SupportedUriSchemes", QStringList{"file"}},
        {"SupportedMimeTypes", QStringList{"audio/midi", "audio/x-midi", "audio/x-sysex"}},
    };
    EXPECT_EQ(properties("org.mpris.MediaPlayer2"), expectedRoot);
    QVariantMap player = properties(kPlayer);
    EXPECT_EQ(player.value("PlaybackStatus"), "Stopped");
    EXPECT_EQ(player.value("CanPlay"), false);
    EXPECT_EQ(player.value("Rate"), 1.0);
    EXPECT_TRUE(qdbus_cast<QVariantMap>(player.value("Metadata")).isEmpty());
    EXPECT_EQ(player.value("CanGoNext"), false);
    EXPECT_EQ(player.value("CanGoPrevious"), false);
    EXPECT_EQ(player.value("LoopStatus"), "None");
    controls.setNavigation(true, false);
    controls.setLoopStatus(MediaControls::LoopStatus::Playlist);
    player = properties(kPlayer);
    EXPECT_EQ(player.value("CanGoNext"), true);
    EXPECT_EQ(player.value("CanGoPrevious"), false);
    EXPECT_EQ(player.value("LoopStatus"), "Playlist");

    double positionSeconds = 12.25;
    controls.setPositionProvider([&] { return positionSeconds; });
    controls.setPlaying("/music/a b.mid", "Carrow", 90.5);
    player = properties(kPlayer);
    EXPECT_EQ(player.value("PlaybackStatus"), "Playing");
    EXPECT_EQ(player.value("CanPlay"), true);
    EXPECT_EQ(player.value("Position"), qlonglong{12'250'000});
    const QVariantMap metadata = qdbus_cast<QVariantMap>(player.value("Metadata"));
    EXPECT_EQ(metadata.value("xesam:title"), "a b.mid");
    EXPECT_EQ(metadata.value("xesam:artist"), QStringList{"Carrow"});
    EXPECT_EQ(metadata.value("xesam:url"), "file:///music/a%20b.mid");
    EXPECT_EQ(metadata.value("mpris:length"), qlonglong{90'500'000});
    EXPECT_EQ(metadata.value("mpris:length").typeId(), QMetaType::LongLong) << "clients want int64";
    EXPECT_TRUE(metadata.value("mpris:trackid").value<QDBusObjectPath>().path().startsWith("/com/brennick/"));

    // Odd positions stay inside the track.
    for (const auto& [seconds, expected] : {std::pair{-3.0, 0LL}, {NAN, 0LL}, {1e300, 90'500'000LL}}) {
        positionSeconds = seconds;
        EXPECT_EQ(properties(kPlayer).value("Position"), qlonglong{expected}) << seconds;
    }

    controls.setStopped();
    player = properties(kPlayer);
    EXPECT_EQ(player.value("PlaybackStatus"), "Stopped");
    EXPECT_EQ(player.value("CanPlay"), true);
    EXPECT_EQ(player.value("Position"), qlonglong{0});
}

// A GLib client, as desktop panels are, told of each change and only of what changed.
TEST_F(MediaControlsOnTheBus, PropertiesChangedNamesWhatChanged)
{
    MediaControls controls;
    QProcess monitor;
    monitor.start(QStringLiteral("gdbus"), {"monitor", "--session", "--dest", kName, "--object-path", kPath});
    auto nextChange = [&](int timeoutMs) {
        while (monitor.canReadLine() || monitor.waitForReadyRead(timeoutMs)) {
            const QString line = QString::fromUtf8(monitor.readLine());
            if (line.contains("PropertiesChanged ('org.mpris.MediaPlayer2.Player', {"))
                return line;
        }
        return QString();
    };
    // gdbus subscribes a little after it has found the owner: change until a change shows, then
    // skip to a known one.
    QString seen;
    for (int attempt = 0; attempt < 100 && seen.isEmpty(); ++attempt) {
        controls.setPlaying("/music/probe.mid", "", -1);
        seen = nextChange(100);
    }
    controls.setPlaying("/music/marker.mid", "", -1);
    while (!seen.contains("marker.mid")) {
        seen = nextChange(10000);
        ASSERT_FALSE(seen.isEmpty());
    }

    controls.setStopped();
    controls.setStopped();  // no change, no signal
    controls.setPlaying("/music/a.mid", "Carrow", 90);
    EXPECT_TRUE(nextChange(10000).contains("{'PlaybackStatus': <'Stopped'>}, @as [])"));
    const QString playing = nextChange(10000);
    EXPECT_TRUE(playing.contains("'PlaybackStatus': <'Playing'>") && playing.contains("'xesam:title': <'a.mid'>"))
        << playing.toStdString();
    EXPECT_FALSE(playing.contains("CanPlay")) << "unchanged";
    controls.setNavigation(false, true);
    controls.setLoopStatus(MediaControls::LoopStatus::Track);
    EXPECT_TRUE(nextChange(10000).contains("{'CanGoPrevious': <true>}, @as [])"));
    EXPECT_TRUE(nextChange(10000).contains("{'LoopStatus': <'Track'>}, @as [])"));
    monitor.kill();
    monitor.waitForFinished();
}

TEST_F(MediaControlsOnTheBus, RemoteCallsReachTheController)
{
    struct Row {
        const char* state;  // idle, playing, paused, stopped, list (playing, with a next and a previous file)
        const char* method;
        const char* expected;  // the request it makes, "" for none
    };
    const Row rows[] = {
        {"idle", "Player.Play", ""},
        {"idle", "Player.PlayPause", ""},
        {"playing", "Player.Play", ""},
        {"playing", "Player.Stop", "stop"},
        {"playing", "Player.PlayPause", "pause"},
        {"playing", "Player.Pause", "pause"},
        {"paused", "Player.Pause", ""},
        {"paused", "Player.Play", "resume"},
        {"paused", "Player.PlayPause", "resume"},
        {"paused", "Player.Stop", "stop"},
        {"stopped", "Player.Play", "play"},
        {"stopped", "Player.PlayPause", "play"},
        {"stopped", "Player.Stop", ""},
        {"stopped", "Player.Pause", ""},
        {"playing", "Player.Next", ""},
        {"playing", "Player.Previous", ""},
        {"list", "Player.Next", "next"},
        {"list", "Player.Previous", "previous"},
        {"idle", "Raise", "raise"},
        {"playing", "Quit", "quit"},
    };
    for (const Row& row : rows) {
        MediaControls controls;
        if (qstrcmp(row.state, "idle") != 0)
            controls.setPlaying("/music/a.mid", "Carrow", 10);
        if (qstrcmp(row.state, "paused") == 0)
            controls.setPaused(true);
        if (qstrcmp(row.state, "stopped") == 0)
            controls.setStopped();
        if (qstrcmp(row.state, "list") == 0)
            controls.setNavigation(true, true);
        QSignalSpy play(&controls, &MediaControls::playRequested), stop(&controls, &MediaControls::stopRequested),
            pause(&controls, &MediaControls::pauseRequested), resume(&controls, &MediaControls::resumeRequested),
            raise(&controls, &MediaControls::raiseRequested), quit(&controls, &MediaControls::quitRequested),
            next(&controls, &MediaControls::nextRequested), previous(&controls, &MediaControls::previousRequested);
        const QString method = QString::fromLatin1(row.method);
        const qsizetype dot = method.lastIndexOf('.');
        const QString interface = QStringLiteral("org.mpris.MediaPlayer2") + (dot < 0 ? "" : "." + method.left(dot));
        EXPECT_EQ(call(interface, method.mid(dot + 1)).type(), QDBusMessage::ReplyMessage) << row.method;
        const std::pair<const char*, QSignalSpy*> spies[] = {
            {"play", &play}, {"stop", &stop}, {"pause", &pause},       {"resume", &resume},
            {"raise", &raise}, {"quit", &quit}, {"next", &next}, {"previous", &previous}};
        for (const auto& [request, spy] : spies)
            EXPECT_EQ(spy->size(), qstrcmp(request, row.expected) == 0) << row.method << " " << row.state;
    }
}

// Seek and SetPosition ask the controller to move (within the current track); the controller's
// answer is announced with Seeked. Rate may be written within its bounds; Volume is accepted and
// changes nothing.
TEST_F(MediaControlsOnTheBus, SeekPositionAndRateReachTheController)
{
    MediaControls controls;
    double position = 20.0;
    controls.setPositionProvider([&] { return position; });
    controls.setPlaying("/music/a.mid", "Carrow", 60);
    const QString track =
        qdbus_cast<QVariantMap>(properties(kPlayer).value("Metadata")).value("mpris:trackid").value<QDBusObjectPath>().path();
    QSignalSpy seek(&controls, &MediaControls::seekRequested), rate(&controls, &MediaControls::rateRequested);
    call(kPlayer, "Seek", {qlonglong{-5'000'000}});
    call(kPlayer, "SetPosition", {QVariant::fromValue(QDBusObjectPath(track)), qlonglong{30'000'000}});
    call(kPlayer, "SetPosition", {QVariant::fromValue(QDBusObjectPath("/other/track")), qlonglong{1'000'000}});
    call(kPlayer, "SetPosition", {QVariant::fromValue(QDBusObjectPath(track)), qlonglong{61'000'000}});
    ASSERT_EQ(seek.size(), 2);
    EXPECT_DOUBLE_EQ(seek[0][0].toDouble(), 15.0);
    EXPECT_DOUBLE_EQ(seek[1][0].toDouble(), 30.0);

    const std::pair<const char*, double> writes[] = {{"Volume", 0.5}, {"Rate", 0.5}, {"Rate", 3.0}, {"Rate", 0.0}};
    for (const auto& [property, value] : writes) {
        const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"), "Set",
                                        {kPlayer, property, QVariant::fromValue(QDBusVariant(value))});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << property << " " << value;
    }
    EXPECT_EQ(properties(kPlayer).value("Volume"), 1.0);
    ASSERT_EQ(rate.size(), 2);  // 0 is no rate
    EXPECT_DOUBLE_EQ(rate[0][0].toDouble(), 0.5);
    EXPECT_DOUBLE_EQ(rate[1][0].toDouble(), 2.0);  // within MaximumRate
    controls.setRate(0.75);
    const QVariantMap player = properties(kPlayer);
    EXPECT_EQ(player.value("Rate"), 0.75);
    EXPECT_EQ(player.value("MinimumRate"), 0.5);
    EXPECT_EQ(player.value("MaximumRate"), 2.0);
    EXPECT_EQ(player.value("CanPause"), true);
    EXPECT_EQ(player.value("CanSeek"), true);
    controls.setPaused(true);
    EXPECT_EQ(properties(kPlayer).value("PlaybackStatus"), "Paused");
}

// Writing LoopStatus asks the controller, which answers with setLoopStatus; until then, and for a
// value MPRIS does not name, it reads as before.
TEST_F(MediaControlsOnTheBus, WritingLoopStatusAsksTheController)
{
    using Loop = MediaControls::LoopStatus;
    const std::pair<const char*, std::optional<Loop>> writes[] = {
        {"Track", Loop::Track}, {"Playlist", Loop::Playlist}, {"None", Loop::None}, {"track", {}}, {"", {}}};
    for (const auto& [value, requested] : writes) {
        MediaControls controls;
        QSignalSpy asked(&controls, &MediaControls::loopStatusRequested);
        const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"), "Set",
                                        {kPlayer, "LoopStatus", QVariant::fromValue(QDBusVariant(QString(value)))});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << value;
        ASSERT_EQ(asked.size(), requested ? 1 : 0) << value;
        if (requested) {
            EXPECT_EQ(asked.value(0).value(0).value<Loop>(), *requested) << value;
        }
        EXPECT_EQ(properties(kPlayer).value("LoopStatus"), "None") << value;
    }
}

TEST_F(MediaControlsOnTheBus, OpenUriTakesOnlyAbsoluteLocalFiles)
{
    MediaControls controls;
    QSignalSpy opened(&controls, &MediaControls::openUriRequested);
    const std::pair<QString, QString> uris[] = {
        {"file:///music/a%20b.mid", "/music/a b.mid"},
        {"file://localhost/c.syx", "/c.syx"},
        {"file:///music/%FF%20x.mid", decodeLocalPath("/music/\xFF x.mid")},  // the name's bytes
        {"http://example.com/a.mid", ""},
        {"file://elsewhere/a.mid", ""},
        {"file:a.mid", ""},
        {"/a.mid", ""},
        {"", ""},
        {"file:///music/song.mid%00.txt", ""},
        {"file:///" + QString(30'000'000, u'a'), ""},
    };
    for (const auto& [uri, path] : uris) {
        opened.clear();
        const QDBusMessage reply = call(kPlayer, "OpenUri", {uri});
        EXPECT_EQ(reply.errorName(), path.isEmpty() ? "org.freedesktop.DBus.Error.InvalidArgs" : "")
            << uri.left(40).toStdString();
        EXPECT_TRUE(opened.value(0).value(0).toString() == path) << uri.left(40).toStdString();
    }
}

TEST_F(MediaControlsOnTheBus, SecondPlayerTakesAnInstanceNameAndLeavingFreesIt)
{
    auto first = std::make_unique<MediaControls>();
    MediaControls second;
    EXPECT_EQ(first->busName(), kName);
    EXPECT_EQ(second.busName(), kName + ".instance" + QString::number(QCoreApplication::applicationPid()));
    first.reset();
    EXPECT_FALSE(client().interface()->isServiceRegistered(kName).value());
}

TEST_F(MediaControlsOnTheBus, RunsSilentlyWithoutABus)
{
    static int messages = 0;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) { ++messages; });
    for (const char* address : {"", "unix:path=/nonexistent/bus", "nonsense"}) {
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        MediaControls controls;
        EXPECT_TRUE(controls.busName().isEmpty()) << address;
        controls.setPlaying("/music/a.mid", "Carrow", 10);
        controls.setStopped();
    }
    qInstallMessageHandler(previous);
    qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8());
    EXPECT_EQ(messages, 0);
}

}  // namespace
}  // namespace brennick
