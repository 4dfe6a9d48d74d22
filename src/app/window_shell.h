// The program with its window: one window of fixed size whose content is ContentView, over Qt's
// event loop.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "intake/folder_choice.h"
#include "rewrite/video_processor.h"
#include "state/content_view.h"

namespace kelvatta {

class RunningExports;
namespace ui {
class BatchEndNotice;
class ContentWidget;
}  // namespace ui

// Why no window can be opened with this environment (getenv reads it), or nothing when one can:
// Qt needs an X display or a Wayland compositor, unless QT_QPA_PLATFORM names a platform that
// needs neither (offscreen, for one).
std::optional<std::string> missingDisplay(const std::function<const char*(const char*)>& getenv);

// The window and the view it shows. Needs a QApplication and a QtMainQueue.
class ProgramWindow {
public:
    explicit ProgramWindow(VideoProcessor::SessionFactory makeSession = makeExportSession,
                           FolderPanelFactory makePanel = {});
    ~ProgramWindow();
    ProgramWindow(const ProgramWindow&) = delete;
    ProgramWindow& operator=(const ProgramWindow&) = delete;

    ui::ContentWidget& widget() { return *widget_; }
    const ContentView& view() const;
    // What tells the desktop of a long batch's end; it has no notifier until it is given one.
    ui::BatchEndNotice& notice() { return *notice_; }

    // Shows the window at its one size, 450 × 400, which the user cannot change.
    void show();

    // Takes the files and folders (relative ones from the current folder) as a drop of them on the
    // window, but holds their clips until the user starts them: what a file manager's "Open with"
    // hands over. Once the window has been shown.
    void open(const std::vector<std::filesystem::path>& paths);

    // Once the window has closed: cancels the files not started and the exports running, so that no
    // half-written file is left beside a clip, and runs the event loop until the batch has ended or
    // the timeout has passed. Returns whether it ended.
    bool settle(std::chrono::milliseconds timeout = std::chrono::seconds(60));

private:
    std::shared_ptr<RunningExports> exports_;
    std::unique_ptr<ui::ContentWidget> widget_;
    std::unique_ptr<ui::BatchEndNotice> notice_;
};

// The whole program when it runs with its window, which takes paths as dropped on it. Without a
// display it says so on standard error, with the command line's use, and returns kExitUsage.
int runWindow(char* program, const std::vector<std::string>& paths = {});

}  // namespace kelvatta
