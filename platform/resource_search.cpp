#include "platform/resource_search.h"

#include <QFile>

#include <filesystem>
#include <system_error>

namespace brennick {

namespace fs = std::filesystem;

std::optional<QString> findFirstEntryWithSuffix(const QString& directory, const QStringList& suffixesInOrder)
{
    if (directory.isEmpty() || suffixesInOrder.isEmpty())
        return std::nullopt;
    const std::string root = QFile::encodeName(directory).toStdString();
    // The iterator builds each entry as root / name, so the relative path is what follows root.
    const std::size_t prefixLength = root.back() == '/' ? root.size() : root.size() + 1;

    std::error_code error;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string& full = it->path().native();
        if (full.size() <= prefixLength)
            continue;
        const QString relative = QFile::decodeName(full.substr(prefixLength).c_str());
        for (const QString& suffix : suffixesInOrder) {
            if (relative.endsWith(suffix, Qt::CaseSensitive))
                return relative;
        }
    }
    return std::nullopt;
}

}  // namespace brennick
