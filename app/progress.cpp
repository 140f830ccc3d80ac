// Progress tracking: thirty times a second, show the played fraction and detect the end, where
// the list moves on or Repeat starts again.

#include <algorithm>

#include "app/app_delegate.h"
#include "app/playback_state.h"
#include "platform/media_controls.h"
#include "ui/menu_item.h"
#include "ui/midi_view.h"

namespace brennick {

namespace {
// At the end of playback with "Quit on stop" on, the program waits for what the player still has
// to send (a paced SysEx dump, the last events) before it exits, at most this long past the
// schedule's end: exiting at once would cut them off.
constexpr double kExitDrainGraceSeconds = 2.0;
}  // namespace

void AppDelegate::updateProgressBar()
{
    if (paused_)
        return;  // the arc holds still, and stops breathing
    MusicTimeStamp position = 0.0;
    if (MusicPlayerGetTime(Player, &position) != 0)
        return;
    if (position > SeqLen && playerStarted == 1 && !stillSending(position)) {
        playbackReachedEnd();
        return;
    }
    double seconds = 0.0;
    if (MusicSequenceGetSecondsForBeats(playingSequence_, position, &seconds) == 0) {
        // The player went round to the start (Repeat): the desktop's clock jumps back with it.
        if (position < shownBeats_ && mediaControls_)
            mediaControls_->seeked(seconds);
        prepareNextFileWhenDue(seconds);
    }
    shownBeats_ = position;
    // A sequence of length 0 shows as no progress rather than an infinite fraction.
    if (view_)
        view_->setIndicatorValue(SeqLen > 0.0 ? position / SeqLen : 0.0);
}

bool AppDelegate::stillSending(MusicTimeStamp position)
{
    // The end of playback leaves the player running; what the list or Repeat plays next stops it.
    if (!playlist_.isList() && !repeats())
        return false;
    double seconds = 0.0;
    return MusicSequenceGetSecondsForBeats(playingSequence_, position, &seconds) == 0 && seconds <= sendingEndsSeconds_;
}

void AppDelegate::playbackReachedEnd()
{
    if (moveOnInList())
        return;
    // A file with nothing to send would start again thirty times a second.
    if (repeats() && !playlist_.isList() && sendingEndsSeconds_ > 0.0 && startAgainFromTheStart())
        return;
    endPlayback();
}

void AppDelegate::endPlayback()
{
    stopTimer();
    playerStarted = 0;
    paused_ = false;
    if (view_)
        view_->clearInfoText();
    if (mediaControls_)
        mediaControls_->setStopped();
    if (autoQuit_ && autoQuit_->state() != 0) {
        saveSettings();
        MusicPlayerWaitUntilSent(Player, kExitDrainGraceSeconds);
        exitProcess(1);
    }
}

}  // namespace brennick
