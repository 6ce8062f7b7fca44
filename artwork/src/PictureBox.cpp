#include "tablewright/artwork/PictureBox.h"

#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

namespace tw::artwork {

PictureBox::PictureBox(QWidget* parent) : QWidget(parent), background_(Qt::white) {
    // The image covers every pixel, so Qt need not erase the widget before painting it.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QImage& PictureBox::Image() {
    // A widget that is not shown yet receives its resize event only when shown; sizing here
    // keeps the image in step with setFixedHeight or resize at any time.
    SyncImageSize();
    return image_;
}

void PictureBox::SetPicture(const QImage& picture) {
    picture_ = picture;
}

void PictureBox::SetBackground(const QColor& colour) {
    background_ = colour;
}

void PictureBox::Clear() {
    SyncImageSize();
    image_.fill(background_);
    if (!picture_.isNull() && !image_.isNull()) {
        QPainter painter(&image_);
        painter.drawImage(QPoint(0, 0), picture_);
    }
}

void PictureBox::Refresh() {
    update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
    SyncImageSize();
    QPainter painter(this);
    painter.drawImage(event->rect(), image_, event->rect());
}

void PictureBox::resizeEvent(QResizeEvent* event) {
    SyncImageSize();
    QWidget::resizeEvent(event);
}

void PictureBox::SyncImageSize() {
    const QSize wanted = size();
    if (image_.size() == wanted) {
        return;
    }
    if (wanted.isEmpty()) {
        image_ = QImage();
        return;
    }
    QImage resized(wanted, QImage::Format_RGB32);
    // Pixels of a 96 dpi layout, so that text sized in points lands as it does on screen.
    resized.setDotsPerMeterX(3780);
    resized.setDotsPerMeterY(3780);
    // The new area shows what a cleared box shows; what was drawn before stays on top.
    resized.fill(background_);
    QPainter painter(&resized);
    if (!picture_.isNull()) {
        painter.drawImage(QPoint(0, 0), picture_);
    }
    if (!image_.isNull()) {
        painter.drawImage(QPoint(0, 0), image_);
    }
    painter.end();
    image_ = std::move(resized);
}

} // namespace tw::artwork
