#include "platform/property_list.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/plist_node.h"

namespace brennick {

namespace {

using plist_node::kPlistEpochMSecs;
using plist_node::MallocPtr;
using plist_node::PlistPtr;

// ---- Writing.

std::optional<PlistPtr> fromVariant(const QVariant& value, int depth);

std::optional<PlistPtr> mapToDict(const QVariantMap& map, int depth)
{
    if (depth > kMaxPropertyListDepth)
        return std::nullopt;
    PlistPtr dict(plist_new_dict());
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        auto item = fromVariant(it.value(), depth);
        if (!item)
            return std::nullopt;
        plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), item->release());
    }
    return dict;
}

PlistPtr largeUnsigned(quint64 value)
{
    // The library writes a 64-bit value above the signed range as negative unless the node came
    // from parsed text, which marks it unsigned.
    const QByteArray xml = "<plist><integer>" + QByteArray::number(value) + "</integer></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &node);
    return PlistPtr(node);
}

std::optional<PlistPtr> fromVariant(const QVariant& value, int depth)
{
    switch (value.typeId()) {
    case QMetaType::Bool: return PlistPtr(plist_new_bool(value.toBool() ? 1 : 0));
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::SChar: return PlistPtr(plist_new_uint(static_cast<uint64_t>(value.toLongLong())));
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::UChar: {
        const quint64 unsignedValue = value.toULongLong();
        if (unsignedValue > static_cast<quint64>(std::numeric_limits<qint64>::max())) {
            PlistPtr node = largeUnsigned(unsignedValue);
            if (!node)
                return std::nullopt;
            return node;
        }
        return PlistPtr(plist_new_uint(unsignedValue));
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double real = value.toDouble();
        if (!std::isfinite(real))
            return std::nullopt;
        return PlistPtr(plist_new_real(real));
    }
    case QMetaType::QString: return PlistPtr(plist_new_string(value.toString().toUtf8().constData()));
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return PlistPtr(plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size())));
    }
    case QMetaType::QDateTime: {
        const QDateTime time = value.toDateTime();
        if (!time.isValid())
            return std::nullopt;
        const qint64 msecs = time.toMSecsSinceEpoch() - kPlistEpochMSecs;
        const qint64 seconds = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
        const qint64 remainderMSecs = msecs - seconds * 1000;
        if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max())
            return std::nullopt;
        return PlistPtr(plist_new_date(static_cast<int32_t>(seconds), static_cast<int32_t>(remainderMSecs * 1000)));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        if (depth + 1 > kMaxPropertyListDepth)
            return std::nullopt;
        PlistPtr array(plist_new_array());
        for (const QVariant& element : value.toList()) {
            auto item = fromVariant(element, depth + 1);
            if (!item)
                return std::nullopt;
            plist_array_append_item(array.get(), item->release());
        }
        return array;
    }
    case QMetaType::QVariantMap: return mapToDict(value.toMap(), depth + 1);
    case QMetaType::QVariantHash: {
        const QVariantHash hash = value.toHash();
        QVariantMap map;
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            map.insert(it.key(), it.value());
        return mapToDict(map, depth + 1);
    }
    default: return std::nullopt;
    }
}

mode_t currentUmask()
{
    // Reading the mask through umask(2) would change it for a moment for every thread.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        while (!status.atEnd()) {
            const QByteArray line = status.readLine();
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return static_cast<mode_t>(mask & 0777);
            }
        }
    }
    return 022;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// ---- Saving: where the bytes go, and how they replace the old file in one step.

// A failure whose cause is `error`, for the caller to find in errno.
bool failWith(int error)
{
    errno = error;
    return false;
}

// Longest chain of symbolic links followed, the kernel's own limit for one path lookup.
constexpr int kMaxLinkHops = 40;
// How long a save waits for another process's save into the same folder to finish.
constexpr int kFolderLockWaitMs = 1000;
constexpr int kFolderLockRetryMs = 10;
// Temporary names are ".<file name>." plus this many letters and digits, as mkstemp(3) makes them.
constexpr int kTemporarySuffixLength = 6;

struct SaveTarget {
    QByteArray folder;
    QByteArray name;
};

SaveTarget splitPath(const QByteArray& absolutePath)
{
    const qsizetype slash = absolutePath.lastIndexOf('/');
    return {slash == 0 ? QByteArray("/") : absolutePath.left(slash), absolutePath.mid(slash + 1)};
}

// A link is followed only when it belongs to the saving user or to the owner of its folder: the
// rule the kernel applies in sticky world-writable folders. So in a folder shared with others, a
// link someone else planted cannot turn our save into a replacement of another file of ours.
bool mayFollowLink(const struct stat& link, const QByteArray& folder)
{
    if (link.st_uid == ::geteuid())
        return true;
    struct stat folderInfo {};
    return ::stat(folder.constData(), &folderInfo) == 0 && folderInfo.st_uid == link.st_uid;
}

// The file `absolutePath` names once its symbolic links are followed. It need not exist: a dangling
// link names the file a save creates. nullopt for a loop, a chain longer than kMaxLinkHops, or a
// link that may not be followed.
std::optional<SaveTarget> followLinks(QByteArray path)
{
    for (int hops = 0;; ++hops) {
        struct stat info {};
        if (::lstat(path.constData(), &info) != 0) {
            if (errno != ENOENT)
                return std::nullopt;
            break;
        }
        if (!S_ISLNK(info.st_mode))
            break;
        const QByteArray folder = splitPath(path).folder;
        if (hops == kMaxLinkHops || !mayFollowLink(info, folder)) {
            errno = hops == kMaxLinkHops ? ELOOP : EPERM;
            return std::nullopt;
        }
        QByteArray target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.constData(), target.data(), static_cast<std::size_t>(target.size()));
        if (length <= 0 || length >= target.size()) {
            errno = length < 0 ? errno : ENAMETOOLONG;
            return std::nullopt;
        }
        target.truncate(length);
        path = target.startsWith('/') ? target : folder + '/' + target;
    }
    SaveTarget target = splitPath(path);
    if (target.name.isEmpty() || target.name == "." || target.name == "..") {
        errno = EISDIR;
        return std::nullopt;
    }
    return target;
}

// The folder a save writes into, open and, when it can be had in time, locked against other
// processes' saves. Every save takes the lock, so while we hold it a temporary file of ours in the
// folder belongs to a save that was killed. The lock goes when the folder is closed, also when
// the process dies.
class SaveFolder {
public:
    explicit SaveFolder(const QByteArray& path) : fd_(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (fd_ < 0)
            return;
        for (int waitedMs = 0; !locked_; waitedMs += kFolderLockRetryMs) {
            locked_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
            if (locked_ || errno != EWOULDBLOCK || waitedMs >= kFolderLockWaitMs)
                break;
            ::usleep(kFolderLockRetryMs * 1000);
        }
    }
    ~SaveFolder()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SaveFolder(const SaveFolder&) = delete;
    SaveFolder& operator=(const SaveFolder&) = delete;

    int fd() const { return fd_; }
    bool locked() const { return locked_; }

private:
    int fd_;
    bool locked_ = false;
};

bool isTemporaryNameOf(const char* entry, const QByteArray& name)
{
    const QByteArray prefix = '.' + name + '.';
    const std::size_t length = std::strlen(entry);
    if (length != static_cast<std::size_t>(prefix.size()) + kTemporarySuffixLength ||
        std::memcmp(entry, prefix.constData(), static_cast<std::size_t>(prefix.size())) != 0)
        return false;
    return std::all_of(entry + prefix.size(), entry + length, [](char c) { return std::isalnum(uchar(c)) != 0; });
}

QByteArray temporaryNameOf(const QByteArray& name)
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray temporary = '.' + name + '.';
    for (int i = 0; i < kTemporarySuffixLength; ++i)
        temporary += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))];
    return temporary;
}

// Removes temporary files that killed saves left under our name pattern; only regular files.
void removeStaleTemporaries(int folderFd, const QByteArray& name)
{
    const int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        struct stat info {};
        if (isTemporaryNameOf(entry->d_name, name) &&
            ::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
            ::unlinkat(folderFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

bool fillAndSync(int fd, const QByteArray& bytes, mode_t mode)
{
    ::fchmod(fd, mode);  // best effort: a file system without modes keeps its own
    return writeAll(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) && ::fsync(fd) == 0;
}

// Moves a temporary file over the target; removes the temporary when that fails.
bool replaceWith(int folderFd, const QByteArray& temporary, const QByteArray& name)
{
    if (::renameat(folderFd, temporary.constData(), folderFd, name.constData()) == 0)
        return true;
    const int error = errno;
    ::unlinkat(folderFd, temporary.constData(), 0);
    return failWith(error);
}

// Gives the unnamed file `fd` the name `name` in the folder; 0 or the errno of the failure.
int linkUnnamed(int fd, int folderFd, const QByteArray& name)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), folderFd, name.constData(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    if (errno == EEXIST)
        return EEXIST;
    // Without /proc this works for a process allowed to link any open file.
    return ::linkat(fd, "", folderFd, name.constData(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

enum class SaveResult { Saved, Failed, Unsupported };

// The file is written without a name (O_TMPFILE), so a save killed before it is complete leaves
// nothing behind. A missing target gets the name directly; an existing one is replaced through a
// temporary name, the only moment a kill can leave a stray, which the next save removes.
SaveResult saveUnnamed(int folderFd, const QByteArray& name, const QByteArray& bytes, mode_t mode)
{
    const int fd = ::openat(folderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return SaveResult::Unsupported;
    if (!fillAndSync(fd, bytes, mode)) {
        ::close(fd);
        return SaveResult::Failed;
    }
    int linked = linkUnnamed(fd, folderFd, name);
    QByteArray temporary;
    for (int attempt = 0; linked == EEXIST && attempt < 100; ++attempt) {
        temporary = temporaryNameOf(name);
        linked = linkUnnamed(fd, folderFd, temporary);
    }
    ::close(fd);
    if (linked != 0)
        return SaveResult::Unsupported;
    if (temporary.isEmpty())
        return SaveResult::Saved;
    return replaceWith(folderFd, temporary, name) ? SaveResult::Saved : SaveResult::Failed;
}

// For file systems without O_TMPFILE: a named temporary file, renamed over the target.
bool saveNamed(int folderFd, const QByteArray& name, const QByteArray& bytes, mode_t mode)
{
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = temporaryNameOf(name);
        fd = ::openat(folderFd, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    const bool written = fillAndSync(fd, bytes, mode);
    if (::close(fd) != 0 || !written) {
        const int error = errno;
        ::unlinkat(folderFd, temporary.constData(), 0);
        return failWith(error);
    }
    return replaceWith(folderFd, temporary, name);
}

}  // namespace

std::optional<QByteArray> propertyListXml(const QVariantMap& dict)
{
    auto root = mapToDict(dict, 1);
    if (!root)
        return std::nullopt;
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_xml(root->get(), &raw, &length);
    MallocPtr<char> text(raw);
    if (!text)
        return std::nullopt;
    return QByteArray(text.get(), length);
}

QVariantMap writableEntries(QVariantMap dict)
{
    dict.removeIf([](const auto& entry) { return !fromVariant(entry.value(), 1); });
    return dict;
}

bool writePropertyListDictionaryAtomically(const QString& path, const QVariantMap& dict, std::optional<mode_t> mode)
{
    if (QFileInfo(path).fileName().isEmpty())
        return failWith(EISDIR);
    const std::optional<QByteArray> xml = propertyListXml(dict);
    if (!xml)
        return failWith(EINVAL);

    const std::optional<SaveTarget> target = followLinks(QFile::encodeName(QFileInfo(path).absoluteFilePath()));
    if (!target)
        return false;
    const SaveFolder folder(target->folder);
    if (folder.fd() < 0)
        return false;
    if (folder.locked())
        removeStaleTemporaries(folder.fd(), target->name);

    struct stat existing {};
    if (!mode)
        mode = ::fstatat(folder.fd(), target->name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISREG(existing.st_mode)
                   ? (existing.st_mode & 07777)
                   : (0666 & ~currentUmask());

    SaveResult result = saveUnnamed(folder.fd(), target->name, *xml, *mode);
    if (result == SaveResult::Unsupported)
        result = saveNamed(folder.fd(), target->name, *xml, *mode) ? SaveResult::Saved : SaveResult::Failed;
    if (result != SaveResult::Saved)
        return false;
    // Makes the new name itself durable. The new file is in place either way; some file systems
    // do not sync folders, so this is not a failure of the write.
    ::fsync(folder.fd());
    return true;
}

}  // namespace brennick
