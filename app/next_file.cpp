// A list goes on with no gap: the next file is made ready to begin on the frame the song that plays
// ends, and becomes the one that plays there.

#include "app/app_delegate.h"
#include "app/destination_lister.h"
#include "app/playback_state.h"
#include "app/sequence_loader.h"

namespace brennick {

namespace {
// How long before the end of a song the next file is read and its player made ready: reading,
// listing and (on JACK) connecting take a few hundredths of a second, a busy machine longer.
constexpr double kPrepareAheadSeconds = 1.5;
}  // namespace

void AppDelegate::prepareNextFileWhenDue(double positionSeconds)
{
    if (nextFileTried_ || paused_ || playerStarted != 1 || Player != player || !playlist_.isList() ||
        silentFilesInARow_ >= playlist_.size())
        return;
    const std::optional<qsizetype> next = playlist_.nextIndex(repeats());
    if (!next)
        return;
    if ((playingSeconds_ - positionSeconds) / tempo_ > kPrepareAheadSeconds)
        return;
    nextFileTried_ = true;
    nextFile_.emplace();
    nextFile_->index = *next;
    nextFileRequest_ = ++latestRequest_;
    pendingFile_.reset();
    pendingListing_.reset();
    loader_->load(nextFileRequest_, playlist_.pathAt(*next));
    lister_->list(nextFileRequest_);
}

void AppDelegate::nextFileRead(const std::shared_ptr<LoadedFile>& file, const DestinationListing& listing,
                               const QString& model)
{
    nextFileRequest_ = 0;
    if (!nextFile_)
        return;
    const double tempo = tempoByFile_.value(file->contentKey, 1.0).toDouble();
    if (startFilePlayer(file->path, model, std::move(file->result), listing, tempo, player, nextFile_->file) <= 0) {
        // The list moves on at the end as it always did, and says there what went wrong.
        MusicPlayerStop(nextFile_->file.player);
        nextFile_.reset();
        return;
    }
    nextFile_->model = model;
    nextFile_->contentKey = file->contentKey;
    nextFile_->tempo = tempo;
}

void AppDelegate::cancelNextFile(bool prepareAgain)
{
    if (nextFileRequest_ != 0 && nextFileRequest_ == latestRequest_) {
        ++latestRequest_;  // the reading and the listing under way start nothing
        pendingFile_.reset();
        pendingListing_.reset();
    }
    nextFileRequest_ = 0;
    if (nextFile_)
        MusicPlayerStop(nextFile_->file.player);  // before it sounds; its objects go with the earlier ones
    nextFile_.reset();
    if (prepareAgain)
        nextFileTried_ = false;
}

bool AppDelegate::continueWithNextFile(qsizetype index)
{
    if (!nextFile_ || nextFile_->index != index || nextFile_->file.player == nullptr) {
        cancelNextFile(false);
        return false;
    }
    const NextFile next = std::move(*nextFile_);
    nextFile_.reset();
    playlist_.moveTo(next.index);
    // The song that ended lets go of what sounded there by itself; stopped now, it could still cut
    // its last events short (its clock here runs a little ahead of the output).
    handedOver_ = player;
    currentModel_ = next.model;
    currentFileKey_ = next.contentKey;
    tempo_ = next.tempo;
    shownBeats_ = 0.0;
    if (view_)
        view_->setIndicatorValue(0.0);
    showPlaying(next.file);
    return true;
}

}  // namespace brennick
