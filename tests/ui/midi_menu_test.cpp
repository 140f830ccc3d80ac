#include "ui/midi_menu.h"

#include "tests/ui/qt_test_app.h"
#include "ui/menu_item.h"
#include "ui/midi_window.h"
#include "ui/player_menu.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

namespace brennick {
namespace {

// --- The menu item's state ------------------------------------------------------------------------

TEST(MenuItemState, StateIsStoredUncheckedAndShownAsACheckMark)
{
    MenuItem item(QStringLiteral("Quit on stop"));
    EXPECT_EQ(item.state(), 0);
    EXPECT_FALSE(item.isChecked());
    for (qint64 state : {qint64(1), qint64(-1), qint64(7), qint64(0)}) {
        item.setState(state);
        EXPECT_EQ(item.state(), state);
        EXPECT_EQ(item.isChecked(), state != 0) << state;
    }
}

TEST(MenuItemState, TriggeringAloneLeavesTheStateAndMarkAlone)
{
    MenuItem item(QStringLiteral("Quit on stop"));
    item.setCheckable(true);
    item.trigger();
    EXPECT_EQ(item.state(), 0);
    EXPECT_FALSE(item.isChecked());
    item.setState(1);
    item.trigger();
    EXPECT_EQ(item.state(), 1);
    EXPECT_TRUE(item.isChecked());
}

// --- The option toggle -------------------------------------------------------------------------

TEST(AutoQuitToggle, ZeroBecomesOneAndEveryOtherStateZero)
{
    struct Case {
        qint64 before;
        qint64 after;
    };
    const Case cases[] = {{0, 1}, {1, 0}, {-1, 0}, {2, 0}, {INT64_MIN, 0}, {INT64_MAX, 0}};
    MIDIMenu menu;
    for (const Case& c : cases) {
        MenuItem item(QStringLiteral("Quit on stop"));
        item.setState(c.before);
        menu.doAutoquit(&item);
        EXPECT_EQ(item.state(), c.after) << c.before;
    }
    menu.doAutoquit(nullptr);  // ignored
}

TEST(AutoQuitToggle, TogglingTwiceFromOffIsOffAgain)
{
    MIDIMenu menu;
    MenuItem item(QStringLiteral("Quit on stop"));
    menu.doAutoquit(&item);
    EXPECT_EQ(item.state(), 1);
    menu.doAutoquit(&item);
    EXPECT_EQ(item.state(), 0);
}

// --- The open dialog ------------------------------------------------------------------------------

// Calls `open`, which runs the open dialog, and meanwhile `act` on the dialog every 20 ms until it
// has closed: the dialog fills its file list in the background and may drop a choice made
// too early. Gives up after 10 s, closing the dialog.
void withOpenDialog(const std::function<void()>& open, const std::function<void(QFileDialog&)>& act)
{
    QTimer poll;
    poll.setInterval(20);
    int ticks = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return;
        if (++ticks > 500) {
            ADD_FAILURE() << "the open dialog did not close";
            dialog->reject();
            return;
        }
        act(*dialog);
    });
    poll.start();
    open();
    poll.stop();
}

class OpenDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        for (const char* name : {"song.mid", "Song Two.MIDI", "Dump.SYX", "notes.txt"}) {
            QFile file(folder.filePath(QString::fromLatin1(name)));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("MThd");
        }
    }

    // Opens the dialog, chooses `names` in the folder and accepts.
    void chooseAndAccept(const QString& name, const QStringList& more = {})
    {
        withOpenDialog([this, several = !more.isEmpty()] { menu.doOpen(nullptr, several); },
                       [this, names = QStringList{name} + more](QFileDialog& dialog) {
                           // Typed in, as a user would: selectFile leaves a focused name field alone.
                           auto* field = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                           ASSERT_NE(field, nullptr);
                           dialog.setDirectory(folder.path());
                           field->setText(names.size() == 1 ? folder.filePath(names.first())
                                                            : '"' + names.join("\" \"") + '"');
                           static_cast<QDialog&>(dialog).accept();  // checks the choice first
                       });
    }

    QTemporaryDir folder;
    MIDIMenu menu;
    test::PlayRequests requests;
};

TEST_F(OpenDialog, IsAnApplicationModalDialogForMidiFiles)
{
    for (const bool several : {false, true}) {
        QStringList filters;
        Qt::WindowModality modality = Qt::NonModal;
        QFileDialog::FileMode mode = QFileDialog::AnyFile;
        withOpenDialog([this, several] { menu.doOpen(nullptr, several); },
                       [&](QFileDialog& dialog) {
                           filters = dialog.nameFilters();
                           modality = dialog.windowModality();
                           mode = dialog.fileMode();
                           dialog.reject();
                       });
        EXPECT_EQ(filters, QStringList({"MIDI and SysEx files (*.mid *.midi *.syx)"}));
        EXPECT_EQ(modality, Qt::ApplicationModal);
        EXPECT_EQ(mode, several ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
}

TEST_F(OpenDialog, ConfirmingPostsTheFullPathOnce)
{
    chooseAndAccept(QStringLiteral("song.mid"));
    EXPECT_EQ(requests.paths, QStringList({QDir(folder.path()).absoluteFilePath("song.mid")}));
}

TEST_F(OpenDialog, ExtensionMatchesInAnyLetterCase)
{
    chooseAndAccept(QStringLiteral("Song Two.MIDI"));
    chooseAndAccept(QStringLiteral("Dump.SYX"));
    EXPECT_EQ(requests.paths, QStringList({QDir(folder.path()).absoluteFilePath("Song Two.MIDI"),
                                           QDir(folder.path()).absoluteFilePath("Dump.SYX")}));
}

TEST_F(OpenDialog, SeveralFilesArePostedAsAListWithoutOtherKinds)
{
    chooseAndAccept(QStringLiteral("Dump.SYX"), {"notes.txt", "song.mid"});
    chooseAndAccept(QStringLiteral("notes.txt"), {"song.mid"});  // one left: a path, as usual
    const QDir dir(folder.path());
    EXPECT_EQ(requests.lists,
              (QList<QStringList>{{dir.absoluteFilePath("Dump.SYX"), dir.absoluteFilePath("song.mid")}}));
    EXPECT_EQ(requests.paths, QStringList({dir.absoluteFilePath("song.mid")}));
}

TEST_F(OpenDialog, CancellingPostsNothing)
{
    withOpenDialog([this] { menu.doOpen(nullptr); }, [](QFileDialog& dialog) { dialog.reject(); });
    EXPECT_TRUE(requests.paths.isEmpty());
}

TEST_F(OpenDialog, ATypedNameOfAnotherKindPostsNothing)
{
    chooseAndAccept(QStringLiteral("notes.txt"));
    EXPECT_TRUE(requests.paths.isEmpty());
}

// --- The player's menu --------------------------------------------------------------------------

TEST(PlayerMenuItems, HoldsTheItemsInOrderWithTheirShortcuts)
{
    MIDIMenu target;
    MIDIWindow window;
    const PlayerMenu built = buildPlayerMenu(target, window);
    ASSERT_NE(built.menu, nullptr);
    QList<QAction*> items;
    for (QAction* action : built.menu->actions())
        if (!action->isSeparator())
            items.append(action);
    EXPECT_EQ(items, (QList<QAction*>{built.open, built.recentFiles->menuAction(), built.openResourceFile,
                                      built.receiveDump, built.stop, built.playAgain, built.previous, built.next, built.pause, built.seekBack,
                                      built.seekForward, built.seekStart, built.tempo->menuAction(), built.panic,
                                      built.sendTo->menuAction(),
                                      built.sysExPacing->menuAction(), built.playInTurn, built.repeat, built.autoQuit,
                                      built.quit}));
    EXPECT_EQ(built.stop->shortcut(), QKeySequence(Qt::Key_Escape));
    EXPECT_EQ(built.pause->shortcut(), QKeySequence(Qt::Key_Space));
    EXPECT_EQ(built.panic->shortcut(), QKeySequence(QStringLiteral("Ctrl+.")));
    EXPECT_EQ(built.open->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    EXPECT_EQ(built.quit->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    EXPECT_EQ(built.autoQuit->text(), QStringLiteral("Quit on &stop"));
    QList<QKeySequence> mnemonics;  // Alt+letter reaches one item
    for (QAction* item : items) {
        const QKeySequence mnemonic = QKeySequence::mnemonic(item->text());
        EXPECT_FALSE(mnemonic.isEmpty() || mnemonics.contains(mnemonic)) << item->text().toStdString();
        mnemonics.append(mnemonic);
    }
    for (const MenuItem* option : {built.autoQuit, built.playInTurn, built.repeat})
        EXPECT_TRUE(option->isCheckable());
    EXPECT_EQ(window.contextMenu(), built.menu);
    ASSERT_NE(built.menuBar, nullptr);
    EXPECT_EQ(built.menuBar->parent(), nullptr);
    EXPECT_TRUE(built.menuBar->actions().contains(built.menu->menuAction()));
    EXPECT_TRUE(window.actions().contains(built.open));
    EXPECT_TRUE(window.actions().contains(built.quit));
}

TEST(PlayerMenuItems, ChoosingQuitOnStopTogglesItsOwnState)
{
    MIDIMenu target;
    MIDIWindow window;
    const PlayerMenu built = buildPlayerMenu(target, window);
    built.autoQuit->trigger();
    EXPECT_EQ(built.autoQuit->state(), 1);
    EXPECT_TRUE(built.autoQuit->isChecked());
    built.autoQuit->trigger();
    EXPECT_EQ(built.autoQuit->state(), 0);
    EXPECT_FALSE(built.autoQuit->isChecked());
    built.autoQuit->setState(-1);
    built.autoQuit->trigger();
    EXPECT_EQ(built.autoQuit->state(), 0);
}

// With "Play Several Files in Turn" on, the dialog takes several files.
TEST(PlayerMenuItems, ChoosingOpenRunsTheOpenDialog)
{
    MIDIMenu target;
    MIDIWindow window;
    const PlayerMenu built = buildPlayerMenu(target, window);
    for (const qint64 inTurn : {0, 1}) {
        built.playInTurn->setState(inTurn);
        QFileDialog::FileMode mode = QFileDialog::AnyFile;
        withOpenDialog([&built] { built.open->trigger(); },
                       [&mode](QFileDialog& dialog) {
                           mode = dialog.fileMode();
                           dialog.reject();
                       });
        EXPECT_EQ(mode, inTurn ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
}

}  // namespace
}  // namespace brennick
