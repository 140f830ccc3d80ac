#include "app/playlist.h"

namespace brennick {

void Playlist::replace(QStringList paths)
{
    paths_ = std::move(paths);
    index_ = 0;
}

void Playlist::moveTo(qsizetype index)
{
    if (index >= 0 && index < paths_.size())
        index_ = index;
}

std::optional<qsizetype> Playlist::nextIndex(bool wraps) const
{
    if (!isList() || (index_ + 1 == paths_.size() && !wraps))
        return std::nullopt;
    return (index_ + 1) % paths_.size();
}

std::optional<qsizetype> Playlist::previousIndex(bool wraps) const
{
    if (!isList() || (index_ == 0 && !wraps))
        return std::nullopt;
    return (index_ + paths_.size() - 1) % paths_.size();
}

QString Playlist::counterText() const
{
    return isList() ? QStringLiteral(" (%1/%2)").arg(index_ + 1).arg(paths_.size()) : QString();
}

}  // namespace brennick
