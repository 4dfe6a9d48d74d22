// Runs operations on worker threads, at most maxConcurrentOperationCount at once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/operation.h"

namespace kelvatta {

class OperationQueue {
public:
    // The width a new queue has: as many operations at once as there are active cores.
    static constexpr long defaultMaxConcurrentOperationCount = -1;

    OperationQueue();
    // Starts nothing new; waits for the start calls under way on its threads to return.
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    void setMaxConcurrentOperationCount(long count);
    long maxConcurrentOperationCount() const;

    // The queue keeps the operation and calls its start on a worker thread once it is ready and a
    // slot is free. The slot is freed when the operation announces "finished" and isFinished is true.
    void addOperation(std::shared_ptr<Operation> operation);

    // Runs block once on a worker thread after every operation added before it has finished;
    // operations added after it wait for it. cancelAllOperations does not cancel it.
    void addBarrierBlock(std::function<void()> block);

    // Marks every operation in the queue cancelled. Those not started are still started (and
    // finish at once); those executing run on.
    void cancelAllOperations();

    // Operations and barrier blocks not yet finished.
    size_t operationCount() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace kelvatta
