#include "intake/opened_files.h"

#include <string>
#include <system_error>
#include <utility>

#include "intake/drop_intake.h"
#include "intake/file_url.h"
#include "intake/item_provider.h"
#include "operations/batch_run.h"
#include "platform/log.h"
#include "state/texts.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

// What openPaths does with the files found instead of starting them. None found is the drop's error.
void holdOpenedFiles(ContentView view, std::vector<fs::path> files)
{
    if (files.empty()) return processFiles(std::move(view), {});
    printLine(heldFilesLine(files.size(), urlPath(commonFolder(files))));
    view.setOpenedFiles(std::move(files));
}

}  // namespace

bool openPaths(ContentView view, const std::vector<fs::path>& paths)
{
    if (!view.takesInput()) return false;
    // As a file manager's drag carries them: one file URL a line.
    std::string uriList;
    for (const auto& path : paths) {
        std::error_code ec;
        const fs::path absolute = fs::absolute(path, ec);
        if (!ec) uriList += fileURLText(absolute) + "\r\n";
    }
    return handleDrop(std::move(view), itemProvidersFromUriList(uriList), holdOpenedFiles);
}

void startOpenedFiles(ContentView view)
{
    if (!view.takesInput() || view.openedFiles().empty()) return;
    std::vector<fs::path> files = view.openedFiles();
    processFiles(std::move(view), std::move(files));
}

fs::path commonFolder(const std::vector<fs::path>& files)
{
    if (files.empty()) return {};
    fs::path common = fs::path(urlPath(files.front())).parent_path();
    for (const auto& file : files) {
        const fs::path folder = fs::path(urlPath(file)).parent_path();
        fs::path shared;
        for (auto a = common.begin(), b = folder.begin(); a != common.end() && b != folder.end() && *a == *b; ++a, ++b)
            shared /= *a;
        common = shared;
    }
    return common.empty() ? fs::path("/") : common;
}

}  // namespace kelvatta
