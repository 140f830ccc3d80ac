// Play requests: stop what plays, restart progress tracking, choose the destination by model
// name and start a new player.

#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <vector>

#include "app/app_delegate.h"
#include "app/destination_choice.h"
#include "app/model_table.h"
#include "app/playback_state.h"
#include "app/sequence_loader.h"
#include "platform/local_path.h"
#include "platform/media_controls.h"
#include "platform/system_log.h"
#include "services/music_services.h"
#include "ui/midi_view.h"

namespace brennick {

MusicPlayer player = nullptr;
MusicPlayer Player = nullptr;
double SeqLen = 0.0;
std::int32_t playerStarted = 0;

namespace {

constexpr int kProgressIntervalMs = 1000 / 30;
// The output takes a stop within one of its cycles.
constexpr double kStopTakenWaitSeconds = 0.1;

// What each request created. Earlier requests' objects are released once neither `player` nor
// `Player` names them, so memory does not grow with the number of requests.
struct RequestObjects {
    MusicSequence sequence = nullptr;
    MusicPlayer player = nullptr;
};
std::vector<RequestObjects> requests;

void releaseEarlierPlaybackObjects()
{
    std::erase_if(requests, [](const RequestObjects& r) {
        if (r.player != nullptr && (r.player == player || r.player == Player))
            return false;
        if (r.player != nullptr)
            DisposeMusicPlayer(r.player);
        if (r.sequence != nullptr)
            DisposeMusicSequence(r.sequence);
        return true;
    });
}

}  // namespace

void stopPlayer(MusicPlayer p)
{
    MusicPlayerStop(p);
    bool cut = false;
    if (MusicPlayerGetStopCutSysEx(p, kStopTakenWaitSeconds, &cut) == 0 && cut)
        systemLog(QStringLiteral("Stopped in the middle of a long SysEx message: it was ended early"));
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
}

void AppDelegate::playMidiFile(const QString* path)
{
    stopPlayer(player);
    stopTimer();
    mainTimer_ = startRepeatingTimer(kProgressIntervalMs, [this] { updateProgressBar(); });
    if (path == nullptr) {
        stopTimer();
        return;
    }
    // What played has been stopped: its end must not be taken for the end of the new file while
    // that is read.
    playerStarted = 0;
    lastPath_ = *path;
    loader_->load(++latestRequest_, *path);
}

void AppDelegate::fileLoaded(const std::shared_ptr<LoadedFile>& file)
{
    if (file->request != latestRequest_)
        return;  // a newer request replaced this one while its file was read
    const SmfStatus status = file->result.status;
    if (status != SmfStatus::Complete && status != SmfStatus::Damaged) {
        reportUnplayable(file->path, file->result);
        stopTimer();
        if (mediaControls_)
            mediaControls_->setStopped();
        return;
    }
    if (status == SmfStatus::Damaged)
        systemLog(QStringLiteral("%1: %2; playing what could be read")
                      .arg(file->path, QString::fromStdString(describeReadResult(file->result))));
    if (const std::string note = describeReadNote(file->result); !note.empty())
        systemLog(QStringLiteral("%1: %2").arg(file->path, QString::fromStdString(note)));
    currentModel_ = modelNameForByte(file->modelByte);
    loadModelPreferencesIfNeeded();
    if (playTheMIDIFile(file->path, currentModel_, std::move(file->result)) == -1)
        stopTimer();
}

void AppDelegate::reportUnplayable(const QString& path, const SmfReadResult& result)
{
    const QString name = QFileInfo(path).fileName();
    QString reason = QString::fromStdString(describeReadResult(result));
    if (result.status == SmfStatus::NotMidi && name.endsWith(QStringLiteral(".syx"), Qt::CaseInsensitive))
        reason = QStringLiteral("not a SysEx file");
    const QString line = QStringLiteral("Cannot play %1: %2").arg(name, reason);
    if (view_)
        view_->setInfoText(line);
    systemLog(line);
}

std::int32_t AppDelegate::playTheMIDIFile(const QString& path, const QString& destinationDevice)
{
    return playTheMIDIFile(path, destinationDevice, loadSequenceFile(encodeLocalPath(path).toStdString()));
}

std::int32_t AppDelegate::playTheMIDIFile(const QString& path, const QString& destinationDevice, SmfReadResult file)
{
    if (playerStarted == 1) {
        stopPlayer(player);
        playerStarted = 0;
    }
    releaseEarlierPlaybackObjects();

    MusicSequence sequence = nullptr;
    if (NewMusicSequence(&sequence) == 0) {
        requests.push_back({sequence, nullptr});
        MusicSequenceFileLoadRead(sequence, std::move(file));
    }

    MIDIClientRef client = 0;
    MIDIClientCreate("Play Sequence", nullptr, nullptr, &client);

    // Every display name is read once per request; a name that cannot be read matches nothing.
    const QList<std::optional<QString>> displayNames = readDestinationNames();
    const ItemCount destinationCount = ItemCount(displayNames.size());
    if (destinationCount == 0) {
        testDatabaseConnection(nullptr);
        return -1;
    }
    const ItemCount chosen = ItemCount(
        chooseDestination(destinationDevice, displayNames, modelPreferences_.rememberedDestination(destinationDevice))
            .index);
    const QString destinationName = displayNames[qsizetype(chosen)].value_or(QString());

    if (view_)
        view_->setInfoText(QStringLiteral("Sending %1 to %2 ").arg(QFileInfo(path).fileName(), destinationName));

    const MIDIEndpointRef destination = MIDIGetDestination(chosen);
    const PacingPreference pacing = modelPreferences_.pacing(destinationDevice);
    MIDIObjectSetIntegerProperty(destination, kMIDIPropertyMaxSysExSpeed, pacing.bytesPerSecond);
    MIDIObjectSetIntegerProperty(destination, kMIDIPropertySysExPause, pacing.pauseMs);

    if (MusicSequenceSetMIDIEndpoint(sequence, destination) != 0)
        return -2;
    if (NewMusicPlayer(&player) != 0)
        return -2;
    if (sequence != nullptr)
        requests.back().player = player;
    else
        requests.push_back({nullptr, player});
    if (MusicPlayerSetSequence(player, sequence) != 0)
        return -2;
    UInt32 trackCount = 0;
    if (MusicSequenceGetTrackCount(sequence, &trackCount) != 0)
        return -2;
    double length = 0.0;
    for (UInt32 i = 0; i < trackCount; ++i) {
        MusicTrack track = nullptr;
        if (MusicSequenceGetIndTrack(sequence, i, &track) != 0)
            return -2;
        MusicTimeStamp trackLength = 0.0;
        UInt32 size = sizeof trackLength;
        if (MusicTrackGetProperty(track, kSequenceTrackProperty_TrackLength, &trackLength, &size) != 0)
            return -2;
        length = std::max(length, trackLength);
    }
    playerStarted = 1;
    if (MusicPlayerStart(player) != 0)
        return -2;
    Player = player;
    SeqLen = length;
    playingSequence_ = sequence;
    if (mediaControls_) {
        double seconds = 0.0;
        MusicSequenceGetSecondsForBeats(sequence, length, &seconds);
        mediaControls_->setPlaying(path, destinationName, seconds);
    }
    return std::int32_t(destinationCount);
}

}  // namespace brennick
