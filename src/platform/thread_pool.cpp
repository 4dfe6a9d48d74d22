#include "platform/thread_pool.h"

#include <chrono>
#include <system_error>

namespace kelvatta {

ThreadPool::~ThreadPool()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

bool ThreadPool::submit(std::function<void()>& block)
{
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
    // Blocks already waiting have claimed idle threads of their own; at the bound, the block waits
    // for a thread to finish the one it runs.
    if (idle_ >= blocks_.size() || threads_.size() >= maxThreads_) {
        wake_.notify_one();
        return true;
    }
    // A thread may not be had (no address space left for its stack, a limit on processes): the block
    // then waits for a thread of the pool to be free, as at the bound. A pool without any thread
    // tries a while longer, for memory another thread is about to give back, then hands the block
    // back. The lock is kept meanwhile: with no thread in the pool, only submitters wait for it, and
    // the block stays the last one queued.
    for (int attempt = 0;; ++attempt) {
        try {
            threads_.emplace_back([this] { work(); });
            return true;
        } catch (const std::system_error&) {
            if (!threads_.empty()) return true;
        }
        if (attempt == 100) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    block = std::move(blocks_.back());
    blocks_.pop_back();
    return false;
}

void ThreadPool::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (blocks_.empty()) {
            if (stopping_) return;
            ++idle_;
            wake_.wait(lock, [this] { return stopping_ || !blocks_.empty(); });
            --idle_;
            continue;
        }
        auto block = std::move(blocks_.front());
        blocks_.pop_front();
        lock.unlock();
        block();
        block = nullptr;  // release what the block holds before waiting again
        lock.lock();
    }
}

}  // namespace kelvatta
