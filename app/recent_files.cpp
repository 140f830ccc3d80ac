#include "app/recent_files.h"

#include <QVariant>

#include "platform/local_path.h"

namespace brennick {

namespace {

const QString kRecentFilesKey = QStringLiteral("Recent files");

// The stored form of `path`: a string when its bytes are UTF-8, else the bytes themselves.
QVariant storedPath(const QString& path)
{
    const QByteArray bytes = encodeLocalPath(path);
    const QString text = QString::fromUtf8(bytes);
    return text.toUtf8() == bytes ? QVariant(text) : QVariant(bytes);
}

}  // namespace

RecentFiles::RecentFiles(std::function<void()> changed) : changed_(std::move(changed)) {}

void RecentFiles::add(const QString& path)
{
    if (path.isEmpty() || (!paths_.isEmpty() && paths_.first() == path))
        return;
    paths_.removeAll(path);
    paths_.prepend(path);
    if (paths_.size() > kMaxCount)
        paths_.resize(kMaxCount);
    if (changed_)
        changed_();
}

void RecentFiles::load(const QVariantMap& settings)
{
    paths_.clear();
    const QVariant stored = settings.value(kRecentFilesKey);
    if (stored.typeId() != QMetaType::QVariantList)
        return;
    for (const QVariant& entry : stored.toList()) {
        if (paths_.size() == kMaxCount)
            break;
        QString path;
        if (entry.typeId() == QMetaType::QString)
            path = entry.toString();
        else if (entry.typeId() == QMetaType::QByteArray && !entry.toByteArray().contains('\0'))
            path = decodeLocalPath(entry.toByteArray());
        if (path.startsWith(u'/') && !paths_.contains(path))
            paths_.append(path);
    }
}

void RecentFiles::store(QVariantMap& settings) const
{
    if (paths_.isEmpty()) {
        settings.remove(kRecentFilesKey);
        return;
    }
    QVariantList entries;
    for (const QString& path : paths_)
        entries.append(storedPath(path));
    settings.insert(kRecentFilesKey, entries);
}

}  // namespace brennick
