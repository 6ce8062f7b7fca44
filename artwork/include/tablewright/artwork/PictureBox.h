#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

class QPaintEvent;
class QResizeEvent;

namespace tw::artwork {

/// A picture box: a widget that shows a persistent off-screen image as its whole face.
class PictureBox : public QWidget {
    Q_OBJECT

public:
    /// Creates an empty box with a white background and no picture.
    explicit PictureBox(QWidget* parent = nullptr);

    /// The persistent image, kept at the widget's size; drawing into it shows on the next repaint.
    QImage& Image();

    /// Sets the box's own picture, drawn again at the top-left corner whenever the box is cleared.
    void SetPicture(const QImage& picture);

    /// The box's own picture (a null image when it has none).
    const QImage& Picture() const { return picture_; }

    /// Sets the colour that clearing fills the image with.
    void SetBackground(const QColor& colour);

    /// The colour that clearing fills the image with.
    QColor Background() const { return background_; }

    /// Fills the image with the background colour and draws the box's picture at the top left.
    void Clear();

    /// Schedules a repaint that shows the image.
    void Refresh();

protected:
    /// Draws the persistent image.
    void paintEvent(QPaintEvent* event) override;

    /// Grows or shrinks the persistent image with the widget, keeping what was drawn.
    void resizeEvent(QResizeEvent* event) override;

private:
    /// Brings the image to the widget's size: new area shows the background, old pixels stay.
    void SyncImageSize();

    QImage image_;
    QImage picture_;
    QColor background_;
};

} // namespace tw::artwork
