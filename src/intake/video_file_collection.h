// Turns the URLs handed over by a drop or a folder choice into the list of video files: folders
// (URLs ending with a separator) are searched below, passing over the "已修改时间码" folders and the
// temp_ files the program leaves beside clips; files are taken by their extension, whatever their
// name. The walk runs on the global queue; the list goes to processFiles on the main queue.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "state/content_view.h"

namespace kelvatta {

// Called on the main thread; returns at once.
void collectVideoFiles(ContentView view, std::vector<std::filesystem::path> urls);

// The same search, on the calling thread: the video files among urls and below its folders, each
// also given to found. Nothing when a folder among urls cannot be opened.
std::optional<std::vector<std::filesystem::path>> findVideoFiles(
    const std::vector<std::filesystem::path>& urls,
    const std::function<void(const std::filesystem::path&)>& found = {});

}  // namespace kelvatta
