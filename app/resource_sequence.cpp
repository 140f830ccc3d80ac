// The resource sequence: a MIDI file in the application's own resource directory.

#include "app/app_delegate.h"
#include "platform/resource_directory.h"
#include "platform/resource_search.h"
#include "ui/menu_item.h"

namespace brennick {

namespace {

std::optional<QString> findResourceSequence()
{
    return findFirstEntryWithSuffix(resourceDirectoryPath(), {QStringLiteral(".midi"), QStringLiteral(".mid")});
}

}  // namespace

std::int32_t AppDelegate::checkIfFileIsInResource()
{
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
