// Waits for what other threads make true: on the main thread it runs the main queue meanwhile (where
// results arrive), elsewhere it sleeps in short steps.
#pragma once

#include <thread>

#include "platform/dispatch.h"

namespace kelvatta::test {

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (isMainThread()) MainRunLoop::runUntil(done, std::chrono::milliseconds(5));
        else std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace kelvatta::test
