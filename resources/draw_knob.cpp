// Draws the player's knob picture (Knob.icns, several sizes) and its application icon.
// Usage: brennick_draw_knob <output folder> [preview.png]
// Writes <folder>/Knob.icns, the application icon <folder>/brennick-midi-player.png and its
// sizes <folder>/icons/<N>x<N>/brennick-midi-player.png, and the 512-pixel knob as a PNG for
// viewing when a preview path is given.
// The drawing is vector work done afresh at every size, so small sizes stay crisp.

#include <QBuffer>
#include <QConicalGradient>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtEndian>

#include <cmath>
#include <cstdio>
#include <random>

namespace {

constexpr double kPi = 3.141592653589793;

// The view strokes its progress arc at 0.372 of its height, 12 of 450 points wide: the groove
// below sits exactly there.
constexpr double kTrackRadius = 0.372;
constexpr double kTrackWidth = 14.0 / 450.0;

// The track's mid-tone (luma 109): see drawTrack.
constexpr QColor kTrackColour(102, 110, 122);

// The application icon's sizes (the usual icon theme folders) and how far its arc runs.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};
constexpr double kIconArcFraction = 0.68;

QPointF polar(double cx, double cy, double radius, double degreesFromTop)
{
    const double a = degreesFromTop * kPi / 180.0;
    return QPointF(cx + radius * std::sin(a), cy - radius * std::cos(a));
}

// The track under the progress arc, a mid-tone inlay in a dark seat. The arc is black to white
// at a quarter opacity (and its faint shadow darkens what lies under it by about 5 %), so over a
// track of luma L it shows about 0.71 L at the dark end of its breath and 0.71 L + 64 at the
// light end: near L = 110 both ends stand some 32 levels off the bare track. The track is kept
// nearly even all round, since any unevenness eats into that margin.
void drawTrack(QPainter& p, double s, double c)
{
    const QPointF centre(c, c);
    const double radius = kTrackRadius * s;
    const double width = kTrackWidth * s;
    p.setBrush(Qt::NoBrush);

    p.setPen(QPen(QColor(0, 0, 0, 170), width + 0.008 * s, Qt::SolidLine, Qt::FlatCap));
    p.drawEllipse(centre, radius, radius);

    // Opaque, so the desktop behind the window never shifts its tone.
    p.setPen(QPen(kTrackColour, width, Qt::SolidLine, Qt::FlatCap));
    p.drawEllipse(centre, radius, radius);

    // Hairline walls just outside the arc's 12 of 14 points, and light catching the outer lip.
    const double hairline = std::max(0.6, 0.0022 * s);
    p.setPen(QPen(QColor(0, 0, 0, 90), hairline));
    for (double r : {radius - width / 2 + hairline / 2, radius + width / 2 - hairline / 2})
        p.drawEllipse(centre, r, r);
    const double lip = radius + width / 2 + 0.004 * s;
    p.setPen(QPen(QColor(255, 255, 255, 26), hairline));
    p.drawEllipse(centre, lip, lip);
}

void drawFaceplate(QPainter& p, double s, double c)
{
    // A dark round plate, so the arc and text read the same on any desktop.
    QRadialGradient plate(QPointF(c, c * 0.9), 0.5 * s);
    plate.setColorAt(0.0, QColor(44, 46, 52, 240));
    plate.setColorAt(0.85, QColor(22, 23, 27, 240));
    plate.setColorAt(1.0, QColor(12, 12, 15, 245));
    p.setPen(Qt::NoPen);
    p.setBrush(plate);
    p.drawEllipse(QPointF(c, c), 0.478 * s, 0.478 * s);

    // Bevel: light from above on the outer edge.
    QLinearGradient bevel(QPointF(c, c - 0.48 * s), QPointF(c, c + 0.48 * s));
    bevel.setColorAt(0.0, QColor(255, 255, 255, 70));
    bevel.setColorAt(0.5, QColor(255, 255, 255, 10));
    bevel.setColorAt(1.0, QColor(0, 0, 0, 90));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QBrush(bevel), std::max(1.0, 0.006 * s)));
    p.drawEllipse(QPointF(c, c), 0.474 * s, 0.474 * s);

    drawTrack(p, s, c);

    // Scale: 40 ticks around the groove, longer at the quarters, from the bottom (where the arc
    // starts) clockwise.
    if (s < 48)
        return;
    for (int i = 0; i < 40; ++i) {
        const bool major = i % 10 == 0;
        const double angle = 180.0 + i * 9.0;
        const double inner = (major ? 0.408 : 0.414) * s;
        const double outer = (major ? 0.448 : 0.436) * s;
        p.setPen(
            QPen(QColor(230, 232, 236, major ? 150 : 70), (major ? 0.007 : 0.004) * s, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(polar(c, c, inner, angle), polar(c, c, outer, angle));
    }
}

void drawKnob(QPainter& p, double s, double c)
{
    const QPointF centre(c, c);

    // Contact shadow, a little below the knob.
    QRadialGradient shadow(QPointF(c, c + 0.02 * s), 0.345 * s);
    shadow.setColorAt(0.80, QColor(0, 0, 0, 170));
    shadow.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(QPointF(c, c + 0.02 * s), 0.345 * s, 0.345 * s);

    // Knurled skirt: fine ridges catch the light from above.
    const double skirt = 0.318 * s;
    QLinearGradient skirtShade(QPointF(c, c - skirt), QPointF(c, c + skirt));
    skirtShade.setColorAt(0.0, QColor(58, 60, 66));
    skirtShade.setColorAt(1.0, QColor(14, 14, 17));
    p.setBrush(skirtShade);
    p.drawEllipse(centre, skirt, skirt);
    if (s >= 64) {
        const int ridges = 72;
        for (int i = 0; i < ridges; ++i) {
            const double angle = i * 360.0 / ridges;
            const double light = 0.5 + 0.5 * std::cos(angle * kPi / 180.0);  // 1 at the top
            p.setPen(QPen(QColor(255, 255, 255, int(12 + 40 * light)), 0.0045 * s));
            p.drawLine(polar(c, c, 0.293 * s, angle), polar(c, c, skirt - 0.003 * s, angle));
        }
    }

    // Metallic rim: a conical gradient reads as turned, brushed metal.
    const double rimOuter = 0.294 * s;
    const double rimInner = 0.272 * s;
    QConicalGradient metal(centre, 115.0);
    const QColor stops[] = {QColor(232, 234, 238), QColor(120, 124, 132), QColor(206, 209, 214),
                            QColor(86, 89, 96),    QColor(240, 241, 244), QColor(110, 114, 121),
                            QColor(196, 199, 205), QColor(92, 95, 102),   QColor(232, 234, 238)};
    const int stopCount = int(std::size(stops));
    for (int i = 0; i < stopCount; ++i)
        metal.setColorAt(double(i) / (stopCount - 1), stops[i]);
    QPainterPath rim;
    rim.addEllipse(centre, rimOuter, rimOuter);
    rim.addEllipse(centre, rimInner, rimInner);
    p.setPen(Qt::NoPen);
    p.fillPath(rim, metal);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0, 0, 0, 120), std::max(0.6, 0.003 * s)));
    p.drawEllipse(centre, rimOuter, rimOuter);
    p.drawEllipse(centre, rimInner, rimInner);

    // Cap: dark, lit from the upper left.
    QRadialGradient cap(QPointF(c - 0.09 * s, c - 0.11 * s), 0.36 * s);
    cap.setColorAt(0.0, QColor(62, 64, 70));
    cap.setColorAt(0.55, QColor(32, 33, 37));
    cap.setColorAt(1.0, QColor(16, 16, 19));
    p.setPen(Qt::NoPen);
    p.setBrush(cap);
    p.drawEllipse(centre, rimInner, rimInner);

    // Concentric machining marks, barely there.
    if (s >= 128) {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> alpha(3, 11);
        p.setBrush(Qt::NoBrush);
        for (double r = 0.02 * s; r < rimInner - 0.004 * s; r += std::max(1.0, 0.0035 * s)) {
            p.setPen(QPen(QColor(255, 255, 255, alpha(random)), 0.6));
            p.drawEllipse(centre, r, r);
        }
    }

    // Soft specular sheen.
    QRadialGradient sheen(QPointF(c - 0.08 * s, c - 0.14 * s), 0.2 * s);
    sheen.setColorAt(0.0, QColor(255, 255, 255, 34));
    sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sheen);
    p.drawEllipse(centre, rimInner, rimInner);

    // Pointer: an amber line at twelve o'clock, clear of the status text across the middle.
    const QPointF from = polar(c, c, 0.125 * s, 0.0);
    const QPointF to = polar(c, c, 0.248 * s, 0.0);
    for (int glow = 3; glow >= 1; --glow) {
        p.setPen(QPen(QColor(255, 150, 40, 28), (0.014 + 0.012 * glow) * s, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(from, to);
    }
    p.setPen(QPen(QColor(255, 176, 66), std::max(1.0, 0.016 * s), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(from, to);
    p.setPen(QPen(QColor(255, 232, 190, 200), std::max(0.5, 0.005 * s), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(from, to);
}

// The icon shows the knob as it looks while playing: an amber arc part way round the track,
// from the bottom clockwise.
void drawProgress(QPainter& p, double c, double radius, double width, double arcFraction)
{
    if (arcFraction <= 0.0)
        return;
    const QRectF box(c - radius, c - radius, 2 * radius, 2 * radius);
    QPainterPath arc;
    arc.arcMoveTo(box, 270.0);
    arc.arcTo(box, 270.0, -360.0 * arcFraction);
    p.setPen(QPen(QColor(255, 160, 50), width, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arc);
}

// Below 48 pixels the full art's track would be a pixel or two and its rim and pointer a blur:
// there the knob is drawn in a few bold rings, each a whole number of pixels wide so that its
// edges fall between pixels as far as a circle allows.
void drawSmallPicture(QPainter& p, double s, double arcFraction)
{
    const double c = s / 2.0;
    const QPointF centre(c, c);
    const auto pixels = [s](double fraction, double least) { return std::max(least, std::round(fraction * s)); };

    QRadialGradient plate(QPointF(c, c * 0.8), 0.6 * s);
    plate.setColorAt(0.0, QColor(50, 52, 58));
    plate.setColorAt(1.0, QColor(16, 17, 20));
    p.setPen(QPen(QColor(150, 154, 162), 1.0));  // an edge that shows on dark panels too
    p.setBrush(plate);
    p.drawEllipse(centre, c - 0.5, c - 0.5);

    const double trackWidth = pixels(0.14, 2.0);
    const double trackOuter = c - 1.0 - pixels(0.06, 1.0);
    const double trackRadius = trackOuter - trackWidth / 2;
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kTrackColour, trackWidth, Qt::SolidLine, Qt::FlatCap));
    p.drawEllipse(centre, trackRadius, trackRadius);
    drawProgress(p, c, trackRadius, trackWidth, arcFraction);

    // Cap with a bright turned rim, and the amber pointer at twelve o'clock, two pixels wide
    // about the centre (which lies between pixels at every even size).
    const double cap = trackOuter - trackWidth - pixels(0.06, 1.0);
    const double face = cap - pixels(0.05, 1.0);
    QLinearGradient rim(QPointF(c, c - cap), QPointF(c, c + cap));
    rim.setColorAt(0.0, QColor(236, 238, 242));
    rim.setColorAt(1.0, QColor(120, 124, 132));
    p.setPen(Qt::NoPen);
    p.setBrush(rim);
    p.drawEllipse(centre, cap, cap);
    p.setBrush(QColor(30, 31, 35));
    p.drawEllipse(centre, face, face);
    p.setPen(QPen(QColor(255, 176, 66), 2.0, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(c, c - std::round(0.2 * face)), QPointF(c, c - face));
}

QImage drawPicture(int size, double arcFraction)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    const double c = s / 2.0;
    if (size < 48) {
        drawSmallPicture(p, s, arcFraction);
        return image;
    }
    drawFaceplate(p, s, c);
    drawProgress(p, c, kTrackRadius * s, kTrackWidth * 0.9 * s, arcFraction);
    drawKnob(p, s, c);
    return image;
}

// One ICNS element per size from Qt's writer, gathered into one file: the writer stores a
// single picture per file.
QByteArray icnsWithSizes(const QList<int>& sizes)
{
    QByteArray elements;
    for (int size : sizes) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "icns");
        if (!writer.write(drawPicture(size, 0.0))) {
            std::fprintf(stderr, "cannot write a %d-pixel ICNS element: %s\n", size, qPrintable(writer.errorString()));
            return {};
        }
        const QByteArray one = buffer.data();
        if (one.size() <= 8 || !one.startsWith("icns"))
            return {};
        elements += one.mid(8);  // drop the file header: magic and total length
    }
    QByteArray file("icns");
    quint32 total = qToBigEndian(quint32(8 + elements.size()));
    file.append(reinterpret_cast<const char*>(&total), 4);
    return file + elements;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <output folder> [preview.png]\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QByteArray icns = icnsWithSizes({16, 32, 64, 128, 256, 512});
    if (icns.isEmpty() || !writeFile(out.filePath("Knob.icns"), icns)) {
        std::fprintf(stderr, "cannot write Knob.icns\n");
        return 1;
    }
    // The picture beside the others is the icon the desktop entry installs; the icons/ set
    // covers the sizes of the desktop's icon themes.
    if (!drawPicture(256, kIconArcFraction).save(out.filePath("brennick-midi-player.png"))) {
        std::fprintf(stderr, "cannot write brennick-midi-player.png\n");
        return 1;
    }
    for (int size : kIconSizes) {
        const QString folder = QStringLiteral("icons/%1x%1").arg(size);
        if (!out.mkpath(folder) ||
            !drawPicture(size, kIconArcFraction).save(out.filePath(folder + "/brennick-midi-player.png"))) {
            std::fprintf(stderr, "cannot write the %d-pixel icon\n", size);
            return 1;
        }
    }
    if (argc == 3 && !drawPicture(512, 0.0).save(QString::fromLocal8Bit(argv[2]))) {
        std::fprintf(stderr, "cannot write the preview\n");
        return 1;
    }
    return 0;
}
