#include "ui/midi_menu.h"

#include "tests/ui/qt_test_app.h"
#include "ui/menu_item.h"
#include "ui/midi_window.h"
#include "ui/player_menu.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

namespace brennick {
namespace {

// --- The menu item's state ------------------------------------------------------------------------

TEST(MenuItemTest, StateIsStoredUncheckedAndShownAsACheckMark) {
    MenuItem item(QStringLiteral("Quit on stop"));
    EXPECT_EQ(item.state(), 0);
    EXPECT_FALSE(item.isChecked());
    for (qint64 state : {qint64(1), qint64(-1), qint64(7), qint64(0)}) {
        item.setState(state);
        EXPECT_EQ(item.state(), state);
        EXPECT_EQ(item.isChecked(), state != 0) << state;
    }
}

TEST(MenuItemTest, TriggeringAloneLeavesTheStateAndMarkAlone) {
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

TEST(MenuItemTest, HiddenItemsAreInvisible) {
    MenuItem item(QStringLiteral("Play Resource Sequence"));
    EXPECT_FALSE(item.isHidden());
    item.setHidden(true);
    EXPECT_TRUE(item.isHidden());
    EXPECT_FALSE(item.isVisible());
    item.setHidden(false);
    EXPECT_TRUE(item.isVisible());
}

// --- The option toggle -------------------------------------------------------------------------

TEST(AutoquitTest, ZeroBecomesOneAndEveryOtherStateZero) {
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

TEST(AutoquitTest, TogglingTwiceFromOffIsOffAgain) {
    MIDIMenu menu;
    MenuItem item(QStringLiteral("Quit on stop"));
    menu.doAutoquit(&item);
    EXPECT_EQ(item.state(), 1);
    menu.doAutoquit(&item);
    EXPECT_EQ(item.state(), 0);
}

// --- The open dialog ------------------------------------------------------------------------------

// Runs `act` on the open dialog once it is up, while doOpen waits in it.
void whenDialogOpens(std::function<void(QFileDialog&)> act) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    auto deadline = std::make_shared<int>(500);
    QObject::connect(poll, &QTimer::timeout, [poll, act, deadline] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(*dialog);
        } else if (--*deadline == 0) {
            poll->stop();
            poll->deleteLater();
            ADD_FAILURE() << "no open dialog appeared";
        }
    });
    poll->start();
}

class OpenDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        for (const char* name : {"song.mid", "Song Two.MIDI", "notes.txt"}) {
            QFile file(folder.filePath(QString::fromLatin1(name)));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("MThd");
        }
    }

    // Opens the dialog, chooses `name` in the folder and accepts.
    void chooseAndAccept(const QString& name) {
        whenDialogOpens([this, name](QFileDialog& dialog) {
            dialog.setDirectory(folder.path());
            dialog.selectFile(folder.filePath(name));
            static_cast<QDialog&>(dialog).accept();  // QFileDialog checks the choice first
        });
        menu.doOpen(nullptr);
    }

    QTemporaryDir folder;
    MIDIMenu menu;
    test::PlayRequests requests;
};

TEST_F(OpenDialogTest, IsAnApplicationModalDialogForMidiFiles) {
    QStringList filters;
    Qt::WindowModality modality = Qt::NonModal;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    whenDialogOpens([&](QFileDialog& dialog) {
        filters = dialog.nameFilters();
        modality = dialog.windowModality();
        mode = dialog.fileMode();
        dialog.reject();
    });
    menu.doOpen(nullptr);
    EXPECT_EQ(filters, QStringList({"MIDI files (*.mid *.midi)"}));
    EXPECT_EQ(modality, Qt::ApplicationModal);
    EXPECT_EQ(mode, QFileDialog::ExistingFile);
}

TEST_F(OpenDialogTest, ConfirmingPostsTheFullPathOnce) {
    chooseAndAccept(QStringLiteral("song.mid"));
    EXPECT_EQ(requests.paths, QStringList({QDir(folder.path()).absoluteFilePath("song.mid")}));
}

TEST_F(OpenDialogTest, ExtensionMatchesInAnyLetterCase) {
    chooseAndAccept(QStringLiteral("Song Two.MIDI"));
    EXPECT_EQ(requests.paths,
              QStringList({QDir(folder.path()).absoluteFilePath("Song Two.MIDI")}));
}

TEST_F(OpenDialogTest, CancellingPostsNothing) {
    whenDialogOpens([](QFileDialog& dialog) { dialog.reject(); });
    menu.doOpen(nullptr);
    EXPECT_TRUE(requests.paths.isEmpty());
}

TEST_F(OpenDialogTest, ATypedNameOfAnotherKindPostsNothing) {
    chooseAndAccept(QStringLiteral("notes.txt"));
    EXPECT_TRUE(requests.paths.isEmpty());
}

// --- The player's menu --------------------------------------------------------------------------

TEST(PlayerMenuTest, HoldsTheItemsInOrderWithTheirShortcuts) {
    MIDIMenu target;
    MIDIWindow window;
    const PlayerMenu built = buildPlayerMenu(target, window);
    ASSERT_NE(built.menu, nullptr);
    QList<QAction*> items;
    for (QAction* action : built.menu->actions())
        if (!action->isSeparator())
            items.append(action);
    EXPECT_EQ(items, (QList<QAction*>{built.open, built.openResourceFile, built.autoQuit,
                                      built.quit}));
    EXPECT_EQ(built.open->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    EXPECT_EQ(built.quit->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    EXPECT_EQ(built.autoQuit->text(), QStringLiteral("Quit on &stop"));
    EXPECT_TRUE(built.autoQuit->isCheckable());
    EXPECT_EQ(window.contextMenu(), built.menu);
    ASSERT_NE(built.menuBar, nullptr);
    EXPECT_EQ(built.menuBar->parent(), nullptr);
    EXPECT_TRUE(built.menuBar->actions().contains(built.menu->menuAction()));
    EXPECT_TRUE(window.actions().contains(built.open));
    EXPECT_TRUE(window.actions().contains(built.quit));
}

TEST(PlayerMenuTest, ChoosingQuitOnStopTogglesItsOwnState) {
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

TEST(PlayerMenuTest, ChoosingOpenRunsTheOpenDialog) {
    MIDIMenu target;
    MIDIWindow window;
    const PlayerMenu built = buildPlayerMenu(target, window);
    bool opened = false;
    whenDialogOpens([&opened](QFileDialog& dialog) {
        opened = true;
        dialog.reject();
    });
    built.open->trigger();
    EXPECT_TRUE(opened);
}

}  // namespace
}  // namespace brennick
