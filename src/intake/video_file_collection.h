// Turns the URLs handed over by a drop or a folder choice into the list of video files: folders
// (URLs ending with a separator) are searched below, passing over the "已修改时间码" folders and the
// temp_ files the program leaves beside clips; files are taken by their extension, whatever their
// name. The walk runs on the global queue; the list goes to processFiles on the main queue.
#pragma once

#include <filesystem>
#include <vector>

#include "ui/content_view.h"

namespace kelvatta {

// Called on the main thread; returns at once.
void collectVideoFiles(ContentView view, std::vector<std::filesystem::path> urls);

}  // namespace kelvatta
