#pragma once
// The target of the player's open and "Quit on stop" menu commands.

#include <QObject>
#include <QStringList>

namespace brennick {

class MenuItem;

// Carries the menu commands that are not the controller's own. Holds no state: a chosen file goes
// out as the notification "PlayMIDIFile", and the auto-quit option lives in its menu item's state.
class MIDIMenu : public QObject {
    Q_OBJECT
public:
    explicit MIDIMenu(QObject* parent = nullptr);

    // The name filter of the open dialog: "MIDI and SysEx files (*.mid *.midi *.syx)".
    static QString openDialogFilter();

public slots:
    // Runs an application-modal open dialog for one existing MIDI file, or for several with
    // `severalFiles`, and returns when it has closed. When the user confirms files named *.mid,
    // *.midi or *.syx (any letter case), posts "PlayMIDIFile" on the default notification centre
    // with the absolute path of one as the object, or the list of several in the order chosen;
    // other names typed in are left out; on cancel, or with none left, posts nothing. `sender` is
    // ignored.
    void doOpen(QObject* sender = nullptr, bool severalFiles = false);

    // Toggles the option held by `sender`: state 0 becomes 1, any other state becomes 0.
    // A null sender is ignored.
    void doAutoquit(brennick::MenuItem* sender);
};

}  // namespace brennick
