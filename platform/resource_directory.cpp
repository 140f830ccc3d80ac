#include "platform/resource_directory.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace brennick {

QString resourceDirectoryPath()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/brennick-midi-player"));
}

QString userConfigDirectoryPath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base)) {
        // Not QDir::homePath(), which makes the root folder of a missing HOME.
        const QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty() || QDir::isRelativePath(home))
            return {};
        base = home + QStringLiteral("/.config");
    }
    return QDir::cleanPath(base + QStringLiteral("/brennick-midi-player"));
}

bool makePrivateDirectory(const QString& path)
{
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (QFileInfo(clean).isDir())
        return true;
    const QString parent = QFileInfo(clean).path();
    if (parent != clean && !makePrivateDirectory(parent))
        return false;
    // Another process may have made it meanwhile.
    return ::mkdir(QFile::encodeName(clean).constData(), 0700) == 0 || (errno == EEXIST && QFileInfo(clean).isDir());
}

}  // namespace brennick
