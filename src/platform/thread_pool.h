// Worker threads for blocks: a thread is made when a block arrives and none is idle, and is kept
// for the next block.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvatta {

class ThreadPool {
public:
    ThreadPool() = default;
    // Runs the blocks still waiting, then joins every thread.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    void submit(std::function<void()> block);

private:
    void work();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> blocks_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace kelvatta
