#include "ui/midi_window.h"

#include "tests/ui/qt_test_app.h"
#include "ui/midi_view.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>
#include <QUrl>

#include <memory>

namespace brennick {
namespace {

// --- Moving with the pointer (bottom-left desktop coordinates) ---------------------------------

struct DragCase {
    const char* name;
    QRectF frame;
    QPointF location;
    QPointF initialLocation;
    QRectF visible;
    QPointF expectedOrigin;
};

TEST(WindowDrag, FollowsThePointerAndHoldsOnlyTheTopEdge)
{
    const QRectF screen(0, 0, 1920, 1050);  // visible top at 1050
    const DragCase cases[] = {
        {"moves by the pointer's movement", {100, 100, 450, 450}, {60, 70}, {50, 50}, screen, {110, 120}},
        {"left, right and down are not limited", {10, 10, 450, 450}, {0, 0}, {200, 300}, screen, {-190, -290}},
        {"past the right edge", {1800, 100, 450, 450}, {400, 50}, {50, 50}, screen, {2150, 100}},
        {"top edge exactly on the visible top stays", {100, 590, 450, 450}, {60, 60}, {50, 50}, screen, {110, 600}},
        {"a point above is held on the visible top", {100, 590, 450, 450}, {60, 61}, {50, 50}, screen, {110, 600}},
        {"held while still following sideways", {100, 600, 450, 450}, {90, 400}, {50, 50}, screen, {140, 600}},
        {"visible area not at the origin", {0, 0, 450, 450}, {0, 900}, {0, 0}, {0, 40, 1920, 1000}, {0, 590}},
        {"no screen: top edge held at y = 0", {100, -450, 450, 450}, {50, 80}, {50, 50}, QRectF(), {100, -450}},
        {"no screen: moving down is free", {100, -450, 450, 450}, {50, 20}, {50, 50}, QRectF(), {100, -480}},
    };
    for (const DragCase& c : cases)
        EXPECT_EQ(windowDragOrigin(c.frame, c.location, c.initialLocation, c.visible), c.expectedOrigin) << c.name;
}

TEST(WindowDrag, DesktopFlipUsesThePrimaryScreensBottomEdge)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const double bottom = screen->geometry().y() + screen->geometry().height();
    EXPECT_EQ(flipDesktopRect(QRectF(10, 20, 450, 450)), QRectF(10, bottom - 470, 450, 450));
    EXPECT_EQ(flipDesktopRect(flipDesktopRect(QRectF(10, 20, 30, 40))), QRectF(10, 20, 30, 40));
    EXPECT_EQ(flipDesktopPoint(QPointF(5, 0)), QPointF(5, bottom));
    EXPECT_EQ(primaryVisibleFrame(), flipDesktopRect(QRectF(screen->availableGeometry())));
}

// --- Accepting and taking drops ------------------------------------------------------------------

TEST(WindowDrop, LinkIsPreferredToCopyAndNothingElseIsAccepted)
{
    struct Case {
        bool files;
        std::uint64_t mask;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {true, DragOperationCopy | DragOperationLink, DragOperationLink},
        {true, DragOperationLink, DragOperationLink},
        {true, DragOperationCopy, DragOperationCopy},
        {true, DragOperationMove, DragOperationNone},
        {true, DragOperationGeneric, DragOperationNone},
        {true, DragOperationPrivate | DragOperationDelete, DragOperationNone},
        {true, ~std::uint64_t(0), DragOperationLink},
        {true, 0, DragOperationNone},
        {false, DragOperationCopy | DragOperationLink, DragOperationNone},
        {false, ~std::uint64_t(0), DragOperationNone},
    };
    for (const Case& c : cases)
        EXPECT_EQ(draggingOperation(c.files, c.mask), c.expected) << "files " << c.files << " mask " << c.mask;
}

TEST(WindowDrop, QtActionsMapToOperationBits)
{
    EXPECT_EQ(dragOperationMask(Qt::CopyAction), DragOperationCopy);
    EXPECT_EQ(dragOperationMask(Qt::LinkAction), DragOperationLink);
    EXPECT_EQ(dragOperationMask(Qt::MoveAction), DragOperationMove);
    EXPECT_EQ(dragOperationMask(Qt::CopyAction | Qt::LinkAction | Qt::MoveAction),
              DragOperationCopy | DragOperationLink | DragOperationMove);
    EXPECT_EQ(dragOperationMask(Qt::IgnoreAction), DragOperationNone);
}

std::unique_ptr<QMimeData> mimeWithUrls(const QList<QUrl>& urls)
{
    auto data = std::make_unique<QMimeData>();
    data->setUrls(urls);
    return data;
}

TEST(WindowDrop, FileNamesAreTheLocalFilesOfTheUriList)
{
    const auto three = mimeWithUrls({QUrl::fromLocalFile("/music/a.mid"), QUrl::fromLocalFile("/music/b c.midi"),
                                     QUrl::fromLocalFile("/notes/readme.txt")});
    EXPECT_EQ(droppedFileNames(three.get()), QStringList({"/music/a.mid", "/music/b c.midi", "/notes/readme.txt"}));
    const auto remote = mimeWithUrls({QUrl("https://example.org/a.mid")});
    EXPECT_TRUE(droppedFileNames(remote.get()).isEmpty());
    const auto mixed = mimeWithUrls({QUrl("https://example.org/a.mid"), QUrl::fromLocalFile("/music/b.mid")});
    EXPECT_EQ(droppedFileNames(mixed.get()), QStringList({"/music/b.mid"}));
    QMimeData text;
    text.setText(QStringLiteral("/music/a.mid"));
    EXPECT_TRUE(droppedFileNames(&text).isEmpty());
    EXPECT_TRUE(droppedFileNames(nullptr).isEmpty());
}

class WindowEvents : public ::testing::Test {
protected:
    WindowEvents() : window(QRect(100, 100, 300, 200))
    {
        window.setContentView(new MIDIView());
        window.awakeFromNib();
    }

    // Sends an entry and, when it was accepted, the drop; returns whether the entry was accepted.
    bool dragAndDrop(const QMimeData& data, Qt::DropActions allowed, Qt::DropAction* chosen)
    {
        QDragEnterEvent enter(QPoint(200, 200), allowed, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&window, &enter);
        *chosen = enter.dropAction();
        if (!enter.isAccepted())
            return false;
        QDropEvent drop(QPointF(200, 200), allowed, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&window, &drop);
        return true;
    }

    MIDIWindow window;
    test::PlayRequests requests;
};

TEST_F(WindowEvents, AwakeFixes450By450KeepingTheLowerLeftCorner)
{
    // Defined at y 100 with height 200: the bottom edge at y 300 stays where it was.
    EXPECT_EQ(window.geometry(), QRect(100, -150, 450, 450));
    EXPECT_EQ(window.minimumSize(), QSize(450, 450));
    EXPECT_EQ(window.maximumSize(), QSize(450, 450));
    EXPECT_EQ(window.contentView()->geometry(), QRect(0, 0, 450, 450));
    EXPECT_TRUE(window.acceptDrops());
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(window.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Brennick MIDI Player"));
    EXPECT_EQ(window.windowIcon().availableSizes().size(), 8);
    EXPECT_TRUE(window.canBecomeKeyWindow());
}

// The round knob alone is the window: its transparent corners take no clicks and get no shadow.
TEST_F(WindowEvents, OnlyTheRoundKnobIsTheWindow)
{
    struct Case {
        QPoint point;
        bool inside;
    };
    const Case cases[] = {
        {{225, 225}, true},  {{225, 12}, true}, {{12, 225}, true},   {{438, 225}, true},
        {{225, 438}, true},  {{0, 0}, false},   {{449, 0}, false},   {{0, 449}, false},
        {{449, 449}, false}, {{70, 70}, false}, {{380, 380}, false}, {{225, 5}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(window.mask().contains(c.point), c.inside) << c.point.x() << "," << c.point.y();
}

TEST_F(WindowEvents, ShiftF10OpensTheContextMenuLikeTheMenuKey)
{
    QMenu menu;
    menu.addAction(QStringLiteral("Stop"));
    window.setContextMenu(&menu);
    struct Case {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        bool opens;
    };
    const Case cases[] = {{Qt::Key_F10, Qt::ShiftModifier, true},
                          {Qt::Key_F10, Qt::NoModifier, false},
                          {Qt::Key_F10, Qt::ShiftModifier | Qt::ControlModifier, false},
                          {Qt::Key_F9, Qt::ShiftModifier, false}};
    for (const Case& c : cases) {
        QTest::keyClick(&window, c.key, c.modifiers);
        EXPECT_EQ(menu.isVisible(), c.opens) << c.key << " " << c.modifiers;
        menu.hide();
    }
}

// The controller plays the first, or all three in turn.
TEST_F(WindowEvents, DropOfThreeFilesPostsThemInOrder)
{
    const auto data = mimeWithUrls({QUrl::fromLocalFile("/music/first.mid"), QUrl::fromLocalFile("/music/second.mid"),
                                    QUrl::fromLocalFile("/music/third.mid")});
    Qt::DropAction chosen = Qt::IgnoreAction;
    ASSERT_TRUE(dragAndDrop(*data, Qt::CopyAction | Qt::LinkAction, &chosen));
    EXPECT_EQ(chosen, Qt::LinkAction);
    EXPECT_TRUE(requests.paths.isEmpty());
    EXPECT_EQ(requests.lists, (QList<QStringList>{{"/music/first.mid", "/music/second.mid", "/music/third.mid"}}));
}

TEST_F(WindowEvents, AnyDroppedFileIsPostedWhateverItsKind)
{
    const auto data = mimeWithUrls({QUrl::fromLocalFile("/notes/readme.txt")});
    Qt::DropAction chosen = Qt::IgnoreAction;
    ASSERT_TRUE(dragAndDrop(*data, Qt::CopyAction, &chosen));
    EXPECT_EQ(chosen, Qt::CopyAction);
    EXPECT_EQ(requests.paths, QStringList({"/notes/readme.txt"}));
}

TEST_F(WindowEvents, RefusedDragsPostNothing)
{
    const auto files = mimeWithUrls({QUrl::fromLocalFile("/music/a.mid")});
    Qt::DropAction chosen = Qt::IgnoreAction;
    EXPECT_FALSE(dragAndDrop(*files, Qt::MoveAction, &chosen));
    QMimeData text;
    text.setText(QStringLiteral("/music/a.mid"));
    EXPECT_FALSE(dragAndDrop(text, Qt::CopyAction | Qt::LinkAction, &chosen));
    const auto remote = mimeWithUrls({QUrl("https://example.org/a.mid")});
    EXPECT_FALSE(dragAndDrop(*remote, Qt::CopyAction | Qt::LinkAction, &chosen));
    EXPECT_TRUE(requests.paths.isEmpty());
}

TEST_F(WindowEvents, DropWithoutFileNamesPostsNothing)
{
    // Entered with a file; the data no longer names one when it is dropped.
    const auto files = mimeWithUrls({QUrl::fromLocalFile("/music/a.mid")});
    QDragEnterEvent enter(QPoint(200, 200), Qt::CopyAction, files.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QMimeData empty;
    QDropEvent drop(QPointF(200, 200), Qt::CopyAction, &empty, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &drop);
    EXPECT_TRUE(requests.paths.isEmpty());
}

// The offscreen platform places windows where asked, so the whole press-and-drag path runs.
TEST(WindowMove, DragMovesTheWindowAndStopsAtTheScreenTop)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRect available = screen->availableGeometry();
    MIDIWindow window(QRect(available.x() + 100, available.y() + 100, 450, 450));
    window.awakeFromNib();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();

    auto send = [&window](QEvent::Type type, QPoint local, Qt::MouseButtons buttons) {
        const QPointF global = QPointF(window.mapToGlobal(local));
        QMouseEvent event(type, QPointF(local), global, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                          buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(&window, &event);
    };
    send(QEvent::MouseButtonPress, QPoint(10, 20), Qt::LeftButton);
    // Window coordinates grow upward from the lower-left corner.
    EXPECT_EQ(window.initialLocation(), QPointF(10, 430));

    send(QEvent::MouseMove, QPoint(40, 60), Qt::LeftButton);  // right 30, down 40
    EXPECT_EQ(window.pos(), start + QPoint(30, 40));
    EXPECT_EQ(window.initialLocation(), QPointF(10, 430));

    // Far above the visible top: the top edge stops on it; sideways movement goes on.
    send(QEvent::MouseMove, QPoint(60, -1000), Qt::LeftButton);
    EXPECT_EQ(window.pos(), QPoint(start.x() + 80, available.y()));

    // Without the button held nothing moves.
    const QPoint held = window.pos();
    send(QEvent::MouseMove, QPoint(200, 200), Qt::NoButton);
    EXPECT_EQ(window.pos(), held);
}

}  // namespace
}  // namespace brennick
