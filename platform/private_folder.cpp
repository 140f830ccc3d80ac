#include "platform/private_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/local_path.h"

namespace brennick {

QString privateFolderProblem(const QByteArray& folder, FolderPrivacy privacy)
{
    const QString name = decodeLocalPath(folder);
    struct stat info {};
    if (::lstat(folder.constData(), &info) != 0)
        return QStringLiteral("cannot use %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno)));
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("%1 is a symbolic link, not a private folder").arg(name);
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("%1 is not a folder").arg(name);
    if (info.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to another user").arg(name);
    const mode_t refused = privacy == FolderPrivacy::OwnerOnly ? 077 : 022;
    if ((info.st_mode & refused) != 0)
        return QStringLiteral("%1 is open to other users (mode %2)").arg(name, QString::number(info.st_mode & 07777, 8));
    return {};
}

}  // namespace brennick
