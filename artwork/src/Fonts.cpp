#include "tablewright/artwork/Fonts.h"

#include <QStringList>

#include <cmath>

namespace tw::artwork {

void InstallFontSubstitutes() {
    // The window's fonts are Windows fonts; a CJK family comes first so that the Chinese texts
    // and the Latin letters beside them share one face and one baseline.
    const QStringList sans = {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("DejaVu Sans")};
    for (const QString& family :
         {QStringLiteral("Tahoma"), QStringLiteral("MS Sans Serif"), QStringLiteral("Verdana")}) {
        if (QFont::substitutes(family) != sans) {
            QFont::removeSubstitutions(family);
            QFont::insertSubstitutions(family, sans);
        }
    }
}

int PixelsAt96Dpi(double points) {
    return static_cast<int>(std::lround(points * 96.0 / 72.0));
}

QFont FontAt96Dpi(const QString& family, double points, bool bold) {
    InstallFontSubstitutes();
    QFont font(family);
    // Pixel sizes, not point sizes: an off-screen image reports 72 dpi and a screen its own,
    // while every coordinate of the window is a pixel of a 96 dpi layout.
    font.setPixelSize(PixelsAt96Dpi(points));
    font.setBold(bold);
    return font;
}

} // namespace tw::artwork
