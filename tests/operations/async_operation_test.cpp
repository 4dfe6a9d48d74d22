#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "operations/async_operation.h"
#include "operations/modify_timecode_operation.h"
#include "platform/operation_queue.h"
#include "test_support.h"

using namespace kelvatta;
using namespace kelvatta::test;
using State = AsyncOperation::State;

namespace {

class Probe : public AsyncOperation {
public:
    void main() override { ++mainCalls; }
    void finish() { setState(State::finished); }
    std::atomic<int> mainCalls{0};
};

// Records every announcement as "will ready", "did finished", ... together with the state read at
// that moment.
struct Announcements {
    explicit Announcements(AsyncOperation& op)
    {
        op.addObserver([this](Operation& changed, std::string_view key, Operation::Change change) {
            auto& self = static_cast<AsyncOperation&>(changed);
            std::lock_guard lock(mutex);
            entries.push_back(std::string(change == Operation::Change::will ? "will " : "did ") + std::string(key));
            states.push_back(self.state());
        });
    }
    std::vector<std::string> take()
    {
        std::lock_guard lock(mutex);
        states.clear();
        return std::exchange(entries, {});
    }
    std::mutex mutex;
    std::vector<std::string> entries;
    std::vector<State> states;
};

}  // namespace

TEST(AsyncOperation, StatesCarryTheirNamesAsRawValues)
{
    EXPECT_EQ(AsyncOperation::rawValue(State::ready), "ready");
    EXPECT_EQ(AsyncOperation::rawValue(State::executing), "executing");
    EXPECT_EQ(AsyncOperation::rawValue(State::finished), "finished");
    static_assert(sizeof(State) == 1);
}

TEST(AsyncOperation, StartAndFinishAnnounceNewThenOldAroundTheStore)
{
    auto op = std::make_shared<Probe>();
    EXPECT_TRUE(op->isReady());
    EXPECT_FALSE(op->isExecuting());
    EXPECT_FALSE(op->isFinished());
    EXPECT_TRUE(op->isAsynchronous());
    Announcements seen(*op);

    op->start();
    EXPECT_EQ(seen.states, (std::vector<State>{State::ready, State::ready, State::executing, State::executing}));
    EXPECT_EQ(seen.take(), (std::vector<std::string>{"will executing", "will ready", "did ready", "did executing"}));
    EXPECT_EQ(op->mainCalls, 1);
    EXPECT_TRUE(op->isExecuting());
    EXPECT_FALSE(op->isReady()) << "an executing operation is not ready, whatever the base says";
    EXPECT_TRUE(op->isAsynchronous());

    op->finish();
    EXPECT_EQ(seen.states, (std::vector<State>{State::executing, State::executing, State::finished, State::finished}));
    EXPECT_EQ(seen.take(),
              (std::vector<std::string>{"will finished", "will executing", "did executing", "did finished"}));
    EXPECT_TRUE(op->isFinished());
    EXPECT_FALSE(op->isExecuting());
    EXPECT_FALSE(op->isReady());
    EXPECT_TRUE(op->isAsynchronous());
}

TEST(AsyncOperation, CancelledBeforeStartFinishesWithoutMain)
{
    auto op = std::make_shared<Probe>();
    op->cancel();
    Announcements seen(*op);
    op->start();
    EXPECT_EQ(seen.take(), (std::vector<std::string>{"will finished", "will ready", "did ready", "did finished"}));
    EXPECT_EQ(op->mainCalls, 0);
    EXPECT_TRUE(op->isFinished());

    // Cancelling after start changes nothing.
    auto running = std::make_shared<Probe>();
    running->start();
    running->cancel();
    EXPECT_TRUE(running->isExecuting());
}

TEST(AsyncOperation, WritingTheSameStateStillAnnouncesTwiceEach)
{
    auto op = std::make_shared<Probe>();
    Announcements seen(*op);
    op->setState(State::ready);
    EXPECT_EQ(seen.take(), (std::vector<std::string>{"will ready", "will ready", "did ready", "did ready"}));
    EXPECT_EQ(op->state(), State::ready);
}

TEST(AsyncOperation, ReadinessIsTheBasesReadinessAndTheState)
{
    auto dependency = std::make_shared<Probe>();
    auto op = std::make_shared<Probe>();
    op->addDependency(dependency);
    EXPECT_FALSE(op->isReady()) << "a dependency that has not finished holds the operation back";
    dependency->start();
    EXPECT_FALSE(op->isReady());
    dependency->finish();
    EXPECT_TRUE(op->isReady());
}

TEST(AsyncOperation, ReadersDuringWritesSeeTheStateOnlyMoveForward)
{
    for (int round = 0; round < 50; ++round) {
        auto op = std::make_shared<Probe>();
        std::atomic<bool> stop{false};
        std::atomic<bool> backwards{false};
        std::vector<std::thread> readers;
        for (int i = 0; i < 4; ++i)
            readers.emplace_back([&] {
                int last = 0;
                while (!stop) {
                    int now = static_cast<int>(op->state());
                    if (now < last) backwards = true;
                    last = std::max(last, now);
                }
            });
        op->start();
        op->finish();
        stop = true;
        for (auto& reader : readers) reader.join();
        EXPECT_FALSE(backwards);
    }
}

TEST(AsyncOperation, HoldsItsQueueSlotUntilFinishedFromAnotherThread)
{
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    auto first = std::make_shared<Probe>();
    auto second = std::make_shared<Probe>();
    auto cancelled = std::make_shared<Probe>();
    std::atomic<bool> barrierRan{false};
    queue.addOperation(first);
    queue.addOperation(second);
    queue.addOperation(cancelled);
    queue.addBarrierBlock([&] { barrierRan = true; });

    ASSERT_TRUE(runUntil([&] { return first->mainCalls == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(second->mainCalls, 0) << "the first still executes after its start has returned";

    cancelled->cancel();
    std::thread([&] { first->finish(); }).join();
    ASSERT_TRUE(runUntil([&] { return second->mainCalls == 1; }));
    second->finish();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(barrierRan);
    EXPECT_EQ(cancelled->mainCalls, 0);
    EXPECT_TRUE(cancelled->isFinished());
}

// ModifyTimecodeOperation

namespace {

struct HandlerLog {
    std::mutex mutex;
    std::vector<Result> results;
    std::vector<bool> finishedWhenCalled;
    size_t count()
    {
        std::lock_guard lock(mutex);
        return results.size();
    }
};

std::shared_ptr<ModifyTimecodeOperation> makeOperation(const std::shared_ptr<FakeProcessor>& processor,
                                                       const std::shared_ptr<HandlerLog>& log,
                                                       std::shared_ptr<ModifyTimecodeOperation>* self = nullptr,
                                                       bool saveAs = false)
{
    // The handler looks at the operation through a weak reference, so the test does not keep it alive.
    auto weak = std::make_shared<std::weak_ptr<ModifyTimecodeOperation>>();
    auto op = std::make_shared<ModifyTimecodeOperation>(
        "/clips/C0001.MP4", saveAs, processor, [log, weak](Result result) {
            std::lock_guard lock(log->mutex);
            auto op = weak->lock();
            log->finishedWhenCalled.push_back(op && op->isFinished());
            log->results.push_back(std::move(result));
        });
    *weak = op;
    if (self) *self = op;
    return op;
}

}  // namespace

TEST(ModifyTimecodeOperation, CancelledBeforeStartNeverCallsTheProcessorOrTheHandler)
{
    markMainThread();
    auto processor = std::make_shared<FakeProcessor>();
    auto log = std::make_shared<HandlerLog>();
    auto op = makeOperation(processor, log);
    op->cancel();
    op->start();
    EXPECT_TRUE(processor->calls().empty());
    EXPECT_EQ(log->count(), 0u);
    EXPECT_TRUE(op->isFinished());
}

TEST(ModifyTimecodeOperation, EarlyFailureIsReportedBeforeFinishingAndBeforeMainReturns)
{
    markMainThread();
    auto processor = std::make_shared<FakeProcessor>();
    processor->early = [](const auto&) { return Result::failure(Error{"VideoProcessor", 1, "无法创建导出会话"}); };
    auto log = std::make_shared<HandlerLog>();
    auto op = makeOperation(processor, log, nullptr, true);
    op->start();
    ASSERT_EQ(log->count(), 1u);
    EXPECT_FALSE(log->finishedWhenCalled[0]) << "the handler must hear of the outcome before the queue does";
    EXPECT_TRUE(op->isFinished());
    EXPECT_EQ(log->results[0].error().code, 1);
    ASSERT_EQ(processor->calls().size(), 1u);
    EXPECT_TRUE(processor->calls()[0].saveAs);
    EXPECT_EQ(processor->calls()[0].file, "/clips/C0001.MP4");
}

TEST(ModifyTimecodeOperation, StaysExecutingAndAliveUntilTheExportEndsEvenWhenCancelled)
{
    markMainThread();
    auto processor = std::make_shared<FakeProcessor>();
    auto log = std::make_shared<HandlerLog>();
    std::shared_ptr<ModifyTimecodeOperation> op;
    makeOperation(processor, log, &op);
    op->start();
    EXPECT_TRUE(op->isExecuting());
    op->cancel();

    std::weak_ptr<ModifyTimecodeOperation> weak = op;
    op.reset();
    ASSERT_FALSE(weak.expired()) << "the pending completion keeps the operation alive";

    ASSERT_TRUE(processor->complete("/clips/C0001.MP4", Result::success()));
    MainRunLoop::drain();
    ASSERT_EQ(log->count(), 1u);
    EXPECT_TRUE(log->results[0].isSuccess());
    EXPECT_FALSE(log->finishedWhenCalled[0]);
    EXPECT_TRUE(weak.expired()) << "released once the completion has run";
}
