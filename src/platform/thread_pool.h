// Worker threads for blocks: a thread is made when a block arrives, none is idle and fewer than the
// pool's bound run, and is kept for the next block. Blocks beyond the bound wait their turn, in the
// order submitted.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvatta {

class ThreadPool {
public:
    // At most maxThreads threads; without a bound, the caller limits how many blocks wait at once.
    explicit ThreadPool(size_t maxThreads = std::numeric_limits<size_t>::max()) : maxThreads_(maxThreads) {}
    // Runs the blocks still waiting, then joins every thread.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Queues block for a thread of the pool. False, block left with the caller, where the pool has no
    // thread and none can be made (the system out of threads or memory).
    [[nodiscard]] bool submit(std::function<void()>& block);

private:
    void work();

    const size_t maxThreads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> blocks_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace kelvatta
