#include "ui/midi_view.h"

#include "ui/coordinates.h"
#include "ui/midi_window.h"

#include <QDir>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

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

// Three passes of box blur approximate a Gaussian (central limit); box radii chosen so that the
// three variances add up to sigma^2 as closely as integer widths allow.
void boxBlurPass(const float* in, float* out, int count, int stride, int lines, int lineStride,
                 int radius) {
    const float scale = 1.0f / float(2 * radius + 1);
    for (int line = 0; line < lines; ++line) {
        const float* src = in + line * lineStride;
        float* dst = out + line * lineStride;
        float sum = 0.0f;
        for (int i = 0; i <= std::min(radius, count - 1); ++i)
            sum += src[i * stride];
        for (int i = 0; i < count; ++i) {
            dst[i * stride] = sum * scale;
            const int add = i + radius + 1;
            const int drop = i - radius;
            if (add < count)
                sum += src[add * stride];
            if (drop >= 0)
                sum -= src[drop * stride];
        }
    }
}

void gaussianApprox(std::vector<float>& a, std::vector<float>& b, int w, int h, double sigma) {
    // Widths wl and wl + 2 around the ideal box width for three passes.
    const double ideal = std::sqrt(12.0 * sigma * sigma / 3.0 + 1.0);
    int wl = int(std::floor(ideal));
    if (wl % 2 == 0)
        --wl;
    wl = std::max(wl, 1);
    const int wu = wl + 2;
    const double m = (12.0 * sigma * sigma - 3.0 * wl * wl - 12.0 * wl - 9.0) / (-4.0 * wl - 4.0);
    const int smallPasses = std::clamp(int(std::lround(m)), 0, 3);
    for (int pass = 0; pass < 3; ++pass) {
        const int radius = ((pass < smallPasses) ? wl : wu) / 2;
        boxBlurPass(a.data(), b.data(), w, 1, h, w, radius);  // rows
        boxBlurPass(b.data(), a.data(), h, w, w, 1, radius);  // columns
    }
}

}  // namespace

double KnobGeometry::clockwiseSweep() const {
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

KnobGeometry knobGeometry(const QSizeF& size, double v) {
    const double w = size.width();
    const double h = size.height();
    KnobGeometry g;
    g.arcCentre = QPointF(0.5 * w, 0.5 * h);
    g.arcRadius = 0.372 * h;
    g.startAngle = 3.5 * kPi;  // the bottom, one full turn on from 1.5 pi
    g.endAngle = (v * -2.0 + 3.5) * kPi;
    g.darkTextRect = QRectF(1.0, 0.5 * h - 16.0, w, 30.0);
    g.lightTextRect = QRectF(0.0, 0.5 * h - 14.0, w, 30.0);
    return g;
}

MIDIView::MIDIView(const QRectF& frame, QWidget* parent) : QWidget(parent) {
    // The pass paints every pixel itself, transparency included.
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    if (!frame.isEmpty())
        setGeometry(frame.toAlignedRect());
}

MIDIView::~MIDIView() = default;

void MIDIView::awakeFromNib(const QString& resourceDirectory) {
    QImage knob;
    QImageReader reader(QDir(resourceDirectory).filePath(QStringLiteral("Knob.icns")));
    // An icon file holds several sizes; scaling the largest down looks best.
    const int count = std::max(reader.imageCount(), 1);
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !reader.jumpToImage(i))
            break;
        const QImage image = reader.read();
        if (!image.isNull() && (knob.isNull() || image.width() * image.height() >
                                                     knob.width() * knob.height()))
            knob = image;
    }
    setCircleImage(knob);
    colval_ = 0.0f;
    update();
    infoText_ = QString();
}

void MIDIView::setIndicatorValue(double fraction) {
    indicatorVal_ = fraction;
    update();
}

void MIDIView::setInfoText(const QString& text) {
    infoText_ = QString(text);
    infoText_.detach();  // the view owns its own copy
}

void MIDIView::clearInfoText() {
    infoText_ = QString();
    update();
}

void MIDIView::setCircleImage(const QImage& image) {
    circleImage_ = image;
    scaledKnob_ = QImage();
}

const QImage& MIDIView::scaledKnob(const QSize& size) {
    if (scaledKnob_.size() != size)
        scaledKnob_ = circleImage_
                          .scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return scaledKnob_;
}

void MIDIView::paintEvent(QPaintEvent* /*event*/) {
    // The bounds stand for the frame: the view fills its window from the content origin, and
    // drawing the frame's offset into the view's own coordinates would miss part of it.
    const double w = width();
    const double h = height();
    const float c = colval_;
    const qreal dpr = devicePixelRatioF();
    const QSize pixels(int(std::ceil(w * dpr)), int(std::ceil(h * dpr)));

    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);

    if (!circleImage_.isNull() && !pixels.isEmpty()) {
        QImage knob = scaledKnob(pixels);
        knob.setDevicePixelRatio(dpr);
        painter.drawImage(QPointF(0.0, 0.0), knob);
    }

    // QPainter has no shadow state: the arc and the text go to a layer, whose blurred alpha
    // is laid under it, as a shadow with offset (0, 0) would be.
    if (!pixels.isEmpty()) {
        if (layer_.size() != pixels)
            layer_ = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        layer_.setDevicePixelRatio(dpr);
        layer_.fill(Qt::transparent);
        {
            QPainter layerPainter(&layer_);
            drawArcAndText(layerPainter, w, h, c);
        }
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRectF(0.0, 0.0, w, h), shadowOf(layer_));
        painter.drawImage(QPointF(0.0, 0.0), layer_);
    }

    colval_ = c + kPhaseStep;
    if (colval_ > 1.0f)
        colval_ -= 1.0f;  // subtracting keeps the rounding residue, as the breathing cycle expects

    if (auto* midiWindow = qobject_cast<MIDIWindow*>(window()))
        midiWindow->setHasShadow(true);
}

void MIDIView::drawArcAndText(QPainter& painter, double w, double h, float c) const {
    const KnobGeometry g = knobGeometry(QSizeF(w, h), indicatorVal_);
    const float s1 = std::sin(float(double(c) * kPi));
    const float s2 = std::sin(float(2.0 * double(c) * kPi));
    painter.setRenderHint(QPainter::Antialiasing);
    // Qt flattens curves to its own tolerance; there is no flatness to set.

    const double sweep = g.clockwiseSweep();
    if (sweep > 0.0) {
        const QPointF centre = flipPoint(g.arcCentre, h);
        const QRectF box(centre.x() - g.arcRadius, centre.y() - g.arcRadius, 2.0 * g.arcRadius,
                         2.0 * g.arcRadius);
        // Qt's angles turn counter-clockwise on screen like the unflipped ones: a clockwise
        // sweep is a negative span.
        const double startDegrees = g.startAngle * 180.0 / kPi;
        QPainterPath arc;
        arc.arcMoveTo(box, startDegrees);
        arc.arcTo(box, startDegrees, -sweep * 180.0 / kPi);
        painter.setPen(QPen(QColor::fromRgbF(s1, s1, s1, 0.25f), kLineWidth, Qt::SolidLine,
                            Qt::FlatCap, Qt::MiterJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(arc);
    }

    if (infoText_.isEmpty())
        return;
    const double a = double(s2) * 0.15 + 0.4;
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(12);  // 12 points at one pixel per point
    painter.setFont(font);
    const int flags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;
    painter.setPen(QColor::fromRgbF(0.0f, 0.0f, 0.0f, float(a)));
    painter.drawText(flipRect(g.darkTextRect, h), flags, infoText_);
    painter.setPen(QColor::fromRgbF(1.0f, 1.0f, 1.0f, float(a)));
    painter.drawText(flipRect(g.lightTextRect, h), flags, infoText_);
}

const QImage& MIDIView::shadowOf(const QImage& layer) {
    // The blur runs at half resolution: a Gaussian of sigma blur / 2 halves with it, and a
    // quarter of the pixels keeps the pass cheap at thirty redraws a second.
    const int w = (layer.width() + 1) / 2;
    const int h = (layer.height() + 1) / 2;
    const double sigma = kShadowBlur / 2.0 * layer.devicePixelRatio() / 2.0;
    blurA_.assign(std::size_t(w) * std::size_t(h), 0.0f);
    blurB_.resize(blurA_.size());
    for (int y = 0; y < layer.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(layer.constScanLine(y));
        float* row = blurA_.data() + std::size_t(y / 2) * std::size_t(w);
        for (int x = 0; x < layer.width(); ++x)
            row[x / 2] += float(qAlpha(line[x]));
    }
    gaussianApprox(blurA_, blurB_, w, h, sigma);

    if (shadow_.size() != QSize(w, h))
        shadow_ = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
    // Four layer pixels fed each cell; premultiplied black is alpha alone.
    const float toAlpha = float(kShadowAlpha) / 4.0f;
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(shadow_.scanLine(y));
        const float* row = blurA_.data() + std::size_t(y) * std::size_t(w);
        for (int x = 0; x < w; ++x) {
            const int alpha = std::clamp(int(row[x] * toAlpha + 0.5f), 0, 255);
            line[x] = QRgb(unsigned(alpha) << 24);
        }
    }
    return shadow_;
}

}  // namespace brennick
