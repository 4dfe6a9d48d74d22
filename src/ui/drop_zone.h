// The drop zone: a 350 × 150 rounded panel that takes dropped files and folders (text/uri-list) and
// hands them to the drop intake. It looks the same while something is dragged over it; a drag it
// would refuse (input locked, nothing that names a local file) is refused from the start.
#pragma once

#include <QWidget>
#include <optional>

#include "state/content_view.h"

namespace kelvatta::ui {

class DropZone : public QWidget {
public:
    explicit DropZone(ContentView view, QWidget* parent = nullptr);

    // The action a drop offering these actions is taken with: a copy where the source offers one,
    // else a link; never a move, after which the source could delete what it gave us.
    static std::optional<Qt::DropAction> dropActionFor(Qt::DropActions offered);

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    std::optional<Qt::DropAction> takeableAction(const QDropEvent* event) const;

    ContentView view_;
};

}  // namespace kelvatta::ui
