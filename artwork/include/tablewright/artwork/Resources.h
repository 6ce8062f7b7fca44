#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

namespace tw::artwork {

/// The numbered string resource `id` (102 to 117), or a null string for any other number.
QString LoadResString(int id);

/// The numbered bitmap resource `id` (101 to 105, 24-bit), or a null image for any other number.
QImage LoadResPicture(int id);

/// The 162 x 310 picture of the welcome page.
QImage WelcomePicture();

/// The 41 x 38 picture of the finished header after a run with failures (24-bit): the finished
/// picture's database with a warning sign instead of the check badge.
QImage WarningPicture();

/// The 16 x 16 window icon.
QIcon WindowIcon();

} // namespace tw::artwork
