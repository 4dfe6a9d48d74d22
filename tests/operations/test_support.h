// Helpers of the operations tests: the log, writes of the view state, and a VideoProcessor whose
// rewrites end when the test says so.
#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "support/log_capture.h"
#include "timecode/video_processor.h"
#include "ui/content_view.h"

namespace kelvatta::test {

// The lines of the log that begin with one of the prefixes, in order.
inline std::vector<std::string> linesStartingWith(const LogCapture& log, const std::vector<std::string>& prefixes)
{
    std::vector<std::string> out;
    for (const auto& line : log.lines())
        if (std::any_of(prefixes.begin(), prefixes.end(), [&](const auto& p) { return line.rfind(p, 0) == 0; }))
            out.push_back(line);
    return out;
}

// The name of every field written, and whether any write came from off the main thread.
class WriteLog {
public:
    explicit WriteLog(const ContentView& view) : view_(view)
    {
        token_ = view_.addObserver([this](std::string_view field) {
            offMainThread = offMainThread || !isMainThread();
            fields.emplace_back(field);
        });
    }
    ~WriteLog() { view_.removeObserver(token_); }

    std::vector<std::string> fields;
    bool offMainThread = false;

private:
    ContentView view_;
    long token_ = 0;
};

// Runs the main queue until cond holds, five seconds at most; cond is also tested every few
// milliseconds, for what other threads make true without posting anything.
inline bool runUntil(const std::function<bool()>& cond)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!MainRunLoop::runUntil(cond, std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

// Rewrites nothing. A call is held until the test completes it (the completion then arrives on the
// main queue, as after an export), unless `early` gives the file an outcome, which is reported at
// once on the calling thread (as a failure before the export is).
class FakeProcessor : public VideoProcessor {
    template <typename F>
    auto locked(F f) const
    {
        std::lock_guard lock(mutex_);
        return f();
    }

public:
    using Path = std::filesystem::path;
    struct Call {
        Path file;
        bool saveAs;
    };

    // Set before the batch starts; called on the queue's threads.
    std::function<std::optional<Result>(const Path&)> early;

    void modifyTimecode(const Path& fileURL, bool saveAs, Completion completion) const override
    {
        std::optional<Result> now = early ? early(fileURL) : std::nullopt;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({fileURL, saveAs});
            maxRunning_ = std::max(maxRunning_, ++running_[Path()]);
            maxRunningOneFile_ = std::max(maxRunningOneFile_, ++running_[fileURL.lexically_normal()]);
            if (!now) held_.push_back({fileURL, std::move(completion)});
        }
        if (!now) return;
        ended(fileURL);
        completion(*now);
    }

    // Ends the earliest held call for fileURL (any file when empty). False when none is held.
    bool complete(const Path& fileURL, Result result)
    {
        Completion completion;
        {
            std::lock_guard lock(mutex_);
            auto it = std::find_if(held_.begin(), held_.end(),
                                   [&](const auto& h) { return fileURL.empty() || h.first == fileURL; });
            if (it == held_.end()) return false;
            completion = std::move(it->second);
            --running_[Path()];
            --running_[it->first.lexically_normal()];
            held_.erase(it);
        }
        DispatchQueue::main().async([completion = std::move(completion), result = std::move(result)] {
            completion(result);
        });
        return true;
    }

    std::vector<Call> calls() const { return locked([&] { return calls_; }); }
    std::vector<Path> calledFiles() const
    {
        std::vector<Path> files;
        for (const auto& call : calls()) files.push_back(call.file);
        std::sort(files.begin(), files.end());  // files started together start in any order
        return files;
    }
    size_t heldCount() const { return locked([&] { return held_.size(); }); }
    int maxRunning() const { return locked([&] { return maxRunning_; }); }
    int maxRunningOneFile() const { return locked([&] { return maxRunningOneFile_; }); }

private:
    void ended(const Path& fileURL) const
    {
        std::lock_guard lock(mutex_);
        --running_[Path()];
        --running_[fileURL.lexically_normal()];
    }

    mutable std::mutex mutex_;
    mutable std::vector<Call> calls_;
    mutable std::deque<std::pair<Path, Completion>> held_;
    mutable std::map<Path, int> running_;  // the empty path counts all files
    mutable int maxRunning_ = 0;
    mutable int maxRunningOneFile_ = 0;
};

inline Error exportError(std::string text) { return Error{"Export", 1, std::move(text)}; }

}  // namespace kelvatta::test
