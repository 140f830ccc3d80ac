#include "platform/media_controls.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <climits>
#include <cmath>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/local_path.h"

namespace brennick {

namespace {

const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kTrackPathPrefix = QStringLiteral("/com/brennick/MIDIPlayer/Track/");

// LoopStatus values as MPRIS spells them, in the order of MediaControls::LoopStatus.
const QStringList kLoopStatusNames{QStringLiteral("None"), QStringLiteral("Track"), QStringLiteral("Playlist")};

// Microseconds, the unit of every MPRIS time, in a signed 64-bit integer: up to about 292000 years.
constexpr double kMaxSeconds = 9.2e12;

std::optional<std::int64_t> microsecondsOf(double seconds)
{
    if (!(seconds >= 0 && seconds <= kMaxSeconds))  // also false for NaN
        return std::nullopt;
    return std::llround(seconds * 1e6);
}

// Longest OpenUri argument looked at: "file://localhost" and a path of PATH_MAX bytes, each of them
// percent-encoded. A longer one names no file the system could open, and is refused before it
// costs anything more.
constexpr qsizetype kMaxUriLength = qsizetype(sizeof "file://localhost" - 1) + 3 * PATH_MAX;

// The absolute local path a file:// URI names, as the command line takes it (the name's bytes,
// which need not be UTF-8), or empty when it names none (other scheme, another host, a relative
// or empty path, a NUL byte, a URI too long).
QString localPathOf(const QString& uri)
{
    if (uri.size() > kMaxUriLength)
        return {};
    const std::optional<QString> path = localPathOfFileUrl(uri);
    return path && path->startsWith(u'/') ? *path : QString();
}

// An address of a transport that no D-Bus library knows: connecting fails at once, quietly, and
// nothing is launched in its place.
constexpr char kNoBusAddress[] = "none:";

// `bytes` as a D-Bus address value: bytes outside [-0-9A-Za-z_/.\*] become %XX.
QByteArray addressEscaped(const QByteArray& bytes)
{
    return bytes.toPercentEncoding("/.\\*", "~", '%');
}

}  // namespace

QString sessionBusAddress()
{
    if (const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"); !address.isEmpty())
        return address;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray socket = runtime + "/bus";
    struct stat info {};
    if (runtime.isEmpty() || ::stat(socket.constData(), &info) != 0 || !S_ISSOCK(info.st_mode) ||
        info.st_uid != ::geteuid())
        return {};
    return QString::fromLatin1("unix:path=" + addressEscaped(socket));
}

void settleSessionBus()
{
    const QString address = sessionBusAddress();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.isEmpty() ? QByteArray(kNoBusAddress) : address.toLatin1());
}

// The object at kObjectPath, carrying both interfaces. The context of the call being answered is
// kept here, where the adaptors find it.
class MprisObject : public QObject, public QDBusContext {
    Q_OBJECT
public:
    explicit MprisObject(QObject* parent) : QObject(parent) {}
};

// org.mpris.MediaPlayer2: who the player is, and the window-level requests.
class MprisRootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ yes)
    Q_PROPERTY(bool CanRaise READ yes)
    Q_PROPERTY(bool HasTrackList READ no)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes)
public:
    MprisRootAdaptor(MprisObject* object, MediaControls* controls) : QDBusAbstractAdaptor(object), controls_(controls)
    {
    }

public slots:
    void Raise() { emit controls_->raiseRequested(); }
    void Quit() { emit controls_->quitRequested(); }

private:
    bool yes() const { return true; }
    bool no() const { return false; }
    QString identity() const { return QStringLiteral("Brennick MIDI Player"); }
    // The desktop entry's file name without ".desktop", so panels can show its icon.
    QString desktopEntry() const { return QStringLiteral("brennick-midi-player"); }
    QStringList supportedUriSchemes() const { return {QStringLiteral("file")}; }
    QStringList supportedMimeTypes() const
    {
        return {QStringLiteral("audio/midi"), QStringLiteral("audio/x-midi"), QStringLiteral("audio/x-sysex")};
    }

    MediaControls* controls_;
};

// org.mpris.MediaPlayer2.Player: what plays; play, pause, stop, seek, rate, next/previous and
// repeat. Full volume only: writing Volume is accepted and changes nothing. Written out rather
// than generated from the properties, for what generation cannot say: Position changes all the
// time without PropertiesChanged (clients ask for it, or follow Seeked), and Rate, Volume and
// LoopStatus may be written.
class MprisPlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_CLASSINFO("D-Bus Introspection",
                "  <interface name=\"org.mpris.MediaPlayer2.Player\">\n"
                "    <method name=\"Next\"/>\n"
                "    <method name=\"Previous\"/>\n"
                "    <method name=\"Pause\"/>\n"
                "    <method name=\"PlayPause\"/>\n"
                "    <method name=\"Stop\"/>\n"
                "    <method name=\"Play\"/>\n"
                "    <method name=\"Seek\">\n"
                "      <arg name=\"Offset\" type=\"x\" direction=\"in\"/>\n"
                "    </method>\n"
                "    <method name=\"SetPosition\">\n"
                "      <arg name=\"TrackId\" type=\"o\" direction=\"in\"/>\n"
                "      <arg name=\"Position\" type=\"x\" direction=\"in\"/>\n"
                "    </method>\n"
                "    <method name=\"OpenUri\">\n"
                "      <arg name=\"Uri\" type=\"s\" direction=\"in\"/>\n"
                "    </method>\n"
                "    <signal name=\"Seeked\">\n"
                "      <arg name=\"Position\" type=\"x\"/>\n"
                "    </signal>\n"
                "    <property name=\"PlaybackStatus\" type=\"s\" access=\"read\"/>\n"
                "    <property name=\"Metadata\" type=\"a{sv}\" access=\"read\"/>\n"
                "    <property name=\"Position\" type=\"x\" access=\"read\">\n"
                "      <annotation name=\"org.freedesktop.DBus.Property.EmitsChangedSignal\" value=\"false\"/>\n"
                "    </property>\n"
                "    <property name=\"Rate\" type=\"d\" access=\"readwrite\"/>\n"
                "    <property name=\"MinimumRate\" type=\"d\" access=\"read\"/>\n"
                "    <property name=\"MaximumRate\" type=\"d\" access=\"read\"/>\n"
                "    <property name=\"Volume\" type=\"d\" access=\"readwrite\"/>\n"
                "    <property name=\"LoopStatus\" type=\"s\" access=\"readwrite\"/>\n"
                "    <property name=\"CanGoNext\" type=\"b\" access=\"read\"/>\n"
                "    <property name=\"CanGoPrevious\" type=\"b\" access=\"read\"/>\n"
                "    <property name=\"CanPlay\" type=\"b\" access=\"read\"/>\n"
                "    <property name=\"CanPause\" type=\"b\" access=\"read\"/>\n"
                "    <property name=\"CanSeek\" type=\"b\" access=\"read\"/>\n"
                "    <property name=\"CanControl\" type=\"b\" access=\"read\"/>\n"
                "  </interface>\n")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(double Rate READ rate WRITE setRate)
    Q_PROPERTY(double MinimumRate READ minimumRate)
    Q_PROPERTY(double MaximumRate READ maximumRate)
    Q_PROPERTY(double Volume READ one WRITE ignore)
    Q_PROPERTY(QString LoopStatus READ loopStatus WRITE setLoopStatus)
    Q_PROPERTY(bool CanGoNext READ canGoNext)
    Q_PROPERTY(bool CanGoPrevious READ canGoPrevious)
    Q_PROPERTY(bool CanPlay READ canPlay)
    Q_PROPERTY(bool CanPause READ yes)
    Q_PROPERTY(bool CanSeek READ yes)
    Q_PROPERTY(bool CanControl READ yes)
public:
    MprisPlayerAdaptor(MprisObject* object, MediaControls* controls)
        : QDBusAbstractAdaptor(object), object_(object), controls_(controls)
    {
    }

public slots:
    void Play() { controls_->play(); }
    void Stop() { controls_->stop(); }
    void PlayPause() { controls_->playPause(); }
    void Pause() { controls_->pause(); }
    void Next() { controls_->next(); }
    void Previous() { controls_->previous(); }
    void Seek(qlonglong Offset) { controls_->seekBy(Offset); }
    void SetPosition(const QDBusObjectPath& TrackId, qlonglong Position) { controls_->seekTo(TrackId.path(), Position); }
    void OpenUri(const QString& Uri)
    {
        const QString path = localPathOf(Uri);
        if (path.isEmpty()) {
            object_->sendErrorReply(QDBusError::InvalidArgs,
                                    QStringLiteral("Only absolute file:// URIs can be opened"));
            return;
        }
        emit controls_->openUriRequested(path);
    }

signals:
    // After every seek, with the new position in microseconds.
    void Seeked(qlonglong Position);

private:
    QString playbackStatus() const { return controls_->playbackStatus(); }
    QVariantMap metadata() const { return controls_->metadata(); }
    qlonglong position() const { return controls_->positionMicroseconds(); }
    bool canPlay() const { return controls_->canPlay(); }
    bool canGoNext() const { return controls_->canGoNext_; }
    bool canGoPrevious() const { return controls_->canGoPrevious_; }
    QString loopStatus() const { return controls_->loopStatusName(); }
    void setLoopStatus(const QString& name) { controls_->requestLoopStatus(name); }
    double one() const { return 1.0; }
    void ignore(double) {}
    double rate() const { return controls_->rate_; }
    void setRate(double rate) { controls_->requestRate(rate); }
    double minimumRate() const { return MediaControls::kMinimumRate; }
    double maximumRate() const { return MediaControls::kMaximumRate; }
    bool yes() const { return true; }
    bool no() const { return false; }

    MprisObject* object_;
    MediaControls* controls_;
};

MediaControls::MediaControls(QObject* parent) : QObject(parent)
{
    // No fallback to a launched bus: without an address there is no session to join.
    const QString address = sessionBusAddress();
    if (address.isEmpty())
        return;
    // A connection of our own, so that closing it frees the bus name at once.
    connectionName_ = QStringLiteral("brennick-media-controls-%1").arg(reinterpret_cast<quintptr>(this), 0, 16);
    QDBusConnection bus = QDBusConnection::connectToBus(address, connectionName_);
    if (bus.isConnected()) {
        auto* object = new MprisObject(this);
        new MprisRootAdaptor(object, this);
        new MprisPlayerAdaptor(object, this);
        if (bus.registerObject(QString::fromLatin1(kObjectPath), object, QDBusConnection::ExportAdaptors)) {
            const QString name = QString::fromLatin1(kBusName);
            const QString instanceName =
                name + QStringLiteral(".instance") + QString::number(QCoreApplication::applicationPid());
            for (const QString& candidate : {name, instanceName}) {
                if (bus.registerService(candidate)) {
                    busName_ = candidate;
                    return;
                }
            }
        }
    }
    QDBusConnection::disconnectFromBus(connectionName_);
    connectionName_.clear();
}

MediaControls::~MediaControls()
{
    if (!connectionName_.isEmpty())
        QDBusConnection::disconnectFromBus(connectionName_);
}

QString MediaControls::busName() const
{
    return busName_;
}

void MediaControls::setPositionProvider(std::function<double()> seconds)
{
    positionSeconds_ = std::move(seconds);
}

void MediaControls::setPlaying(const QString& filePath, const QString& destinationName, double lengthSeconds)
{
    const QVariantMap before = changingPlayerProperties();
    playing_ = true;
    filePath_ = filePath;
    destinationName_ = destinationName;
    lengthMicroseconds_ = microsecondsOf(lengthSeconds);
    ++trackNumber_;
    announceChangesSince(before);
}

void MediaControls::setStopped()
{
    const QVariantMap before = changingPlayerProperties();
    playing_ = false;
    paused_ = false;
    announceChangesSince(before);
}

void MediaControls::setNavigation(bool canGoNext, bool canGoPrevious)
{
    const QVariantMap before = changingPlayerProperties();
    canGoNext_ = canGoNext;
    canGoPrevious_ = canGoPrevious;
    announceChangesSince(before);
}

void MediaControls::setLoopStatus(LoopStatus status)
{
    const QVariantMap before = changingPlayerProperties();
    loopStatus_ = status;
    announceChangesSince(before);
}

void MediaControls::next()
{
    if (canGoNext_)
        emit nextRequested();
}

void MediaControls::previous()
{
    if (canGoPrevious_)
        emit previousRequested();
}

QString MediaControls::loopStatusName() const
{
    return kLoopStatusNames.value(qsizetype(loopStatus_));
}

void MediaControls::requestLoopStatus(const QString& name)
{
    if (const qsizetype index = kLoopStatusNames.indexOf(name); index >= 0)
        emit loopStatusRequested(LoopStatus(index));
}

void MediaControls::play()
{
    if (paused_)
        emit resumeRequested();
    else if (!playing_ && canPlay())
        emit playRequested();
}

void MediaControls::stop()
{
    if (playing_)
        emit stopRequested();
}

void MediaControls::playPause()
{
    if (playing_ && !paused_)
        pause();
    else
        play();
}

void MediaControls::pause()
{
    if (playing_ && !paused_)
        emit pauseRequested();
}

void MediaControls::seekBy(qlonglong offsetMicroseconds)
{
    if (playing_)
        emit seekRequested(double(positionMicroseconds() + offsetMicroseconds) / 1e6);
}

void MediaControls::seekTo(const QString& trackId, qlonglong positionMicroseconds)
{
    // A position for another track than the current one is ignored, as the interface asks.
    if (playing_ && trackId == kTrackPathPrefix + QString::number(trackNumber_) && positionMicroseconds >= 0 &&
        (!lengthMicroseconds_ || positionMicroseconds <= *lengthMicroseconds_))
        emit seekRequested(double(positionMicroseconds) / 1e6);
}

void MediaControls::requestRate(double rate)
{
    if (std::isfinite(rate) && rate > 0.0)
        emit rateRequested(std::clamp(rate, kMinimumRate, kMaximumRate));
}

void MediaControls::setPaused(bool paused)
{
    const QVariantMap before = changingPlayerProperties();
    paused_ = paused;
    announceChangesSince(before);
}

void MediaControls::setRate(double rate)
{
    const QVariantMap before = changingPlayerProperties();
    rate_ = rate;
    announceChangesSince(before);
}

void MediaControls::seeked(double seconds)
{
    if (connectionName_.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kObjectPath), kPlayerInterface,
                                                     QStringLiteral("Seeked"));
    signal << qlonglong(*microsecondsOf(std::clamp(seconds, 0.0, kMaxSeconds)));
    QDBusConnection(connectionName_).send(signal);
}

QString MediaControls::playbackStatus() const
{
    return !playing_ ? QStringLiteral("Stopped") : paused_ ? QStringLiteral("Paused") : QStringLiteral("Playing");
}

QVariantMap MediaControls::metadata() const
{
    if (filePath_.isEmpty())
        return {};
    QVariantMap entries{
        {QStringLiteral("mpris:trackid"),
         QVariant::fromValue(QDBusObjectPath(kTrackPathPrefix + QString::number(trackNumber_)))},
        {QStringLiteral("xesam:title"), QFileInfo(filePath_).fileName()},
        {QStringLiteral("xesam:url"), QUrl::fromLocalFile(filePath_).toString(QUrl::FullyEncoded)},
    };
    if (!destinationName_.isEmpty())
        entries.insert(QStringLiteral("xesam:artist"), QStringList{destinationName_});
    if (lengthMicroseconds_)
        entries.insert(QStringLiteral("mpris:length"), qlonglong{*lengthMicroseconds_});
    return entries;
}

std::int64_t MediaControls::positionMicroseconds() const
{
    if (!playing_ || !positionSeconds_)
        return 0;
    const double seconds = positionSeconds_();
    if (!std::isfinite(seconds))
        return 0;
    const std::int64_t microseconds = *microsecondsOf(std::clamp(seconds, 0.0, kMaxSeconds));
    return lengthMicroseconds_ ? std::min(microseconds, *lengthMicroseconds_) : microseconds;
}

QVariantMap MediaControls::changingPlayerProperties() const
{
    return {
        {QStringLiteral("PlaybackStatus"), playbackStatus()},
        {QStringLiteral("CanPlay"), canPlay()},
        {QStringLiteral("Rate"), rate_},
        {QStringLiteral("Metadata"), metadata()},
        {QStringLiteral("CanGoNext"), canGoNext_},
        {QStringLiteral("CanGoPrevious"), canGoPrevious_},
        {QStringLiteral("LoopStatus"), loopStatusName()},
    };
}

void MediaControls::announceChangesSince(const QVariantMap& before)
{
    if (connectionName_.isEmpty())
        return;
    QVariantMap changed = changingPlayerProperties();
    for (auto it = changed.begin(); it != changed.end();)
        it = before.value(it.key()) == it.value() ? changed.erase(it) : std::next(it);
    if (changed.isEmpty())
        return;
    QDBusMessage signal =
        QDBusMessage::createSignal(QString::fromLatin1(kObjectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << kPlayerInterface << changed << QStringList();
    QDBusConnection(connectionName_).send(signal);
}

}  // namespace brennick

#include "media_controls.moc"
