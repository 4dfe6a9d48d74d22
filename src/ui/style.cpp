#include "ui/style.h"

#include <algorithm>
#include <cmath>

namespace kelvatta::ui {
namespace {

QFont font(int pixelSize, QFont::Weight weight = QFont::Normal)
{
    QFont f(QString::fromLatin1(kFontFamily));
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    return f;
}

double channelLuminance(double value)
{
    return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

double relativeLuminance(const QColor& color)
{
    return 0.2126 * channelLuminance(color.redF()) + 0.7152 * channelLuminance(color.greenF()) +
           0.0722 * channelLuminance(color.blueF());
}

// from with the fraction `amount` of to mixed in.
QColor mixed(const QColor& from, const QColor& to, double amount)
{
    const auto mix = [amount](double a, double b) { return a + (b - a) * amount; };
    return QColor::fromRgbF(static_cast<float>(mix(from.redF(), to.redF())),
                            static_cast<float>(mix(from.greenF(), to.greenF())),
                            static_cast<float>(mix(from.blueF(), to.blueF())));
}

}  // namespace

double contrastRatio(const QColor& a, const QColor& b)
{
    const double la = relativeLuminance(a), lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readableOn(const QColor& color, const QColor& background)
{
    const QColor black(0, 0, 0), white(255, 255, 255);
    const QColor towards = contrastRatio(black, background) >= contrastRatio(white, background) ? black : white;
    constexpr int kSteps = 50;
    for (int step = 0; step < kSteps; ++step) {
        const QColor candidate = mixed(color, towards, static_cast<double>(step) / kSteps);
        if (contrastRatio(candidate, background) >= kMinimumTextContrast) return candidate;
    }
    return towards;
}

QColor dropZoneFill(const QColor& background) { return mixed(background, grayColor(), kDropZoneFillOpacity); }

QFont bodyFont() { return font(13); }
QFont headlineFont() { return font(13, QFont::DemiBold); }
QFont subheadlineFont() { return font(11); }
QFont footnoteFont() { return font(10); }

QColor blueColor() { return QColor(0, 122, 255); }
QColor grayColor() { return QColor(142, 142, 147); }
QColor redColor() { return QColor(255, 59, 48); }

}  // namespace kelvatta::ui
