#pragma once
// Desktop media controls: the player as an MPRIS 2 media player on the D-Bus session bus, so media
// keys, panel widgets and tools such as playerctl can see what plays and start or stop it.

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <optional>

namespace brennick {

// The session bus of this user: DBUS_SESSION_BUS_ADDRESS when set, else the user's bus socket
// $XDG_RUNTIME_DIR/bus when it is a socket of this user, else empty (no bus).
QString sessionBusAddress();

// Settles sessionBusAddress() in DBUS_SESSION_BUS_ADDRESS for the whole process, so that Qt's own
// users of the bus (the global menu bar, accessibility) join the same bus as the media controls,
// or none: unset, libdbus would start a bus of its own through X11 (dbus-launch), which outlives
// the player. Call before the GUI application exists, while the process has one thread.
void settleSessionBus();

// Offers org.mpris.MediaPlayer2 and org.mpris.MediaPlayer2.Player at /org/mpris/MediaPlayer2 under
// the bus name kBusName, or kBusName + ".instance<pid>" while another process holds that one. The
// controller reports what plays through setPlaying()/setStopped() and acts on the request signals;
// nothing here touches playback itself.
//
// Without a session bus (none at sessionBusAddress(), the bus unreachable, or no name to be had)
// the object works as usual, only nobody outside sees it, and nothing is printed. Nothing here
// launches a bus; settleSessionBus() keeps the rest of the process from doing so.
//
// What a remote call does:
//   Play        resumeRequested() while paused; playRequested() while stopped with a file to play
//               again; else nothing.
//   Pause       pauseRequested() while playing; else nothing.
//   Stop        stopRequested() while playing or paused; else nothing.
//   PlayPause   Pause while playing, Play while paused or stopped.
//   Seek, SetPosition   seekRequested(seconds from the start) while playing or paused; a
//               SetPosition for another track, or outside the file, is ignored. The controller
//               answers with seeked().
//   Next        nextRequested() while CanGoNext (as setNavigation() last said); else nothing.
//   Previous    previousRequested() while CanGoPrevious; else nothing.
//   OpenUri     openUriRequested(path) for an absolute local file:// URI, decoded as the command
//               line decodes one (platform/local_path.h); any other URI (also one that decodes to
//               a NUL byte, or one longer than any path could need) is answered with InvalidArgs.
//   Setting Rate   rateRequested(rate), within MinimumRate and MaximumRate; the controller
//               answers with setRate().
//   Setting Volume   accepted, and nothing changes (full volume only).
//   Setting LoopStatus   loopStatusRequested() with None, Track or Playlist; any other value is
//               ignored. What LoopStatus reads is what the controller last set with setLoopStatus().
//   Raise, Quit raiseRequested(), quitRequested().
// The signals are emitted on this object's thread while the call is being answered. Position is not
// announced with PropertiesChanged (its introspection says so): clients ask for it.
//
// Must live on a thread with a running event loop (the GUI thread), after QCoreApplication exists.
class MediaControls : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kBusName = "org.mpris.MediaPlayer2.brennick_midi_player";
    static constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
    static constexpr double kMinimumRate = 0.5;
    static constexpr double kMaximumRate = 2.0;

    // What the end of a file leads to: nothing, the same file again, the list from its start.
    enum class LoopStatus { None, Track, Playlist };
    Q_ENUM(LoopStatus)

    // Connects to the session bus and claims a bus name; see above for when it runs without one.
    explicit MediaControls(QObject* parent = nullptr);
    // Leaves the bus: the bus name is free again when this returns.
    ~MediaControls() override;

    // The bus name owned, or empty while running without a session bus.
    QString busName() const;

    // Where the position of the playing file comes from, in seconds from its start; read only when
    // a client asks for Position, and only while playing. Values below 0, beyond the length or not
    // finite are clamped (0 for not finite). Without a provider the position reads 0.
    void setPositionProvider(std::function<double()> seconds);

public slots:
    // A file started playing: `filePath` is its absolute path (the title shown is its file name,
    // the URL its file:// form), `destinationName` the display name of the MIDI destination (shown
    // as the artist; empty leaves it out), `lengthSeconds` its length (left out when negative or
    // not finite). Each call is a new track, also for the same file.
    void setPlaying(const QString& filePath, const QString& destinationName, double lengthSeconds);
    // Playback ended or was stopped. The last file stays shown, and Play plays it again.
    void setStopped();
    // The file playing was paused or resumed.
    void setPaused(bool paused);
    // The tempo, as a fraction of the song's own.
    void setRate(double rate);
    // The position moved to `seconds` from the start: sends Seeked.
    void seeked(double seconds);
    // Whether Next and Previous lead to another file now (CanGoNext, CanGoPrevious); both false
    // until set.
    void setNavigation(bool canGoNext, bool canGoPrevious);
    // LoopStatus; None until set.
    void setLoopStatus(brennick::MediaControls::LoopStatus status);

signals:
    void playRequested();
    void stopRequested();
    void pauseRequested();
    void resumeRequested();
    void seekRequested(double seconds);
    void rateRequested(double rate);
    void raiseRequested();
    void quitRequested();
    // `path` is the absolute local path of the file:// URI a client asked to open.
    void openUriRequested(const QString& path);
    void nextRequested();
    void previousRequested();
    // A client wrote LoopStatus; nothing changes until the controller calls setLoopStatus().
    void loopStatusRequested(brennick::MediaControls::LoopStatus status);

private:
    friend class MprisRootAdaptor;
    friend class MprisPlayerAdaptor;

    // The rules of the remote Play, Stop and PlayPause.
    void play();
    void stop();
    void playPause();
    void pause();
    void seekBy(qlonglong offsetMicroseconds);
    void seekTo(const QString& trackId, qlonglong positionMicroseconds);
    void requestRate(double rate);

    QString playbackStatus() const;
    bool canPlay() const { return !filePath_.isEmpty(); }
    QVariantMap metadata() const;
    std::int64_t positionMicroseconds() const;
    void next();
    void previous();
    QString loopStatusName() const;
    void requestLoopStatus(const QString& name);

    // The Player properties that change (PlaybackStatus, CanPlay, Metadata, CanGoNext,
    // CanGoPrevious, LoopStatus), by name.
    QVariantMap changingPlayerProperties() const;
    // Sends PropertiesChanged with those of them that differ from `before`.
    void announceChangesSince(const QVariantMap& before);

    QString connectionName_;  // empty while off the bus
    QString busName_;
    bool playing_ = false;  // also while paused
    bool paused_ = false;
    double rate_ = 1.0;
    QString filePath_;  // of the current or last file; empty before the first
    QString destinationName_;
    std::optional<std::int64_t> lengthMicroseconds_;
    std::uint64_t trackNumber_ = 0;
    bool canGoNext_ = false;
    bool canGoPrevious_ = false;
    LoopStatus loopStatus_ = LoopStatus::None;
    std::function<double()> positionSeconds_;
};

}  // namespace brennick
