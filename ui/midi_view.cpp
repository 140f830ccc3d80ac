#include "ui/midi_view.h"

#include "ui/coordinates.h"
#include "ui/gaussian_blur.h"
#include "ui/midi_window.h"

#include <QDir>
#include <QFontMetricsF>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace brennick {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTurn = 2.0 * kPi;
constexpr double kLineWidth = 12.0;
constexpr double kShadowBlur = 12.5;
constexpr double kShadowAlpha = 1.0 / 3.0;  // the default shadow colour: black at one-third alpha
constexpr float kPhaseStep = 0.05f;
constexpr double kTextHeight = 30.0;
// The knob picture (resources/draw_knob.cpp): its plate and the cap inside the metal rim, as
// fractions of its side.
constexpr double kPlateRadius = 0.478;
constexpr double kFaceRadius = 0.272;
constexpr double kFaceMargin = 4.0;
// What a shortened file name keeps at least when the rest of its line is too wide already.
constexpr qsizetype kFewestKeptCharacters = 8;

// Arial 12, at one pixel per point.
QFont statusFont()
{
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(12);
    return font;
}

// Where each character as a reader sees it (a grapheme: a surrogate pair, a letter with its
// accents) begins in `s`, and the end of `s`.
QList<qsizetype> graphemeBoundaries(const QString& s)
{
    QList<qsizetype> boundaries{0};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    for (qsizetype at = finder.toNextBoundary(); at > 0; at = finder.toNextBoundary())
        boundaries.append(at);
    return boundaries;
}

}  // namespace

// Everything a pass draws over the knob, in Qt's coordinates: built once, drawn twice (into
// the shadow's source and onto the view).
struct MIDIView::Overlay {
    QPainterPath arc;  // the outline of the stroked arc; empty for no arc
    QColor arcColour;
    const QList<QGlyphRun>* text = nullptr;  // null for no text
    QPointF darkOrigin, lightOrigin;
    QColor darkColour, lightColour;
};

double KnobGeometry::clockwiseSweep() const
{
    const double sweep = startAngle - endAngle;
    if (!std::isfinite(sweep))
        return 0.0;
    if (sweep >= kTurn)
        return kTurn;
    if (sweep < 0.0) {
        const double wrapped = std::fmod(sweep, kTurn) + kTurn;
        return wrapped >= kTurn ? 0.0 : wrapped;
    }
    return sweep;
}

KnobGeometry knobGeometry(const QSizeF& size, double v)
{
    const double w = size.width();
    const double h = size.height();
    KnobGeometry g;
    g.arcCentre = QPointF(0.5 * w, 0.5 * h);
    g.arcRadius = 0.372 * h;
    g.startAngle = 3.5 * kPi;  // the bottom, one full turn on from 1.5 pi
    g.endAngle = (v * -2.0 + 3.5) * kPi;
    g.darkTextRect = QRectF(1.0, 0.5 * h - 16.0, w, 30.0);
    g.lightTextRect = QRectF(0.0, 0.5 * h - 14.0, w, 30.0);
    g.plateRadius = kPlateRadius * h;
    g.faceRadius = kFaceRadius * h;
    // The text rectangles' edges farthest from the centre bound the line; the dark copy also sits
    // 1 to the right of the light one.
    double rowOffset = 0.0;
    for (const QRectF& r : {g.darkTextRect, g.lightTextRect})
        rowOffset = std::max({rowOffset, std::abs(r.top() - 0.5 * h), std::abs(r.bottom() - 0.5 * h)});
    const double radius = g.faceRadius - kFaceMargin;
    const double halfChord = std::sqrt(std::max(0.0, radius * radius - rowOffset * rowOffset));
    g.statusTextWidth = std::max(0.0, 2.0 * halfChord - (g.darkTextRect.x() - g.lightTextRect.x()));
    return g;
}

QString fitStatusText(const QString& text, TextSpan span, const QFontMetricsF& metrics, double width)
{
    const auto fits = [&](const QString& candidate) { return metrics.horizontalAdvance(candidate) <= width; };
    if (fits(text))
        return text;
    const QString ellipsis(QChar(0x2026));
    QString rest = text;
    if (span.start >= 0 && span.length > 0 && span.length <= text.size() - span.start) {
        const QString before = text.left(span.start);
        const QString part = text.mid(span.start, span.length);
        const QString after = text.mid(span.start + span.length);
        const QList<qsizetype> at = graphemeBoundaries(part);
        const qsizetype count = at.size() - 1;
        // Keeping `kept` characters, the first half (rounded up) from the front of the part.
        const auto shortened = [&](qsizetype kept) {
            return before + part.left(at[(kept + 1) / 2]) + ellipsis + part.mid(at[count - kept / 2]) + after;
        };
        qsizetype low = 0, high = count - 1;  // all of them did not fit
        if (fits(shortened(low))) {
            while (low < high) {
                const qsizetype mid = (low + high + 1) / 2;
                if (fits(shortened(mid)))
                    low = mid;
                else
                    high = mid - 1;
            }
            return shortened(low);
        }
        // The rest alone is too wide (a long destination name, say): the part keeps a few
        // characters to be recognised by, and the middle of the line gives way.
        rest = shortened(std::min(kFewestKeptCharacters, count - 1));
    }
    return metrics.elidedText(rest, Qt::ElideMiddle, width);
}

MIDIView::MIDIView(const QRectF& frame, QWidget* parent) : QWidget(parent)
{
    // The pass paints every pixel itself, transparency included.
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    if (!frame.isEmpty())
        setGeometry(frame.toAlignedRect());
}

MIDIView::~MIDIView() = default;

void MIDIView::awakeFromNib(const QString& resourceDirectory)
{
    QImage knob;
    QImageReader reader(QDir(resourceDirectory).filePath(QStringLiteral("Knob.icns")));
    // An icon file holds several sizes; scaling the largest down looks best.
    const int count = std::max(reader.imageCount(), 1);
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !reader.jumpToImage(i))
            break;
        const QImage image = reader.read();
        if (!image.isNull() && (knob.isNull() || image.width() * image.height() > knob.width() * knob.height()))
            knob = image;
    }
    setCircleImage(knob);
    colval_ = 0.0f;
    update();
    infoText_ = QString();
}

void MIDIView::setIndicatorValue(double fraction)
{
    indicatorVal_ = fraction;
    update();
}

void MIDIView::setInfoText(const QString& text, TextSpan shortenFirst)
{
    infoText_ = text;  // a value: later changes to the caller's string do not reach it
    shortenFirst_ = shortenFirst;
}

QString MIDIView::shownInfoText() const
{
    const KnobGeometry g = knobGeometry(QSizeF(size()), 0.0);
    return fitStatusText(infoText_, shortenFirst_, QFontMetricsF(statusFont()), g.statusTextWidth);
}

void MIDIView::clearInfoText()
{
    infoText_ = QString();
    shortenFirst_ = TextSpan();
    update();
}

void MIDIView::setCircleImage(const QImage& image)
{
    circleImage_ = image;
    scaledKnob_ = QImage();
}

const QImage& MIDIView::scaledKnob(const QSize& pixels, qreal dpr)
{
    if (scaledKnob_.size() != pixels || scaledKnob_.devicePixelRatio() != dpr) {
        scaledKnob_ = circleImage_.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        scaledKnob_.setDevicePixelRatio(dpr);
    }
    return scaledKnob_;
}

void MIDIView::wheelEvent(QWheelEvent* event)
{
    // A notch is 120 eighths of a degree; touchpads send less at a time, so the rest is kept.
    wheelRest_ += event->angleDelta().y();
    const int steps = wheelRest_ / 120;
    wheelRest_ -= steps * 120;
    if (steps != 0)
        emit wheelTurned(steps);
    event->accept();
}

void MIDIView::paintEvent(QPaintEvent* /*event*/)
{
    // The bounds stand for the frame: the view fills its window from the content origin, and
    // drawing the frame's offset into the view's own coordinates would miss part of it.
    const double w = width();
    const double h = height();
    const float c = colval_;
    const qreal dpr = devicePixelRatioF();
    const QSize pixels(int(std::ceil(w * dpr)), int(std::ceil(h * dpr)));
    if (pixels.isEmpty())
        return;

    const KnobGeometry g = knobGeometry(QSizeF(w, h), indicatorVal_);
    const Overlay overlay = overlayFor(g, w, h, c);

    // Background, picture and the arc's shadow come from one cached image copied in replacing
    // mode, which also makes every pixel the picture leaves out fully transparent.
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QPointF(0.0, 0.0), base(g, overlay, pixels, dpr));
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);

    if (overlay.text != nullptr) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QRectF area = shadowArea(flipRect(g.darkTextRect, h) | flipRect(g.lightTextRect, h), QSizeF(w, h));
        painter.drawImage(area, textShadow(area, overlay, dpr));
    }
    drawOverlay(painter, overlay);

    colval_ = c + kPhaseStep;
    if (colval_ > 1.0f)
        colval_ -= 1.0f;  // subtracting keeps the rounding residue, as the breathing cycle expects

    if (auto* midiWindow = qobject_cast<MIDIWindow*>(window()))
        midiWindow->setHasShadow(true);
}

MIDIView::Overlay MIDIView::overlayFor(const KnobGeometry& g, double w, double h, float c)
{
    const float s1 = std::sin(float(double(c) * kPi));
    const float s2 = std::sin(float(2.0 * double(c) * kPi));
    Overlay o;
    const double sweep = g.clockwiseSweep();
    if (sweep > 0.0) {
        // A 12-point stroke with flat ends is the ring sector between radius - 6 and radius + 6;
        // filling that outline skips the stroker, the costliest step of the pass.
        const QPointF centre = flipPoint(g.arcCentre, h);
        const double outer = g.arcRadius + kLineWidth / 2.0;
        const double inner = std::max(0.0, g.arcRadius - kLineWidth / 2.0);
        const auto box = [&centre](double r) { return QRectF(centre.x() - r, centre.y() - r, 2.0 * r, 2.0 * r); };
        if (sweep >= kTurn) {
            o.arc.addEllipse(box(outer));
            o.arc.addEllipse(box(inner));
            o.arc.setFillRule(Qt::OddEvenFill);
        } else {
            // Qt's angles turn counter-clockwise on screen like the unflipped ones: a clockwise
            // sweep is a negative span.
            const double startDegrees = g.startAngle * 180.0 / kPi;
            const double spanDegrees = -sweep * 180.0 / kPi;
            o.arc.arcMoveTo(box(outer), startDegrees);
            o.arc.arcTo(box(outer), startDegrees, spanDegrees);
            o.arc.arcTo(box(inner), startDegrees + spanDegrees, -spanDegrees);
            o.arc.closeSubpath();
        }
        o.arcColour = QColor::fromRgbF(s1, s1, s1, 0.25f);
    }
    if (!infoText_.isEmpty()) {
        const double a = double(s2) * 0.15 + 0.4;
        o.text = &textRuns(w, g.statusTextWidth);
        o.darkOrigin = flipRect(g.darkTextRect, h).topLeft();
        o.lightOrigin = flipRect(g.lightTextRect, h).topLeft();
        o.darkColour = QColor::fromRgbF(0.0f, 0.0f, 0.0f, float(a));
        o.lightColour = QColor::fromRgbF(1.0f, 1.0f, 1.0f, float(a));
    }
    return o;
}

void MIDIView::drawOverlay(QPainter& painter, const Overlay& o)
{
    // Qt flattens curves to its own fixed tolerance: there is no flatness to set.
    painter.setRenderHint(QPainter::Antialiasing);
    if (!o.arc.isEmpty())
        painter.fillPath(o.arc, o.arcColour);
    if (o.text == nullptr)
        return;
    painter.setPen(o.darkColour);
    for (const QGlyphRun& run : *o.text)
        painter.drawGlyphRun(o.darkOrigin, run);
    painter.setPen(o.lightColour);
    for (const QGlyphRun& run : *o.text)
        painter.drawGlyphRun(o.lightOrigin, run);
}

const QList<QGlyphRun>& MIDIView::textRuns(double viewWidth, double lineWidth)
{
    if (layoutValid_ && layoutText_ == infoText_ && layoutSpan_ == shortenFirst_ && layoutWidth_ == viewWidth &&
        layoutLineWidth_ == lineWidth)
        return textRuns_;
    // Laid out once per text: Arial 12, one line centred across the view, as wide as the cap
    // allows; a longer text is shortened rather than spilling over the knob's rings.
    const QFont font = statusFont();
    QTextLayout layout(fitStatusText(infoText_, shortenFirst_, QFontMetricsF(font), lineWidth), font);
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    if (line.isValid()) {
        line.setLineWidth(lineWidth);
        line.setPosition(QPointF(0.5 * (viewWidth - lineWidth), 0.0));
    }
    layout.endLayout();
    layoutShownText_ = layout.text();
    textRuns_.clear();
    if (line.isValid() && line.height() <= kTextHeight)
        textRuns_ = line.glyphRuns();
    layoutText_ = infoText_;
    layoutSpan_ = shortenFirst_;
    layoutWidth_ = viewWidth;
    layoutLineWidth_ = lineWidth;
    layoutValid_ = true;
    return textRuns_;
}

QRectF MIDIView::shadowArea(const QRectF& content, const QSizeF& size)
{
    const double margin = 2.0 * kShadowBlur;  // four sigma: the box blurs reach no further
    return content.adjusted(-margin, -margin, margin, margin) & QRectF(QPointF(0, 0), size);
}

const QImage& MIDIView::base(const KnobGeometry& g, const Overlay& overlay, const QSize& pixels, qreal dpr)
{
    // The arc's shadow depends only on where the arc ends, not on its colour; it is redrawn
    // when the end has moved by 2 device pixels along the outer edge (half a blur cell), so
    // that during a long piece the blur runs every few passes rather than every pass.
    const double sweep = g.clockwiseSweep();
    const qint64 arcKey =
        sweep >= kTurn ? -1 : qint64(std::floor(sweep * (g.arcRadius + kLineWidth / 2.0) * dpr / 2.0));
    const qint64 knobKey = circleImage_.isNull() ? 0 : circleImage_.cacheKey();
    if (base_.size() == pixels && base_.devicePixelRatio() == dpr && baseArcKey_ == arcKey && baseKnobKey_ == knobKey)
        return base_;

    if (base_.size() != pixels)
        base_ = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
    base_.setDevicePixelRatio(dpr);
    base_.fill(Qt::transparent);
    QPainter painter(&base_);
    if (!circleImage_.isNull()) {
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QPointF(0.0, 0.0), scaledKnob(pixels, dpr));
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    if (!overlay.arc.isEmpty()) {
        Overlay arcOnly;
        arcOnly.arc = overlay.arc;
        arcOnly.arcColour = overlay.arcColour;
        const QRectF area = shadowArea(overlay.arc.boundingRect(), QSizeF(pixels) / dpr);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(area, shadowOf(area, arcOnly, dpr));
    }
    baseArcKey_ = arcKey;
    baseKnobKey_ = knobKey;
    return base_;
}

QImage MIDIView::textShadow(const QRectF& area, const Overlay& overlay, qreal dpr)
{
    // The text's opacity takes one of twenty values per breathing cycle: keep a shadow for each.
    const qint64 key = qint64(std::lround(overlay.lightColour.alphaF() * 10000.0));
    if (textShadowText_ != layoutShownText_ || textShadowArea_ != area || textShadowDpr_ != dpr ||
        textShadows_.size() > 64) {
        textShadows_.clear();
        textShadowText_ = layoutShownText_;
        textShadowArea_ = area;
        textShadowDpr_ = dpr;
    }
    const auto found = textShadows_.constFind(key);
    if (found != textShadows_.constEnd())
        return *found;
    Overlay textOnly = overlay;
    textOnly.arc = QPainterPath();
    const QImage shadow = shadowOf(area, textOnly, dpr);
    textShadows_.insert(key, shadow);
    return shadow;
}

QImage MIDIView::shadowOf(const QRectF& area, const Overlay& overlay, qreal dpr)
{
    // The shadow is soft (sigma 6.25 points), so its source is drawn at a quarter of the
    // device resolution: each pixel then holds the mean coverage of a 4 x 4 cell, and a
    // sixteenth of the pixels keeps the pass cheap at thirty redraws a second. The painter
    // scales the result back up with bilinear filtering.
    constexpr double cell = 4.0;
    const double scale = dpr / cell;
    const int w = std::max(1, int(std::ceil(area.width() * scale)));
    const int rows = std::max(1, int(std::ceil(area.height() * scale)));
    if (shadowSource_.size() != QSize(w, rows))
        shadowSource_ = QImage(w, rows, QImage::Format_ARGB32_Premultiplied);
    shadowSource_.fill(Qt::transparent);
    {
        QPainter source(&shadowSource_);
        source.scale(scale, scale);
        source.translate(-area.topLeft());
        drawOverlay(source, overlay);
    }

    blurA_.resize(std::size_t(w) * std::size_t(rows));
    blurB_.resize(blurA_.size());
    for (int y = 0; y < rows; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(shadowSource_.constScanLine(y));
        float* row = blurA_.data() + std::size_t(y) * std::size_t(w);
        for (int x = 0; x < w; ++x)
            row[x] = float(qAlpha(line[x]));
    }
    // Averaging over a cell and the bilinear upscaling blur as well (variances cell^2 / 12 and
    // cell^2 / 6): the cells' own blur makes up the rest of the shadow's sigma of blur / 2.
    const double sigmaDevice = kShadowBlur / 2.0 * dpr;
    const double cellVariance = cell * cell / 12.0 + cell * cell / 6.0;
    const double sigmaCells = std::sqrt(std::max(sigmaDevice * sigmaDevice - cellVariance, 0.25)) / cell;
    gaussianApprox(blurA_, blurB_, blurSums_, w, rows, sigmaCells);

    QImage shadow(w, rows, QImage::Format_ARGB32_Premultiplied);
    const float toAlpha = float(kShadowAlpha);
    for (int y = 0; y < rows; ++y) {
        auto* line = reinterpret_cast<QRgb*>(shadow.scanLine(y));
        const float* row = blurA_.data() + std::size_t(y) * std::size_t(w);
        for (int x = 0; x < w; ++x) {
            // The running sums may drift a hair below zero.
            const int alpha = std::clamp(int(row[x] * toAlpha + 0.5f), 0, 255);
            line[x] = QRgb(unsigned(alpha) << 24);  // premultiplied black is alpha alone
        }
    }
    return shadow;
}

}  // namespace brennick
