// Collects the program's log lines while alive.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"

namespace kelvatta::test {

class LogCapture {
public:
    LogCapture()
    {
        setLogSink([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        });
    }
    ~LogCapture() { setLogSink(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The lines that begin with prefix, in order.
    std::vector<std::string> linesStartingWith(const std::string& prefix) const
    {
        std::vector<std::string> found = lines();
        std::erase_if(found, [&](const auto& line) { return !line.starts_with(prefix); });
        return found;
    }
    bool mentions(const std::string& text) const
    {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(), [&](const auto& line) { return line.find(text) != line.npos; });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace kelvatta::test
