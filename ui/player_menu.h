#pragma once
// The player's menu: built once, shown as the window's context menu and in a global menu bar.

#include <QMenu>
#include <QMenuBar>

#include <memory>

namespace brennick {

class MenuItem;
class MIDIMenu;
class MIDIWindow;

struct PlayerMenu {
    QMenu* menu = nullptr;                 // owned by the window
    MenuItem* open = nullptr;              // Ctrl+O, runs MIDIMenu::doOpen (several files while playInTurn is on)
    QMenu* recentFiles = nullptr;          // "Recent Files": filled by the caller as it is about to show
    MenuItem* openResourceFile = nullptr;  // "Play Resource Sequence"; its action is the caller's
    MenuItem* receiveDump = nullptr;       // "Receive Sound Dump…"; its action is the caller's
    MenuItem* stop = nullptr;              // Escape; its action is the caller's
    MenuItem* playAgain = nullptr;         // the last file from the start; its action is the caller's
    MenuItem* pause = nullptr;             // Space: "Pause", or "Resume" as the caller names it
    MenuItem* seekBack = nullptr;          // Left: five seconds back; its action is the caller's
    MenuItem* seekForward = nullptr;       // Right: five seconds on
    MenuItem* seekStart = nullptr;         // Home: to the start
    QMenu* tempo = nullptr;                // "Tempo": filled by the caller as it is about to show
    MenuItem* faster = nullptr;            // "+": one tempo step up (in "Tempo")
    MenuItem* slower = nullptr;            // "-": one tempo step down (in "Tempo")
    MenuItem* panic = nullptr;             // Ctrl+.: all notes off; its action is the caller's
    MenuItem* previous = nullptr;          // in a list; its action is the caller's
    MenuItem* next = nullptr;              // in a list; its action is the caller's
    QMenu* sendTo = nullptr;               // "Send To": filled by the caller as it is about to show
    QMenu* sysExPacing = nullptr;          // "SysEx Pacing": filled by the caller as it is about to show
    MenuItem* playInTurn = nullptr;        // "Play Several Files in Turn", checkable; its action is the caller's
    MenuItem* repeat = nullptr;            // "Repeat", checkable; its action is the caller's
    MenuItem* autoQuit = nullptr;          // "Quit on stop", toggled by MIDIMenu::doAutoquit
    MenuItem* quit = nullptr;              // Ctrl+Q, quits the application
    std::unique_ptr<QMenuBar> menuBar;     // parentless: the global menu where the desktop has one
};

// Builds the menu, connects open and "Quit on stop" to `target` and quit to
// QCoreApplication::quit, makes it `window`'s context menu and registers the items' shortcuts
// with `window`. The items belong to the menu, the menu to the window.
PlayerMenu buildPlayerMenu(MIDIMenu& target, MIDIWindow& window);

}  // namespace brennick
