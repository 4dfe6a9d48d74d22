#include "platform/log.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace kelvatta {
namespace {

std::mutex logMutex;
LogSink logSink;

}  // namespace

void printLine(std::string_view text)
{
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    std::lock_guard lock(logMutex);
    if (logSink) {
        logSink(text);
        return;
    }
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // standard output is gone; the log is not worth failing the work for
        done += static_cast<size_t>(n);
    }
}

void setLogSink(LogSink sink)
{
    std::lock_guard lock(logMutex);
    logSink = std::move(sink);
}

}  // namespace kelvatta
