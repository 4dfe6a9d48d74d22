// The window's look: its fixed sizes, its colours and its type scale. Sizes are in Qt's
// device-independent pixels, which is what the window's "points" are on every screen.
#pragma once

#include <QColor>
#include <QFont>

namespace kelvatta::ui {

inline constexpr int kWindowWidth = 450;
inline constexpr int kWindowHeight = 400;
inline constexpr int kDropZoneWidth = 350;
inline constexpr int kDropZoneHeight = 150;
inline constexpr qreal kDropZoneCornerRadius = 15;
inline constexpr qreal kDropZoneBorderWidth = 2;
inline constexpr qreal kDropZoneFillOpacity = 0.1;
inline constexpr int kFolderIconSize = 50;

// The default padding and spacing of the layout, where no length is given.
inline constexpr int kDefaultPadding = 16;
inline constexpr int kDefaultSpacing = 8;

// The family every text uses: it covers the Chinese texts (fonts-noto-cjk).
inline constexpr const char* kFontFamily = "Noto Sans CJK SC";

QFont bodyFont();         // 13, regular: the check box, the error line
QFont headlineFont();     // 13, semibold
QFont subheadlineFont();  // 11
QFont footnoteFont();     // 10

QColor blueColor();
QColor grayColor();
QColor redColor();

// Texts keep at least this contrast with what lies behind them (WCAG's level AA for normal text).
inline constexpr double kMinimumTextContrast = 4.5;

// The WCAG contrast ratio of two opaque colours, from 1 (the same) to 21 (black and white).
double contrastRatio(const QColor& a, const QColor& b);

// color where it keeps the minimum contrast with background; else color moved towards black or
// white (whichever background leaves more room for) just far enough: the named colours are made for
// one palette, and a light or dark one from the desktop may leave them unreadable.
QColor readableOn(const QColor& color, const QColor& background);

// What the drop zone's fill (grey at its opacity) makes of background.
QColor dropZoneFill(const QColor& background);

}  // namespace kelvatta::ui
