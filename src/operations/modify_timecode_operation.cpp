#include "operations/modify_timecode_operation.h"

#include "rewrite/video_processor.h"

namespace kelvatta {

ModifyTimecodeOperation::ModifyTimecodeOperation(std::filesystem::path fileURL, bool saveAs,
                                                 std::shared_ptr<const VideoProcessor> videoProcessor,
                                                 CompletionHandler completionHandler)
    : fileURL_(std::move(fileURL)), saveAs_(saveAs), videoProcessor_(std::move(videoProcessor)),
      completionHandler_(std::move(completionHandler))
{
}

void ModifyTimecodeOperation::main()
{
    // The completion holds the operation: the queue lets go of it once it is finished, and the
    // finished write is the completion's own last step.
    auto self = std::static_pointer_cast<ModifyTimecodeOperation>(shared_from_this());
    videoProcessor_->modifyTimecode(fileURL_, saveAs_, [self](Result result) {
        if (self->completionHandler_) self->completionHandler_(std::move(result));
        self->setState(State::finished);
    });
}

}  // namespace kelvatta
