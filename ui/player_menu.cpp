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

    built.stop = new MenuItem(QStringLiteral("S&top"), built.menu);
    built.stop->setShortcut(QKeySequence(Qt::Key_Escape));
    built.playAgain = new MenuItem(QStringLiteral("Play &Again"), built.menu);
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
    built.menu->addSeparator();
    built.menu->addAction(built.stop);
    built.menu->addAction(built.playAgain);
    built.menu->addAction(built.previous);
    built.menu->addAction(built.next);
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
    window.addAction(built.quit);
    return built;
}

}  // namespace brennick
