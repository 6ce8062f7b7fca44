#include "tablewright/artwork/Mod_Functions.h"

#include "tablewright/artwork/Fonts.h"
#include "tablewright/artwork/Resources.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPalette>
#include <QRadioButton>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace tw::artwork::Mod_Functions {

namespace {

// The window's title; its five trailing blanks count in the measured width.
const QString kFormTitle = QStringLiteral("Tablewright 向导     ");

// `base` with the given boldness and, when `points` is positive, that size; sizes are pixels
// of a 96 dpi layout whatever the painted image reports.
QFont PaintFont(const QFont& base, double points, bool bold) {
    QFont font = base;
    if (points > 0) {
        font.setPixelSize(PixelsAt96Dpi(points));
    } else if (font.pixelSize() <= 0) {
        font.setPixelSize(PixelsAt96Dpi(font.pointSizeF()));
    }
    font.setBold(bold);
    return font;
}

// The object name of element `index` of a control array whose element 0 is called `first`:
// the array's name and "_index" ("OptScenario_0" gives "OptScenario_2").
QString ElementName(const QString& first, int index) {
    QString base = first;
    if (base.endsWith(QStringLiteral("_0"))) {
        base.chop(2);
    }
    return base + QLatin1Char('_') + QString::number(index);
}

// Rounds half-way values to even, as the conversion of a single to a whole number does.
int Nearest(float value) {
    return static_cast<int>(std::nearbyint(value));
}

} // namespace

void DrawTextInRect(QPainter& dc, const QString& text, int left, int top, int right, int bottom) {
    if (right <= left || bottom <= top) {
        return;
    }
    const QRect rect(QPoint(left, top), QPoint(right - 1, bottom - 1));
    // The rectangles are made for fonts that reserve about one em above the baseline; CJK
    // faces reserve more (Noto Sans CJK 1.16 em), which would push the glyphs' feet out of a
    // one-line rectangle. The first baseline therefore lies at most one em below the top.
    const int lift = std::max(0, dc.fontMetrics().ascent() - dc.fontInfo().pixelSize());
    dc.save();
    dc.setClipRect(rect, dc.hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);
    dc.setBackgroundMode(Qt::TransparentMode);
    dc.drawText(rect.adjusted(0, -lift, 0, 0),
                Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextDontClip, text);
    dc.restore();
}

void DrawLine(QPainter& dc, float x1, float y1, float x2, float y2, const QColor& colour,
              int width) {
    dc.save();
    dc.setRenderHint(QPainter::Antialiasing, false);
    // A flat cap leaves the end point unpainted, as the platform's line drawing does.
    dc.setPen(QPen(colour, width, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    dc.drawLine(QPoint(Nearest(x1), Nearest(y1)), QPoint(Nearest(x2), Nearest(y2)));
    dc.restore();
}

void StretchPicture(QPainter& dc, int x, int y, const QImage& picture, int& width, int& height) {
    if (width == 0) {
        width = picture.width();
    }
    if (height == 0) {
        height = picture.height();
    }
    if (picture.isNull()) {
        return;
    }
    dc.save();
    // A plain copy: the picture's pixels replace the target's, nothing is blended or smoothed.
    dc.setCompositionMode(QPainter::CompositionMode_Source);
    dc.setRenderHint(QPainter::SmoothPixmapTransform, false);
    dc.drawImage(QRect(x, y, width, height), picture, picture.rect());
    dc.restore();
}

void PaintForm(QWidget& window, QImage& background) {
    const QSize client = window.size();
    if (background.size() != client || background.format() != QImage::Format_RGB32) {
        background = QImage(client, QImage::Format_RGB32);
    }
    if (background.isNull()) {
        return;
    }
    background.fill(window.palette().color(QPalette::Button));

    QPainter dc(&background);
    const QFont font = PaintFont(window.font(), 8, false);
    dc.setFont(font);
    const int xe =
        static_cast<int>(std::lround(QFontMetricsF(font).horizontalAdvance(kFormTitle) + 19));

    dc.setPen(QColor(255, 255, 255));
    DrawTextInRect(dc, kFormTitle, 17, 297, xe, 309);
    dc.setPen(window.palette().color(QPalette::Highlight));
    DrawTextInRect(dc, kFormTitle, 16, 296, xe, 309);

    const int inner_width = background.width();
    DrawLine(dc, float(xe), 305, float(inner_width - 16), 305, QColor(255, 255, 255), 1);
    DrawLine(dc, float(xe), 304, float(inner_width - 15), 304, QColor(154, 156, 158), 1);
    dc.end();
    window.update();
}

void PaintWelcome(PictureBox& PicWelcome, QList<QRadioButton*>& OptScenario) {
    if (PicWelcome.Picture().isNull()) {
        PicWelcome.SetPicture(WelcomePicture());
    }
    PicWelcome.Clear();
    PicWelcome.setFixedHeight(313);

    QImage& image = PicWelcome.Image();
    if (image.isNull()) {
        return;
    }
    QPainter dc(&image);
    const int w = image.width();
    const int h = image.height();
    DrawLine(dc, 0, float(h - 1), float(w), float(h - 1), QColor(154, 154, 156), 1);

    dc.setFont(PaintFont(PicWelcome.font(), 13, true));
    dc.setPen(QColor(0, 0, 0));
    DrawTextInRect(dc, LoadResString(102), 175, 15, 400, 90);

    dc.setFont(PaintFont(PicWelcome.font(), 8, false));
    DrawTextInRect(dc, LoadResString(103), 175, 80, 470, 500);
    DrawTextInRect(dc, LoadResString(104), 175, 130, 460, 220);
    DrawTextInRect(dc, LoadResString(105), 175, 230, 470, 246);

    if (!OptScenario.isEmpty() && OptScenario.front() != nullptr) {
        QRadioButton* first = OptScenario.front();
        first->setText(LoadResString(106));
        // The rows lie 16 pixels apart; a style whose indicator does not fit the designed
        // height gets the whole row, so that no option is cut off.
        const int height = std::max(first->height(), std::min(first->sizeHint().height(), 16));
        first->setGeometry(176, 250, 250, height);
        const int tops[] = {266, 282};
        const int captions[] = {107, 108};
        for (int i = 0; i < 2; ++i) {
            // A new element takes over the first one's name, font, colours and geometry.
            auto* option = new QRadioButton(first->parentWidget());
            option->setObjectName(ElementName(first->objectName(), int(OptScenario.size())));
            option->setFont(first->font());
            option->setPalette(first->palette());
            option->setAutoFillBackground(first->autoFillBackground());
            option->setGeometry(first->geometry());
            option->setText(LoadResString(captions[i]));
            option->move(first->x(), tops[i]);
            option->setVisible(true);
            OptScenario.append(option);
        }
        first->setChecked(true);
    }

    DrawLine(dc, 0, 311, float(w), 311, QColor(145, 154, 156), 1);
    dc.end();
    PicWelcome.Refresh();
}

void PaintHeader(PictureBox& PicHeader, std::int16_t step) {
    PicHeader.Clear();
    PicHeader.setFixedHeight(60);

    QImage& image = PicHeader.Image();
    if (image.isNull()) {
        return;
    }
    QPainter dc(&image);
    // After a run with failures the finished header warns instead of ticking.
    const bool failures = step == 5;
    if (failures)
        step = 4;
    const QImage picture = failures ? WarningPicture() : LoadResPicture(101 + step);
    if (!picture.isNull()) {
        int width = 0;
        int height = 0;
        StretchPicture(dc, step == 1 ? 420 : 440, 10, picture, width, height);
    }
    const int w = image.width();
    const int h = image.height();
    DrawLine(dc, 0, float(h - 1), float(w), float(h - 1), QColor(146, 154, 158), 1);

    dc.setPen(PicHeader.palette().color(PicHeader.foregroundRole()));
    dc.setFont(PaintFont(PicHeader.font(), 0, true));
    const QString title = LoadResString(109 + step);
    if (!title.isNull()) {
        DrawTextInRect(dc, title, 22, 12, 400, 25);
    }
    dc.setFont(PaintFont(PicHeader.font(), 0, false));
    // There is no subtitle for the finished state (step 4): its string does not exist.
    const QString subtitle =
        failures ? QString::fromUtf16(kFailureSubtitle) : LoadResString(114 + step);
    if (!subtitle.isNull()) {
        DrawTextInRect(dc, subtitle, 32, 28, 500, 60);
    }
    dc.end();
    PicHeader.Refresh();
}

} // namespace tw::artwork::Mod_Functions
