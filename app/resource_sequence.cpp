// The resource sequence: a MIDI file in the application's own resource directory.

#include "app/app_delegate.h"
#include "platform/resource_directory.h"
#include "platform/resource_search.h"
#include "ui/menu_item.h"

namespace brennick {

namespace {

const QStringList kSequenceSuffixes{QStringLiteral(".midi"), QStringLiteral(".mid")};
const QString kPollName = QStringLiteral("resourceSequencePoll");

std::optional<QString> findResourceSequence()
{
    return findFirstEntryWithSuffix(resourceDirectoryPath(), kSequenceSuffixes);
}

}  // namespace

std::int32_t AppDelegate::checkIfFileIsInResource()
{
    // Under the poll timer the walk runs on a worker thread, one at a time, and its answer shows or
    // hides the item when it arrives: a large resource tree never stalls the window. The answer
    // returned is the latest one. The check at launch, which decides what to play, walks at once.
    if (fileTimer_ && fileTimer_->isActive()) {
        auto* poll = findChild<BackgroundEntrySearch*>(kPollName, Qt::FindDirectChildrenOnly);
        if (!poll) {
            poll = new BackgroundEntrySearch(
                [directory = resourceDirectoryPath()] {
                    return findFirstEntryWithSuffix(directory, kSequenceSuffixes);
                },
                this);
            poll->setObjectName(kPollName);
            connect(poll, &BackgroundEntrySearch::finished, this, [this](const std::optional<QString>& found) {
                if (openResourceFile_)
                    openResourceFile_->setHidden(!found);
            });
        }
        poll->start();  // does nothing while the previous walk has not answered
        return poll->lastResult() ? 1 : 0;
    }
    const bool found = findResourceSequence().has_value();
    if (openResourceFile_)
        openResourceFile_->setHidden(!found);
    return found ? 1 : 0;
}

void AppDelegate::doOpenResourceFile()
{
    if (const std::optional<QString> relative = findResourceSequence()) {
        const QString path = resourceDirectoryPath() + u'/' + *relative;
        playMidiFile(&path);
    }
}

void AppDelegate::doOpenResourceFile(QObject*)
{
    doOpenResourceFile();
}

}  // namespace brennick
