#include "platform/operation_queue.h"

#include <algorithm>
#include <list>
#include <mutex>
#include <vector>

#include "platform/dispatch.h"
#include "platform/thread_pool.h"

namespace kelvatta {

struct OperationQueue::Impl : std::enable_shared_from_this<OperationQueue::Impl> {
    struct Entry {
        std::shared_ptr<Operation> operation;  // null for a barrier block
        std::function<void()> barrier;
        long observerToken = 0;
        bool started = false;
    };

    mutable std::mutex mutex;
    std::list<Entry> entries;  // in the order added; removed when finished
    long width = defaultMaxConcurrentOperationCount;
    long running = 0;
    bool shuttingDown = false;
    std::unique_ptr<ThreadPool> pool = std::make_unique<ThreadPool>();

    long effectiveWidth() const { return width < 0 ? std::max(1, activeProcessorCount()) : width; }

    // Starts what may start now. Caller holds mutex.
    void pump()
    {
        if (shuttingDown) return;
        long free = effectiveWidth() - running;
        if (free <= 0) return;
        // Operations ahead of the first barrier may start, higher priority first, then in the
        // order added. A barrier starts once nothing is ahead of it.
        std::vector<Entry*> candidates;
        for (auto& entry : entries) {
            if (!entry.operation) {
                if (!entry.started && &entry == &entries.front()) {
                    entry.started = true;
                    ++running;
                    run([this, &entry] { runBarrier(entry); });
                }
                break;
            }
            if (!entry.started && entry.operation->isReady()) candidates.push_back(&entry);
        }
        std::stable_sort(candidates.begin(), candidates.end(), [](Entry* a, Entry* b) {
            return static_cast<int>(a->operation->queuePriority()) > static_cast<int>(b->operation->queuePriority());
        });
        for (Entry* entry : candidates) {
            if (running >= effectiveWidth()) break;
            entry->started = true;
            ++running;
            run([operation = entry->operation] { operation->start(); });
        }
    }

    // A block on a thread of the pool, or on the main thread where no thread can be had.
    void run(std::function<void()> block)
    {
        if (!pool->submit(block)) DispatchQueue::main().async(std::move(block));
    }

    void runBarrier(Entry& entry)
    {
        entry.barrier();
        std::lock_guard lock(mutex);
        --running;
        entries.remove_if([&](const Entry& e) { return &e == &entry; });
        pump();
    }

    // The operation announced a change of key.
    void observe(Operation& operation, std::string_view key)
    {
        std::shared_ptr<Operation> released;
        {
            std::lock_guard lock(mutex);
            if (key == "finished") {
                if (!operation.isFinished()) return;
                auto it = std::find_if(entries.begin(), entries.end(),
                                       [&](const Entry& e) { return e.operation.get() == &operation; });
                if (it == entries.end()) return;
                if (it->started) --running;
                released = std::move(it->operation);
                operation.removeObserver(it->observerToken);
                entries.erase(it);
            } else if (key != "ready") {
                return;
            }
            pump();
        }
        // released (the queue's reference) is dropped here, outside the lock.
    }
};

OperationQueue::OperationQueue() : impl_(std::make_shared<Impl>()) {}

OperationQueue::~OperationQueue()
{
    {
        std::lock_guard lock(impl_->mutex);
        impl_->shuttingDown = true;
    }
    impl_->pool.reset();
    std::lock_guard lock(impl_->mutex);
    for (auto& entry : impl_->entries)
        if (entry.operation) entry.operation->removeObserver(entry.observerToken);
}

void OperationQueue::setMaxConcurrentOperationCount(long count)
{
    std::lock_guard lock(impl_->mutex);
    impl_->width = count;
    impl_->pump();
}

long OperationQueue::maxConcurrentOperationCount() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->width;
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation)
{
    if (!operation) return;
    std::weak_ptr<Impl> weakImpl = impl_;
    // Registered before the operation joins the list, so no announcement is missed; the observer
    // ignores an operation that is not (or no longer) in the list.
    long token = operation->addObserver([weakImpl](Operation& op, std::string_view key, Operation::Change change) {
        if (change != Operation::Change::did) return;
        if (auto impl = weakImpl.lock()) impl->observe(op, key);
    });
    std::lock_guard lock(impl_->mutex);
    impl_->entries.push_back(Impl::Entry{std::move(operation), {}, token, false});
    impl_->pump();
}

void OperationQueue::addBarrierBlock(std::function<void()> block)
{
    std::lock_guard lock(impl_->mutex);
    impl_->entries.push_back(Impl::Entry{nullptr, std::move(block), 0, false});
    impl_->pump();
}

void OperationQueue::cancelAllOperations()
{
    std::vector<std::shared_ptr<Operation>> operations;
    {
        std::lock_guard lock(impl_->mutex);
        for (auto& entry : impl_->entries)
            if (entry.operation) operations.push_back(entry.operation);
    }
    for (auto& operation : operations) operation->cancel();
}

size_t OperationQueue::operationCount() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->entries.size();
}

}  // namespace kelvatta
