#include "platform/resource_search.h"

#include <QFile>
#include <QMetaObject>

#include "platform/local_path.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace brennick {

namespace {

class SuffixWalk {
public:
    SuffixWalk(const QStringList& suffixes, EntrySearchLimits limits) : limits_(limits)
    {
        for (const QString& suffix : suffixes)
            suffixes_.push_back(encodeLocalPath(suffix).toStdString());
    }

    // Walks the folder open at `folderFd` (taken over and closed), whose entries are at `depth`.
    std::optional<std::string> walk(int folderFd, int depth)
    {
        DIR* dir = ::fdopendir(folderFd);
        if (!dir) {
            ::close(folderFd);
            return std::nullopt;
        }
        const std::size_t base = relative_.size();
        std::optional<std::string> found;
        while (!found && !exhausted_) {
            const dirent* entry = ::readdir(dir);
            if (!entry)
                break;
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            if (++entriesSeen_ > limits_.maxEntries) {
                exhausted_ = true;
                break;
            }
            relative_.resize(base);
            if (base > 0)
                relative_ += '/';
            relative_ += name;
            if (matches()) {
                found = relative_;
            } else if (depth < limits_.maxDepth && isFolder(::dirfd(dir), *entry)) {
                const int child = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child >= 0)
                    found = walk(child, depth + 1);
            }
        }
        ::closedir(dir);
        relative_.resize(base);
        return found;
    }

private:
    bool matches() const
    {
        for (const std::string& suffix : suffixes_) {
            if (relative_.size() >= suffix.size() &&
                relative_.compare(relative_.size() - suffix.size(), suffix.size(), suffix) == 0)
                return true;
        }
        return false;
    }

    // Only real folders: a symbolic link to one is an entry, never a way in.
    static bool isFolder(int folderFd, const dirent& entry)
    {
        if (entry.d_type != DT_UNKNOWN)
            return entry.d_type == DT_DIR;
        struct stat info {};
        return ::fstatat(folderFd, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
    }

    std::vector<std::string> suffixes_;
    EntrySearchLimits limits_;
    std::string relative_;
    int entriesSeen_ = 0;
    bool exhausted_ = false;
};

}  // namespace

std::optional<QString> findFirstEntryWithSuffix(const QString& directory, const QStringList& suffixesInOrder,
                                                EntrySearchLimits limits)
{
    if (directory.isEmpty() || suffixesInOrder.isEmpty() || limits.maxDepth < 1 || limits.maxEntries < 1)
        return std::nullopt;
    const int root = ::open(encodeLocalPath(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        return std::nullopt;
    const std::optional<std::string> found = SuffixWalk(suffixesInOrder, limits).walk(root, 1);
    if (!found)
        return std::nullopt;
    return decodeLocalPath(QByteArrayView(found->data(), qsizetype(found->size())));
}

BackgroundEntrySearch::BackgroundEntrySearch(Search search, QObject* parent)
    : QObject(parent), search_(std::move(search))
{
}

BackgroundEntrySearch::~BackgroundEntrySearch()
{
    // The answer the worker may have posted goes with this object's pending events.
    if (worker_.joinable())
        worker_.join();
}

bool BackgroundEntrySearch::start()
{
    if (running_)
        return false;
    if (worker_.joinable())
        worker_.join();  // finished already: its answer has been delivered
    try {
        worker_ = std::thread([this] {
            std::optional<QString> found = search_();
            QMetaObject::invokeMethod(
                this, [this, found = std::move(found)] { deliver(found); }, Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        return false;  // no thread to be had now; the next start tries again
    }
    running_ = true;
    return true;
}

void BackgroundEntrySearch::deliver(const std::optional<QString>& found)
{
    running_ = false;
    lastResult_ = found;
    emit finished(found);
}

}  // namespace brennick
