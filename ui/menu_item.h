#pragma once
// A menu item that carries an integer state, as the player's options need.

#include <QAction>

namespace brennick {

// A QAction with a signed 64-bit `state` (0 off, 1 on, -1 mixed; any non-zero value counts as on).
// The item shows a check mark while its state is non-zero. Triggering it never changes the state
// by itself: the action connected to it decides (see MIDIMenu::doAutoquit).
class MenuItem : public QAction {
    Q_OBJECT
public:
    explicit MenuItem(const QString& title, QObject* parent = nullptr);

    // The item's state; 0 after construction.
    qint64 state() const { return state_; }
    // Stores `state` unchanged (no range check) and shows the check mark when it is non-zero.
    void setState(qint64 state);

    // Hidden items are left out of every menu that holds them (QAction::setVisible(false)).
    void setHidden(bool hidden) { setVisible(!hidden); }
    bool isHidden() const { return !isVisible(); }

private:
    void showState();

    qint64 state_ = 0;
};

}  // namespace brennick
