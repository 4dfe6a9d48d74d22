#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/operation_queue.h"

using namespace kelvatta;
using namespace std::chrono_literals;

namespace {

// Waits up to two seconds for cond.
template <typename F>
bool eventually(F cond)
{
    for (int i = 0; i < 400; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return cond();
}

// An asynchronous operation that stays executing until finish() is called.
class GateOperation : public Operation {
public:
    explicit GateOperation(std::atomic<int>* startedCount = nullptr) : startedCount_(startedCount) {}

    bool isAsynchronous() const override { return true; }
    bool isExecuting() const override { return executing_; }
    bool isFinished() const override { return finished_; }
    bool isReady() const override { return Operation::isReady() && !executing_ && !finished_; }

    void start() override
    {
        if (isCancelled()) {
            cancelledAtStart = true;
            finish();
            return;
        }
        willChangeValueForKey("executing");
        executing_ = true;
        didChangeValueForKey("executing");
        started = true;
        if (startedCount_) ++*startedCount_;
    }

    void finish()
    {
        willChangeValueForKey("finished");
        executing_ = false;
        finished_ = true;
        didChangeValueForKey("finished");
    }

    std::atomic<bool> started{false};
    std::atomic<bool> cancelledAtStart{false};

private:
    std::atomic<int>* startedCount_;
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
};

std::vector<std::shared_ptr<GateOperation>> makeGates(int n, std::atomic<int>* counter)
{
    std::vector<std::shared_ptr<GateOperation>> ops;
    for (int i = 0; i < n; ++i) ops.push_back(std::make_shared<GateOperation>(counter));
    return ops;
}

}  // namespace

TEST(OperationQueue, WidthIsReadBackAsSet)
{
    OperationQueue queue;
    EXPECT_EQ(queue.maxConcurrentOperationCount(), OperationQueue::defaultMaxConcurrentOperationCount);
    queue.setMaxConcurrentOperationCount(3);
    EXPECT_EQ(queue.maxConcurrentOperationCount(), 3);
}

TEST(OperationQueue, WidthThreeStartsThreeAndEachFinishFromAnotherThreadLetsOneMoreStart)
{
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(3);
    std::atomic<int> started{0};
    auto ops = makeGates(5, &started);
    for (auto& op : ops) queue.addOperation(op);

    ASSERT_TRUE(eventually([&] { return started == 3; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(started, 3);
    EXPECT_TRUE(ops[0]->started && ops[1]->started && ops[2]->started) << "started out of order";

    std::thread([&] { ops[1]->finish(); }).join();
    ASSERT_TRUE(eventually([&] { return started == 4; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(started, 4);
    EXPECT_TRUE(ops[3]->started);

    std::thread([&] { ops[0]->finish(); }).join();
    ASSERT_TRUE(eventually([&] { return started == 5; }));
    for (auto& op : ops)
        if (!op->isFinished()) op->finish();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueue, AsynchronousOperationKeepsItsSlotAfterStartReturns)
{
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    std::atomic<int> started{0};
    auto ops = makeGates(2, &started);
    queue.addOperation(ops[0]);
    queue.addOperation(ops[1]);
    ASSERT_TRUE(eventually([&] { return started == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(ops[1]->started);
    ops[0]->finish();
    ASSERT_TRUE(eventually([&] { return ops[1]->started.load(); }));
    ops[1]->finish();
    queue.waitUntilAllOperationsAreFinished();
}

TEST(OperationQueue, SynchronousOperationEndsWhenStartReturns)
{
    struct Counting : Operation {
        std::atomic<int>* n;
        explicit Counting(std::atomic<int>* n) : n(n) {}
        void main() override { ++*n; }
    };
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    std::atomic<int> ran{0};
    for (int i = 0; i < 10; ++i) queue.addOperation(std::make_shared<Counting>(&ran));
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran, 10);
}

TEST(OperationQueue, BarrierRunsOnlyAfterEveryEarlierOperationFinishedDoneOrCancelled)
{
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(3);
    std::atomic<int> started{0};
    auto ops = makeGates(5, &started);
    for (auto& op : ops) queue.addOperation(op);
    std::atomic<bool> barrierRan{false};
    std::atomic<int> barrierRuns{0};
    queue.addBarrierBlock([&] {
        for (auto& op : ops) EXPECT_TRUE(op->isFinished());
        ++barrierRuns;
        barrierRan = true;
    });
    ASSERT_TRUE(eventually([&] { return started == 3; }));

    // The first failure cancels everything; the two waiting operations are still started when
    // slots free up and finish at once, the three running ones finish when their work ends.
    queue.cancelAllOperations();
    ops[0]->finish();
    ops[2]->finish();
    ASSERT_TRUE(eventually([&] { return ops[3]->isFinished() && ops[4]->isFinished(); }));
    EXPECT_TRUE(ops[3]->cancelledAtStart && ops[4]->cancelledAtStart);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(barrierRan) << "barrier ran while an operation before it was executing";
    ops[1]->finish();
    ASSERT_TRUE(eventually([&] { return barrierRan.load(); }));
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(barrierRuns, 1);
}

TEST(OperationQueue, OperationsAddedAfterABarrierWaitForIt)
{
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(3);
    auto first = std::make_shared<GateOperation>();
    auto later = std::make_shared<GateOperation>();
    std::atomic<bool> releaseBarrier{false};
    std::atomic<bool> barrierDone{false};
    queue.addOperation(first);
    queue.addBarrierBlock([&] {
        while (!releaseBarrier) std::this_thread::sleep_for(1ms);
        barrierDone = true;
    });
    queue.addOperation(later);
    ASSERT_TRUE(eventually([&] { return first->started.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(later->started);
    first->finish();
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(later->started) << "started while the barrier ran";
    releaseBarrier = true;
    ASSERT_TRUE(eventually([&] { return later->started.load(); }));
    EXPECT_TRUE(barrierDone);
    later->finish();
    queue.waitUntilAllOperationsAreFinished();
}

TEST(OperationQueue, DependentOperationStartsOnlyAfterItsDependencyFinished)
{
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(3);
    auto first = std::make_shared<GateOperation>();
    auto second = std::make_shared<GateOperation>();
    second->addDependency(first);
    EXPECT_FALSE(second->isReady());
    queue.addOperation(first);
    queue.addOperation(second);
    ASSERT_TRUE(eventually([&] { return first->started.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(second->started);
    first->finish();
    ASSERT_TRUE(eventually([&] { return second->started.load(); }));
    second->finish();
    queue.waitUntilAllOperationsAreFinished();
}

TEST(OperationQueue, CancelledDependentNoLongerWaits)
{
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(3);
    auto first = std::make_shared<GateOperation>();
    auto second = std::make_shared<GateOperation>();
    second->addDependency(first);
    queue.addOperation(first);
    queue.addOperation(second);
    ASSERT_TRUE(eventually([&] { return first->started.load(); }));
    queue.cancelAllOperations();
    ASSERT_TRUE(eventually([&] { return second->isFinished(); }));
    EXPECT_TRUE(second->cancelledAtStart);
    EXPECT_TRUE(first->isExecuting()) << "a running operation is not interrupted";
    first->finish();
    queue.waitUntilAllOperationsAreFinished();
}

TEST(OperationQueue, HigherPriorityWaitingOperationStartsFirst)
{
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    auto blocker = std::make_shared<GateOperation>();
    auto low = std::make_shared<GateOperation>();
    auto high = std::make_shared<GateOperation>();
    high->setQueuePriority(Operation::QueuePriority::high);
    queue.addOperation(blocker);
    ASSERT_TRUE(eventually([&] { return blocker->started.load(); }));
    queue.addOperation(low);
    queue.addOperation(high);
    blocker->finish();
    ASSERT_TRUE(eventually([&] { return high->started.load(); }));
    EXPECT_FALSE(low->started);
    high->finish();
    ASSERT_TRUE(eventually([&] { return low->started.load(); }));
    low->finish();
    queue.waitUntilAllOperationsAreFinished();
}

TEST(OperationQueue, ManyShortOperationsFromSeveralThreadsAllRunOnceWithinTheWidth)
{
    struct Counting : Operation {
        std::atomic<int>* running;
        std::atomic<int>* peak;
        std::atomic<int>* done;
        Counting(std::atomic<int>* r, std::atomic<int>* p, std::atomic<int>* d) : running(r), peak(p), done(d) {}
        void main() override
        {
            int now = ++*running;
            int seen = peak->load();
            while (now > seen && !peak->compare_exchange_weak(seen, now)) {}
            std::this_thread::sleep_for(100us);
            --*running;
            ++*done;
        }
    };
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(2);
    std::atomic<int> running{0}, peak{0}, done{0};
    std::vector<std::thread> adders;
    for (int t = 0; t < 4; ++t)
        adders.emplace_back([&] {
            for (int i = 0; i < 50; ++i) queue.addOperation(std::make_shared<Counting>(&running, &peak, &done));
        });
    for (auto& t : adders) t.join();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(done, 200);
    EXPECT_LE(peak, 2);
}

TEST(ProcessorCount, AtLeastOne)
{
    EXPECT_GE(activeProcessorCount(), 1);
}
