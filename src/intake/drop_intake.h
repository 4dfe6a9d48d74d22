// Takes what is dropped on the window: loads each item's file URL, resolves symbolic links, and
// hands the URLs to video file collection once every item is in. All on the main thread.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "intake/item_provider.h"
#include "intake/video_file_collection.h"
#include "state/content_view.h"

namespace kelvatta {

// The drop zone's action: refuses (false) while the window takes no input (a batch runs), else
// handleDrop.
bool performDrop(ContentView view, const std::vector<std::shared_ptr<ItemProvider>>& providers);

// Starts loading every provider that carries a file URL; true when at least one does. The video files
// found go to then.
bool handleDrop(ContentView view, const std::vector<std::shared_ptr<ItemProvider>>& providers,
                FilesFound then = processFiles);

// The link's target when url names a symbolic link; otherwise url unchanged.
std::filesystem::path resolveSymlink(const std::filesystem::path& url);

}  // namespace kelvatta
