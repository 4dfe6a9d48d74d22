#include "ui/style.h"

namespace kelvatta::ui {
namespace {

QFont font(int pixelSize, QFont::Weight weight = QFont::Normal)
{
    QFont f(QString::fromLatin1(kFontFamily));
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    return f;
}

}  // namespace

QFont bodyFont() { return font(13); }
QFont headlineFont() { return font(13, QFont::DemiBold); }
QFont subheadlineFont() { return font(11); }
QFont footnoteFont() { return font(10); }

QColor blueColor() { return QColor(0, 122, 255); }
QColor grayColor() { return QColor(142, 142, 147); }
QColor redColor() { return QColor(255, 59, 48); }

}  // namespace kelvatta::ui
