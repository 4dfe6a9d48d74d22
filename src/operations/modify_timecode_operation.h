// The queued work for one video file: hands the file to the shared VideoProcessor, stays executing
// while it is exported, passes the outcome to its creator's handler and only then becomes finished,
// so that the queue frees the slot (and runs a barrier behind it) only after the creator was told.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "operations/async_operation.h"
#include "platform/error.h"

namespace kelvatta {

class VideoProcessor;

class ModifyTimecodeOperation : public AsyncOperation {
public:
    // Called once with the file's outcome, on the queue's thread (a failure before the export) or on
    // the main thread (after the export). It must only hand its work on and return.
    using CompletionHandler = std::function<void(Result)>;

    // Must be owned by a std::shared_ptr: the processor's completion keeps the operation alive.
    ModifyTimecodeOperation(std::filesystem::path fileURL, bool saveAs,
                            std::shared_ptr<const VideoProcessor> videoProcessor, CompletionHandler completionHandler);

    void main() override;

private:
    const std::filesystem::path fileURL_;
    const bool saveAs_;
    const std::shared_ptr<const VideoProcessor> videoProcessor_;
    const CompletionHandler completionHandler_;
};

}  // namespace kelvatta
