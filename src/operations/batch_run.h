// The batch run: sizes the queue, queues one ModifyTimecodeOperation per file, follows the outcomes
// on the main thread and reports when the batch has ended. Every function runs on the main thread.
#pragma once

#include <filesystem>
#include <vector>

#include "platform/error.h"
#include "state/content_view.h"

namespace kelvatta {

// At most three files are exported at once, fewer on a machine with fewer active cores.
inline constexpr long kMaxParallelFiles = 3;
long operationQueueWidth(int activeProcessorCount);

void setupOperationQueue(ContentView view);
// A file listed more than once is rewritten once per listing, one after the other: each of its
// operations waits for the one before it. A batch that starts ends the wait of the files the window
// was opened with (they are this batch, or the user dropped or chose others).
void processFiles(ContentView view, std::vector<std::filesystem::path> files);
void reportFileResult(ContentView view, const Result& result, const std::filesystem::path& fileURL);
void reportAllFinished(ContentView view);

}  // namespace kelvatta
