// Turns the URLs handed over by a drop or a folder choice into the list of video files: folders
// (URLs ending with a separator) are searched below, passing over the "已修改时间码" folders and the
// temp_ files the program leaves beside clips; files are taken by their extension, whatever their
// name. The walk runs on the global queue; the list goes to processFiles (or, for the paths the window
// was opened with, to what holds them) on the main queue.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "operations/batch_run.h"
#include "state/content_view.h"

namespace kelvatta {

// What a hand-over does with the video files it found, on the main thread: processFiles starts them.
using FilesFound = void (*)(ContentView view, std::vector<std::filesystem::path> files);

// Called on the main thread; returns at once.
void collectVideoFiles(ContentView view, std::vector<std::filesystem::path> urls, FilesFound then = processFiles);

// The same search, on the calling thread: the video files among urls and below its folders, each
// also given to found. Nothing when a folder among urls cannot be opened.
std::optional<std::vector<std::filesystem::path>> findVideoFiles(
    const std::vector<std::filesystem::path>& urls,
    const std::function<void(const std::filesystem::path&)>& found = {});

}  // namespace kelvatta
