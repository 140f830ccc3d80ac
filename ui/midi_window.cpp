#include "ui/midi_window.h"

#include "platform/notification_center.h"
#include "ui/coordinates.h"
#include "ui/midi_view.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QScreen>
#include <QUrl>
#include <QWindow>

namespace brennick {

namespace {

constexpr double kWindowSide = 450.0;

bool onWayland()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

// The bottom edge of the primary screen in Qt's desktop coordinates: y = 0 of the bottom-left
// system.
double desktopBase()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return 0.0;
    const QRect g = screen->geometry();
    return double(g.y()) + double(g.height());
}

}  // namespace

std::uint64_t dragOperationMask(Qt::DropActions actions)
{
    std::uint64_t mask = DragOperationNone;
    if (actions.testFlag(Qt::CopyAction))
        mask |= DragOperationCopy;
    if (actions.testFlag(Qt::LinkAction))
        mask |= DragOperationLink;
    if (actions.testFlag(Qt::MoveAction))
        mask |= DragOperationMove;
    return mask;
}

std::uint64_t draggingOperation(bool hasFileNames, std::uint64_t sourceMask)
{
    if (!hasFileNames)
        return DragOperationNone;
    if (sourceMask & DragOperationLink)
        return DragOperationLink;
    if (sourceMask & DragOperationCopy)
        return DragOperationCopy;
    return DragOperationNone;
}

QStringList droppedFileNames(const QMimeData* data)
{
    QStringList names;
    if (data == nullptr || !data->hasUrls())
        return names;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            names.append(url.toLocalFile());
    }
    return names;
}

QPointF windowDragOrigin(const QRectF& frame, const QPointF& location, const QPointF& initialLocation,
                         const QRectF& visibleFrame)
{
    const double x = location.x() - initialLocation.x() + frame.x();
    double y = location.y() - initialLocation.y() + frame.y();
    if (y + frame.height() > visibleFrame.y() + visibleFrame.height())
        y = visibleFrame.y() + (visibleFrame.height() - frame.height());
    return QPointF(x, y);
}

QRectF flipDesktopRect(const QRectF& rect)
{
    return flipRect(rect, desktopBase());
}

QPointF flipDesktopPoint(const QPointF& point)
{
    return flipPoint(point, desktopBase());
}

QIcon playerIcon()
{
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/%1x%1/brennick-midi-player.png").arg(side), QSize(side, side));
    return icon;
}

QRegion knobShape(const QSize& size)
{
    const double radius = knobGeometry(QSizeF(size), 0.0).plateRadius + 1.0;
    const QPointF centre(0.5 * size.width(), 0.5 * size.height());
    const QRectF disc(centre.x() - radius, centre.y() - radius, 2.0 * radius, 2.0 * radius);
    return QRegion(disc.toAlignedRect(), QRegion::Ellipse) & QRegion(QRect(QPoint(0, 0), size));
}

QRectF primaryVisibleFrame()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return QRectF();
    return flipDesktopRect(QRectF(screen->availableGeometry()));
}

MIDIWindow::MIDIWindow(const QRect& contentRect, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
{
    // Whatever the view leaves transparent shows the desktop behind.
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowOpacity(1.0);
    setWindowTitle(QStringLiteral("Brennick MIDI Player"));
    setWindowIcon(playerIcon());
    if (!contentRect.isEmpty())
        setGeometry(contentRect);
}

void MIDIWindow::setContentView(QWidget* view)
{
    contentView_ = view;
    if (view == nullptr)
        return;
    view->setParent(this);
    view->setGeometry(rect());
    view->show();
}

void MIDIWindow::resizeEvent(QResizeEvent* event)
{
    // On X11 the mask is the window's bounding shape, which also bounds where it takes input.
    setMask(knobShape(size()));
    if (contentView_ != nullptr)
        contentView_->setGeometry(rect());
    QWidget::resizeEvent(event);
}

QRectF MIDIWindow::desktopFrame() const
{
    return flipDesktopRect(QRectF(geometry()));
}

void MIDIWindow::awakeFromNib()
{
    // The lower-left corner stays where it was defined; the window grows or shrinks above it.
    const QRectF frame = desktopFrame();
    const QRectF sized(frame.x(), frame.y(), kWindowSide, kWindowSide);
    const QRect target = flipDesktopRect(sized).toRect();
    setFixedSize(target.size());
    move(target.topLeft());
    if (contentView_ != nullptr)
        contentView_->setGeometry(rect());  // a hidden window gets its resize event only when shown
    setMask(knobShape(size()));
    repaint();
    setAcceptDrops(true);
}

void MIDIWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    setInitialLocation(flipPoint(event->position(), height()));
    event->accept();
    // Wayland clients may not place their windows: the compositor moves it, and keeps it clear
    // of its panels.
    if (onWayland() && windowHandle() != nullptr)
        windowHandle()->startSystemMove();
}

void MIDIWindow::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton) || onWayland()) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    // The pointer's place in the window is taken from its global position and the window's
    // current frame rather than from the event's local position: on X11 that one may still be
    // relative to where the window was before the last move was carried out, which makes the
    // window jitter.
    const QRectF frame = desktopFrame();
    const QPointF global = flipDesktopPoint(event->globalPosition());
    const QPointF location(global.x() - frame.x(), global.y() - frame.y());
    const QPointF origin = windowDragOrigin(frame, location, initialLocation_, primaryVisibleFrame());
    const QRectF moved = flipDesktopRect(QRectF(origin, frame.size()));
    move(QPoint(qRound(moved.x()), qRound(moved.y())));
    event->accept();
}

void MIDIWindow::contextMenuEvent(QContextMenuEvent* event)
{
    if (contextMenu_ == nullptr) {
        event->ignore();
        return;
    }
    contextMenu_->popup(event->globalPos());
    event->accept();
}

void MIDIWindow::keyPressEvent(QKeyEvent* event)
{
    // The Menu key arrives as a context menu event; Shift+F10, its usual stand-in, does not.
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        const QPoint centre = rect().center();
        QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, centre, mapToGlobal(centre), event->modifiers());
        contextMenuEvent(&menuEvent);
        event->setAccepted(menuEvent.isAccepted());
        return;
    }
    QWidget::keyPressEvent(event);
}

void MIDIWindow::dragEnterEvent(QDragEnterEvent* event)
{
    const bool hasFileNames = !droppedFileNames(event->mimeData()).isEmpty();
    enteredOperation_ = draggingOperation(hasFileNames, dragOperationMask(event->possibleActions()));
    dragMoveEvent(event);
}

// The operation chosen on entry stands for the whole drag.
void MIDIWindow::dragMoveEvent(QDragMoveEvent* event)
{
    switch (enteredOperation_) {
    case DragOperationLink:
        event->setDropAction(Qt::LinkAction);
        event->accept();
        break;
    case DragOperationCopy:
        event->setDropAction(Qt::CopyAction);
        event->accept();
        break;
    default: event->ignore(); break;
    }
}

void MIDIWindow::dropEvent(QDropEvent* event)
{
    // The controller decides which of several files play; a drop that names none plays nothing
    // and stops nothing.
    const QStringList names = droppedFileNames(event->mimeData());
    if (enteredOperation_ == DragOperationLink)
        event->setDropAction(Qt::LinkAction);
    else if (enteredOperation_ == DragOperationCopy)
        event->setDropAction(Qt::CopyAction);
    event->accept();
    if (!names.isEmpty())
        NotificationCenter::defaultCenter().postNotificationName(
            QStringLiteral("PlayMIDIFile"), names.size() == 1 ? QVariant(names.first()) : QVariant(names));
}

}  // namespace brennick
