#pragma once

#include <QFont>
#include <QString>

namespace tw::artwork {

/// Maps the window's font families (Tahoma, MS Sans Serif, Verdana) to installed fonts that
/// also cover Chinese; safe to call more than once.
void InstallFontSubstitutes();

/// The pixel size that `points` has in a 96 dots-per-inch layout (8.25 pt gives 11 px).
int PixelsAt96Dpi(double points);

/// A font of `family` at `points` for a 96 dots-per-inch layout, so that every screen and
/// off-screen image lays text out alike.
QFont FontAt96Dpi(const QString& family, double points, bool bold = false);

} // namespace tw::artwork
