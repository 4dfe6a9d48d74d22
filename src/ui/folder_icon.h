// The drop zone's icon, drawn here: a filled folder with a round plus badge at its lower right,
// the badge set off from the folder by a transparent gap and the plus cut out of the badge.
#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

namespace kelvatta::ui {

// The icon, size × size device pixels, in color on a transparent background.
QImage folderWithPlusImage(int size, const QColor& color);

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
