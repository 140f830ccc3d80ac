#include "ui/midi_view.h"

#include "tests/ui/qt_test_app.h"
#include "ui/coordinates.h"

#include <QFontMetricsF>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <vector>

namespace brennick {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kSide = 450;
constexpr double kRadius = 167.4;  // 0.372 of 450

// Raw premultiplied pixel: what the pass left, untouched by conversions.
QRgb rawPixel(const QImage& image, QPoint p)
{
    return reinterpret_cast<const QRgb*>(image.constScanLine(p.y()))[p.x()];
}

// The point `degrees` clockwise (on screen) from the bottom of the arc's circle.
QPoint onArc(double degrees)
{
    const double a = degrees * kPi / 180.0;
    return QPoint(int(std::lround(225.0 - kRadius * std::sin(a))), int(std::lround(225.0 + kRadius * std::cos(a))));
}

// One drawing pass into a 450 x 450 image first filled with opaque red, so that anything the
// pass leaves untouched shows.
QImage renderPass(MIDIView& view)
{
    QImage image(kSide, kSide, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::red);
    view.render(&image);
    return image;
}

class MIDIViewDrawing : public ::testing::Test {
protected:
    MIDIViewDrawing() : view(QRectF(0, 0, kSide, kSide)) {}
    MIDIView view;
};

TEST_F(MIDIViewDrawing, AtRestWithoutPictureEveryPixelIsTransparent)
{
    view.setIndicatorValue(0.0);
    view.setInfoText(QString());
    const QImage image = renderPass(view);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            ASSERT_EQ(rawPixel(image, {x, y}), 0u) << "at " << x << "," << y;
}

TEST_F(MIDIViewDrawing, KnobPictureFillsTheViewOverATransparentBackground)
{
    view.awakeFromNib(QStringLiteral(BRENNICK_SOURCE_DIR "/resources"));
    ASSERT_FALSE(view.circleImage().isNull());
    EXPECT_EQ(view.circleImage().size(), QSize(512, 512));  // the largest picture of the file
    EXPECT_EQ(view.infoText(), QString(""));
    EXPECT_EQ(view.colval(), 0.0f);
    const QImage image = renderPass(view);
    for (QPoint corner : {QPoint(0, 0), QPoint(449, 0), QPoint(0, 449), QPoint(449, 449)})
        EXPECT_EQ(qAlpha(rawPixel(image, corner)), 0) << corner.x() << "," << corner.y();
    EXPECT_EQ(qAlpha(rawPixel(image, {225, 225})), 255);
}

TEST_F(MIDIViewDrawing, MissingPictureDrawsTheRestAsUsual)
{
    view.awakeFromNib(QStringLiteral("/nonexistent/folder"));
    EXPECT_TRUE(view.circleImage().isNull());
    view.setIndicatorValue(0.5);
    const QImage image = renderPass(view);
    EXPECT_GT(qAlpha(rawPixel(image, onArc(90.0))), 50);
    EXPECT_EQ(qAlpha(rawPixel(image, {0, 0})), 0);
}

// The arc runs clockwise from the bottom; sample its circle every 5 degrees, away from the ends
// (where the shadow blurs the edge).
TEST_F(MIDIViewDrawing, ArcCoversExactlyItsSweepFromTheBottomClockwise)
{
    constexpr double margin = 15.0;
    for (double fraction : {0.0, 0.25, 0.5, 1.0}) {
        view.setIndicatorValue(fraction);
        const QImage image = renderPass(view);
        const double end = 360.0 * fraction;
        for (double deg = 0.0; deg < 360.0; deg += 5.0) {
            const int alpha = qAlpha(rawPixel(image, onArc(deg)));
            const bool inside = fraction >= 1.0 || (deg > margin && deg < end - margin);
            const bool outside = fraction == 0.0 || (deg > end + margin && deg < 360.0 - margin);
            if (inside) {
                EXPECT_GE(alpha, 64) << "fraction " << fraction << " at " << deg << " degrees";
            }
            if (outside) {
                EXPECT_LE(alpha, 2) << "fraction " << fraction << " at " << deg << " degrees";
            }
        }
        // Nothing at the centre or well off the ring.
        EXPECT_EQ(qAlpha(rawPixel(image, {225, 225})), 0);
        EXPECT_EQ(qAlpha(rawPixel(image, {225, 5})), 0);
    }
}

TEST_F(MIDIViewDrawing, ArcIsSixPixelsEitherSideOfItsRadiusPlusShadow)
{
    view.setIndicatorValue(1.0);
    const QImage image = renderPass(view);
    // The leftmost point of the ring: the stroke covers x 51.6 to 63.6 at full arc opacity.
    const int y = 225;
    for (int x = 52; x <= 62; ++x)
        EXPECT_GE(qAlpha(rawPixel(image, {x, y})), 64) << x;
    // The shadow fades out beyond the stroke and the inner disc stays clear.
    const int justOutside = qAlpha(rawPixel(image, {225 - 178, y}));
    EXPECT_GT(justOutside, 0);
    EXPECT_LT(justOutside, 40);
    EXPECT_EQ(qAlpha(rawPixel(image, {225 - 205, y})), 0);
    EXPECT_EQ(qAlpha(rawPixel(image, {225 - 130, y})), 0);
}

// The grey level s1 = sin(pi c) at the pass's phase c shows in the premultiplied colour, which
// the black shadow under the arc leaves alone: 255 * 0.25 * s1.
TEST_F(MIDIViewDrawing, ArcBreathesWithThePhase)
{
    struct Case {
        int passesBefore;
        double greyLevel;
    };
    const Case cases[] = {{0, 0.0}, {5, std::sin(kPi * 0.25)}, {10, 1.0}, {15, std::sin(kPi * 0.75)}};
    for (const Case& c : cases) {
        MIDIView fresh(QRectF(0, 0, kSide, kSide));
        fresh.setIndicatorValue(1.0);
        for (int i = 0; i < c.passesBefore; ++i)
            renderPass(fresh);
        const QImage image = renderPass(fresh);
        const QRgb p = rawPixel(image, onArc(90.0));
        EXPECT_NEAR(qRed(p), 255.0 * 0.25 * c.greyLevel, 1.5) << "after " << c.passesBefore;
        EXPECT_EQ(qRed(p), qGreen(p));
        EXPECT_EQ(qRed(p), qBlue(p));
    }
}

// Lowest and highest luma (Rec. 709 weights, 8-bit levels) of the arc's centre line at `degrees`,
// and how many of those pixels are not opaque (the luma of an opaque one is what shows on any
// desktop).
struct LumaRange {
    double low = 255.0;
    double high = 0.0;
    int translucent = 0;
};
LumaRange lumaAlongArc(const QImage& image, const std::vector<double>& degrees)
{
    LumaRange range;
    for (double deg : degrees) {
        const QRgb p = rawPixel(image, onArc(deg));
        range.translucent += qAlpha(p) < 255 ? 1 : 0;
        const double luma = 0.2126 * qRed(p) + 0.7152 * qGreen(p) + 0.0722 * qBlue(p);
        range.low = std::min(range.low, luma);
        range.high = std::max(range.high, luma);
    }
    return range;
}

// The knob picture's ring must set off the arc at both ends of its breath: black at a quarter
// opacity (phase 0) is darker than the bare ring, white at a quarter opacity (phase 0.5)
// lighter. The bare ring is sampled a little past both ends of the arc, clear of its shadow; a
// closed ring leaves no such place, so there it is the ring of a pass that draws no arc.
TEST(MIDIViewKnob, ArcStandsOutFromTheRingAtBothEndsOfTheBreath)
{
    constexpr double minimumContrast = 25.0;
    constexpr double clear = 15.0;  // degrees past an end of the arc
    struct Case {
        double fraction;
        int passesBefore;
        bool arcLighter;
    };
    const Case cases[] = {{0.25, 0, false}, {0.5, 0, false}, {1.0, 0, false},
                          {0.25, 10, true}, {0.5, 10, true}, {1.0, 10, true}};
    for (const Case& c : cases) {
        MIDIView view(QRectF(0, 0, kSide, kSide));
        view.awakeFromNib(QStringLiteral(BRENNICK_SOURCE_DIR "/resources"));
        view.setIndicatorValue(c.fraction);
        for (int i = 0; i < c.passesBefore; ++i)
            renderPass(view);
        const QImage withArc = renderPass(view);
        view.setIndicatorValue(0.0);
        const QImage bare = renderPass(view);

        const double end = 360.0 * c.fraction;
        std::vector<double> inside;
        for (double deg = clear; deg <= end - clear; deg += 5.0)
            inside.push_back(deg);
        const bool closed = c.fraction >= 1.0;
        const LumaRange arc = lumaAlongArc(withArc, inside);
        const LumaRange ring =
            closed ? lumaAlongArc(bare, inside) : lumaAlongArc(withArc, {end + clear, 360.0 - clear});
        EXPECT_EQ(arc.translucent + ring.translucent, 0) << "fraction " << c.fraction;
        EXPECT_GE(c.arcLighter ? arc.low - ring.high : ring.low - arc.high, minimumContrast)
            << "fraction " << c.fraction << ", phase " << 0.05 * c.passesBefore << std::fixed << std::setprecision(1)
            << ": arc " << arc.low << ".." << arc.high << ", ring " << ring.low << ".." << ring.high;
    }
}

TEST_F(MIDIViewDrawing, PhaseAdvancesPerPassAndWrapsBySubtraction)
{
    EXPECT_EQ(view.colval(), 0.0f);
    renderPass(view);
    EXPECT_FLOAT_EQ(view.colval(), 0.05f);
    for (int i = 1; i < 20; ++i)
        renderPass(view);
    // Twenty steps of 0.05 in single precision overshoot 1 by one unit in the last place.
    EXPECT_GT(view.colval(), 0.0f);
    EXPECT_NEAR(view.colval(), 1.19e-7, 0.01e-7);
}

TEST_F(MIDIViewDrawing, FractionsOutsideOneTurnAreDrawnSafely)
{
    for (double fraction : {1.7, -0.25, double(NAN), double(INFINITY), 1e300}) {
        view.setIndicatorValue(fraction);
        const QImage image = renderPass(view);
        EXPECT_EQ(qAlpha(rawPixel(image, {225, 225})), 0) << fraction;
    }
    view.setIndicatorValue(std::nan(""));
    EXPECT_LE(qAlpha(rawPixel(renderPass(view), onArc(90.0))), 2);
    view.setIndicatorValue(1.7);
    EXPECT_GE(qAlpha(rawPixel(renderPass(view), onArc(270.0))), 64);  // a closed ring
}

TEST(MIDIViewSize, AnySizeIsDrawnSafely)
{
    for (QSize size : {QSize(1, 1), QSize(20, 20), QSize(900, 12), QSize(12, 900), QSize(451, 449)}) {
        MIDIView view(QRectF(QPointF(0, 0), QSizeF(size)));
        view.awakeFromNib(QStringLiteral(BRENNICK_SOURCE_DIR "/resources"));
        view.setIndicatorValue(0.6);
        view.setInfoText(QStringLiteral("Sending a rather long file name.mid to a synth "));
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        view.render(&image);
        view.render(&image);
        EXPECT_FLOAT_EQ(view.colval(), 0.1f) << size.width() << "x" << size.height();
    }
}

TEST(KnobArcGeometry, MatchesTheViewOf450Points)
{
    const KnobGeometry g = knobGeometry(QSizeF(450, 450), 0.25);
    EXPECT_EQ(g.arcCentre, QPointF(225, 225));
    EXPECT_DOUBLE_EQ(g.arcRadius, 167.4);
    EXPECT_DOUBLE_EQ(g.startAngle, 3.5 * kPi);
    EXPECT_DOUBLE_EQ(g.endAngle, 3.0 * kPi);
    EXPECT_NEAR(g.clockwiseSweep(), 0.5 * kPi, 1e-12);
    EXPECT_EQ(g.darkTextRect, QRectF(1, 209, 450, 30));
    EXPECT_EQ(g.lightTextRect, QRectF(0, 211, 450, 30));
    // On Qt's top-left grid the light copy sits 2 above and 1 left of the dark one.
    EXPECT_EQ(flipRect(g.darkTextRect, 450), QRectF(1, 211, 450, 30));
    EXPECT_EQ(flipRect(g.lightTextRect, 450), QRectF(0, 209, 450, 30));
}

TEST(KnobArcGeometry, SweepIsTheFractionOfOneTurnWithinOneTurn)
{
    struct Case {
        double fraction;
        double sweep;
    };
    const Case cases[] = {{0.0, 0.0},  {0.5, kPi}, {1.0, 2 * kPi},  {3.0, 2 * kPi},  {-0.25, 1.5 * kPi},
                          {-1.0, 0.0}, {NAN, 0.0}, {INFINITY, 0.0}, {-INFINITY, 0.0}};
    for (const Case& c : cases)
        EXPECT_NEAR(knobGeometry(QSizeF(450, 450), c.fraction).clockwiseSweep(), c.sweep, 1e-9) << c.fraction;
}

// The light copy is drawn in white and shows in the red channel alone (the dark copy and the
// shadow are black); the dark copy shows as opacity 1 right of and 2 below it.
TEST_F(MIDIViewDrawing, StatusTextIsDrawnTwiceNearTheMiddle)
{
    view.setInfoText(QStringLiteral("HHHH"));
    for (int i = 0; i < 5; ++i)  // to phase 0.25: text opacity 0.55
        renderPass(view);
    const QImage image = renderPass(view);
    QRect light, opaque;
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const QRgb p = rawPixel(image, {x, y});
            if (qRed(p) > 70)
                light |= QRect(x, y, 1, 1);
            if (qAlpha(p) > 70)
                opaque |= QRect(x, y, 1, 1);
        }
    ASSERT_FALSE(light.isEmpty());
    EXPECT_NEAR(light.center().x() + 0.5, 225.0, 1.0);  // centred across the full width
    EXPECT_GE(light.top(), 209);
    EXPECT_LE(light.bottom(), 209 + 30);
    EXPECT_EQ(opaque.top(), light.top());
    EXPECT_EQ(opaque.left(), light.left());
    EXPECT_EQ(opaque.bottom(), light.bottom() + 2);
    EXPECT_EQ(opaque.right(), light.right() + 1);
    // Peak opacity of the text is 0.55.
    int peakRed = 0;
    for (int y = light.top(); y <= light.bottom(); ++y)
        for (int x = light.left(); x <= light.right(); ++x)
            peakRed = std::max(peakRed, qRed(rawPixel(image, {x, y})));
    EXPECT_NEAR(peakRed, 255 * 0.55, 3);
}

// A status line too wide for the knob's cap gives up the middle of its file name first, so
// that "to <destination>" stays; without a usable span, the middle of the line.
TEST(StatusTextFit, TheFileNamesMiddleGivesWayFirst)
{
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(12);
    const QFontMetricsF metrics(font);
    const QString name = QString(40, u'a') + QString(40, u'z') + QStringLiteral(".mid");
    const QString to = QStringLiteral(" to ") + QString(30, u'd');
    const QString sending = QStringLiteral("Sending ") + name + to;
    QString clusters;  // a letter with its accent, and a character outside the BMP
    for (int i = 0; i < 40; ++i)
        clusters += QStringLiteral("e\u0301\U0001F3B9");
    struct Case {
        const char* name;
        QString text;
        TextSpan span;
        QString front, back;  // what the shortened line begins and ends with
    };
    const Case cases[] = {
        {"file name shortened", sending, {8, name.size()}, "Sending a", to},
        {"no span", sending, {}, "Sending a", "ddd"},
        {"span past the end", sending, {8, 1000}, "Sending a", "ddd"},
        {"span before the start", sending, {-5, 10}, "Sending a", "ddd"},
        {"even without its name too wide",
         "Sending " + name + to + to + to,
         {8, name.size()},
         "Sending aaaa\u2026",
         "ddd"},
        {"whole characters only", "<" + clusters + ">", {1, clusters.size()}, "<e\u0301", "\U0001F3B9>"},
    };
    const double width = 300.0;
    for (const Case& c : cases) {
        const QString fitted = fitStatusText(c.text, c.span, metrics, width);
        EXPECT_LE(metrics.horizontalAdvance(fitted), width) << c.name;
        EXPECT_TRUE(fitted.startsWith(c.front) && fitted.endsWith(c.back)) << c.name << ": " << fitted.toStdString();
        EXPECT_TRUE(fitted.contains(QChar(0x2026))) << c.name;
        EXPECT_TRUE(fitted.isValidUtf16()) << c.name;
        EXPECT_FALSE(fitted.contains(QStringLiteral("\u2026\u0301"))) << c.name;
    }
    EXPECT_EQ(fitStatusText(QStringLiteral("Sending a.mid to Carrow "), {8, 5}, metrics, width),
              QStringLiteral("Sending a.mid to Carrow "));
}

TEST_F(MIDIViewDrawing, ALongStatusLineStaysOnTheCap)
{
    const QString name = QString(120, u'n') + QStringLiteral(".mid");
    view.setInfoText(QStringLiteral("Sending ") + name + QStringLiteral(" to Carrow "), {8, name.size()});
    EXPECT_EQ(view.infoText(), QStringLiteral("Sending ") + name + QStringLiteral(" to Carrow "));
    EXPECT_TRUE(view.shownInfoText().endsWith(QStringLiteral(" to Carrow "))) << view.shownInfoText().toStdString();
    const QImage image = renderPass(view);
    const double cap = knobGeometry(QSizeF(kSide, kSide), 0.0).faceRadius;
    int lit = 0;
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            if (qRed(rawPixel(image, {x, y})) > 10) {  // the light copy; the dark one is 1 to the right
                ++lit;
                ASSERT_LT(std::hypot(x + 1.5 - 225.0, y + 0.5 - 225.0), cap) << "at " << x << "," << y;
            }
    EXPECT_GT(lit, 100);
}

TEST_F(MIDIViewDrawing, EmptyTextDrawsNothing)
{
    view.setInfoText(QString());
    view.setIndicatorValue(0.0);
    const QImage image = renderPass(view);
    for (int y = 200; y < 250; ++y)
        for (int x = 0; x < kSide; ++x)
            ASSERT_EQ(qAlpha(rawPixel(image, {x, y})), 0);
}

TEST(MIDIViewRepaint, SettingTextWaitsForTheNextPassClearingRepaints)
{
    MIDIView view(QRectF(100, 100, kSide, kSide));
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QTest::qWait(50);
    const float settled = view.colval();

    view.setInfoText(QStringLiteral("Sending a.mid to Carrow "));
    QTest::qWait(50);
    EXPECT_EQ(view.colval(), settled);
    EXPECT_EQ(view.infoText(), QStringLiteral("Sending a.mid to Carrow "));

    view.clearInfoText();
    QTest::qWait(50);
    EXPECT_NE(view.colval(), settled);
    EXPECT_EQ(view.infoText(), QString(""));

    const float afterClear = view.colval();
    view.setIndicatorValue(0.3);
    QTest::qWait(50);
    EXPECT_NE(view.colval(), afterClear);
}

}  // namespace
}  // namespace brennick

namespace brennick {
namespace {

// What a view keeps between passes must never show after what it was made for has changed:
// a view that drew something else first draws the same as a fresh one.
TEST(MIDIViewCache, ChangesShowAtTheNextPass)
{
    struct State {
        double fraction;
        const char* text;
        bool knob;
    };
    const State states[] = {
        {0.5, "first text", true}, {0.25, "first text", true}, {0.25, "second", true}, {0.25, "second", false},
        {1.0, "", false},          {0.0, "third", true},       {0.9, "third", true},
    };
    MIDIView reused(QRectF(0, 0, kSide, kSide));
    const QString resources = QStringLiteral(BRENNICK_SOURCE_DIR "/resources");
    reused.awakeFromNib(resources);
    const QImage knob = reused.circleImage();
    int passes = 0;
    for (const State& s : states) {
        reused.setIndicatorValue(s.fraction);
        reused.setInfoText(QString::fromLatin1(s.text));
        reused.setCircleImage(s.knob ? knob : QImage());
        const QImage drawn = renderPass(reused);
        ++passes;

        MIDIView fresh(QRectF(0, 0, kSide, kSide));
        fresh.setIndicatorValue(s.fraction);
        fresh.setInfoText(QString::fromLatin1(s.text));
        fresh.setCircleImage(s.knob ? knob : QImage());
        for (int i = 1; i < passes; ++i)  // same phase
            renderPass(fresh);
        EXPECT_EQ(renderPass(fresh), drawn) << s.fraction << " '" << s.text << "' " << s.knob;
    }
}

TEST(MIDIViewCache, NewTextAtARepeatedPhaseIsDrawnAfresh)
{
    MIDIView reused(QRectF(0, 0, kSide, kSide));
    reused.setInfoText(QStringLiteral("first"));
    renderPass(reused);
    for (int i = 1; i < 20; ++i)  // round the breathing cycle to the same opacity
        renderPass(reused);
    reused.setInfoText(QStringLiteral("second"));
    const QImage drawn = renderPass(reused);

    MIDIView fresh(QRectF(0, 0, kSide, kSide));
    fresh.setInfoText(QStringLiteral("second"));
    for (int i = 0; i < 20; ++i)
        renderPass(fresh);
    EXPECT_EQ(renderPass(fresh), drawn);
}

}  // namespace
}  // namespace brennick
