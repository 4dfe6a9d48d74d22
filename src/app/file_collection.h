// Stands in for the intake's video file collection until it lands; the command line's only use of it
// is the one call collectVideoFiles(view, urls), which then comes from src/intake instead.
//
// Like the intake's, it examines the URLs on the global queue, prints "收集到视频文件：" + path for
// each video file (by extension: mp4, mov, m4v, avi, mkv, any case) and hands the list to
// processFiles on the main queue. Unlike it, it does not search folders (URLs ending in a separator):
// it says so on standard error and passes them over.
#pragma once

#include <filesystem>
#include <vector>

#include "ui/content_view.h"

namespace kelvatta {

void collectVideoFiles(ContentView view, std::vector<std::filesystem::path> urls);

}  // namespace kelvatta
