// The batch run: sizes the queue, queues one ModifyTimecodeOperation per file, follows the outcomes
// on the main thread and reports when the batch has ended. Every function runs on the main thread.
#pragma once

#include <filesystem>
#include <vector>

#include "platform/error.h"
#include "ui/content_view.h"

namespace kelvatta {

void setupOperationQueue(ContentView view);
void processFiles(ContentView view, std::vector<std::filesystem::path> files);
void reportFileResult(ContentView view, const Result& result, const std::filesystem::path& fileURL);
void reportAllFinished(ContentView view);

}  // namespace kelvatta
