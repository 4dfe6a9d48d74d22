// The window's state: nine observed fields, the count of batches still running, how the last batch
// ended, whether a failure stops a batch, the files the window was opened with, the operation queue
// and the one VideoProcessor.
// ContentView is a value: every copy refers to the same storage, and every write notifies the
// observers (the window redraws from them). State is read and written on the main thread only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "state/texts.h"

namespace kelvatta {

class OperationQueue;
class VideoProcessor;

class ContentView {
public:
    struct Storage;  // the one state that every copy refers to; defined in content_view.cpp

    ContentView();
    // With another processor (tests give a fake one).
    explicit ContentView(std::shared_ptr<VideoProcessor> processor);

    const std::string& folderPath() const;
    void setFolderPath(std::string value);
    const std::vector<std::filesystem::path>& filesToProcess() const;
    void setFilesToProcess(std::vector<std::filesystem::path> value);
    int64_t progress() const;
    void setProgress(int64_t value);
    int64_t maxProgress() const;
    void setMaxProgress(int64_t value);
    const std::string& processingStatus() const;
    void setProcessingStatus(std::string value);
    bool showAlert() const;
    void setShowAlert(bool value);
    const std::optional<std::string>& errorMessage() const;
    void setErrorMessage(std::optional<std::string> value);
    bool showProgressBar() const;
    void setShowProgressBar(bool value);
    bool saveAs() const;
    void setSaveAs(bool value);
    // Batches with a file not yet ended. A failure hides the progress block while the files already
    // being rewritten run on; until they have ended, the window still takes no input.
    int64_t batchesRunning() const;
    void setBatchesRunning(int64_t value);
    // Files of the batch left as they were because they already started at 00:00:00:00: 0 at the
    // start of each batch; the batch's reports raise it once the rewrite tells such files apart.
    int64_t filesAlreadyZero() const;
    void setFilesAlreadyZero(int64_t value);
    // The line that says a batch ended without a failure ("已完成：12 个文件"), shown in the error
    // line's place until the next batch; nothing otherwise.
    const std::optional<std::string>& doneMessage() const;
    void setDoneMessage(std::optional<std::string> value);
    // Whether a failed file leaves the other files of its batch to run (the command line's
    // --keep-going). Otherwise, as in the window, the first failure cancels the files not yet started.
    bool keepGoing() const;
    void setKeepGoing(bool value);
    // The video files the window was opened with, held until the user starts them; the next batch
    // that starts, theirs or a drop's, clears them.
    const std::vector<std::filesystem::path>& openedFiles() const;
    void setOpenedFiles(std::vector<std::filesystem::path> value);

    // Whether the window takes a drop, a folder choice or a change of save-as: no progress block is
    // shown and every file of every batch has ended.
    bool takesInput() const { return !showProgressBar() && batchesRunning() == 0; }

    // Usable from any thread.
    OperationQueue& operationQueue() const;
    const std::shared_ptr<VideoProcessor>& videoProcessor() const;

    // observer(field name) runs on the main thread after every write of a field. Returns a token.
    using Observer = std::function<void(std::string_view field)>;
    long addObserver(Observer observer) const;
    void removeObserver(long token) const;

    // A handle that does not keep the storage alive. Callbacks that outlive a batch (they are held by
    // operations and export sessions, and may be dropped on their threads) hold the view this way:
    // the storage owns the operation queue, whose destruction joins the queue's threads, so its last
    // owner must never be one of them.
    class Weak {
    public:
        // The view, or nothing once every ContentView of that storage is gone.
        std::optional<ContentView> lock() const;

    private:
        friend class ContentView;
        std::weak_ptr<Storage> storage_;
    };
    Weak weak() const;

private:
    explicit ContentView(std::shared_ptr<Storage> storage) : storage_(std::move(storage)) {}
    std::shared_ptr<Storage> storage_;
};

}  // namespace kelvatta
