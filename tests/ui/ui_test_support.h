// Helpers of the window's tests: drops, a folder panel that answers, and the window's parts.
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
#include <vector>

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

// Drags the URLs over the widget and drops them there, as a file manager does.
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

// Panels that answer as the test says, and remember how they were set up.
struct AnsweringPanels {
    struct Settings {
        bool directories = false, files = true, multiple = true;
    };
    FolderPanel::Response response = FolderPanel::Response::ok;
    std::optional<std::filesystem::path> answer;
    std::vector<Settings> made;  // one per panel made

    FolderPanelFactory factory()
    {
        return [this] { return std::make_unique<Panel>(*this); };
    }

private:
    class Panel final : public FolderPanel {
    public:
        explicit Panel(AnsweringPanels& owner) : owner_(owner) { owner_.made.emplace_back(); }
        void setCanChooseDirectories(bool value) override { owner_.made.back().directories = value; }
        void setCanChooseFiles(bool value) override { owner_.made.back().files = value; }
        void setAllowsMultipleSelection(bool value) override { owner_.made.back().multiple = value; }
        Response runModal() override { return owner_.response; }
        std::optional<std::filesystem::path> URL() const override { return owner_.answer; }

    private:
        AnsweringPanels& owner_;
    };
};

}  // namespace kelvatta::test
