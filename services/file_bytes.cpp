#include "services/file_bytes.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

namespace brennick {

namespace {

class ScopedFd {
public:
    explicit ScopedFd(int fd = -1) noexcept : fd_(fd) {}
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd) noexcept
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Walks a path too long for one system call folder by folder, each step shorter than PATH_MAX.
// Returns the folder to open the rest from (AT_FDCWD when the path fits) and leaves `rest` as the
// part to open from it; -1 with errno set when a folder on the way cannot be opened.
int folderOf(const std::string& path, std::string& rest) noexcept
{
    rest = path;
    if (path.size() < PATH_MAX)
        return AT_FDCWD;
    ScopedFd folder(AT_FDCWD);
    std::size_t from = 0;
    if (path[0] == '/') {
        folder.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (folder.get() < 0)
            return -1;
        from = 1;
    }
    while (path.size() - from >= PATH_MAX) {
        // The longest run of whole folder names that fits in one call.
        std::size_t cut = path.rfind('/', from + PATH_MAX - 2);
        if (cut == std::string::npos || cut < from) {
            errno = ENAMETOOLONG;  // a single name longer than any the system allows
            return -1;
        }
        const std::string step = path.substr(from, cut - from);
        const int next = ::openat(folder.get(), step.empty() ? "." : step.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (next < 0)
            return -1;
        folder.reset(next);
        from = cut + 1;
    }
    rest = path.substr(from);
    return folder.release();
}

FileReadError errorFromErrno(int error) noexcept
{
    switch (error) {
    case ENOENT:
    case ENOTDIR: return FileReadError::NotFound;
    case EACCES:
    case EPERM: return FileReadError::PermissionDenied;
    case EINVAL:
    case ENXIO: return FileReadError::NotRegularFile;
    case ENOMEM: return FileReadError::OutOfMemory;
    default: return FileReadError::ReadFailed;
    }
}

// Asks the system to provide the pages of a buffer about to be filled in one call rather than one
// fault per page (kernels before 5.14 ignore it and fault them in as they are written).
void prepareForWriting(void* begin, std::size_t bytes) noexcept
{
#ifdef MADV_POPULATE_WRITE
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto from = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(begin) + bytes) & ~(page - 1);
    if (from < to)
        (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)begin;
    (void)bytes;
#endif
}

}  // namespace

std::uint64_t maxReadableFileBytes(std::uint64_t physicalMemoryBytes) noexcept
{
    return std::min(kMaxPlayableFileBytes, physicalMemoryBytes / 4);
}

std::uint64_t maxReadableFileBytes() noexcept
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return kMaxPlayableFileBytes;
    return maxReadableFileBytes(std::uint64_t(pages) * std::uint64_t(pageSize));
}

int openRegularFile(const std::string& path) noexcept
{
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::string rest;
    const int folder = folderOf(path, rest);
    if (folder == -1)
        return -1;
    ScopedFd closeFolder(folder == AT_FDCWD ? -1 : folder);
    // Check the type before opening: opening a device can have effects, and a FIFO would block.
    struct stat info;
    if (::fstatat(folder, rest.c_str(), &info, 0) != 0)
        return -1;
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    ScopedFd fd(::openat(folder, rest.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        return -1;
    // The path may have been replaced between the two calls.
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return fd.release();
}

FileReadResult readWholeFile(const std::string& path, std::uint64_t maxBytes) noexcept
{
    FileReadResult result;
    ScopedFd fd(openRegularFile(path));
    struct stat info;
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        result.error = errorFromErrno(errno);
        return result;
    }
    if (info.st_size < 0 || std::uint64_t(info.st_size) > maxBytes) {
        result.error = FileReadError::TooLarge;
        return result;
    }
    const std::size_t size = static_cast<std::size_t>(info.st_size);
    // Not a vector: zero-filling a buffer about to be overwritten costs as much as the read.
    result.bytes.data.reset(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]);
    if (!result.bytes.data) {
        result.error = FileReadError::OutOfMemory;
        return result;
    }
    prepareForWriting(result.bytes.data.get(), size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd.get(), result.bytes.data.get() + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.bytes = {};
            result.error = FileReadError::ReadFailed;
            return result;
        }
        if (n == 0)
            break;  // the file shrank: keep what is there
        got += static_cast<std::size_t>(n);
    }
    result.bytes.size = got;
    return result;
}

const char* describe(FileReadError error) noexcept
{
    switch (error) {
    case FileReadError::None: return "read";
    case FileReadError::NotFound: return "no such file";
    case FileReadError::PermissionDenied: return "permission denied";
    case FileReadError::NotRegularFile: return "not a regular file";
    case FileReadError::TooLarge: return "file too large";
    case FileReadError::OutOfMemory: return "not enough memory";
    case FileReadError::ReadFailed: return "cannot be read";
    }
    return "cannot be read";
}

}  // namespace brennick
