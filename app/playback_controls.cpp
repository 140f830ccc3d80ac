// Stop, Play Again, Next and Previous, the options "Play Several Files in Turn" and "Repeat", the
// recent files, the destination picked per model, SysEx pacing per model, and the desktop's media
// controls.

#include <QActionGroup>
#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <vector>

#include "app/app_delegate.h"
#include "app/destination_choice.h"
#include "app/destination_lister.h"
#include "app/playback_state.h"
#include "platform/media_controls.h"
#include "ui/menu_item.h"

namespace brennick {

namespace {

struct PacingPreset {
    const char* label;
    PacingPreference pacing;
};

// What slow synths ask for most: a pause after each dump message, or half the speed.
constexpr std::array<PacingPreset, 4> kPacingPresets{{
    {"Standard (60000 bytes/s)", {kDefaultSysExBytesPerSecond, 0}},
    {"20 ms Pause after Each Message", {kDefaultSysExBytesPerSecond, 20}},
    {"40 ms Pause after Each Message", {kDefaultSysExBytesPerSecond, 40}},
    {"Half Speed (30000 bytes/s)", {kDefaultSysExBytesPerSecond / 2, 0}},
}};

QString forModel(const QString& model)
{
    return model.isEmpty() ? QStringLiteral("For files that name no model") : QStringLiteral("For %1").arg(model);
}

}  // namespace

void AppDelegate::setMediaControls(MediaControls* controls)
{
    mediaControls_ = controls;
    if (!controls)
        return;
    connect(controls, &MediaControls::playRequested, this, [this] { doPlayAgain(); });
    connect(controls, &MediaControls::stopRequested, this, [this] { doStop(); });
    connect(controls, &MediaControls::pauseRequested, this, [this] { doPause(); });
    connect(controls, &MediaControls::resumeRequested, this, [this] { doResume(); });
    connect(controls, &MediaControls::seekRequested, this, [this](double seconds) { seekTo(seconds); });
    connect(controls, &MediaControls::rateRequested, this, [this](double rate) { setTempo(rate); });
    connect(controls, &MediaControls::openUriRequested, this, [this](const QString& path) { playMidiFile(&path); });
    connect(controls, &MediaControls::nextRequested, this, [this] { doNext(); });
    connect(controls, &MediaControls::previousRequested, this, [this] { doPrevious(); });
    connect(controls, &MediaControls::loopStatusRequested, this,
            [this](MediaControls::LoopStatus status) { setRepeats(status != MediaControls::LoopStatus::None); });
    connect(controls, &MediaControls::raiseRequested, this, [this] {
        if (window_) {
            window_->show();
            window_->raise();
            window_->activateWindow();
        }
    });
    connect(
        controls, &MediaControls::quitRequested, this, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    controls->setPositionProvider([this] {
        MusicTimeStamp beats = 0.0;
        double seconds = 0.0;
        if (MusicPlayerGetTime(Player, &beats) != 0 ||
            MusicSequenceGetSecondsForBeats(playingSequence_, beats, &seconds) != 0)
            return 0.0;
        return seconds;
    });
    showPlaybackState();
}

void AppDelegate::setStopItem(MenuItem* item)
{
    stopItem_ = item;
    showPlaybackState();
}

void AppDelegate::setPlayAgainItem(MenuItem* item)
{
    playAgainItem_ = item;
    showPlaybackState();
}

void AppDelegate::setPauseItem(MenuItem* item)
{
    pauseItem_ = item;
    showPlaybackState();
}

void AppDelegate::setNextItem(MenuItem* item)
{
    nextItem_ = item;
    showPlaybackState();
}

void AppDelegate::setPreviousItem(MenuItem* item)
{
    previousItem_ = item;
    showPlaybackState();
}

void AppDelegate::setRepeatItem(MenuItem* item)
{
    repeatItem_ = item;
    showPlaybackState();
}

void AppDelegate::showPlaybackState()
{
    if (pauseItem_) {
        pauseItem_->setText(paused_ ? QStringLiteral("Res&ume") : QStringLiteral("Pa&use"));
        pauseItem_->setEnabled(paused_ || playerStarted == 1);
    }
    // A disabled item's shortcut is off too: Escape on an idle player does nothing.
    if (stopItem_)
        stopItem_->setEnabled(hasSomethingToStop());
    if (playAgainItem_)
        playAgainItem_->setEnabled(!lastPath_.isEmpty());
    // The items' states as they are: this runs while the interface is built, before the settings
    // are loaded, and must not load them.
    const bool repeat = repeatItem_ && repeatItem_->state() != 0;
    letPlayerRepeat(repeat);
    const bool canGoNext = playlist_.nextIndex(repeat).has_value();
    const bool canGoPrevious = playlist_.previousIndex(repeat).has_value();
    if (nextItem_)
        nextItem_->setEnabled(canGoNext);
    if (previousItem_)
        previousItem_->setEnabled(canGoPrevious);
    if (mediaControls_) {
        using Loop = MediaControls::LoopStatus;
        mediaControls_->setNavigation(canGoNext, canGoPrevious);
        mediaControls_->setLoopStatus(!repeat ? Loop::None : playlist_.isList() ? Loop::Playlist : Loop::Track);
    }
}

void AppDelegate::letPlayerRepeat(bool repeat)
{
    // A file played alone goes round in the player itself, with no gap; a list moves on here, at
    // the end of each file.
    MusicPlayerSetLooping(player, repeat && !playlist_.isList());
}

void AppDelegate::doStop()
{
    if (receiver_) {
        endReceiving();  // a dump received is no playback: "Quit on stop" does not quit
        return;
    }
    // "Quit on stop" means quitting when playback is stopped, not when nothing plays.
    if (!hasSomethingToStop())
        return;
    ++latestRequest_;  // a file still being read, or a listing under way, starts nothing
    waitingNotice_->stop();
    pendingFile_.reset();
    stopPlayer();
    endPlayback();
}

void AppDelegate::doPlayAgain()
{
    if (lastPath_.isEmpty())
        return;
    silentFilesInARow_ = 0;
    if (playlist_.current() == lastPath_) {
        playEntry(playlist_.index());
        return;
    }
    const QString path = lastPath_;
    playMidiFile(&path);
}

void AppDelegate::doNext()
{
    if (const std::optional<qsizetype> next = playlist_.nextIndex(repeats())) {
        silentFilesInARow_ = 0;
        playEntry(*next);
    }
}

void AppDelegate::doPrevious()
{
    if (const std::optional<qsizetype> previous = playlist_.previousIndex(repeats())) {
        silentFilesInARow_ = 0;
        playEntry(*previous);
    }
}

bool AppDelegate::playsSeveralFilesInTurn()
{
    loadPreferencesIfNeeded();
    return playInTurnItem_ && playInTurnItem_->state() != 0;
}

bool AppDelegate::repeats()
{
    loadPreferencesIfNeeded();
    return repeatItem_ && repeatItem_->state() != 0;
}

void AppDelegate::setPlaysSeveralFilesInTurn(bool on)
{
    setOption(playInTurnItem_, on);
}

void AppDelegate::setRepeats(bool on)
{
    setOption(repeatItem_, on);
}

void AppDelegate::setOption(MenuItem* item, bool on)
{
    loadPreferencesIfNeeded();
    if (item && (item->state() != 0) != on) {
        cancelNextFile(true);  // the list may lead elsewhere now
        item->setState(on ? 1 : 0);
        saveSettings();
    }
    showPlaybackState();
}

void AppDelegate::fillRecentFilesMenu(QMenu* menu)
{
    loadPreferencesIfNeeded();
    menu->clear();
    menu->setToolTipsVisible(true);  // the whole path, where two files have the same name
    const QStringList& paths = recentFiles_.paths();
    if (paths.isEmpty())
        menu->addAction(QStringLiteral("No Recent Files"))->setEnabled(false);
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const QString path = paths[i];
        // Numbered for the keyboard, 1 to 9 then 0; an "&" in a name is shown, not a mnemonic.
        QString name = QFileInfo(path).fileName();
        name.replace(u'&', QStringLiteral("&&"));
        QAction* item = menu->addAction(QStringLiteral("&%1 %2").arg(QString::number((i + 1) % 10), name));
        item->setToolTip(path);
        connect(item, &QAction::triggered, this, [this, path] { playMidiFile(&path); });
    }
}

void AppDelegate::fillSendToMenu(QMenu* menu)
{
    // Opens at once with the destinations last listed; a fresh listing fills it in when it ends.
    if (sendToMenu_ != menu) {
        sendToMenu_ = menu;
        connect(lister_, &DestinationLister::listed, menu, [this, menu] {
            if (menu->isVisible())
                showSendToMenu(menu);
        });
    }
    showSendToMenu(menu);
    lister_->list(0);
}

void AppDelegate::showSendToMenu(QMenu* menu)
{
    menu->clear();
    const bool haveFile = !lastPath_.isEmpty();
    const QList<std::optional<QString>> names = lister_->lastListing().names();
    const std::optional<QString> picked = modelPreferences_.rememberedDestination(currentModel_);
    const bool pickedHere = picked && names.contains(picked);
    auto* group = new QActionGroup(menu);
    QAction* header = menu->addAction(forModel(currentModel_));
    header->setEnabled(false);
    QAction* automatic = menu->addAction(QStringLiteral("Automatic"));
    automatic->setCheckable(true);
    automatic->setActionGroup(group);
    automatic->setChecked(!pickedHere);
    connect(automatic, &QAction::triggered, this, [this] { sendTo(QString()); });
    menu->addSeparator();
    if (names.isEmpty())
        menu->addAction(QStringLiteral("No MIDI Destinations"))->setEnabled(false);
    // The one the automatic rule would choose is marked, so a pick is made knowing it.
    const qsizetype ruled = chooseDestination(currentModel_, names, std::nullopt,
                                              lister_->lastListing().answeredModels()).index;
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (!names[i])
            continue;
        const QString name = *names[i];
        QAction* item = menu->addAction(i == ruled ? QStringLiteral("%1 (automatic choice)").arg(name) : name);
        item->setCheckable(true);
        item->setActionGroup(group);
        item->setChecked(picked == name);
        item->setEnabled(haveFile);
        connect(item, &QAction::triggered, this, [this, name] { sendTo(name); });
    }
    if (picked && !pickedHere) {
        // The remembered pick stays visible while its synth is away, so the user knows why the
        // automatic rule plays meanwhile.
        QAction* away = menu->addAction(QStringLiteral("%1 (not connected)").arg(*picked));
        away->setCheckable(true);
        away->setChecked(true);
        away->setEnabled(false);
    }
}

void AppDelegate::sendTo(const QString& displayName)
{
    if (displayName.isEmpty()) {
        modelPreferences_.forgetDestination(currentModel_);
        return;
    }
    modelPreferences_.setRememberedDestination(currentModel_, displayName);
    doPlayAgain();
}

void AppDelegate::fillSysExPacingMenu(QMenu* menu)
{
    menu->clear();
    const PacingPreference current = modelPreferences_.pacing(currentModel_);
    auto* group = new QActionGroup(menu);
    menu->addAction(forModel(currentModel_))->setEnabled(false);
    bool matched = false;
    for (const PacingPreset& preset : kPacingPresets) {
        QAction* item = menu->addAction(QString::fromLatin1(preset.label));
        item->setCheckable(true);
        item->setActionGroup(group);
        item->setChecked(preset.pacing == current);
        matched |= preset.pacing == current;
        connect(item, &QAction::triggered, this,
                [this, pacing = preset.pacing] { modelPreferences_.setPacing(currentModel_, pacing); });
    }
    if (!matched) {
        // Set in the settings file by hand: shown, so the menu does not claim a preset.
        QAction* custom = menu->addAction(
            QStringLiteral("Custom (%1 bytes/s, %2 ms Pause)").arg(current.bytesPerSecond).arg(current.pauseMs));
        custom->setCheckable(true);
        custom->setChecked(true);
        custom->setEnabled(false);
    }
}

}  // namespace brennick

namespace brennick {

namespace {

constexpr double kSeekStepSeconds = 5.0;
// The tempo steps offered, as fractions of the song's own.
constexpr std::array<double, 7> kTempoSteps{0.5, 0.75, 0.9, 1.0, 1.1, 1.25, 1.5};
constexpr double kFastestTempo = 2.0;
// At most this many files keep a tempo of their own in the settings.
constexpr qsizetype kRememberedTempos = 500;

QString tempoLabel(double rate)
{
    return QStringLiteral("%1 %").arg(qRound(rate * 100));
}

}  // namespace

double AppDelegate::positionSeconds() const
{
    MusicTimeStamp beats = 0.0;
    double seconds = 0.0;
    if (MusicPlayerGetTime(Player, &beats) != 0 || MusicSequenceGetSecondsForBeats(playingSequence_, beats, &seconds) != 0)
        return 0.0;
    return seconds;
}

void AppDelegate::doPauseResume()
{
    paused_ ? doResume() : doPause();
}

void AppDelegate::doPause()
{
    if (paused_ || playerStarted != 1 || Player != player)
        return;
    if (MusicPlayerPause(Player) != 0)
        return;
    cancelNextFile(true);
    paused_ = true;
    showStatus(QStringLiteral("Paused: "), QFileInfo(lastPath_).fileName(), QString());
    if (view_)
        view_->update();
    if (mediaControls_)
        mediaControls_->setPaused(true);
    showPlaybackState();
}

void AppDelegate::doResume()
{
    if (!paused_)
        return;
    paused_ = false;
    MusicPlayerResume(Player);
    showStatus(QStringLiteral("Sending "), QFileInfo(lastPath_).fileName(),
               QStringLiteral(" to %1 ").arg(playingDestination_));
    if (mediaControls_)
        mediaControls_->setPaused(false);
    showPlaybackState();
}

void AppDelegate::seekBy(double seconds)
{
    seekTo(positionSeconds() + seconds);
}

void AppDelegate::seekTo(double seconds)
{
    if (playerStarted != 1 || Player != player)
        return;
    double length = 0.0;
    MusicSequenceGetSecondsForBeats(playingSequence_, SeqLen, &length);
    seconds = std::clamp(seconds, 0.0, std::max(0.0, length));
    cancelNextFile(true);  // made ready for where the song ended before the seek
    MusicTimeStamp beats = 0.0;
    if (MusicSequenceGetBeatsForSeconds(playingSequence_, seconds, &beats) != 0 || MusicPlayerSetTime(Player, beats) != 0)
        return;
    MusicPlayerGetTime(Player, &shownBeats_);  // said below, not again by the progress
    if (view_ && SeqLen > 0.0)
        view_->setIndicatorValue(positionSeconds() / std::max(length, 1e-9));
    if (mediaControls_)
        mediaControls_->seeked(positionSeconds());
}

void AppDelegate::setTempo(double rate)
{
    rate = std::clamp(rate, kTempoSteps.front(), kFastestTempo);
    if (rate == tempo_)
        return;
    tempo_ = rate;
    if (playerStarted == 1 && Player == player) {
        cancelNextFile(true);  // the song ends elsewhere at another tempo
        MusicPlayerSetPlayRateScalar(Player, rate);
    }
    if (!currentFileKey_.isEmpty()) {
        if (rate == 1.0)
            tempoByFile_.remove(currentFileKey_);
        else
            tempoByFile_.insert(currentFileKey_, rate);
        while (tempoByFile_.size() > kRememberedTempos)
            tempoByFile_.erase(tempoByFile_.begin());
        saveSettings();
    }
    if (mediaControls_)
        mediaControls_->setRate(rate);
}

void AppDelegate::stepTempo(int steps)
{
    std::vector<double> all(kTempoSteps.begin(), kTempoSteps.end());
    all.push_back(kFastestTempo);
    auto at = std::lower_bound(all.begin(), all.end(), tempo_ - 1e-9);
    const auto index = std::clamp<std::ptrdiff_t>((at - all.begin()) + steps, 0, std::ptrdiff_t(all.size()) - 1);
    setTempo(all[std::size_t(index)]);
}

void AppDelegate::fillTempoMenu(QMenu* menu)
{
    // "Faster" and "Slower" stay; the steps follow them.
    const QList<QAction*> kept = menu->actions().mid(0, 2);
    for (QAction* action : menu->actions()) {
        if (kept.contains(action))
            continue;
        menu->removeAction(action);
        action->deleteLater();
    }
    menu->addSeparator();
    auto* group = new QActionGroup(menu);
    std::vector<double> all(kTempoSteps.begin(), kTempoSteps.end());
    all.push_back(kFastestTempo);
    for (const double rate : all) {
        QAction* item = menu->addAction(tempoLabel(rate));
        item->setCheckable(true);
        item->setActionGroup(group);
        item->setChecked(qFuzzyCompare(rate, tempo_));
        connect(item, &QAction::triggered, this, [this, rate] { setTempo(rate); });
    }
}

void AppDelegate::doPanic()
{
    ++latestRequest_;  // a file still being read, or a listing under way, starts nothing
    waitingNotice_->stop();
    pendingFile_.reset();
    cancelNextFile(false);
    MusicPlayerPanic(player);
    paused_ = false;
    stopTimer();
    playerStarted = 0;
    if (view_)
        view_->clearInfoText();
    if (mediaControls_)
        mediaControls_->setStopped();
}

}  // namespace brennick
