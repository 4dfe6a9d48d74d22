// The choose-folder button: a modal panel for one folder, whose choice is searched for video files.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "state/content_view.h"

namespace kelvatta {

// A modal chooser. The window makes one on QFileDialog; tests make one that answers.
class FolderPanel {
public:
    enum class Response { ok = 1, cancel = 0 };

    virtual ~FolderPanel() = default;
    virtual void setCanChooseDirectories(bool value) = 0;
    virtual void setCanChooseFiles(bool value) = 0;
    virtual void setAllowsMultipleSelection(bool value) = 0;
    // Shows the panel and returns when it is closed.
    virtual Response runModal() = 0;
    // The chosen folder, if any.
    virtual std::optional<std::filesystem::path> URL() const = 0;
};

using FolderPanelFactory = std::function<std::unique_ptr<FolderPanel>()>;

// Makes a panel with makePanel, runs it, and on a choice records and prints the folder and starts
// collecting from it (the URL handed on ends with a separator).
void selectFolder(ContentView view, const FolderPanelFactory& makePanel);

}  // namespace kelvatta
