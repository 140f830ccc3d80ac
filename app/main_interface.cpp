#include "app/main_interface.h"

#include "app/app_delegate.h"
#include "platform/media_controls.h"
#include "ui/menu_item.h"
#include "ui/midi_menu.h"
#include "ui/midi_view.h"
#include "ui/midi_window.h"

namespace brennick {

MainInterface::MainInterface() = default;
MainInterface::~MainInterface()
{
    // The controller outlives nothing it points to: it goes first.
    delegate.reset();
}
MainInterface::MainInterface(MainInterface&&) noexcept = default;
MainInterface& MainInterface::operator=(MainInterface&&) noexcept = default;

MainInterface loadMainInterface(const QString& resourceDirectory)
{
    MainInterface ui;
    ui.delegate = std::make_unique<AppDelegate>();

    // The window as defined at 480 x 360 at (200, 200); waking it fixes its size at 450 x 450.
    ui.window = std::make_unique<MIDIWindow>(QRect(200, 200, 480, 360));
    ui.view = new MIDIView(QRectF(0, 0, 450, 450));
    ui.window->setContentView(ui.view);

    ui.menuTarget = std::make_unique<MIDIMenu>();
    ui.menu = buildPlayerMenu(*ui.menuTarget, *ui.window);
    QObject::connect(
        ui.menu.openResourceFile, &QAction::triggered, ui.delegate.get(),
        [delegate = ui.delegate.get(), item = ui.menu.openResourceFile] { delegate->doOpenResourceFile(item); });

    AppDelegate* delegate = ui.delegate.get();
    QObject::connect(ui.menu.receiveDump, &QAction::triggered, delegate, [delegate] { delegate->doReceiveDump(); });
    QObject::connect(ui.menu.stop, &QAction::triggered, delegate, [delegate] { delegate->doStop(); });
    QObject::connect(ui.menu.playAgain, &QAction::triggered, delegate, [delegate] { delegate->doPlayAgain(); });
    QObject::connect(ui.menu.next, &QAction::triggered, delegate, [delegate] { delegate->doNext(); });
    QObject::connect(ui.menu.previous, &QAction::triggered, delegate, [delegate] { delegate->doPrevious(); });
    QObject::connect(ui.menu.playInTurn, &QAction::triggered, delegate,
                     [delegate] { delegate->setPlaysSeveralFilesInTurn(!delegate->playsSeveralFilesInTurn()); });
    QObject::connect(ui.menu.repeat, &QAction::triggered, delegate,
                     [delegate] { delegate->setRepeats(!delegate->repeats()); });
    QObject::connect(ui.menu.recentFiles, &QMenu::aboutToShow, delegate,
                     [delegate, menu = ui.menu.recentFiles] { delegate->fillRecentFilesMenu(menu); });
    QObject::connect(ui.menu.sendTo, &QMenu::aboutToShow, delegate,
                     [delegate, menu = ui.menu.sendTo] { delegate->fillSendToMenu(menu); });
    QObject::connect(ui.menu.sysExPacing, &QMenu::aboutToShow, delegate,
                     [delegate, menu = ui.menu.sysExPacing] { delegate->fillSysExPacingMenu(menu); });
    QObject::connect(ui.menu.pause, &QAction::triggered, delegate, [delegate] { delegate->doPauseResume(); });
    QObject::connect(ui.menu.seekBack, &QAction::triggered, delegate, [delegate] { delegate->seekBy(-5.0); });
    QObject::connect(ui.menu.seekForward, &QAction::triggered, delegate, [delegate] { delegate->seekBy(5.0); });
    QObject::connect(ui.menu.seekStart, &QAction::triggered, delegate, [delegate] { delegate->seekTo(0.0); });
    QObject::connect(ui.view, &MIDIView::wheelTurned, delegate, [delegate](int steps) { delegate->seekBy(5.0 * steps); });
    QObject::connect(ui.menu.faster, &QAction::triggered, delegate, [delegate] { delegate->stepTempo(1); });
    QObject::connect(ui.menu.slower, &QAction::triggered, delegate, [delegate] { delegate->stepTempo(-1); });
    QObject::connect(ui.menu.tempo, &QMenu::aboutToShow, delegate,
                     [delegate, menu = ui.menu.tempo] { delegate->fillTempoMenu(menu); });
    QObject::connect(ui.menu.panic, &QAction::triggered, delegate, [delegate] { delegate->doPanic(); });
    ui.mediaControls = std::make_unique<MediaControls>();
    delegate->setMediaControls(ui.mediaControls.get());

    ui.delegate->setWindow(ui.window.get());
    ui.delegate->setView(ui.view);
    ui.delegate->setMenu(ui.menu.menu);
    ui.delegate->setAutoQuit(ui.menu.autoQuit);
    ui.delegate->setOpenResourceFile(ui.menu.openResourceFile);
    ui.delegate->setStopItem(ui.menu.stop);
    ui.delegate->setPlayAgainItem(ui.menu.playAgain);
    ui.delegate->setPauseItem(ui.menu.pause);
    ui.delegate->setNextItem(ui.menu.next);
    ui.delegate->setPreviousItem(ui.menu.previous);
    ui.delegate->setPlayInTurnItem(ui.menu.playInTurn);
    ui.delegate->setRepeatItem(ui.menu.repeat);

    ui.window->awakeFromNib();
    ui.view->awakeFromNib(resourceDirectory);
    return ui;
}

}  // namespace brennick
