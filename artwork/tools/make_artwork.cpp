// Draws the wizard's bitmaps with QPainter and writes them as PNG files into a folder.
//
// The PNGs under artwork/resources/ are this program's output and are checked in; regenerate
// them with
//
//     cmake --build BUILD_DIR --target tw_artwork_regenerate
//
// which builds this tool and runs it on artwork/resources/ and artwork/icons/ (the application
// icon in the sizes a desktop shows, laid out as an icon theme: hicolor/NxN/apps/tablewright.png,
// installed as it is). The drawing uses only vector shapes and gradients (no text, no fonts), so
// the same Qt version gives the same pixels.

#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

#include <cstdio>
#include <functional>

namespace {

// A calm palette: deep and soft blues, a grey-blue for outlines, one green for success.
const QColor kInk(0x23, 0x4b, 0x74);
const QColor kBlue(0x3a, 0x78, 0xb5);
const QColor kSky(0x8c, 0xb8, 0xe0);
const QColor kMist(0xdc, 0xea, 0xf6);
const QColor kSteel(0x6f, 0x86, 0x9c);
const QColor kGreen(0x3f, 0x9b, 0x6a);
const QColor kAmber(0xe0, 0xa2, 0x3a);

// A database cylinder filling `box`, shaded from `light` to `dark`, with two ring bands drawn
// `line` wide.
void DrawCylinder(QPainter& p, const QRectF& box, const QColor& light, const QColor& dark,
                  const QColor& outline, qreal line = 1.0) {
    const qreal eh = box.width() * 0.34;
    const QRectF top(box.left(), box.top(), box.width(), eh);
    const QRectF bottom(box.left(), box.bottom() - eh, box.width(), eh);

    QPainterPath body;
    body.moveTo(box.left(), box.top() + eh / 2);
    body.lineTo(box.left(), box.bottom() - eh / 2);
    body.arcTo(bottom, 180, 180);
    body.lineTo(box.right(), box.top() + eh / 2);
    body.arcTo(top, 0, -180);
    body.closeSubpath();

    QLinearGradient side(box.left(), 0, box.right(), 0);
    side.setColorAt(0.0, dark);
    side.setColorAt(0.35, light);
    side.setColorAt(1.0, dark);
    p.setPen(QPen(outline, line));
    p.setBrush(side);
    p.drawPath(body);

    // Two rings across the body, each the lower half of an ellipse.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(light.lighter(115), line));
    for (const qreal f : {0.38, 0.66}) {
        const qreal y = box.top() + (box.height() - eh) * f;
        p.drawArc(QRectF(box.left() + 0.5, y, box.width() - 1, eh), 180 * 16, 180 * 16);
    }

    QLinearGradient lid(top.topLeft(), top.bottomRight());
    lid.setColorAt(0.0, light.lighter(135));
    lid.setColorAt(1.0, light);
    p.setPen(QPen(outline, line));
    p.setBrush(lid);
    p.drawEllipse(top);
}

// A right-pointing arrow in `box`, shaft half as high as the head.
void DrawArrow(QPainter& p, const QRectF& box, const QColor& from, const QColor& to) {
    const qreal head = box.height() * 0.9;
    const qreal shaft = box.height() * 0.42;
    const qreal cy = box.center().y();
    QPainterPath arrow;
    arrow.moveTo(box.left(), cy - shaft / 2);
    arrow.lineTo(box.right() - head, cy - shaft / 2);
    arrow.lineTo(box.right() - head, box.top());
    arrow.lineTo(box.right(), cy);
    arrow.lineTo(box.right() - head, box.bottom());
    arrow.lineTo(box.right() - head, cy + shaft / 2);
    arrow.lineTo(box.left(), cy + shaft / 2);
    arrow.closeSubpath();
    QLinearGradient fill(box.left(), 0, box.right(), 0);
    fill.setColorAt(0, from);
    fill.setColorAt(1, to);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPath(arrow);
}

// A server: a rounded case with `units` drawer slots, each with a small lamp.
void DrawServer(QPainter& p, const QRectF& box, int units) {
    QLinearGradient body(box.topLeft(), box.topRight());
    body.setColorAt(0, QColor(0x5d, 0x7a, 0x98));
    body.setColorAt(0.45, QColor(0x8f, 0xa9, 0xc2));
    body.setColorAt(1, QColor(0x4e, 0x68, 0x84));
    p.setPen(QPen(kInk, 1));
    p.setBrush(body);
    p.drawRoundedRect(box, 2.5, 2.5);

    const qreal margin = box.width() * 0.14;
    const qreal slot_h = (box.height() - margin * 2) / units;
    for (int i = 0; i < units; ++i) {
        const QRectF slot(box.left() + margin, box.top() + margin + i * slot_h + 1,
                          box.width() - 2 * margin, slot_h - 2);
        QLinearGradient face(slot.topLeft(), slot.bottomLeft());
        face.setColorAt(0, QColor(0xe9, 0xf1, 0xf8));
        face.setColorAt(1, QColor(0xb9, 0xcb, 0xdc));
        p.setPen(QPen(QColor(0x3e, 0x56, 0x70), 0.8));
        p.setBrush(face);
        p.drawRect(slot);
        const qreal lamp = qMax<qreal>(2.0, slot.height() * 0.36);
        p.setPen(Qt::NoPen);
        p.setBrush(i == 0 ? kGreen.lighter(130) : kSky);
        p.drawEllipse(QRectF(slot.right() - lamp - 2, slot.center().y() - lamp / 2, lamp, lamp));
        p.setPen(QPen(QColor(0x7f, 0x95, 0xab), 1));
        p.drawLine(QPointF(slot.left() + 2.5, slot.center().y()),
                   QPointF(slot.right() - lamp - 4.5, slot.center().y()));
    }
}

// A sheet with a header row and a grid of cells: a database table.
void DrawTable(QPainter& p, const QRectF& box, int columns, int rows) {
    p.setPen(QPen(kSteel, 1));
    p.setBrush(Qt::white);
    p.drawRect(box);
    const qreal row_h = box.height() / (rows + 1);
    QLinearGradient head(box.topLeft(), QPointF(box.left(), box.top() + row_h));
    head.setColorAt(0, kBlue.lighter(125));
    head.setColorAt(1, kBlue);
    p.setPen(Qt::NoPen);
    p.setBrush(head);
    p.drawRect(QRectF(box.left() + 0.5, box.top() + 0.5, box.width() - 1, row_h));
    p.setBrush(kMist);
    for (int r = 2; r <= rows; r += 2) {
        p.drawRect(QRectF(box.left() + 0.5, box.top() + r * row_h, box.width() - 1, row_h));
    }
    p.setPen(QPen(kSky, 1));
    for (int r = 1; r <= rows; ++r) {
        const qreal y = box.top() + r * row_h;
        p.drawLine(QPointF(box.left() + 0.5, y), QPointF(box.right() - 0.5, y));
    }
    for (int c = 1; c < columns; ++c) {
        const qreal x = box.left() + c * box.width() / columns;
        p.drawLine(QPointF(x, box.top() + row_h), QPointF(x, box.bottom() - 0.5));
    }
    p.setPen(QPen(kSteel, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(box);
}

// A round badge with a white check mark.
void DrawCheckBadge(QPainter& p, const QRectF& box) {
    QRadialGradient shade(box.center() - QPointF(box.width() * 0.18, box.height() * 0.2),
                          box.width() * 0.7);
    shade.setColorAt(0, kGreen.lighter(150));
    shade.setColorAt(1, kGreen.darker(115));
    p.setPen(QPen(kGreen.darker(140), 1));
    p.setBrush(shade);
    p.drawEllipse(box);
    QPainterPath tick;
    tick.moveTo(box.left() + box.width() * 0.27, box.top() + box.height() * 0.53);
    tick.lineTo(box.left() + box.width() * 0.44, box.top() + box.height() * 0.70);
    tick.lineTo(box.left() + box.width() * 0.75, box.top() + box.height() * 0.34);
    p.setPen(QPen(Qt::white, box.width() * 0.12, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
}

// A warning sign: an amber triangle with rounded corners and a dark exclamation mark.
void DrawWarningBadge(QPainter& p, const QRectF& box) {
    QPainterPath sign;
    sign.moveTo(box.center().x(), box.top() + 0.5);
    sign.lineTo(box.right() - 0.5, box.bottom() - 0.5);
    sign.lineTo(box.left() + 0.5, box.bottom() - 0.5);
    sign.closeSubpath();
    QLinearGradient shade(box.topLeft(), box.bottomLeft());
    shade.setColorAt(0, kAmber.lighter(135));
    shade.setColorAt(1, kAmber.darker(105));
    p.setPen(QPen(kAmber.darker(160), 1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(shade);
    p.drawPath(sign);
    const qreal x = box.center().x();
    p.setPen(QPen(kInk.darker(130), box.width() * 0.12, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(x, box.top() + box.height() * 0.36),
               QPointF(x, box.top() + box.height() * 0.64));
    p.setPen(Qt::NoPen);
    p.setBrush(kInk.darker(130));
    const qreal dot = box.width() * 0.13;
    p.drawEllipse(QPointF(x, box.top() + box.height() * 0.80), dot / 2 + 0.3, dot / 2 + 0.3);
}

// Runs `draw` on a white canvas of the given size with antialiasing on.
QImage Canvas(int width, int height, const std::function<void(QPainter&)>& draw,
              const QColor& fill = Qt::white) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    p.end();
    return image;
}

// Step 0: the Access source, a database cylinder.
QImage SourcePicture() {
    return Canvas(39, 39, [](QPainter& p) {
        DrawCylinder(p, QRectF(7.5, 3.5, 24, 32), kSky.lighter(110), kBlue, kInk);
    });
}

// Step 1: the MySQL destination, an arrow into a server.
QImage DestinationPicture() {
    return Canvas(57, 44, [](QPainter& p) {
        DrawCylinder(p, QRectF(2.5, 11.5, 15, 21), kSky.lighter(110), kBlue, kInk);
        DrawArrow(p, QRectF(20, 16, 15, 12), kSky, kBlue);
        DrawServer(p, QRectF(37.5, 3.5, 17, 37), 3);
    });
}

// Step 2: the tables and options, a table grid with a tick box beside it.
QImage TablesPicture() {
    return Canvas(37, 33, [](QPainter& p) {
        DrawTable(p, QRectF(3.5, 3.5, 29, 24), 3, 4);
        p.setPen(QPen(kInk, 1));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(22.5, 18.5, 12, 12));
        p.setPen(QPen(kGreen, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath tick;
        tick.moveTo(25, 24.5);
        tick.lineTo(27.8, 27.3);
        tick.lineTo(32.5, 21);
        p.setBrush(Qt::NoBrush);
        p.drawPath(tick);
    });
}

// Step 3: the conversion, two cylinders joined by an arrow over a progress bar.
QImage ConversionPicture() {
    return Canvas(43, 38, [](QPainter& p) {
        DrawCylinder(p, QRectF(2.5, 3.5, 12, 17), kSky.lighter(110), kBlue, kInk);
        DrawArrow(p, QRectF(16, 8, 11, 9), kSky, kBlue);
        DrawCylinder(p, QRectF(28.5, 3.5, 12, 17), QColor(0xb5, 0xd9, 0xc4), kGreen, kInk);
        const QRectF bar(2.5, 26.5, 38, 8);
        p.setPen(QPen(kSteel, 1));
        p.setBrush(kMist);
        p.drawRoundedRect(bar, 2, 2);
        QLinearGradient done(0, bar.top(), 0, bar.bottom());
        done.setColorAt(0, kSky);
        done.setColorAt(1, kBlue);
        p.setPen(Qt::NoPen);
        p.setBrush(done);
        p.drawRoundedRect(QRectF(bar.left() + 1.5, bar.top() + 1.5, 22, bar.height() - 3), 1, 1);
    });
}

// Step 4: finished, a database with a check badge.
QImage FinishedPicture() {
    return Canvas(41, 38, [](QPainter& p) {
        DrawCylinder(p, QRectF(4.5, 2.5, 22, 30), kSky.lighter(110), kBlue, kInk);
        DrawCheckBadge(p, QRectF(20.5, 17.5, 18, 18));
    });
}

// Finished with failures: the same database with a warning sign in place of the check badge.
QImage WarningPicture() {
    return Canvas(41, 38, [](QPainter& p) {
        DrawCylinder(p, QRectF(4.5, 2.5, 22, 30), kSky.lighter(110), kBlue, kInk);
        DrawWarningBadge(p, QRectF(19.5, 16.5, 20, 19));
    });
}

// The welcome page's 162 x 310 picture: a quiet blue band with the database-to-server motif.
QImage WelcomePicture() {
    return Canvas(162, 310, [](QPainter& p) {
        QLinearGradient sky(0, 0, 0, 310);
        sky.setColorAt(0.0, QColor(0x1d, 0x46, 0x72));
        sky.setColorAt(0.55, QColor(0x2f, 0x6a, 0xa3));
        sky.setColorAt(1.0, QColor(0x7f, 0xb0, 0xdc));
        p.fillRect(QRect(0, 0, 162, 310), sky);

        // Large, faint circles give depth without drawing the eye.
        p.setPen(Qt::NoPen);
        for (const auto& [cx, cy, r, a] :
             {std::tuple{150.0, 40.0, 90.0, 18}, std::tuple{10.0, 250.0, 110.0, 14},
              std::tuple{120.0, 300.0, 60.0, 12}}) {
            p.setBrush(QColor(255, 255, 255, a));
            p.drawEllipse(QPointF(cx, cy), r, r);
        }

        // Soft shadows ground the two shapes on the band.
        for (const QRectF& shadow : {QRectF(46, 116, 68, 14), QRectF(44, 277, 74, 12)}) {
            QRadialGradient fall(shadow.center(), shadow.width() / 2);
            fall.setColorAt(0, QColor(8, 24, 44, 90));
            fall.setColorAt(1, QColor(8, 24, 44, 0));
            p.save();
            p.translate(shadow.center());
            p.scale(1, shadow.height() / shadow.width());
            p.translate(-shadow.center());
            p.setBrush(fall);
            p.drawEllipse(shadow.center(), shadow.width() / 2, shadow.width() / 2);
            p.restore();
        }

        // The Access database above, the MySQL server below, a dotted flow between them.
        DrawCylinder(p, QRectF(51.5, 48.5, 58, 74), QColor(0xf4, 0xf8, 0xfc),
                     QColor(0xa9, 0xc6, 0xe2), QColor(0x17, 0x38, 0x5c));
        for (int i = 0; i < 5; ++i) {
            const int a = 110 + i * 28;
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 255, 255, a));
            p.drawEllipse(QPointF(80.5, 138 + i * 10), 2.6, 2.6);
        }
        QPainterPath head;
        head.moveTo(70.5, 188);
        head.lineTo(90.5, 188);
        head.lineTo(80.5, 200);
        head.closeSubpath();
        p.setBrush(Qt::white);
        p.drawPath(head);
        DrawServer(p, QRectF(50.5, 208.5, 60, 74), 4);

        // A soft light edge on the right where the picture meets the white page.
        QLinearGradient edge(150, 0, 162, 0);
        edge.setColorAt(0, QColor(255, 255, 255, 0));
        edge.setColorAt(1, QColor(255, 255, 255, 40));
        p.fillRect(QRect(150, 0, 12, 310), edge);
    });
}

// The window icon, a small database cylinder with an arrow, drawn on a 16 x 16 grid and scaled to
// `size` pixels. Its lines are one pixel wide up to 32 pixels and grow more slowly than the
// shapes above that, so that large icons do not look drawn with a marker.
QImage IconPicture(int size = 16) {
    const qreal scale = size / 16.0;
    const qreal line = qMax<qreal>(1.0, size / 32.0) / scale;
    return Canvas(
        size, size,
        [scale, line](QPainter& p) {
            p.scale(scale, scale);
            DrawCylinder(p, QRectF(0.5, 0.5, 11, 14), kSky.lighter(110), kBlue, kInk, line);
            // The arrow sits on a white halo so that it stays apart from the cylinder.
            QPainterPath arrow;
            arrow.moveTo(7, 9.5);
            arrow.lineTo(10.5, 9.5);
            arrow.lineTo(10.5, 7);
            arrow.lineTo(15, 11);
            arrow.lineTo(10.5, 15);
            arrow.lineTo(10.5, 12.5);
            arrow.lineTo(7, 12.5);
            arrow.closeSubpath();
            p.setPen(QPen(Qt::white, 1.2 * line, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
            p.setBrush(kAmber);
            p.drawPath(arrow);
        },
        Qt::transparent);
}

// Writes `image` to folder/name; the bitmaps are opaque 24-bit, the icon keeps transparency.
bool Save(const QImage& image, const QDir& folder, const QString& name, bool opaque) {
    const QImage out = opaque ? image.convertToFormat(QImage::Format_RGB888)
                              : image.convertToFormat(QImage::Format_ARGB32);
    const QString path = folder.filePath(name);
    if (!out.save(path, "PNG")) {
        std::fprintf(stderr, "make_artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s %dx%d\n", qPrintable(path), out.width(), out.height());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: make_artwork OUTPUT_FOLDER [ICON_FOLDER]\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.exists()) {
        std::fprintf(stderr, "make_artwork: %s is not a folder\n", argv[1]);
        return 2;
    }
    bool ok = true;
    ok &= Save(SourcePicture(), folder, QStringLiteral("101.png"), true);
    ok &= Save(DestinationPicture(), folder, QStringLiteral("102.png"), true);
    ok &= Save(TablesPicture(), folder, QStringLiteral("103.png"), true);
    ok &= Save(ConversionPicture(), folder, QStringLiteral("104.png"), true);
    ok &= Save(FinishedPicture(), folder, QStringLiteral("105.png"), true);
    ok &= Save(WarningPicture(), folder, QStringLiteral("warning.png"), true);
    ok &= Save(WelcomePicture(), folder, QStringLiteral("welcome.png"), true);
    ok &= Save(IconPicture(), folder, QStringLiteral("icon16.png"), false);
    if (argc == 3) {
        // The application icon for menus and launchers, in the sizes of the hicolor theme.
        for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
            const QString apps = QStringLiteral("hicolor/%1x%1/apps").arg(size);
            QDir icons(QString::fromLocal8Bit(argv[2]));
            if (!icons.mkpath(apps)) {
                std::fprintf(stderr, "make_artwork: cannot make %s/%s\n", argv[2],
                             qPrintable(apps));
                return 1;
            }
            icons.cd(apps);
            ok &= Save(IconPicture(size), icons, QStringLiteral("tablewright.png"), false);
        }
    }
    return ok ? 0 : 1;
}
