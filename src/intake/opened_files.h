// The paths the window is opened with (a file manager's "Open with" starts `kelvatta --window PATH…`):
// taken as a drop of them, but their video files wait for the user's go, so that opening a clip
// never rewrites it unasked. All on the main thread.
#pragma once

#include <filesystem>
#include <vector>

#include "state/content_view.h"

namespace kelvatta {

// Loads and searches the paths (relative ones from the current folder) as a drop of them, and holds
// the video files found in openedFiles; a search that finds none, or a folder that cannot be read,
// says so at once, as for a drop. False when the window takes no input or no path forms a file URL.
bool openPaths(ContentView view, const std::vector<std::filesystem::path>& paths);

// The start button's action: the batch of the opened files, when some wait and the window takes input.
void startOpenedFiles(ContentView view);

// The deepest folder that holds every one of files ("/" at least); empty for no files.
std::filesystem::path commonFolder(const std::vector<std::filesystem::path>& files);

}  // namespace kelvatta
