#include "media/export/export_session.h"

#include <cerrno>
#include <condition_variable>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>

#include "media/export/export.h"
#include "media/base/media_error.h"
#include "media/export/export_texts.h"

namespace kelvatta {
namespace {

// The threads the exports run on. A thread that has ended is joined when the next export starts, by
// joinExportThreads, or at the latest when the program exits.
class ExportThreads {
public:
    ~ExportThreads() { joinAll(); }

    // Runs work on a thread of its own; false when no thread can be had (no address space left for
    // its stack, a limit on processes), and work is dropped.
    // 0, or the errno value that kept a thread from being made.
    int start(std::function<void()> work)
    {
        std::list<std::thread> ended;
        int failed = 0;
        {
            std::lock_guard lock(mutex_);
            ended.swap(ended_);
            auto entry = running_.emplace(running_.end());
            // The thread reaches its last step only after the lock is released below.
            try {
                *entry = std::thread([this, entry, work = std::move(work)]() mutable {
                    work();
                    work = nullptr;  // what the work holds goes before the thread counts as ended
                    std::lock_guard endLock(mutex_);
                    ended_.splice(ended_.end(), running_, entry);
                    if (running_.empty()) allEnded_.notify_all();
                });
            } catch (const std::system_error& error) {
                running_.erase(entry);
                failed = error.code().value() > 0 ? error.code().value() : EAGAIN;
            }
        }
        for (std::thread& thread : ended) thread.join();
        return failed;
    }

    void joinAll()
    {
        std::list<std::thread> ended;
        {
            std::unique_lock lock(mutex_);
            allEnded_.wait(lock, [this] { return running_.empty(); });
            ended.swap(ended_);
        }
        for (std::thread& thread : ended) thread.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable allEnded_;
    std::list<std::thread> running_;
    std::list<std::thread> ended_;
};

ExportThreads& exportThreads()
{
    static ExportThreads threads;
    return threads;
}

class MediaExportSession final : public ExportSession, public std::enable_shared_from_this<MediaExportSession> {
public:
    explicit MediaExportSession(std::filesystem::path source) { job_.source = std::move(source); }

    void setOutputURL(std::filesystem::path url) override { job_.output = std::move(url); }
    void setMP4OutputURL(std::filesystem::path url) override { job_.mp4Output = std::move(url); }
    void setOutputFileType(std::string fileType) override { job_.fileType = std::move(fileType); }
    void setMetadata(std::vector<MetadataItem> items) override { job_.metadata = std::move(items); }
    void setRefusesLinkedOutputFolder(bool refuses) override { job_.realOutputFolder = refuses; }
    void setInPlace(bool inPlace) override { job_.inPlace = inPlace; }
    void setKeepsSource(bool keeps) override { job_.keepsSource = keeps; }

    void exportAsynchronously(std::function<void()> handler) override
    {
        status_ = static_cast<long>(ExportStatus::exporting);
        auto shared = std::make_shared<std::function<void()>>(std::move(handler));
        const int failed = exportThreads().start([self = shared_from_this(), shared]() mutable {
            self->run();
            (*shared)();
            // The handler may hold this session: drop it here so neither keeps the other alive.
            *shared = nullptr;
        });
        if (!failed) return;
        // Without a thread of its own the export fails at once, having read nothing, and says so on
        // the caller's thread (its handler only hands over to the main queue).
        {
            std::lock_guard lock(mutex_);
            error_ = Error{kPosixErrorDomain, failed, export_texts::noThread(job_.source)};
        }
        status_ = static_cast<long>(ExportStatus::failed);
        (*shared)();
        *shared = nullptr;
    }

    std::optional<Error> error() const override
    {
        std::lock_guard lock(mutex_);
        return error_;
    }

    long status() const override { return status_.load(); }

    std::filesystem::path writtenURL() const override
    {
        std::filesystem::path chosen = control_.output();
        return chosen.empty() ? job_.output : chosen;
    }

    std::optional<struct stat> sourceStatus() const override
    {
        if (status_.load() != static_cast<long>(ExportStatus::completed) || !clip_) return std::nullopt;
        return clip_->status();
    }
    double progress() const override { return control_.progress(); }
    bool rtmdTimecodesKept() const override { return control_.rtmdKept(); }
    AlreadyDone alreadyDone() const override { return control_.alreadyDone(); }
    EarlierInPlace earlierInPlace() const override { return control_.earlierInPlace(); }
    void cancelExport() override { control_.cancel(); }

private:
    // Opens and locks the clip, then exports. The lock is kept while the session lives, which is
    // until its completion has put the result in place and written the sidecar; after a failure
    // nothing more is done to the clip, and it goes at once (a rewrite in place refused for the
    // clip's layout is followed by an ordinary rewrite, which takes its own).
    void run()
    {
        auto result = catchingAllocation([this] { return lockAndExport(); });
        if (result.isError() && result.error() == outOfMemory())
            result = fileError(FileAction::process, job_.source, ENOMEM);
        ExportStatus status = ExportStatus::completed;
        if (result.isError()) {
            clip_.reset();
            if (control_.isCancelled()) {
                status = ExportStatus::cancelled;
            } else {
                std::lock_guard lock(mutex_);
                error_ = result.releaseError();
                status = ExportStatus::failed;
            }
        } else {
            control_.setProgress(1.0);
        }
        status_ = static_cast<long>(status);
    }

    ErrorOr<void> lockAndExport()
    {
        if (control_.isCancelled()) return cancelledError();
        auto clip = lockForExport(job_, [this] { return control_.isCancelled(); });
        if (clip.isError()) return clip.releaseError();
        clip_.emplace(clip.releaseValue());
        return runExport(job_, control_, *clip_);
    }

    ExportJob job_;
    std::optional<LockedClip> clip_;  // written by run(), then only destroyed with the session
    ExportControl control_;
    std::atomic<long> status_{static_cast<long>(ExportStatus::waiting)};
    mutable std::mutex mutex_;
    std::optional<Error> error_;
};

}  // namespace

void joinExportThreads() { exportThreads().joinAll(); }

std::shared_ptr<ExportSession> makeExportSession(const std::filesystem::path& source, std::string_view preset)
{
    if (preset != kExportPresetPassthrough || source.empty()) return nullptr;
    return std::make_shared<MediaExportSession>(source);
}

}  // namespace kelvatta
