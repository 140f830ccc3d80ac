#pragma once
// The files one request asked to play one after another, and which of them plays.

#include <QString>
#include <QStringList>

#include <optional>

namespace brennick {

// A request of one file is a list of one: it has no next or previous file, and shows no counter.
class Playlist {
public:
    // The list becomes `paths`, from the first.
    void replace(QStringList paths);

    qsizetype size() const { return paths_.size(); }
    // Several files play in turn.
    bool isList() const { return paths_.size() > 1; }
    qsizetype index() const { return index_; }
    // The file that plays, or plays next; empty when the list is.
    QString current() const { return paths_.value(index_); }
    // The file at `index`; empty out of range.
    QString pathAt(qsizetype index) const { return paths_.value(index); }
    // Ignored out of range.
    void moveTo(qsizetype index);

    // Where Next and Previous lead in a list; `wraps` (Repeat) joins its ends. nullopt: nowhere.
    std::optional<qsizetype> nextIndex(bool wraps) const;
    std::optional<qsizetype> previousIndex(bool wraps) const;

    // " (2/5)" for the second of five files; empty unless a list plays.
    QString counterText() const;

private:
    QStringList paths_;
    qsizetype index_ = 0;
};

}  // namespace brennick
