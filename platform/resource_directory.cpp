#include "platform/resource_directory.h"

#include <QCoreApplication>
#include <QDir>

namespace brennick {

QString resourceDirectoryPath()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/brennick-midi-player"));
}

}  // namespace brennick
