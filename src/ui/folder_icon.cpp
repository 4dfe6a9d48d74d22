#include "ui/folder_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace kelvatta::ui {
namespace {

// The shapes, in a 100 × 100 box.
constexpr QPointF kBadgeCentre(73, 73);
constexpr qreal kBadgeRadius = 22;
constexpr qreal kBadgeGap = 5;
constexpr qreal kPlusArm = 12;  // from the badge's centre to the end of each arm
constexpr qreal kPlusThickness = 6;

QPainterPath folderPath()
{
    QPainterPath tab;
    tab.addRoundedRect(QRectF(6, 16, 36, 20), 6, 6);
    QPainterPath slant;  // the tab's sloping right side
    slant.moveTo(30, 16);
    slant.lineTo(40, 16);
    slant.quadTo(44, 16, 47, 20);
    slant.lineTo(53, 28);
    slant.lineTo(30, 28);
    slant.closeSubpath();
    QPainterPath body;
    body.addRoundedRect(QRectF(6, 25, 84, 59), 8, 8);
    return body.united(tab).united(slant);
}

QPainterPath plusPath()
{
    QPainterPath across;
    across.addRect(
        QRectF(kBadgeCentre.x() - kPlusArm, kBadgeCentre.y() - kPlusThickness / 2, 2 * kPlusArm, kPlusThickness));
    QPainterPath down;
    down.addRect(
        QRectF(kBadgeCentre.x() - kPlusThickness / 2, kBadgeCentre.y() - kPlusArm, kPlusThickness, 2 * kPlusArm));
    return across.united(down);
}

}  // namespace

QImage folderWithPlusImage(int size, const QColor& color)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 100.0, size / 100.0);
    painter.setPen(Qt::NoPen);

    painter.fillPath(folderPath(), color);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setBrush(Qt::black);
    painter.drawEllipse(kBadgeCentre, kBadgeRadius + kBadgeGap, kBadgeRadius + kBadgeGap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setBrush(color);
    painter.drawEllipse(kBadgeCentre, kBadgeRadius, kBadgeRadius);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.fillPath(plusPath(), Qt::black);
    return image;
}

FolderIcon::FolderIcon(int size, const QColor& color, QWidget* parent) : QWidget(parent), color_(color)
{
    setFixedSize(size, size);
}

void FolderIcon::paintEvent(QPaintEvent*)
{
    // Drawn at the screen's resolution, so that it stays sharp on a high-density screen.
    const qreal ratio = devicePixelRatioF();
    QImage image = folderWithPlusImage(static_cast<int>(std::lround(width() * ratio)), color_);
    image.setDevicePixelRatio(ratio);
    QPainter(this).drawImage(QPointF(0, 0), image);
}

}  // namespace kelvatta::ui
