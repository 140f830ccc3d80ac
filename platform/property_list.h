#pragma once
// Property-list files whose root is a dictionary: reading (XML or binary) and atomic XML writing.

#include <QByteArray>
#include <QString>
#include <QVariantMap>

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace brennick {

// Largest property-list file read, in bytes. Settings files are a few hundred bytes; the bound
// keeps hostile files from exhausting memory or the parser's stack.
inline constexpr std::int64_t kMaxPropertyListBytes = 1 << 20;
// Deepest nesting of arrays and dictionaries accepted (the root dictionary is level 1).
inline constexpr int kMaxPropertyListDepth = 128;

// Reads the property-list file at `path` (XML or binary form) whose root is a dictionary.
// Values become: integer -> qint64 (an unsigned integer above the qint64 range -> quint64),
// real -> double, boolean -> bool, string -> QString, date -> QDateTime (UTC), data -> QByteArray,
// array -> QVariantList, dictionary -> QVariantMap, keyed-archive UID -> quint64.
// Returns nullopt when the file cannot be read, is not a regular file, is larger than
// kMaxPropertyListBytes, is not a property list, has another root, nests deeper than
// kMaxPropertyListDepth, holds a string with a NUL character, or is a malformed binary list
// (references out of range, cycles, or shared objects that would expand to a huge tree); then
// `problem`, when given, says why in a few words ("permission denied", "larger than 1 MiB", ...).
std::optional<QVariantMap> readPropertyListDictionary(const QString& path, QString* problem = nullptr);

// The same for a property list held in memory (at most kMaxPropertyListBytes).
std::optional<QVariantMap> readPropertyListDictionaryFromBytes(const QByteArray& bytes);

// The XML property list writePropertyListDictionaryAtomically writes for `dict`; nullopt when a
// value is not accepted (see there).
std::optional<QByteArray> propertyListXml(const QVariantMap& dict);

// `dict` without the entries propertyListXml does not accept, such as a real that is not finite:
// what can be written back of a dictionary read.
QVariantMap writableEntries(QVariantMap dict);

// Writes `dict` to `path` as an XML property list through AtomicFile (platform/atomic_file.h, which
// says how links, permission bits and temporary files are handled): a crash at any moment leaves
// either the old or the new file complete at `path`.
// Accepted values: bool, signed and unsigned integers, finite double, QString, QByteArray,
// QDateTime (within 68 years of 2001; the XML form keeps whole seconds only), QVariantList,
// QStringList, QVariantMap and QVariantHash, nested at most kMaxPropertyListDepth deep.
// Returns false, with the old file untouched, no temporary file left behind and errno saying why,
// when a value is not accepted (EINVAL) or any step fails (missing or unwritable folder, full
// disk).
bool writePropertyListDictionaryAtomically(const QString& path, const QVariantMap& dict,
                                           std::optional<mode_t> mode = std::nullopt);

}  // namespace brennick
