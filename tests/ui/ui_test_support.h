// Helpers of the window's tests: its parts by name, drops as a file manager makes them, and folder
// panels that answer as the test says.
#pragma once

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>
#include <filesystem>
#include <memory>
#include <optional>

#include "intake/folder_choice.h"

namespace kelvatta::test {

// A part of the window, by the name it carries.
template <typename T = QWidget>
T* part(QWidget* window, const char* name)
{
    return window->findChild<T*>(QString::fromLatin1(name));
}

inline QUrl fileUrl(const std::filesystem::path& path) { return QUrl::fromLocalFile(QString::fromStdString(path.string())); }

struct DropOutcome {
    bool entered = false;   // the drag was welcome over the zone
    bool accepted = false;  // the drop was taken
    Qt::DropAction action = Qt::IgnoreAction;
};

// Drags the URLs over the widget and drops them there.
inline DropOutcome dropOn(QWidget* zone, const QList<QUrl>& urls,
                          Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction)
{
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at = zone->rect().center();
    QDragEnterEvent enter(at, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    QApplication::sendEvent(zone, &enter);
    QDropEvent drop(QPointF(at), offered, &mime, Qt::LeftButton, Qt::NoModifier);
    drop.setAccepted(false);
    QApplication::sendEvent(zone, &drop);
    return {enter.isAccepted(), drop.isAccepted(), drop.dropAction()};
}

// Panels that answer as the test says; `made` counts those opened.
struct AnsweringPanels {
    FolderPanel::Response response = FolderPanel::Response::ok;
    std::optional<std::filesystem::path> answer;
    int made = 0;

    FolderPanelFactory factory()
    {
        return [this] { return std::make_unique<Panel>(*this); };
    }

private:
    class Panel final : public FolderPanel {
    public:
        explicit Panel(AnsweringPanels& owner) : owner_(owner) { ++owner_.made; }
        void setCanChooseDirectories(bool) override {}
        void setCanChooseFiles(bool) override {}
        void setAllowsMultipleSelection(bool) override {}
        Response runModal() override { return owner_.response; }
        std::optional<std::filesystem::path> URL() const override { return owner_.answer; }

    private:
        AnsweringPanels& owner_;
    };
};

}  // namespace kelvatta::test
