#include "state/content_view.h"

#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "platform/dispatch.h"
#include "platform/operation_queue.h"
#include "rewrite/video_processor.h"
#include "state/texts.h"

namespace kelvatta {

struct ContentView::Storage {
    std::string folderPath;
    std::vector<std::filesystem::path> filesToProcess;
    int64_t progress = 0;
    int64_t maxProgress = 1;
    std::string processingStatus{kInitialProcessingStatus};
    bool showAlert = false;
    std::optional<std::string> errorMessage;
    bool showProgressBar = false;
    bool saveAs = false;
    int64_t batchesRunning = 0;
    int64_t filesAlreadyZero = 0;
    std::optional<std::string> doneMessage;
    bool keepGoing = false;
    std::vector<std::filesystem::path> openedFiles;
    OperationQueue operationQueue;
    std::shared_ptr<VideoProcessor> videoProcessor;

    std::vector<std::pair<long, std::shared_ptr<Observer>>> observers;
    long nextToken = 1;
};

namespace {

// State belongs to the main thread; debug builds stop at the first access from elsewhere.
inline void checkMainThread([[maybe_unused]] const char* field)
{
#if !defined(NDEBUG) || defined(KELVATTA_DEBUG_CHECKS)
    if (!isMainThread()) {
        std::fprintf(stderr, "ContentView.%s touched off the main thread\n", field);
        std::abort();
    }
#endif
}

}  // namespace

ContentView::ContentView() : ContentView(std::make_shared<VideoProcessor>()) {}

ContentView::ContentView(std::shared_ptr<VideoProcessor> processor) : storage_(std::make_shared<Storage>())
{
    storage_->videoProcessor = std::move(processor);
}

#define KV_STATE_FIELD(Type, name, Setter)                    \
    Type ContentView::name() const                            \
    {                                                         \
        checkMainThread(#name);                               \
        return storage_->name;                                \
    }                                                         \
    void ContentView::Setter(std::remove_cvref_t<Type> value) \
    {                                                         \
        checkMainThread(#name);                               \
        storage_->name = std::move(value);                    \
        auto observers = storage_->observers;                 \
        for (auto& entry : observers) (*entry.second)(#name); \
    }

KV_STATE_FIELD(const std::string&, folderPath, setFolderPath)
KV_STATE_FIELD(const std::vector<std::filesystem::path>&, filesToProcess, setFilesToProcess)
KV_STATE_FIELD(int64_t, progress, setProgress)
KV_STATE_FIELD(int64_t, maxProgress, setMaxProgress)
KV_STATE_FIELD(const std::string&, processingStatus, setProcessingStatus)
KV_STATE_FIELD(bool, showAlert, setShowAlert)
KV_STATE_FIELD(const std::optional<std::string>&, errorMessage, setErrorMessage)
KV_STATE_FIELD(bool, showProgressBar, setShowProgressBar)
KV_STATE_FIELD(bool, saveAs, setSaveAs)
KV_STATE_FIELD(int64_t, batchesRunning, setBatchesRunning)
KV_STATE_FIELD(int64_t, filesAlreadyZero, setFilesAlreadyZero)
KV_STATE_FIELD(const std::optional<std::string>&, doneMessage, setDoneMessage)
KV_STATE_FIELD(bool, keepGoing, setKeepGoing)
KV_STATE_FIELD(const std::vector<std::filesystem::path>&, openedFiles, setOpenedFiles)

#undef KV_STATE_FIELD

OperationQueue& ContentView::operationQueue() const { return storage_->operationQueue; }

const std::shared_ptr<VideoProcessor>& ContentView::videoProcessor() const { return storage_->videoProcessor; }

long ContentView::addObserver(Observer observer) const
{
    checkMainThread("addObserver");
    long token = storage_->nextToken++;
    storage_->observers.emplace_back(token, std::make_shared<Observer>(std::move(observer)));
    return token;
}

ContentView::Weak ContentView::weak() const
{
    Weak handle;
    handle.storage_ = storage_;
    return handle;
}

std::optional<ContentView> ContentView::Weak::lock() const
{
    if (auto storage = storage_.lock()) return ContentView(std::move(storage));
    return std::nullopt;
}

void ContentView::removeObserver(long token) const
{
    checkMainThread("removeObserver");
    std::erase_if(storage_->observers, [token](const auto& entry) { return entry.first == token; });
}

}  // namespace kelvatta
