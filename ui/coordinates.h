#pragma once
// The one conversion between bottom-left (y up) coordinates and Qt's top-left (y down) ones.

#include <QPointF>
#include <QRectF>

namespace brennick {

// Mirrors `rect` / `point` about the horizontal line halfway up an area of `height` whose top
// edge is Qt's y = 0: y' = height - y - rect height, y' = height - y. Each is its own inverse.
inline QRectF flipRect(const QRectF& rect, double height)
{
    return QRectF(rect.x(), height - rect.y() - rect.height(), rect.width(), rect.height());
}

inline QPointF flipPoint(const QPointF& point, double height)
{
    return QPointF(point.x(), height - point.y());
}

}  // namespace brennick
