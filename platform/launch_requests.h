#pragma once
// Sorting the process arguments into open-file and get-URL requests, and what a batch of them
// comes to.

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace brennick {

struct LaunchRequest {
    enum class Kind { OpenFile, GetURL };
    Kind kind;
    // OpenFile: an absolute, cleaned local path. GetURL: the argument exactly as given. Both in the
    // lossless form of platform/local_path.h, so a path's bytes survive.
    QString value;

    friend bool operator==(const LaunchRequest&, const LaunchRequest&) = default;
};

// Classifies each argument (decoded with decodeLocalPath), in order; the program name must not be
// among them:
// - a `file:` URL (scheme case-insensitive) naming a local file (no host or "localhost") is an
//   OpenFile request for its path, percent-decoded byte by byte up to any "?" or "#"; with another
//   host, or with a path that decodes to a NUL byte, it is a GetURL request;
// - an argument that begins like a URL scheme (RFC 3986: a letter, then letters, digits, "+", "-"
//   or ".", then ":") is a GetURL request, unless it names an existing file or folder (relative
//   to `currentDirectory`): a file called "song:1.mid" that exists stays a file;
// - anything else is a local path, made absolute against `currentDirectory` (an absolute path)
//   and cleaned.
// Empty arguments are dropped. Nothing is opened or checked beyond the existence test above.
QList<LaunchRequest> classifyLaunchArguments(const QStringList& args, const QString& currentDirectory);

// What a batch of requests (one launch's arguments, one forwarded message) comes to. Each play
// request replaces the one before, so only the newest file is worth playing, unless the player
// plays several files in turn; get-URL requests all leave the same log line, so one stands for
// them all.
struct LaunchBatch {
    std::optional<QString> newestFile;    // the last OpenFile value
    QStringList files;                    // every OpenFile value, in order
    std::optional<QString> newestGetURL;  // the last GetURL value
    qsizetype requestCount = 0;           // requests in the batch before coalescing

    // The batch as at most two requests, the get-URL one first.
    QList<LaunchRequest> requests() const;
};

LaunchBatch coalesceLaunchRequests(const QList<LaunchRequest>& requests);

}  // namespace brennick
