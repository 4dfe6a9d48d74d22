// Helpers of the operations tests: the log as a list of lines, writes of the view state, and a
// VideoProcessor whose rewrites end when the test says so.
#pragma once

#include <gtest/gtest.h>

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
        if (std::any_of(prefixes.begin(), prefixes.end(),
                        [&](const std::string& prefix) { return line.rfind(prefix, 0) == 0; }))
            out.push_back(line);
    return out;
}

// Records the name of every field written, and whether any write came from off the main thread.
class WriteLog {
public:
    explicit WriteLog(const ContentView& view) : view_(view)
    {
        token_ = view_.addObserver([this](std::string_view field) {
            if (!isMainThread()) offMainThread = true;
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

// Runs the main queue until cond holds, five seconds at most. cond is also tested every few
// milliseconds, for conditions that other threads make true without posting anything.
inline bool runUntil(const std::function<bool()>& cond)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!MainRunLoop::runUntil(cond, std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

// A processor that rewrites nothing. Each call is held until the test completes it (the completion
// then arrives on the main queue, as after a real export), unless `early` gives an outcome for the
// file, which is reported at once on the calling thread (as a failure before the export would be).
class FakeProcessor : public VideoProcessor {
public:
    using Path = std::filesystem::path;

    void modifyTimecode(const Path& fileURL, bool saveAs, Completion completion) const override
    {
        std::optional<Result> now = early ? early(fileURL) : std::nullopt;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({fileURL, saveAs});
            ++running_;
            ++runningFor_[fileURL];
            maxRunning_ = std::max(maxRunning_, running_);
            maxRunningOneFile_ = std::max(maxRunningOneFile_, runningFor_[fileURL]);
            if (!now) held_.push_back({fileURL, std::move(completion)});
        }
        if (now) {
            ended(fileURL);
            completion(*now);
        }
    }

    // Ends the earliest held rewrite of fileURL: its completion is posted to the main queue.
    // Returns false when none is held.
    bool complete(const Path& fileURL, Result result)
    {
        return completeWhere([&](const Path& held) { return held == fileURL; }, std::move(result));
    }
    // Ends the earliest held rewrite, whatever its file.
    bool completeFirst(Result result)
    {
        return completeWhere([](const Path&) { return true; }, std::move(result));
    }

    // Set before the batch starts; called on worker threads.
    std::function<std::optional<Result>(const Path&)> early;

private:
    bool completeWhere(const std::function<bool(const Path&)>& match, Result result)
    {
        Completion completion;
        Path fileURL;
        {
            std::lock_guard lock(mutex_);
            auto it = std::find_if(held_.begin(), held_.end(), [&](const auto& h) { return match(h.first); });
            if (it == held_.end()) return false;
            fileURL = it->first;
            completion = std::move(it->second);
            held_.erase(it);
        }
        ended(fileURL);
        DispatchQueue::main().async([completion = std::move(completion), result = std::move(result)] {
            completion(result);
        });
        return true;
    }

public:
    struct Call {
        Path file;
        bool saveAs;
    };
    std::vector<Call> calls() const
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<Path> calledFiles() const
    {
        std::vector<Path> out;
        for (const auto& call : calls()) out.push_back(call.file);
        return out;
    }
    size_t heldCount() const
    {
        std::lock_guard lock(mutex_);
        return held_.size();
    }
    int maxRunning() const
    {
        std::lock_guard lock(mutex_);
        return maxRunning_;
    }
    int maxRunningOneFile() const
    {
        std::lock_guard lock(mutex_);
        return maxRunningOneFile_;
    }

private:
    void ended(const Path& fileURL) const
    {
        std::lock_guard lock(mutex_);
        --running_;
        --runningFor_[fileURL];
    }

    mutable std::mutex mutex_;
    mutable std::vector<Call> calls_;
    mutable std::deque<std::pair<Path, Completion>> held_;
    mutable int running_ = 0;
    mutable int maxRunning_ = 0;
    mutable std::map<Path, int> runningFor_;
    mutable int maxRunningOneFile_ = 0;
};

inline Error exportError(std::string text) { return Error{"Export", 1, std::move(text)}; }

}  // namespace kelvatta::test
