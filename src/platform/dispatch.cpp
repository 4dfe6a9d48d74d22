#include "platform/dispatch.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/thread_pool.h"

namespace kelvatta {
namespace {

std::atomic<std::thread::id> mainThreadId{std::this_thread::get_id()};
std::atomic<MainQueueBackend*> mainBackend{nullptr};

// Blocks posted to the main queue while the built-in run loop is its backend.
struct RunLoopState {
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<Block> blocks;
};

RunLoopState& runLoop()
{
    static auto* state = new RunLoopState;  // never destroyed: blocks may be posted during exit
    return *state;
}

class MainQueue final : public DispatchQueue {
public:
    void async(Block block) override
    {
        if (auto* backend = mainBackend.load(std::memory_order_acquire)) {
            backend->post(std::move(block));
            return;
        }
        auto& loop = runLoop();
        {
            std::lock_guard lock(loop.mutex);
            loop.blocks.push_back(std::move(block));
        }
        loop.posted.notify_all();
    }
};

ThreadPool& globalPool()
{
    // Never destroyed: its threads may outlive main.
    static auto* pool = new ThreadPool(static_cast<size_t>(globalQueueWidth()));
    return *pool;
}

class GlobalQueue final : public DispatchQueue {
public:
    // Where no thread can be had, the block runs on the main thread: later, never on the caller's
    // thread, which may hold what the block takes.
    void async(Block block) override
    {
        if (!globalPool().submit(block)) DispatchQueue::main().async(std::move(block));
    }
};

// Takes the next block of the built-in run loop, waiting until the deadline.
bool takeBlock(Block& out, std::chrono::steady_clock::time_point deadline)
{
    auto& loop = runLoop();
    std::unique_lock lock(loop.mutex);
    if (!loop.posted.wait_until(lock, deadline, [&] { return !loop.blocks.empty(); })) return false;
    out = std::move(loop.blocks.front());
    loop.blocks.pop_front();
    return true;
}

}  // namespace

DispatchQueue& DispatchQueue::main()
{
    static auto* queue = new MainQueue;
    return *queue;
}

DispatchQueue& DispatchQueue::global(QoS)
{
    static auto* queue = new GlobalQueue;
    return *queue;
}

void setMainQueueBackend(MainQueueBackend* backend)
{
    markMainThread();
    mainBackend.store(backend, std::memory_order_release);
}

bool isMainThread() { return std::this_thread::get_id() == mainThreadId.load(std::memory_order_acquire); }

void markMainThread() { mainThreadId.store(std::this_thread::get_id(), std::memory_order_release); }

bool MainRunLoop::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        Block block;
        if (!takeBlock(block, deadline)) return predicate();
        block();
    }
    return true;
}

void MainRunLoop::drain()
{
    Block block;
    while (takeBlock(block, std::chrono::steady_clock::now())) {
        block();
        block = nullptr;
    }
}

struct DispatchGroup::State {
    std::mutex mutex;
    long count = 0;
    std::vector<std::pair<DispatchQueue*, Block>> notifications;
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter()
{
    std::lock_guard lock(state_->mutex);
    ++state_->count;
}

void DispatchGroup::leave()
{
    std::vector<std::pair<DispatchQueue*, Block>> due;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count == 0) return;  // unbalanced leave: nothing is outstanding
        if (--state_->count == 0) due.swap(state_->notifications);
    }
    for (auto& [queue, block] : due) queue->async(std::move(block));
}

void DispatchGroup::notify(DispatchQueue& queue, Block block)
{
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count != 0) {
            state_->notifications.emplace_back(&queue, std::move(block));
            return;
        }
    }
    queue.async(std::move(block));
}

int activeProcessorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

int globalQueueWidth() { return std::clamp(activeProcessorCount(), 4, 16); }

}  // namespace kelvatta
