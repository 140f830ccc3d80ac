#include "ui/player_menu.h"

#include "ui/menu_item.h"
#include "ui/midi_menu.h"
#include "ui/midi_window.h"

#include <QCoreApplication>

namespace brennick {

PlayerMenu buildPlayerMenu(MIDIMenu& target, MIDIWindow& window)
{
    PlayerMenu built;
    built.menu = new QMenu(QStringLiteral("&File"), &window);

    built.open = new MenuItem(QStringLiteral("&Open…"), built.menu);
    built.open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    built.recentFiles = new QMenu(QStringLiteral("Recent &Files"), built.menu);

    built.openResourceFile = new MenuItem(QStringLiteral("Play &Resource Sequence"), built.menu);

    built.receiveDump = new MenuItem(QStringLiteral("Receive Sound &Dump…"), built.menu);
    built.stop = new MenuItem(QStringLiteral("S&top"), built.menu);
    built.stop->setShortcut(QKeySequence(Qt::Key_Escape));
    built.playAgain = new MenuItem(QStringLiteral("Play &Again"), built.menu);
    built.pause = new MenuItem(QStringLiteral("Pa&use"), built.menu);
    built.pause->setShortcut(QKeySequence(Qt::Key_Space));
    built.seekBack = new MenuItem(QStringLiteral("&Back 5 Seconds"), built.menu);
    built.seekBack->setShortcut(QKeySequence(Qt::Key_Left));
    built.seekForward = new MenuItem(QStringLiteral("For&ward 5 Seconds"), built.menu);
    built.seekForward->setShortcut(QKeySequence(Qt::Key_Right));
    built.seekStart = new MenuItem(QStringLiteral("&Go to the Start"), built.menu);
    built.seekStart->setShortcut(QKeySequence(Qt::Key_Home));
    built.tempo = new QMenu(QStringLiteral("Te&mpo"), built.menu);
    built.faster = new MenuItem(QStringLiteral("Faster"), built.tempo);
    built.faster->setShortcuts({QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal)});
    built.slower = new MenuItem(QStringLiteral("Slower"), built.tempo);
    built.slower->setShortcut(QKeySequence(Qt::Key_Minus));
    built.tempo->addAction(built.faster);
    built.tempo->addAction(built.slower);
    built.panic = new MenuItem(QStringLiteral("Pani&c"), built.menu);
    built.panic->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period));
    built.previous = new MenuItem(QStringLiteral("Pre&vious"), built.menu);
    built.next = new MenuItem(QStringLiteral("Ne&xt"), built.menu);
    built.sendTo = new QMenu(QStringLiteral("Se&nd To"), built.menu);
    built.sysExPacing = new QMenu(QStringLiteral("SysEx &Pacing"), built.menu);

    built.playInTurn = new MenuItem(QStringLiteral("Play Several Files &in Turn"), built.menu);
    built.playInTurn->setCheckable(true);
    built.repeat = new MenuItem(QStringLiteral("R&epeat"), built.menu);
    built.repeat->setCheckable(true);
    QObject::connect(built.open, &QAction::triggered, &target, [&target, item = built.open, inTurn = built.playInTurn] {
        target.doOpen(item, inTurn->state() != 0);
    });

    built.autoQuit = new MenuItem(QStringLiteral("Quit on &stop"), built.menu);
    built.autoQuit->setCheckable(true);
    QObject::connect(built.autoQuit, &QAction::triggered, &target,
                     [&target, item = built.autoQuit] { target.doAutoquit(item); });

    built.quit = new MenuItem(QStringLiteral("&Quit"), built.menu);
    built.quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    built.quit->setMenuRole(QAction::QuitRole);
    // Queued, so that the menu has closed before the application winds down.
    QObject::connect(built.quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    built.menu->addAction(built.open);
    built.menu->addMenu(built.recentFiles);
    built.menu->addAction(built.openResourceFile);
    built.menu->addAction(built.receiveDump);
    built.menu->addSeparator();
    built.menu->addAction(built.stop);
    built.menu->addAction(built.playAgain);
    built.menu->addAction(built.previous);
    built.menu->addAction(built.next);
    built.menu->addAction(built.pause);
    built.menu->addAction(built.seekBack);
    built.menu->addAction(built.seekForward);
    built.menu->addAction(built.seekStart);
    built.menu->addMenu(built.tempo);
    built.menu->addAction(built.panic);
    built.menu->addSeparator();
    built.menu->addMenu(built.sendTo);
    built.menu->addMenu(built.sysExPacing);
    built.menu->addSeparator();
    built.menu->addAction(built.playInTurn);
    built.menu->addAction(built.repeat);
    built.menu->addAction(built.autoQuit);
    built.menu->addSeparator();
    built.menu->addAction(built.quit);

    built.menuBar = std::make_unique<QMenuBar>(nullptr);
    built.menuBar->addMenu(built.menu);

    window.setContextMenu(built.menu);
    // Shortcuts work while the window is active, whether or not a menu bar is shown anywhere.
    window.addAction(built.open);
    window.addAction(built.stop);
    for (QAction* item : {static_cast<QAction*>(built.pause), static_cast<QAction*>(built.seekBack),
                          static_cast<QAction*>(built.seekForward), static_cast<QAction*>(built.seekStart),
                          static_cast<QAction*>(built.faster), static_cast<QAction*>(built.slower),
                          static_cast<QAction*>(built.panic)})
        window.addAction(item);
    window.addAction(built.quit);
    return built;
}

}  // namespace brennick
