#include "operations/batch_run.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "operations/modify_timecode_operation.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/operation_queue.h"
#include "state/texts.h"

namespace kelvatta {
namespace {

// The operations of one batch. A failure cancels those not yet started at once, on the thread that
// reports it and before the failed operation frees its slot: the report, which cancels the queue's
// operations too, runs later on the main thread, and in between the queue would start the next file.
class BatchOperations {
public:
    void add(const std::shared_ptr<Operation>& operation)
    {
        std::lock_guard lock(mutex_);
        if (failed_) operation->cancel();
        operations_.push_back(operation);
    }

    void cancelWaiting()
    {
        std::vector<std::weak_ptr<Operation>> operations;
        {
            std::lock_guard lock(mutex_);
            failed_ = true;
            operations = operations_;
        }
        // An operation already executing ignores this.
        for (const auto& weak : operations)
            if (auto operation = weak.lock()) operation->cancel();
    }

private:
    std::mutex mutex_;
    bool failed_ = false;
    std::vector<std::weak_ptr<Operation>> operations_;
};

}  // namespace

long operationQueueWidth(int activeProcessorCount)
{
    return activeProcessorCount < kMaxParallelFiles ? activeProcessorCount : kMaxParallelFiles;
}

void setupOperationQueue(ContentView view)
{
    OperationQueue& queue = view.operationQueue();
    queue.setMaxConcurrentOperationCount(operationQueueWidth(activeProcessorCount()));
    printLine(queueWidthLine(queue.maxConcurrentOperationCount()));
}

void processFiles(ContentView view, std::vector<std::filesystem::path> files)
{
    view.setDoneMessage(std::nullopt);
    if (files.empty()) {
        printLine(kNoVideoFiles);
        view.setProcessingStatus(kNoVideoFiles);
        view.setShowAlert(true);
        view.setErrorMessage(kNoVideoFiles);
        view.setShowProgressBar(false);
        return;
    }

    if (!view.openedFiles().empty()) view.setOpenedFiles({});
    view.setFilesToProcess(std::move(files));
    view.setProgress(0);
    view.setMaxProgress(static_cast<int64_t>(view.filesToProcess().size()));
    view.setProcessingStatus(kBatchStarting);
    view.setShowProgressBar(true);
    printLine(batchStartLine(view.filesToProcess().size()));
    view.setErrorMessage(std::nullopt);
    view.setShowAlert(false);
    view.setFilesAlreadyZero(0);

    // The callbacks hold the view weakly: they live in operations and export sessions that may be
    // released on other threads, and only the main thread may end the view (see ContentView::Weak).
    const ContentView::Weak weakView = view.weak();
    const bool keepGoing = view.keepGoing();
    OperationQueue& queue = view.operationQueue();
    auto batch = std::make_shared<BatchOperations>();
    // Two operations for one file would export to the same output at once; the later one waits.
    std::map<std::filesystem::path, std::shared_ptr<Operation>> lastOperationFor;
    for (const auto& fileURL : view.filesToProcess()) {
        auto operation = std::make_shared<ModifyTimecodeOperation>(
            fileURL, view.saveAs(), view.videoProcessor(), [weakView, batch, fileURL, keepGoing](Result result) {
                if (result.isFailure() && !keepGoing) batch->cancelWaiting();
                DispatchQueue::main().async([weakView, fileURL, result = std::move(result)] {
                    if (auto current = weakView.lock()) reportFileResult(*current, result, fileURL);
                });
            });
        operation->setQueuePriority(Operation::QueuePriority::normal);
        auto& earlier = lastOperationFor[fileURL.lexically_normal()];
        if (earlier) operation->addDependency(earlier);
        earlier = operation;
        batch->add(operation);
        queue.addOperation(std::move(operation));
    }
    // The barrier also ends the batch's hold on the input: after a failure the progress block is
    // hidden while files already being rewritten run on, and only now have they all ended.
    view.setBatchesRunning(view.batchesRunning() + 1);
    queue.addBarrierBlock([weakView] {
        DispatchQueue::main().async([weakView] {
            auto current = weakView.lock();
            if (!current) return;
            reportAllFinished(*current);
            current->setBatchesRunning(current->batchesRunning() - 1);
        });
    });
}

void reportFileResult(ContentView view, const Result& result, const std::filesystem::path& fileURL)
{
    if (result.isFailure()) {
        const std::string& description = result.error().localizedDescription;
        view.setErrorMessage(description);
        view.setShowAlert(true);
        view.setProcessingStatus(kBatchFailed);
        view.setShowProgressBar(false);
        printLine(fileFailedLine(fileURL.string(), description));
        if (!view.keepGoing()) view.operationQueue().cancelAllOperations();
        return;
    }
    view.setProgress(view.progress() + 1);
    if (result.wasAlreadyDone()) view.setFilesAlreadyZero(view.filesAlreadyZero() + 1);
    view.setProcessingStatus(processingFilesText(view.progress(), view.maxProgress()));
    printLine(fileDoneLine(fileURL.string(), view.progress(), view.maxProgress()));
}

void reportAllFinished(ContentView view)
{
    if (view.showAlert()) return;
    view.setProcessingStatus(kBatchDone);
    view.setShowProgressBar(false);
    view.setDoneMessage(batchDoneText(view.progress(), view.filesAlreadyZero()));
    printLine(kAllFilesDone);
}

}  // namespace kelvatta
