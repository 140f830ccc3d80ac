#pragma once
// Sorting the process arguments into open-file and get-URL requests (there are no options).

#include <QList>
#include <QString>
#include <QStringList>

namespace brennick {

struct LaunchRequest {
    enum class Kind { OpenFile, GetURL };
    Kind kind;
    // OpenFile: an absolute, cleaned local path. GetURL: the argument exactly as given.
    QString value;

    friend bool operator==(const LaunchRequest&, const LaunchRequest&) = default;
};

// Classifies each argument, in order (the program name must not be among them):
// - a `file:` URL (scheme case-insensitive) naming a local file (no host or "localhost") is an
//   OpenFile request for its percent-decoded path; with another host it is a GetURL request;
// - an argument that begins like a URL scheme (RFC 3986: a letter, then letters, digits, "+", "-"
//   or ".", then ":") is a GetURL request, unless it names an existing file or folder (relative
//   to `currentDirectory`): a file called "song:1.mid" that exists stays a file;
// - anything else is a local path, made absolute against `currentDirectory` (an absolute path)
//   and cleaned.
// Empty arguments are dropped. Nothing is opened or checked beyond the existence test above.
QList<LaunchRequest> classifyLaunchArguments(const QStringList& args, const QString& currentDirectory);

}  // namespace brennick
