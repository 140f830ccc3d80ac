#include "platform/atomic_file.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brennick {

namespace {

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

// Opens a new temporary file of ours under `name`'s pattern; -1 with errno on failure.
int openNamedTemporary(int folderFd, const QByteArray& name, QByteArray* temporary)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary = temporaryNameOf(name);
        const int fd = ::openat(folderFd, temporary->constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Copies what the unnamed file `fd` holds into a new named temporary file, for a file system that
// makes unnamed files but cannot give them a name afterwards.
bool copyToNamedTemporary(int fd, int folderFd, const QByteArray& name, mode_t mode, QByteArray* temporary)
{
    const int copy = openNamedTemporary(folderFd, name, temporary);
    if (copy < 0)
        return false;
    ::fchmod(copy, mode);
    char buffer[64 * 1024];
    bool copied = true;
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            copied = n == 0;
            break;
        }
        if (!writeAll(copy, buffer, std::size_t(n))) {
            copied = false;
            break;
        }
        offset += n;
    }
    int error = copied && ::fsync(copy) == 0 ? 0 : errno;
    if (::close(copy) != 0 && error == 0)
        error = errno;
    if (error == 0)
        return true;
    ::unlinkat(folderFd, temporary->constData(), 0);
    return failWith(error);
}

}  // namespace

struct AtomicFile::Open {
    SaveTarget target;
    SaveFolder folder;
    mode_t mode = 0;
    int fd = -1;
    QByteArray temporary;  // the new file's name; empty while it has none (O_TMPFILE)

    explicit Open(SaveTarget t) : target(std::move(t)), folder(target.folder) {}
    ~Open()
    {
        if (fd >= 0)
            ::close(fd);
        if (!temporary.isEmpty())
            ::unlinkat(folder.fd(), temporary.constData(), 0);
    }
};

AtomicFile::AtomicFile(const QString& path, std::optional<mode_t> mode)
{
    if (QFileInfo(path).fileName().isEmpty()) {
        fail(EISDIR);
        return;
    }
    std::optional<SaveTarget> target = followLinks(QFile::encodeName(QFileInfo(path).absoluteFilePath()));
    if (!target) {
        fail(errno);
        return;
    }
    open_ = std::make_unique<Open>(std::move(*target));
    Open& o = *open_;
    if (o.folder.fd() < 0) {
        fail(errno);
        return;
    }
    if (o.folder.locked())
        removeStaleTemporaries(o.folder.fd(), o.target.name);
    struct stat existing {};
    o.mode = mode ? *mode
             : ::fstatat(o.folder.fd(), o.target.name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISREG(existing.st_mode)
                 ? (existing.st_mode & 07777)
                 : (0666 & ~currentUmask());
    o.fd = ::openat(o.folder.fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (o.fd < 0)
        o.fd = openNamedTemporary(o.folder.fd(), o.target.name, &o.temporary);
    if (o.fd < 0) {
        fail(errno);
        return;
    }
    ::fchmod(o.fd, o.mode);  // best effort: a file system without modes keeps its own
}

AtomicFile::~AtomicFile() = default;

bool AtomicFile::fail(int error)
{
    if (error_ == 0)
        error_ = error != 0 ? error : EIO;
    open_.reset();  // drops the new file
    return failWith(error_);
}

bool AtomicFile::append(const char* data, std::size_t size)
{
    if (!open_)
        return failWith(ok() ? EBADF : error_);
    return writeAll(open_->fd, data, size) || fail(errno);
}

bool AtomicFile::commit()
{
    if (!open_)
        return failWith(ok() ? EBADF : error_);
    Open& o = *open_;
    if (::fsync(o.fd) != 0)
        return fail(errno);
    if (o.temporary.isEmpty()) {
        // A missing target gets the name directly; an existing one is replaced through a
        // temporary name, the only moment a kill can leave a stray, which the next write removes.
        int linked = linkUnnamed(o.fd, o.folder.fd(), o.target.name);
        if (linked == 0) {
            ::fsync(o.folder.fd());
            open_.reset();
            return true;
        }
        QByteArray temporary;
        for (int attempt = 0; linked == EEXIST && attempt < 100; ++attempt) {
            temporary = temporaryNameOf(o.target.name);
            linked = linkUnnamed(o.fd, o.folder.fd(), temporary);
        }
        if (linked != 0 && !copyToNamedTemporary(o.fd, o.folder.fd(), o.target.name, o.mode, &temporary))
            return fail(errno);
        o.temporary = temporary;
    }
    const int closed = ::close(o.fd);
    o.fd = -1;
    if (closed != 0)
        return fail(errno);
    const bool replaced = replaceWith(o.folder.fd(), o.temporary, o.target.name);
    const int error = errno;
    o.temporary.clear();  // renamed, or removed by replaceWith
    if (!replaced)
        return fail(error);
    // Makes the new name itself durable. The new file is in place either way; some file systems
    // do not sync folders, so this is not a failure of the write.
    ::fsync(o.folder.fd());
    open_.reset();
    return true;
}

}  // namespace brennick
