#pragma once
// Finding a file by name suffix anywhere below a folder.

#include <QString>
#include <QStringList>

#include <optional>

namespace brennick {

// Enumerates `directory` recursively and returns the path, relative to `directory`, of the first
// entry whose relative path ends with one of `suffixesInOrder` (exact, case-sensitive; suffixes are
// tried in order for each entry before moving on to the next entry). Directories count as
// entries too, so a folder named "x.mid" matches.
//
// Order: the file system's own directory order (unsorted), each folder's contents following it.
// Symbolic links to folders are yielded as entries but not descended into, so link loops end;
// unreadable subfolders are skipped. A missing or unreadable `directory`, or an error during the
// walk, ends the search: what was not reached is not found. Never throws.
std::optional<QString> findFirstEntryWithSuffix(const QString& directory, const QStringList& suffixesInOrder);

}  // namespace brennick
