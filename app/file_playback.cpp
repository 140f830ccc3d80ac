// Play requests: stop what plays, restart progress tracking, choose the destination by model
// name (or by what the devices answered) and start a new player; several files in turn.

#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <vector>

#include "app/app_delegate.h"
#include "app/destination_choice.h"
#include "app/destination_lister.h"
#include "app/model_table.h"
#include "app/playback_state.h"
#include "app/sequence_loader.h"
#include "platform/local_path.h"
#include "platform/media_controls.h"
#include "platform/system_log.h"
#include "services/music_services.h"
#include "services/sequence.h"
#include "services/sysex_pacer.h"
#include "ui/midi_view.h"

namespace brennick {

MusicPlayer player = nullptr;
MusicPlayer Player = nullptr;
double SeqLen = 0.0;
std::int32_t playerStarted = 0;

namespace {

constexpr int kProgressIntervalMs = 1000 / 30;
// Long enough for the output to have taken a stop (JACK takes it in its next cycle).
constexpr int kStopTakenCheckMs = 200;

// What each request created. Earlier requests' objects are released once no player in use names
// them (`player`, `Player`, and those of a list's files that follow each other), so memory does not
// grow with the number of requests.
struct RequestObjects {
    MusicSequence sequence = nullptr;
    MusicPlayer player = nullptr;
};
std::vector<RequestObjects> requests;

// Keeps the objects of the players in `keep`.
void releaseEarlierPlaybackObjects(std::initializer_list<MusicPlayer> keep)
{
    std::erase_if(requests, [keep](const RequestObjects& r) {
        if (r.player != nullptr && std::find(keep.begin(), keep.end(), r.player) != keep.end())
            return false;
        if (r.player != nullptr)
            DisposeMusicPlayer(r.player);
        if (r.sequence != nullptr)
            DisposeMusicSequence(r.sequence);
        return true;
    });
}

}  // namespace

void AppDelegate::stopPlayer()
{
    cancelNextFile(false);
    MusicPlayerStop(player);
    // The output takes the stop in a moment; whether it had to end a long SysEx early is asked
    // then, so that this thread never waits for it.
    QTimer::singleShot(kStopTakenCheckMs, this, [this, stopped = player] {
        bool cut = false;
        if (MusicPlayerGetStopCutSysEx(stopped, 0.0, &cut) != 0 || !cut)
            return;
        const QString line = QStringLiteral("Stopped in the middle of a long SysEx message: it was ended early");
        systemLog(line);
        if (!hasSomethingToStop() && view_)
            view_->setInfoText(line);
    });
}

QTimer* AppDelegate::startRepeatingTimer(int intervalMs, std::function<void()> callback)
{
    auto* timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(intervalMs);
    connect(timer, &QTimer::timeout, this, std::move(callback));
    timer->start();
    return timer;
}

void AppDelegate::stopTimer()
{
    if (mainTimer_) {
        mainTimer_->stop();
        mainTimer_->deleteLater();  // the run loop let go of an invalidated timer
        mainTimer_ = nullptr;
    }
    if (view_)
        view_->setIndicatorValue(0.0);
    shownBeats_ = 0.0;
    showPlaybackState();
}

void AppDelegate::playMidiFile(const QString* path)
{
    if (path != nullptr) {
        playlist_.replace({*path});
        silentFilesInARow_ = 0;
    }
    startRequest(path);
}

void AppDelegate::playMidiFiles(const QStringList& paths)
{
    if (paths.size() > 1 && playsSeveralFilesInTurn()) {
        playlist_.replace(paths);
        silentFilesInARow_ = 0;
        playEntry(0);
    } else if (!paths.isEmpty()) {
        playMidiFile(&paths.first());
    }
}

void AppDelegate::playEntry(qsizetype index)
{
    playlist_.moveTo(index);
    const QString path = playlist_.current();
    startRequest(&path);
}

bool AppDelegate::moveOnInList()
{
    const std::optional<qsizetype> next = playlist_.nextIndex(repeats());
    // With Repeat, a list none of whose files can be played would go round for ever.
    if (!next || silentFilesInARow_ >= playlist_.size())
        return false;
    if (!continueWithNextFile(*next))
        playEntry(*next);
    return true;
}

void AppDelegate::startRequest(const QString* path)
{
    if (receiver_)
        endReceiving();  // a dump received so far is saved
    stopPlayer();
    stopTimer();
    mainTimer_ = startRepeatingTimer(kProgressIntervalMs, [this] { updateProgressBar(); });
    if (path == nullptr) {
        stopTimer();
        return;
    }
    // What played has been stopped: its end must not be taken for the end of the new file while
    // that is read.
    playerStarted = 0;
    paused_ = false;
    // The file is read and the destinations are listed at the same time, both off this thread.
    pendingFile_.reset();
    pendingListing_.reset();
    loader_->load(++latestRequest_, *path);
    lister_->list(latestRequest_);
    waitingNotice_->start();
    showPlaybackState();
}

void AppDelegate::fileLoaded(const std::shared_ptr<LoadedFile>& file)
{
    if (file->request != latestRequest_)
        return;  // a newer request replaced this one while its file was read
    const SmfStatus status = file->result.status;
    // Nothing could be read from a damaged file: playing it would send nothing and end as if it
    // had played. Said at once, whatever the MIDI service is doing.
    if ((status != SmfStatus::Complete && status != SmfStatus::Damaged) ||
        (status == SmfStatus::Damaged && !file->result.sequence.hasMessages())) {
        if (file->request == nextFileRequest_) {
            cancelNextFile(false);  // said when the list gets there
            return;
        }
        failRequest(file->path, file->result);
        return;
    }
    pendingFile_ = file;
    startWhenReady();
}

void AppDelegate::destinationsListed(std::uint64_t request, const DestinationListing& listing)
{
    if (request != latestRequest_ || request == 0)
        return;
    pendingListing_ = listing;
    startWhenReady();
}

void AppDelegate::showWaitingForService()
{
    if (!pendingListing_ && view_)
        view_->setInfoText(QStringLiteral("Waiting for the MIDI server\u2026"));
}

void AppDelegate::startWhenReady()
{
    if (!pendingFile_ || !pendingListing_)
        return;
    loadPreferencesIfNeeded();
    const QString model = modelNameForByte(pendingFile_->modelByte);
    if (needsDeviceInquiry(model, *pendingListing_, modelPreferences_.rememberedDestination(model))) {
        // No name finds the synth: its device is asked on the MIDI service thread, and the listing
        // comes back with the answers through destinationsListed.
        lister_->askDevices(latestRequest_, std::move(*pendingListing_));
        pendingListing_.reset();
        return;
    }
    waitingNotice_->stop();
    const std::shared_ptr<LoadedFile> file = std::move(pendingFile_);
    const DestinationListing listing = std::move(*pendingListing_);
    pendingListing_.reset();
    if (file->result.status == SmfStatus::Damaged)
        systemLog(QStringLiteral("%1: %2; playing what could be read")
                      .arg(file->path, QString::fromStdString(describeReadResult(file->result))));
    if (const std::string note = describeReadNote(file->result); !note.empty())
        systemLog(QStringLiteral("%1: %2").arg(file->path, QString::fromStdString(note)));
    if (latestRequest_ == nextFileRequest_) {
        nextFileRead(file, listing, model);
        return;
    }
    currentModel_ = model;
    currentFileKey_ = file->contentKey;
    tempo_ = tempoByFile_.value(currentFileKey_, 1.0).toDouble();
    if (playTheMIDIFile(file->path, currentModel_, std::move(file->result), listing) == -1)
        stopTimer();
}

void AppDelegate::failRequest(const QString& path, const SmfReadResult& result)
{
    ++latestRequest_;  // a listing still under way for it starts nothing
    waitingNotice_->stop();
    pendingFile_.reset();
    reportUnplayable(path, result);
    ++silentFilesInARow_;
    // The rest of the list plays; why this file did not stays on standard error and in the log.
    if (moveOnInList())
        return;
    stopTimer();
    if (mediaControls_)
        mediaControls_->setStopped();
}

void AppDelegate::reportUnplayable(const QString& path, const SmfReadResult& result)
{
    const QString name = QFileInfo(path).fileName();
    const bool sysExFile = name.endsWith(QStringLiteral(".syx"), Qt::CaseInsensitive);
    QString reason = QString::fromStdString(describeReadResult(result));
    if (result.status == SmfStatus::NotMidi && sysExFile)
        reason = QStringLiteral("not a SysEx file");
    else if (result.status == SmfStatus::Damaged)
        reason = sysExFile ? QStringLiteral("no whole SysEx message")
                           : QStringLiteral("%1, and nothing before it can be played").arg(reason);
    reportCannotPlay(name, reason);
}

std::int32_t AppDelegate::playTheMIDIFile(const QString& path, const QString& destinationDevice)
{
    DestinationListing listing = listDestinations();
    if (needsDeviceInquiry(destinationDevice, listing, modelPreferences_.rememberedDestination(destinationDevice)))
        askDevices(listing);
    return playTheMIDIFile(path, destinationDevice, loadSequenceFile(encodeLocalPath(path).toStdString()), listing);
}

std::int32_t AppDelegate::playTheMIDIFile(const QString& path, const QString& destinationDevice, SmfReadResult file,
                                          const DestinationListing& listing)
{
    if (playerStarted == 1) {
        stopPlayer();
        playerStarted = 0;
    }
    PlayingFile playing;
    const std::int32_t started = startFilePlayer(path, destinationDevice, std::move(file), listing, tempo_, nullptr, playing);
    if (started == -1)
        testDatabaseConnection(nullptr);
    if (started > 0)
        showPlaying(playing);
    return started;
}

std::int32_t AppDelegate::startFilePlayer(const QString& path, const QString& model, SmfReadResult file,
                                          const DestinationListing& listing, double tempo, MusicPlayer after,
                                          PlayingFile& out)
{
    releaseEarlierPlaybackObjects({player, Player, after, handedOver_});

    // Read before the sequence takes the file: how far SysEx pacing may carry the sending past the
    // last message. A sound dump's length holds its pacing already.
    const Sequence& read = file.sequence;
    const std::uint64_t pacedBytes = read.isSysExDump() ? 0 : read.systemBytes();
    const std::size_t pacedMessages = read.isSysExDump() ? 0 : read.systemMessageCount();
    const double lastMessageSeconds = read.lastMessageSeconds();

    MusicSequence sequence = nullptr;
    if (NewMusicSequence(&sequence) == 0) {
        requests.push_back({sequence, nullptr});
        MusicSequenceFileLoadRead(sequence, std::move(file));
    }

    // The client was created and every display name read once, off this thread, by the listing.
    const QList<std::optional<QString>> displayNames = listing.names();
    const ItemCount destinationCount = ItemCount(displayNames.size());
    if (destinationCount == 0)
        return -1;
    const std::optional<QString> picked = modelPreferences_.rememberedDestination(model);
    const DestinationChoice choice = chooseDestination(model, displayNames, picked, listing.answeredModels());
    const ItemCount chosen = ItemCount(choice.index);
    out.path = path;
    out.sequence = sequence;
    out.destinationName = displayNames[qsizetype(chosen)].value_or(QString());
    if (picked && choice.reason != DestinationChoice::Reason::Picked)
        out.pickGone = *picked;

    const MIDIEndpointRef destination = listing.destinations[qsizetype(chosen)].endpoint;
    const PacingPreference pacing = modelPreferences_.pacing(model);
    MIDIObjectSetIntegerProperty(destination, kMIDIPropertyMaxSysExSpeed, pacing.bytesPerSecond);
    MIDIObjectSetIntegerProperty(destination, kMIDIPropertySysExPause, pacing.pauseMs);

    if (MusicSequenceSetMIDIEndpoint(sequence, destination) != 0)
        return -2;
    if (NewMusicPlayer(&out.player) != 0)
        return -2;
    if (after == nullptr)
        player = out.player;  // the most recent player, whatever follows
    if (sequence != nullptr)
        requests.back().player = out.player;
    else
        requests.push_back({nullptr, out.player});
    if (MusicPlayerSetSequence(out.player, sequence) != 0)
        return -2;
    if (tempo != 1.0)
        MusicPlayerSetPlayRateScalar(out.player, tempo);  // the tempo the user chose for this file
    // A file played alone goes round in the player itself, with no gap; a list moves on here, the
    // next file beginning where the song ends, when nothing of the song sounds on.
    MusicPlayerSetLooping(out.player, repeats() && !playlist_.isList());
    MusicPlayerSetReleaseAtEnd(out.player, playlist_.isList());
    UInt32 trackCount = 0;
    if (MusicSequenceGetTrackCount(sequence, &trackCount) != 0)
        return -2;
    out.lengthBeats = 0.0;
    for (UInt32 i = 0; i < trackCount; ++i) {
        MusicTrack track = nullptr;
        if (MusicSequenceGetIndTrack(sequence, i, &track) != 0)
            return -2;
        MusicTimeStamp trackLength = 0.0;
        UInt32 size = sizeof trackLength;
        if (MusicTrackGetProperty(track, kSequenceTrackProperty_TrackLength, &trackLength, &size) != 0)
            return -2;
        out.lengthBeats = std::max(out.lengthBeats, trackLength);
    }
    if (after == nullptr) {
        playerStarted = 1;
        if (MusicPlayerStart(out.player) != 0)
            return -2;
    } else if (MusicPlayerStartAfter(out.player, after) != 0) {
        return -2;
    }
    out.seconds = 0.0;
    MusicSequenceGetSecondsForBeats(sequence, out.lengthBeats, &out.seconds);
    const SysExPacing paced{double(pacing.bytesPerSecond), pacing.pauseMs / 1000.0};
    out.sendingEndsSeconds = std::max(out.seconds, lastMessageSeconds + SysExPacer(paced).drainSeconds(pacedBytes) +
                                                       paced.pauseSeconds * double(pacedMessages));
    return std::int32_t(destinationCount);
}

void AppDelegate::showPlaying(const PlayingFile& file)
{
    // In a list, the line ends with the file's place in it: " (2/5)".
    const QString counter = playlist_.counterText();
    if (file.pickGone) {
        // The user's pick has gone: say so, or the file would seem to go to the wrong synth at random.
        showStatus(QString(), *file.pickGone,
                   QStringLiteral(" is not connected: sending to %1").arg(file.destinationName) + counter);
        systemLog(QStringLiteral("%1 is not connected: sending to %2").arg(*file.pickGone, file.destinationName));
    } else {
        showStatus(QStringLiteral("Sending "), QFileInfo(file.path).fileName(),
                   QStringLiteral(" to %1 ").arg(file.destinationName) + counter);
    }
    player = file.player;
    Player = file.player;
    SeqLen = file.lengthBeats;
    playingSequence_ = file.sequence;
    lastPath_ = file.path;
    playingDestination_ = file.destinationName;
    playingSeconds_ = file.seconds;
    sendingEndsSeconds_ = file.sendingEndsSeconds;
    silentFilesInARow_ = sendingEndsSeconds_ > 0.0 ? 0 : silentFilesInARow_ + 1;
    nextFileTried_ = false;
    loadPreferencesIfNeeded();
    recentFiles_.add(file.path);
    showPlaybackState();
    announcePlaying();
}

void AppDelegate::announcePlaying()
{
    if (!mediaControls_)
        return;
    mediaControls_->setPlaying(lastPath_, playingDestination_, playingSeconds_);
    mediaControls_->setRate(tempo_);
}

bool AppDelegate::startAgainFromTheStart()
{
    // The new stream starts from the beginning within a few cycles of the MIDI service.
    if (MusicPlayerStart(player) != 0)
        return false;
    if (view_)
        view_->setIndicatorValue(0.0);
    announcePlaying();
    return true;
}

}  // namespace brennick
