#include "intake/folder_choice.h"

#include <string>
#include <utility>

#include "intake/file_url.h"
#include "intake/video_file_collection.h"
#include "platform/log.h"
#include "state/texts.h"

namespace kelvatta {

void selectFolder(ContentView view, const FolderPanelFactory& makePanel)
{
    std::unique_ptr<FolderPanel> panel = makePanel ? makePanel() : nullptr;
    if (!panel) return;
    panel->setCanChooseDirectories(true);
    panel->setCanChooseFiles(false);
    panel->setAllowsMultipleSelection(false);
    if (panel->runModal() != FolderPanel::Response::ok) return;
    std::optional<std::filesystem::path> chosen = panel->URL();
    if (!chosen || chosen->empty()) return;

    // The folder is searched only when its URL ends with a separator.
    const std::filesystem::path folder = asFolderURL(std::move(*chosen));
    const std::string path = urlPath(folder);
    view.setFolderPath(path);
    printLine(chosenFolderLine(path));
    collectVideoFiles(std::move(view), {std::move(folder)});
}

}  // namespace kelvatta
