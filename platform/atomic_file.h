#pragma once
// A file written in pieces that takes the place of another only once it is complete: a crash at
// any moment leaves either the old file or the new one whole at the path, never half of either.

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <memory>
#include <optional>

namespace brennick {

// Begins the new file at once, beside the file `path` names; append() adds to it and commit()
// flushes it to disk, puts it in place of `path` in one step and syncs the folder. Destroying it
// without a commit drops the new file and leaves `path` as it was.
//
// The file gets the permission bits `mode` when given; otherwise an existing file's own, and for a
// new one 0666 less the umask.
//
// Symbolic links: when `path` is a link, the file it finally names is replaced, in that file's own
// folder, and the link stays as it is. A dangling link gets its target created (when the target's
// folder exists). A link loop, a chain of more than 40 links, or a link owned neither by the
// writing user nor by the owner of its folder (as the kernel rules for sticky shared folders)
// fails the write and leaves every link alone.
//
// Temporary files: the new file is written without a name (O_TMPFILE) where the file system
// allows, so a write killed before its commit leaves nothing. Otherwise, and for the instant
// between naming the finished file ".<file name>.XXXXXX" and renaming it over `path`, a killed
// write can leave such a file; each write removes the ones it finds (regular files of exactly that
// pattern), holding a lock on the folder (flock) from its beginning to its end that every write
// takes, so another write's temporary file is never taken for a stale one. A write that cannot
// have the lock within a second goes on all the same but leaves the cleaning to the next one.
class AtomicFile {
public:
    explicit AtomicFile(const QString& path, std::optional<mode_t> mode = std::nullopt);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // False once a step has failed (the new file could not be begun, a write failed): append()
    // and commit() then do nothing and fail, and error() says why (an errno value).
    bool ok() const { return error_ == 0; }
    int error() const { return error_; }

    bool append(const char* data, std::size_t size);
    bool append(const QByteArray& bytes) { return append(bytes.constData(), std::size_t(bytes.size())); }
    // Puts the new file in place. False, with `path` untouched, no temporary file left behind and
    // errno (and error()) saying why, when any step fails (full disk, folder gone). Once only.
    bool commit();

private:
    struct Open;
    bool fail(int error);

    std::unique_ptr<Open> open_;
    int error_ = 0;
};

}  // namespace brennick
