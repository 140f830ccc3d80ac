#pragma once
// The application controller: launch and termination, play requests, progress, settings, the
// resource sequence and the no-device alert all meet here.

#include <QMenu>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "services/music_services.h"
#include "services/smf_reader.h"

#include "app/destination_choice.h"
#include "app/model_preferences.h"
#include "app/playlist.h"
#include "app/recent_files.h"
#include "platform/media_controls.h"
#include "ui/menu_item.h"
#include "ui/midi_view.h"

namespace brennick {

struct Notification;
struct LoadedFile;
class SequenceLoader;
class DestinationLister;
class DumpReceiver;

class AppDelegate : public QObject {
    Q_OBJECT
public:
    // Subscribes to "PlayMIDIFile".
    AppDelegate();
    ~AppDelegate() override;

    // Outlets, connected by the main interface definition.
    QWidget* window() const { return window_; }
    void setWindow(QWidget* window) { window_ = window; }
    MIDIView* view() const { return view_; }
    void setView(MIDIView* view) { view_ = view; }
    QMenu* menu() const { return menu_; }
    void setMenu(QMenu* menu) { menu_ = menu; }
    MenuItem* autoQuit() const { return autoQuit_; }
    void setAutoQuit(MenuItem* item) { autoQuit_ = item; }
    MenuItem* openResourceFile() const { return openResourceFile_; }
    void setOpenResourceFile(MenuItem* item) { openResourceFile_ = item; }
    // Stop and Play Again: offered (enabled) only while there is something to stop, and once there
    // is a last file to play again.
    MenuItem* stopItem() const { return stopItem_; }
    void setStopItem(MenuItem* item);
    MenuItem* playAgainItem() const { return playAgainItem_; }
    void setPlayAgainItem(MenuItem* item);
    void setPauseItem(MenuItem* item);
    // Next and Previous: offered only where the list that plays leads somewhere.
    void setNextItem(MenuItem* item);
    void setPreviousItem(MenuItem* item);
    // The options "Play Several Files in Turn" and "Repeat" live in their items' states.
    void setPlayInTurnItem(MenuItem* item) { playInTurnItem_ = item; }
    void setRepeatItem(MenuItem* item);
    const QString& stringTxt() const { return stringTxt_; }
    void setStringTxt(const QString& text) { stringTxt_ = text; }

    QTimer* mainTimer() const { return mainTimer_; }
    QTimer* fileTimer() const { return fileTimer_; }

    // "PlayMIDIFile" with a path plays that file; with a list of paths (a drop of several files),
    // playMidiFiles.
    void receiveNotification(const Notification& notification);

    // File playback. A request's file is read and the MIDI destinations are listed off the window's
    // thread, at the same time; it plays once both are done, unless a newer request came meanwhile.
    // A file that cannot be played says why in the status text.
    void stopTimer();
    void playMidiFile(const QString* path);  // null: stop only
    // Several files at once (a drop, the open dialog): with "Play Several Files in Turn" on they
    // play one after another; otherwise the first plays, alone.
    void playMidiFiles(const QStringList& paths);
    // Reads the file and lists the destinations itself, waiting for both: for callers that may wait.
    std::int32_t playTheMIDIFile(const QString& path, const QString& destinationDevice);
    // The same with the file read and the destinations listed already.
    std::int32_t playTheMIDIFile(const QString& path, const QString& destinationDevice, SmfReadResult file,
                                 const DestinationListing& listing);

    // Launch and termination.
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    bool applicationOpenFile(const QString* filename);
    // Files given at launch or handed over by a later launch: in turn as playMidiFiles plays them;
    // otherwise the last plays, since each desktop request replaces the one before.
    void applicationOpenFiles(const QStringList& filenames);
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    // Whether get-URL requests reach handleGetURLEvent (registered while launching).
    bool handlesGetURLEvents() const { return getURLHandlerRegistered_; }
    // A URL that names no local file (sftp://, smb://, another host's file://, ...): leaves the
    // fixed get-URL log line and says "Cannot play <url>: not a local file". Nothing else changes.
    void handleGetURLEvent(const QString& url);

    // Settings file.
    void loadSettings();
    void saveSettings();
    static QString settingsPath();
    // Remembered per model; a change is saved at once, with the rest of the settings.
    ModelPreferences& modelPreferences() { return modelPreferences_; }

    // Model identification.
    QString checkSysexDestination(const QString& path);

    // Progress tracking, the progress timer's callback.
    void updateProgressBar();

    // Beyond the menu's open and auto-quit items: the desktop's media controls, Stop and Play Again,
    // the destination picked per model and its SysEx pacing. A user who never touches them gets
    // the automatic choice at 60000 bytes per second.
    MediaControls* mediaControls() const { return mediaControls_; }
    void setMediaControls(MediaControls* controls);
    // Ends playback now, as its end does ("Quit on stop" included): the player stops (a SysEx under
    // way finishes, sounding notes get note-offs), tracking stops and the status text is cleared.
    // With nothing to stop (no file being read or played) it does nothing.
    void doStop();
    // A request is being tracked: its file is read or plays.
    bool hasSomethingToStop() const { return mainTimer_ != nullptr; }
    // Plays the last file again from its start; in a list, the rest of the list follows.
    void doPlayAgain();

    // Several files in turn. A new request replaces the list; Stop keeps it, so Play Again, Next
    // and Previous go on from where it stood. A file that cannot be played is said and passed over.
    // At the end of a file the next plays; at the end of the list, or of a file played alone,
    // playback ends, unless Repeat starts the list, or the file, again (and "Quit on stop" waits
    // for a Stop).
    const Playlist& playlist() const { return playlist_; }
    void doNext();
    void doPrevious();
    // The options, remembered in the settings file; asking reads that file first when the settings
    // have not been loaded yet (files given at launch come before that).
    bool playsSeveralFilesInTurn();
    bool repeats();
    void setPlaysSeveralFilesInTurn(bool on);
    void setRepeats(bool on);
    // The files that played last, newest first; the "Recent Files" menu plays one alone.
    const RecentFiles& recentFiles() const { return recentFiles_; }
    void fillRecentFilesMenu(QMenu* menu);
    // Fill the "Send To" and "SysEx Pacing" menus for the model of the last file.
    void fillSendToMenu(QMenu* menu);
    void fillSysExPacingMenu(QMenu* menu);
    // Remembers `displayName` for the last file's model and plays the file there now; the empty
    // name forgets the pick, so the automatic choice holds again.
    void sendTo(const QString& displayName);

    // Pause and resume (Space, the menu, the media controls): a pause silences at once and holds
    // the position, the arc and its breathing; resume goes on with the synth given the song's
    // state there. Both do nothing without a file playing or paused.
    void doPauseResume();
    void doPause();
    void doResume();
    bool isPaused() const { return paused_; }
    // Moves the file playing or paused by `seconds`, or to `seconds` from its start (within the
    // file); a playing file goes on from there with the state chased.
    void seekBy(double seconds);
    void seekTo(double seconds);
    // The tempo of the file playing, 0.5 to 2 in steps; a change is remembered for that file (by
    // its contents) and used whenever it plays again.
    void setTempo(double rate);
    void stepTempo(int steps);
    double tempo() const { return tempo_; }
    void fillTempoMenu(QMenu* menu);
    // All notes off and reset all controllers on every channel of the destination, after a SysEx
    // under way; playback ends (without "Quit on stop": a panic is no request to quit).
    void doPanic();

    // Receiving a sound dump ("Receive Sound Dump…"): asks where to save it, then receives from
    // every source into that file as --receive does (app/dump_receiver.h); what plays stops first.
    // The status text counts what came and the full arc breathes. It ends after the silence that
    // follows a dump, or on Stop, a play request or quitting, and the status text and standard
    // output say what was saved.
    void doReceiveDump();
    void receiveDump(const QString& path);
    bool isReceiving() const { return receiver_ != nullptr; }

    // Resource sequence.
    std::int32_t checkIfFileIsInResource();
    void doOpenResourceFile();
    void doOpenResourceFile(QObject* sender);

    // No-device alert.
    void testDatabaseConnection(QObject* sender);
    [[noreturn]] void testDatabaseConnectionDidEnd(QMessageBox* alert, std::int32_t returnCode, void* contextInfo);
    QMessageBox* currentAlert() const { return alert_; }

private:
    // A file's player, started (or made ready to follow another), and what is shown while it plays.
    struct PlayingFile {
        MusicPlayer player = nullptr;
        MusicSequence sequence = nullptr;
        QString path;
        QString destinationName;
        std::optional<QString> pickGone;  // the destination picked for its model, not connected now
        MusicTimeStamp lengthBeats = 0.0;
        double seconds = 0.0;             // its length
        double sendingEndsSeconds = 0.0;  // when it has sent everything, at the latest
    };
    // The list's next file, its player made ready to begin on the frame the song that plays ends.
    struct NextFile {
        qsizetype index = 0;
        PlayingFile file;
        QString model;
        QString contentKey;
        double tempo = 1.0;
    };

    QTimer* startRepeatingTimer(int intervalMs, std::function<void()> callback);
    void listeningStarted(const std::vector<std::string>& sources);
    void showReceiving();
    // Stops listening and saves, off this thread; the end is said once it is saved.
    void endReceiving();
    // The same, waiting for the saving, at the end of the program.
    void saveDumpBeforeQuitting();
    void fileLoaded(const std::shared_ptr<LoadedFile>& file);
    void destinationsListed(std::uint64_t request, const DestinationListing& listing);
    void startWhenReady();
    // The request flow for one file: what plays stops; the file is read and the destinations
    // listed; it plays when both are done. Null: stop only.
    void startRequest(const QString* path);
    // Plays the list's file at `index`.
    void playEntry(qsizetype index);
    // At the end of a list's file, or when it cannot be played: plays the next, if there is one
    // (Repeat wraps), and not every file has failed or had nothing to play since one last did.
    bool moveOnInList();
    void playbackReachedEnd();
    // Whether the player may still be sending paced SysEx at `position`, when what follows the end
    // would stop it: moving on then would cut a dump short.
    bool stillSending(MusicTimeStamp position);
    // Repeat of a file played alone: its player starts again with the sequence it holds, without
    // reading the file or listing the destinations again.
    bool startAgainFromTheStart();
    // Tells the player whether it plays the file again at its end, as Repeat (`repeat`) and the
    // list say.
    void letPlayerRepeat(bool repeat);
    // Tells the media controls that the file plays from its start.
    void announcePlaying();
    // Makes the player of `file` for `model` at `tempo`, to the destination the model's rule chooses
    // in `listing`, and starts it: at once (it becomes `player`), or where the song of `after` ends.
    // The number of destinations; -1 when there is none, -2 when the player could not start.
    std::int32_t startFilePlayer(const QString& path, const QString& model, SmfReadResult file,
                                 const DestinationListing& listing, double tempo, MusicPlayer after,
                                 PlayingFile& out);
    // Shows `file` as the one that plays: status text, progress, media controls, recent files.
    void showPlaying(const PlayingFile& file);
    // A list's next file follows the one that plays with no gap: a little before its end, the next
    // file is read and the destinations listed as for a request, and its player is made ready to
    // begin where that song ends (app/next_file.cpp). Not when the song's end is unknown (a SysEx
    // dump) or paced SysEx may still be sending then: the list moves on at the end, as it always did.
    void prepareNextFileWhenDue(double positionSeconds);
    // The next file has been read and the destinations listed.
    void nextFileRead(const std::shared_ptr<LoadedFile>& file, const DestinationListing& listing, const QString& model);
    // What a stop, a new request, a seek, a tempo change, a pause or an option changed does to the next
    // file made ready: it is stopped before it sounds. With `prepareAgain`, it is made ready anew in
    // time (from where the file that plays is then).
    void cancelNextFile(bool prepareAgain);
    // At the end of the file that plays: the next file, when made ready for the list's `index`,
    // becomes the one that plays.
    bool continueWithNextFile(qsizetype index);
    void setOption(MenuItem* item, bool on);
    void showWaitingForService();
    void failRequest(const QString& path, const SmfReadResult& result);
    void reportUnplayable(const QString& path, const SmfReadResult& result);
    // Shows `before` + `subject` + `after` as the status text; when the line is too wide for the
    // knob, the middle of `subject` (a file name or URL) gives way first.
    void showStatus(const QString& before, const QString& subject, const QString& after);
    // "Cannot play <subject>: <reason>" in the status text, on standard error and in the system log.
    void reportCannotPlay(const QString& subject, const QString& reason);
    // Offers Stop, Play Again, Next and Previous as hasSomethingToStop(), the last file and the
    // list allow, here and in the media controls, with Repeat as their loop status.
    void showPlaybackState();

    void showSendToMenu(QMenu* menu);
    // The position of the file playing or paused, in seconds from its start.
    double positionSeconds() const;
    // Stops `player`; says so (standard error, and the status text when idle) when the stop had
    // to end a long SysEx early.
    void stopPlayer();
    void endPlayback();
    // A file given at launch can be read before the settings are loaded: its synth's pick and
    // pacing, the recent files and the options are read from the settings file then.
    void loadPreferencesIfNeeded();
    // Takes them from the settings file's dictionary.
    void loadPreferences(const QVariantMap& dictionary);
    // The settings file's dictionary: empty when there is no file; nullopt when there is one that
    // cannot be read, which is said once and never saved over.
    std::optional<QVariantMap> readSettingsFile(const QString& path);

    SequenceLoader* loader_;
    DestinationLister* lister_;
    QTimer* waitingNotice_;  // says what a request waits for once it has waited a while
    std::uint64_t latestRequest_ = 0;
    std::shared_ptr<LoadedFile> pendingFile_;           // of the latest request, once read
    std::optional<DestinationListing> pendingListing_;  // for the latest request, once listed
    QString lastPath_;                                  // of the latest file that started playing
    QString playingDestination_;                        // its destination's display name
    double playingSeconds_ = 0.0;                       // its length
    double sendingEndsSeconds_ = 0.0;                   // when it has sent everything, at the latest
    MusicTimeStamp shownBeats_ = 0.0;                   // the position the arc shows
    Playlist playlist_;
    qsizetype silentFilesInARow_ = 0;          // list files that failed or had nothing to play, in a row
    QString currentFileKey_;   // names the contents of the file read last
    std::uint64_t nextFileRequest_ = 0;  // the request reading the list's next file and listing for it
    std::optional<NextFile> nextFile_;   // made ready to follow
    bool nextFileTried_ = false;         // for the file that plays
    MusicPlayer handedOver_ = nullptr;   // the player that ended where the one that plays began
    bool paused_ = false;
    double tempo_ = 1.0;       // of the file playing
    QVariantMap tempoByFile_;  // remembered tempo changes, by content key; kept in the settings
    QString currentModel_;                     // the model name of the latest file read
    MusicSequence playingSequence_ = nullptr;  // the sequence of Player
    bool preferencesLoaded_ = false;
    bool settingsReadProblemSaid_ = false;
    bool settingsSaveProblemSaid_ = false;
    QPointer<MediaControls> mediaControls_;

    std::shared_ptr<DumpReceiver> receiver_;  // while a dump is received
    std::vector<std::string> receivingFrom_;  // the sources listened to, once listening
    QPointer<QTimer> mainTimer_;  // tracks the request that plays, or the dump received
    QPointer<QTimer> fileTimer_;
    QPointer<QWidget> window_;
    QPointer<MIDIView> view_;
    QPointer<QMenu> menu_;
    QPointer<QMenu> sendToMenu_;
    QPointer<MenuItem> autoQuit_;
    QPointer<MenuItem> openResourceFile_;
    QPointer<MenuItem> stopItem_;
    QPointer<MenuItem> playAgainItem_;
    QPointer<MenuItem> pauseItem_;
    QPointer<MenuItem> nextItem_;
    QPointer<MenuItem> previousItem_;
    QPointer<MenuItem> playInTurnItem_;
    QPointer<MenuItem> repeatItem_;
    QString stringTxt_;
    QPointer<QMessageBox> alert_;
    bool getURLHandlerRegistered_ = false;
    ModelPreferences modelPreferences_{[this] { saveSettings(); }};
    RecentFiles recentFiles_{[this] { saveSettings(); }};
};

// How long the end of the program waits for streams to end cleanly (a SysEx under way to finish,
// note-offs to go out) before the MIDI client leaves the service.
inline constexpr double kMidiServiceCloseSeconds = 2.0;

// Closes the MIDI client in order; when the MIDI service does not answer, ends the process with
// `status` at once instead of waiting for it.
void leaveMidiServices(int status);

// Ends the process with `status` at once, without the application's orderly termination; the
// MIDI client leaves the service first.
[[noreturn]] void exitProcess(int status);

}  // namespace brennick
