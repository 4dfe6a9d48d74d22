// Dispatch: the main queue, the global queue, concurrent queues and groups.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>

namespace kelvatta {

using Block = std::function<void()>;

// Something blocks can be posted to.
class DispatchQueue {
public:
    virtual ~DispatchQueue() = default;
    virtual void async(Block block) = 0;

    // Blocks run on the main thread, one at a time, in the order posted, each after the work running
    // there has returned.
    static DispatchQueue& main();

    enum class QoS { userInitiated, utility, background };
    // Blocks run on background threads, up to globalQueueWidth() at once; the others wait, in the
    // order posted, for a thread to be free. The threads are kept for later blocks.
    static DispatchQueue& global(QoS qos = QoS::userInitiated);
};

// How blocks posted to the main queue reach the main thread. The window puts its event loop behind
// it; the command line and the tests use MainRunLoop.
class MainQueueBackend {
public:
    virtual ~MainQueueBackend() = default;
    // Called from any thread; must run the block later on the main thread, in posting order.
    virtual void post(Block block) = 0;
};

// Installs the backend of the main queue and makes the calling thread the main thread. nullptr goes
// back to the built-in run loop. The backend must outlive its installation.
void setMainQueueBackend(MainQueueBackend* backend);

// True on the thread that was made the main thread (by default the first one that asked).
bool isMainThread();
// Makes the calling thread the main thread.
void markMainThread();

// The built-in main queue backend: blocks wait in a list until the main thread runs them.
class MainRunLoop {
public:
    // Runs posted blocks on the calling thread (which must be the main thread) until predicate
    // holds after a block, or the timeout passes. Returns whether the predicate held.
    static bool runUntil(const std::function<bool()>& predicate,
                         std::chrono::milliseconds timeout = std::chrono::hours(24 * 365));
    // Runs the blocks already posted, and those they post, until none is waiting.
    static void drain();
};

// A concurrent queue used as a reader/writer guard: plain sync blocks may run at the same time;
// a barrier sync block waits for those running and runs alone.
class ConcurrentQueue {
public:
    template <typename F>
    auto sync(F&& f) const
    {
        std::shared_lock lock(mutex_);
        return f();
    }

    struct BarrierFlag {};
    static constexpr BarrierFlag barrier{};

    template <typename F>
    auto sync(BarrierFlag, F&& f)
    {
        std::unique_lock lock(mutex_);
        return f();
    }

private:
    mutable std::shared_mutex mutex_;
};

// A count of outstanding work with notifications when it drops to zero.
class DispatchGroup {
public:
    DispatchGroup();
    void enter();
    void leave();
    // Posts the block to queue once the count is zero: at once if it is zero now.
    void notify(DispatchQueue& queue, Block block);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// The number of processor cores this process may run on, at least 1.
int activeProcessorCount();

// How many blocks of the global queue run at once: one per core, at least 4 (its blocks wait on
// disks as much as on processors) and at most 16.
int globalQueueWidth();

}  // namespace kelvatta
