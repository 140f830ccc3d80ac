#pragma once
// The player's borderless, translucent window: moved by dragging anywhere, target for file drops.

#include <QIcon>
#include <QPointF>
#include <QRectF>
#include <QRegion>
#include <QStringList>
#include <QWidget>

#include <cstdint>

class QMenu;
class QMimeData;

namespace brennick {

// Drag operation bits, as drag sources announce what they allow.
enum DragOperation : std::uint64_t {
    DragOperationNone = 0,
    DragOperationCopy = 1,
    DragOperationLink = 2,
    DragOperationGeneric = 4,
    DragOperationPrivate = 8,
    DragOperationMove = 16,
    DragOperationDelete = 32,
};

// Qt's allowed drop actions as operation bits (copy 1, link 2, move 16).
std::uint64_t dragOperationMask(Qt::DropActions actions);

// The operation chosen when a drag enters: 0 without file names, else link (2) when allowed,
// else copy (1) when allowed, else 0.
std::uint64_t draggingOperation(bool hasFileNames, std::uint64_t sourceMask);

// The local file paths of a drag's text/uri-list, in order; empty when there are none.
QStringList droppedFileNames(const QMimeData* data);

// One step of moving the window with the pointer, all in bottom-left (y up) desktop
// coordinates: `frame` the window's frame, `location` the pointer in window coordinates,
// `initialLocation` the point grabbed at the press, `visibleFrame` the primary screen's available
// area (the zero rectangle when there is no screen). Returns the new frame origin; only the top
// edge is held, at the top of `visibleFrame`, and only when it would rise strictly above it.
QPointF windowDragOrigin(const QRectF& frame, const QPointF& location, const QPointF& initialLocation,
                         const QRectF& visibleFrame);

// Desktop coordinates: Qt's top-left (y down) and the bottom-left (y up) system whose y = 0 lies
// on the bottom edge of the primary screen (y = 0 of Qt's when there is no screen). Each is its
// own inverse.
QRectF flipDesktopRect(const QRectF& rect);
QPointF flipDesktopPoint(const QPointF& point);

// The primary screen's available area in bottom-left desktop coordinates; the zero rectangle
// when there is no screen.
QRectF primaryVisibleFrame();

// The player's icon, at each size drawn (16 to 256 pixels), built into the program.
QIcon playerIcon();

// The round part of a window of `size` that shows the knob picture's plate: the window's shape,
// and where it takes the pointer (a pixel beyond the plate keeps its smoothed edge).
QRegion knobShape(const QSize& size);

// The player's one window, 450 x 450 once awake, whose content is the knob view. Only the round
// knob is the window (knobShape): the transparent corners neither take the pointer nor get a
// compositor's shadow. A left-button drag on it moves the window (on Wayland the compositor does
// the moving); a right click, the Menu key or Shift+F10 shows the context menu; a drop of files
// posts "PlayMIDIFile" with the file's path, or with the list of paths when it holds several.
class MIDIWindow : public QWidget {
    Q_OBJECT
public:
    // A frameless, translucent top-level window over `contentRect` (Qt desktop coordinates;
    // empty: the window system places it). Titled "Brennick MIDI Player", with the player's icon.
    explicit MIDIWindow(const QRect& contentRect = QRect(), QWidget* parent = nullptr);

    // Makes `view` the window's whole content (reparented, filling the window).
    void setContentView(QWidget* view);
    QWidget* contentView() const { return contentView_; }

    // The menu shown on a right click; null shows none.
    void setContextMenu(QMenu* menu) { contextMenu_ = menu; }
    QMenu* contextMenu() const { return contextMenu_; }

    // Fixes the size at 450 x 450 keeping the lower-left corner, repaints, and accepts file drops.
    void awakeFromNib();

    // A borderless window may still take keyboard focus.
    bool canBecomeKeyWindow() const { return true; }

    // Where the left button last went down, in window coordinates (origin at the window's lower
    // left, y up); zero before the first press.
    QPointF initialLocation() const { return initialLocation_; }
    void setInitialLocation(const QPointF& location) { initialLocation_ = location; }

    // The window's frame in bottom-left desktop coordinates.
    QRectF desktopFrame() const;

    // Records that the content asked for the window's shadow. Qt leaves the shadows of
    // frameless windows to the compositor, so this changes nothing on screen.
    void setHasShadow(bool on) { hasShadow_ = on; }
    bool hasShadow() const { return hasShadow_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QWidget* contentView_ = nullptr;
    QMenu* contextMenu_ = nullptr;
    QPointF initialLocation_;
    std::uint64_t enteredOperation_ = DragOperationNone;
    bool hasShadow_ = false;
};

}  // namespace brennick
