#pragma once

#include "tablewright/artwork/PictureBox.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QString>

#include <cstdint>

class QPainter;
class QRadioButton;
class QWidget;

/// The wizard's painting routines: the window's title rule, the welcome page and the header band.
namespace tw::artwork::Mod_Functions {

/// Draws `text` with the painter's font and pen colour into the rectangle, left-aligned from
/// its top, wrapping at word boundaries and line breaks, clipped to the rectangle.
void DrawTextInRect(QPainter& dc, const QString& text, int left, int top, int right, int bottom);

/// Draws a solid line of `width` from (x1, y1) towards (x2, y2), each rounded to the nearest
/// pixel; the end point itself is not painted.
void DrawLine(QPainter& dc, float x1, float y1, float x2, float y2, const QColor& colour,
              int width);

/// Copies `picture` into the rectangle at (x, y); a width or height of 0 is first set to the
/// picture's own.
void StretchPicture(QPainter& dc, int x, int y, const QImage& picture, int& width, int& height);

/// Paints the title and its etched rule into `background`, the window's persistent image
/// (sized to its client area), and repaints the window.
void PaintForm(QWidget& window, QImage& background);

/// Paints the welcome page into `PicWelcome` (made 313 pixels high), places the three scenario
/// options (appending elements 1 and 2 to `OptScenario`) and selects option 0.
void PaintWelcome(PictureBox& PicWelcome, QList<QRadioButton*>& OptScenario);

/// The subtitle of the finished header after a run with failures.
inline constexpr const char16_t* kFailureSubtitle = u"转换完成，但有错误，请查看日志。";

/// Paints the header band of `step` (0 to 4) into `PicHeader` (made 60 pixels high); step 5 is
/// the finished header of a run with failures: the warning picture and kFailureSubtitle.
void PaintHeader(PictureBox& PicHeader, std::int16_t step);

} // namespace tw::artwork::Mod_Functions
