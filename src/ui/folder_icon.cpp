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

// A coordinate of the SVG file, to a thousandth of a unit and without trailing zeros.
QString svgNumber(qreal value) { return QString::number(std::round(value * 1000) / 1000, 'g', 8); }

}  // namespace

QPainterPath folderWithPlusPath()
{
    QPainterPath ring;  // the badge and the gap around it, cut out of the folder
    ring.addEllipse(kBadgeCentre, kBadgeRadius + kBadgeGap, kBadgeRadius + kBadgeGap);
    QPainterPath badge;
    badge.addEllipse(kBadgeCentre, kBadgeRadius, kBadgeRadius);
    return folderPath().subtracted(ring).united(badge.subtracted(plusPath()));
}

QImage folderWithPlusImage(int size, const QColor& color)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 100.0, size / 100.0);
    painter.fillPath(folderWithPlusPath(), color);
    return image;
}

QByteArray folderWithPlusSvg(const QColor& color)
{
    const QPainterPath path = folderWithPlusPath();
    QString data;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element element = path.elementAt(i);
        const QString point = svgNumber(element.x) + QLatin1Char(' ') + svgNumber(element.y);
        if (element.isMoveTo()) {
            data += (i ? QStringLiteral("Z M") : QStringLiteral("M")) + point;
        } else if (element.isLineTo()) {
            data += QStringLiteral(" L") + point;
        } else {  // a cubic curve: its two control points, then where it ends
            data += QStringLiteral(" C") + point;
            for (int j = 1; j <= 2 && i + 1 < path.elementCount(); ++j) {
                const QPainterPath::Element next = path.elementAt(++i);
                data += QLatin1Char(' ') + svgNumber(next.x) + QLatin1Char(' ') + svgNumber(next.y);
            }
        }
    }
    const QString rule = path.fillRule() == Qt::OddEvenFill ? QStringLiteral("evenodd") : QStringLiteral("nonzero");
    return QStringLiteral(
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"100\" viewBox=\"0 0 100 100\">\n"
               "<path fill=\"%1\" fill-rule=\"%2\" d=\"%3Z\"/>\n</svg>\n")
        .arg(color.name(), rule, data)
        .toUtf8();
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
