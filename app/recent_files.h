#pragma once
// The files that played last, newest first, as the "Recent Files" menu offers them.

#include <QStringList>
#include <QVariantMap>

#include <functional>

namespace brennick {

// Kept in the settings file's root dictionary under "Recent files": an array, newest first, of
// absolute paths, each a string, or data holding the path's bytes when they are not UTF-8 (so the
// name survives as the kernel knows it). Reading is forgiving: other kinds of entries, relative or
// empty paths and repeated paths are passed over, and only the first kMaxCount are taken.
class RecentFiles {
public:
    static constexpr qsizetype kMaxCount = 10;

    // `changed` runs after every change add() makes, so the list can be saved at once.
    explicit RecentFiles(std::function<void()> changed = {});

    const QStringList& paths() const { return paths_; }
    // `path` (absolute) becomes the newest; an older entry for it goes, and so does the oldest
    // beyond kMaxCount.
    void add(const QString& path);

    // Replaces the list with what `settings` holds. Never calls `changed`.
    void load(const QVariantMap& settings);
    // Sets the key in `settings`, or removes it while the list is empty.
    void store(QVariantMap& settings) const;

private:
    QStringList paths_;
    std::function<void()> changed_;
};

}  // namespace brennick
