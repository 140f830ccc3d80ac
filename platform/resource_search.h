#pragma once
// Finding a file by name suffix below a folder, with bounded work, and doing so off the calling
// thread.

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <thread>

namespace brennick {

// How far one search goes. A resource folder holds a handful of files; the bounds leave room for a
// large collection while keeping every search to a few milliseconds, however large the tree
// someone put there.
struct EntrySearchLimits {
    // Folder levels looked into: "song.mid" is at depth 1, "a/b/song.mid" at depth 3. Folders at
    // the deepest level are yielded as entries but not entered.
    int maxDepth = 8;
    // Entries looked at, folders included; the search ends there, as if the tree ended.
    int maxEntries = 10000;
};

// Enumerates `directory` and returns the path, relative to `directory`, of the first entry whose
// relative path ends with one of `suffixesInOrder` (exact, case-sensitive, compared on the file
// system's bytes; suffixes are tried in order for each entry before moving on to the next entry).
// Folders count as entries too, so a folder named "x.mid" matches.
//
// Order: the file system's own directory order (unsorted), each folder's contents following it.
// Symbolic links are yielded as entries but never entered, so link loops end; folders that cannot
// be opened are skipped, and a folder that fails while being read ends early. A missing or
// unreadable `directory` finds nothing. What lies beyond `limits` is not found. Thread-safe.
std::optional<QString> findFirstEntryWithSuffix(const QString& directory, const QStringList& suffixesInOrder,
                                                EntrySearchLimits limits = {});

// Runs a search on a worker thread, one at a time, and hands the answer to the thread that owns
// this object through a queued call, so a slow file system never stalls that thread's event loop.
class BackgroundEntrySearch : public QObject {
    Q_OBJECT
public:
    using Search = std::function<std::optional<QString>()>;

    // `search` runs on the worker thread: it must not touch objects of the owning thread.
    explicit BackgroundEntrySearch(Search search, QObject* parent = nullptr);
    // Waits for a search still running (bounded by its limits); its answer is dropped.
    ~BackgroundEntrySearch() override;

    // Starts a search. False, starting nothing, while the previous one has not delivered its answer.
    bool start();
    bool running() const { return running_; }
    // The answer of the latest search that finished; nullopt before the first.
    const std::optional<QString>& lastResult() const { return lastResult_; }

signals:
    // On the owning thread, once per start().
    void finished(const std::optional<QString>& found);

private:
    void deliver(const std::optional<QString>& found);

    Search search_;
    std::thread worker_;
    bool running_ = false;
    std::optional<QString> lastResult_;
};

}  // namespace brennick
