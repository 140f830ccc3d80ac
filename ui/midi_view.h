#pragma once
// The knob view: knob picture, breathing progress arc and status text over a transparent background.

#include <QGlyphRun>
#include <QHash>
#include <QImage>
#include <QList>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <vector>

class QFontMetricsF;

namespace brennick {

// Geometry of one drawing pass, in the drawing's own coordinates: points, origin at the bottom
// left, y growing upward (converted with flipRect/flipPoint of ui/coordinates.h).
struct KnobGeometry {
    QPointF arcCentre;     // (0.5 w, 0.5 h)
    double arcRadius;      // 0.372 h
    double startAngle;     // radians, 3.5 pi: the bottom of the circle
    double endAngle;       // radians, (3.5 - 2 v) pi; the arc runs clockwise from start to end
    QRectF darkTextRect;   // x 1, y 0.5 h - 16, width w, height 30
    QRectF lightTextRect;  // x 0, y 0.5 h - 14, width w, height 30
    double plateRadius;    // 0.478 h: the knob picture's round plate, whose outside is transparent
    double faceRadius;     // 0.272 h: the knob's cap inside its metal rim, where the status text stays
    // The width of one line of status text, centred across the view, that stays on the cap with a
    // margin of 4 at the text rectangles' rows farthest from the centre; 0 when the cap is smaller.
    double statusTextWidth;

    // The clockwise sweep actually stroked, in radians within [0, 2 pi]: start - end, a full turn
    // at or beyond one turn, a negative sweep wrapped into one turn, 0 when not finite.
    double clockwiseSweep() const;
};

// The geometry for a view of `size` showing progress fraction `v` (unclamped).
KnobGeometry knobGeometry(const QSizeF& size, double v);

// A part of the status text, by position and length in UTF-16 code units.
struct TextSpan {
    qsizetype start = 0;
    qsizetype length = 0;

    friend bool operator==(const TextSpan&, const TextSpan&) = default;
};

// `text` as one line no wider than `width` for `metrics`: unchanged when it fits; else the middle
// of `shortenFirst` (a file name, say) gives way to "…" as far as needed, whole characters at a
// time, so the text around it stays readable. When the text around it is too wide by itself, the
// span keeps its first and last four characters and the middle of the whole line gives way, as it
// does for a span that is empty or outside the text.
QString fitStatusText(const QString& text, TextSpan shortenFirst, const QFontMetricsF& metrics, double width);

// The player's one view. Only the controller talks to it; it never calls back.
//
// Each drawing pass paints the whole view: fully transparent, then the knob picture scaled to
// the view, the progress arc (line width 12, radius 0.372 h, from the bottom clockwise by
// fraction x 2 pi, grey level sin(pi c) at alpha 0.25), and the status text twice in Arial 12,
// a dark copy under a light one (alpha 0.4 + 0.15 sin(2 pi c)), on one line shortened to fit on the
// knob's cap (fitStatusText; the stored text stays whole); arc and text carry a shadow
// with offset (0, 0), blur 12.5 and black at one-third alpha. Then the phase c advances by 0.05.
class MIDIView : public QWidget {
    Q_OBJECT
public:
    // Base initialisation with `frame` (in the parent's coordinates): fraction 0, phase 0, no
    // text, no image until awakeFromNib.
    explicit MIDIView(const QRectF& frame = QRectF(), QWidget* parent = nullptr);
    ~MIDIView() override;

    // Loads "Knob.icns" from `resourceDirectory` (its largest picture) as the circle image (a
    // missing or unreadable file gives no image; the rest is drawn as usual), resets the phase
    // to 0, schedules a repaint and sets the status text to "".
    void awakeFromNib(const QString& resourceDirectory);

    // Stores the progress fraction (fraction of one turn; not clamped) and schedules a repaint.
    void setIndicatorValue(double fraction);
    double indicatorValue() const { return indicatorVal_; }

    // Stores a copy of `text`, and the part of it to shorten first when the line is too wide for
    // the knob's cap. Does not schedule a repaint: the text shows at the next pass.
    void setInfoText(const QString& text, TextSpan shortenFirst = {});
    const QString& infoText() const { return infoText_; }
    // The status text as a pass at the view's present size draws it: infoText(), shortened where
    // it has to be.
    QString shownInfoText() const;
    // Sets the status text to "" and schedules a repaint.
    void clearInfoText();

    // The knob picture; a null image draws nothing.
    QImage circleImage() const { return circleImage_; }
    void setCircleImage(const QImage& image);

    // The breathing phase in [0, 1]; every drawing pass advances it by 0.05 (single precision).
    float colval() const { return colval_; }

signals:
    // The mouse wheel turned over the knob: `steps` notches, positive away from the user.
    void wheelTurned(int steps);

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    int wheelRest_ = 0;  // eighths of a degree turned short of a notch
    struct Overlay;
    Overlay overlayFor(const KnobGeometry& g, double w, double h, float c);
    static void drawOverlay(QPainter& painter, const Overlay& overlay);
    const QList<QGlyphRun>& textRuns(double viewWidth, double lineWidth);
    const QImage& scaledKnob(const QSize& pixels, qreal dpr);
    static QRectF shadowArea(const QRectF& content, const QSizeF& size);
    const QImage& base(const KnobGeometry& g, const Overlay& overlay, const QSize& pixels, qreal dpr);
    QImage textShadow(const QRectF& area, const Overlay& overlay, qreal dpr);
    QImage shadowOf(const QRectF& area, const Overlay& overlay, qreal dpr);

    double indicatorVal_ = 0.0;
    float colval_ = 0.0f;
    QString infoText_;
    TextSpan shortenFirst_;
    QImage circleImage_;

    // Kept between passes: the knob picture scaled to the view; the base image (background,
    // picture and the arc's shadow) with what it was made for; the text's shadows by opacity;
    // the buffers of the blur.
    QImage scaledKnob_;
    QImage base_;
    qint64 baseArcKey_ = 0;
    qint64 baseKnobKey_ = 0;
    QHash<qint64, QImage> textShadows_;
    QString textShadowText_;
    QRectF textShadowArea_;
    qreal textShadowDpr_ = 0.0;
    QImage shadowSource_;
    QString layoutText_;
    TextSpan layoutSpan_;
    QString layoutShownText_;
    double layoutWidth_ = 0.0;
    double layoutLineWidth_ = 0.0;
    bool layoutValid_ = false;
    QList<QGlyphRun> textRuns_;
    std::vector<float> blurA_, blurB_, blurSums_;
};

}  // namespace brennick
