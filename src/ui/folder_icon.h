// The drop zone's icon, drawn here: a filled folder with a round plus badge at its lower right,
// the badge set off from the folder by a transparent gap and the plus cut out of the badge.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QWidget>

namespace kelvatta::ui {

// The icon's outline, in a 100 × 100 box: the folder with the badge and its gap cut out, and the badge
// with the plus cut out.
QPainterPath folderWithPlusPath();

// The icon, size × size device pixels, in color on a transparent background.
QImage folderWithPlusImage(int size, const QColor& color);

// The same outline as an SVG file, 100 × 100 units, filled with color.
QByteArray folderWithPlusSvg(const QColor& color);

// The icon as a widget of a fixed size.
class FolderIcon : public QWidget {
public:
    FolderIcon(int size, const QColor& color, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};

}  // namespace kelvatta::ui
