#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "operations/async_operation.h"
#include "operations/modify_timecode_operation.h"
#include "test_support.h"

using namespace kelvatta;
using namespace kelvatta::test;
using State = AsyncOperation::State;

namespace {

class Probe : public AsyncOperation {
public:
    void main() override { ++mainCalls; }
    std::atomic<int> mainCalls{0};
};

// Every announcement as "will ready", "did finished", ..., each with the state read at that moment.
struct Announcements {
    explicit Announcements(AsyncOperation& op)
    {
        op.addObserver([this](Operation& changed, std::string_view key, Operation::Change change) {
            entries.push_back(std::string(change == Operation::Change::will ? "will " : "did ") + std::string(key) +
                              " @" + std::string(AsyncOperation::rawValue(static_cast<AsyncOperation&>(changed).state())));
        });
    }
    std::vector<std::string> take() { return std::exchange(entries, {}); }
    std::vector<std::string> entries;
};

}  // namespace

TEST(AsyncOperation, EachWriteAnnouncesNewThenOldAroundTheStore)
{
    auto op = std::make_shared<Probe>();
    EXPECT_TRUE(op->isReady() && !op->isExecuting() && !op->isFinished() && op->isAsynchronous());
    Announcements seen(*op);

    op->start();
    EXPECT_EQ(seen.take(), (std::vector<std::string>{"will executing @ready", "will ready @ready",
                                                     "did ready @executing", "did executing @executing"}));
    EXPECT_EQ(op->mainCalls, 1);
    EXPECT_TRUE(op->isExecuting());
    EXPECT_FALSE(op->isReady()) << "an executing operation is not ready, whatever the base says";
    op->cancel();
    EXPECT_TRUE(op->isExecuting()) << "cancelling after start changes nothing";
    seen.take();

    op->setState(State::finished);
    EXPECT_EQ(seen.take(), (std::vector<std::string>{"will finished @executing", "will executing @executing",
                                                     "did executing @finished", "did finished @finished"}));
    EXPECT_TRUE(op->isFinished() && !op->isExecuting() && !op->isReady() && op->isAsynchronous());

    auto cancelled = std::make_shared<Probe>();
    cancelled->cancel();
    Announcements cancelledSeen(*cancelled);
    cancelled->start();
    EXPECT_EQ(cancelledSeen.take(), (std::vector<std::string>{"will finished @ready", "will ready @ready",
                                                              "did ready @finished", "did finished @finished"}));
    EXPECT_EQ(cancelled->mainCalls, 0);
}

TEST(AsyncOperation, ReadinessIsTheBasesReadinessAndTheState)
{
    auto dependency = std::make_shared<Probe>();
    auto op = std::make_shared<Probe>();
    op->addDependency(dependency);
    EXPECT_FALSE(op->isReady()) << "a dependency that has not finished holds the operation back";
    dependency->start();
    dependency->setState(State::finished);
    EXPECT_TRUE(op->isReady());
}

TEST(AsyncOperation, ReadersDuringWritesSeeTheStateOnlyMoveForward)
{
    for (int round = 0; round < 50; ++round) {
        auto op = std::make_shared<Probe>();
        std::atomic<bool> stop{false}, backwards{false};
        std::vector<std::thread> readers;
        for (int i = 0; i < 4; ++i)
            readers.emplace_back([&] {
                for (int last = 0; !stop;) {
                    int now = static_cast<int>(op->state());
                    if (now < last) backwards = true;
                    last = std::max(last, now);
                }
            });
        op->start();
        op->setState(State::finished);
        stop = true;
        for (auto& reader : readers) reader.join();
        EXPECT_FALSE(backwards);
    }
}

namespace {

// What the creator's handler saw: each outcome, and whether the operation was finished by then.
struct HandlerLog {
    std::mutex mutex;
    std::vector<Result> results;
    std::vector<bool> finishedWhenCalled;
};

std::shared_ptr<ModifyTimecodeOperation> makeOperation(const std::shared_ptr<FakeProcessor>& processor,
                                                       const std::shared_ptr<HandlerLog>& log)
{
    auto weak = std::make_shared<std::weak_ptr<ModifyTimecodeOperation>>();
    auto op = std::make_shared<ModifyTimecodeOperation>("/c/C0001.MP4", true, processor, [log, weak](Result result) {
        std::lock_guard lock(log->mutex);
        auto op = weak->lock();
        log->finishedWhenCalled.push_back(op && op->isFinished());
        log->results.push_back(std::move(result));
    });
    *weak = op;
    return op;
}

}  // namespace

TEST(ModifyTimecodeOperation, HandlerHearsTheOutcomeBeforeTheOperationFinishes)
{
    markMainThread();
    auto processor = std::make_shared<FakeProcessor>();
    processor->early = [](const auto&) { return Result::failure(Error{"VideoProcessor", 1, "无法创建导出会话"}); };
    auto log = std::make_shared<HandlerLog>();

    auto cancelled = makeOperation(processor, log);
    cancelled->cancel();
    cancelled->start();
    EXPECT_TRUE(cancelled->isFinished());
    EXPECT_TRUE(processor->calls().empty() && log->results.empty()) << "a cancelled operation does no work";

    auto op = makeOperation(processor, log);
    op->start();
    ASSERT_EQ(log->results.size(), 1u);
    EXPECT_FALSE(log->finishedWhenCalled[0]) << "the queue must not hear of the end before the creator";
    EXPECT_TRUE(op->isFinished()) << "an early failure finishes before main returns";
    EXPECT_EQ(log->results[0].error().code, 1);
    ASSERT_EQ(processor->calls().size(), 1u);
    EXPECT_TRUE(processor->calls()[0].saveAs);
}

TEST(ModifyTimecodeOperation, StaysExecutingAndAliveUntilTheExportEnds)
{
    markMainThread();
    auto processor = std::make_shared<FakeProcessor>();
    auto log = std::make_shared<HandlerLog>();
    auto op = makeOperation(processor, log);
    op->start();
    EXPECT_TRUE(op->isExecuting());
    op->cancel();
    std::weak_ptr<ModifyTimecodeOperation> weak = op;
    op.reset();
    ASSERT_FALSE(weak.expired()) << "the pending completion keeps the operation alive";

    ASSERT_TRUE(processor->complete("/c/C0001.MP4", Result::success()));
    MainRunLoop::drain();
    ASSERT_EQ(log->results.size(), 1u);
    EXPECT_TRUE(log->results[0].isSuccess()) << "a cancel after start does not change the outcome";
    EXPECT_FALSE(log->finishedWhenCalled[0]);
    EXPECT_TRUE(weak.expired()) << "released once the completion has run";
}
