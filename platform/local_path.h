#pragma once
// File paths as the kernel knows them (bytes) and as Qt carries them (QString), mapped without
// loss, so that a file whose name is not valid UTF-8, or whose path is longer than PATH_MAX, is
// still the same file when it reaches the code that opens it.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

namespace brennick {

// Decodes path bytes: well-formed UTF-8 (shortest forms, no encoded surrogates, nothing above
// U+10FFFF) as usual; each byte of anything else becomes the lone surrogate U+DC00 + byte
// (U+DC80..U+DCFF, since ASCII bytes are always well formed). encodeLocalPath turns it back into
// exactly the same bytes.
QString decodeLocalPath(QByteArrayView bytes);

// The bytes of `path`: UTF-8, with each lone U+DC80..U+DCFF turned back into its byte. Any other
// lone surrogate, which decodeLocalPath never makes, becomes U+FFFD's bytes rather than a byte
// that could change the path's meaning.
QByteArray encodeLocalPath(QStringView path);

// The process's working directory, decoded; empty when it cannot be read (removed, no access).
QString currentDirectoryPath();

// Whether `path` names something that exists (following symlinks), looked up by its exact bytes.
bool localPathExists(const QString& path);

// The local path a `file:` URL names (scheme in any letter case; no host, or "localhost"): the
// URL's own bytes, percent-decoded byte by byte up to any "?" or "#", then decoded as above, so a
// name that is not UTF-8 is still the same file. The path may be relative ("file:a.mid"). nullopt
// for another scheme or host, an empty path, or one that decodes to a NUL byte (which would cut
// the name short).
std::optional<QString> localPathOfFileUrl(QStringView url);

}  // namespace brennick
