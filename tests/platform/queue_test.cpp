// The operation queue and the dispatch group on their own: the order operations start in (width,
// dependencies, priority, barriers, cancellation), and a group's notification.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/operation_queue.h"
#include "support/wait.h"

using namespace kelvatta;
using kelvatta::test::waitFor;

namespace {

// What ran, in order; a gate that holds the steps made to wait until the case has added everything.
struct Journal {
    std::mutex mutex;
    std::string order;
    std::atomic<bool> open{false};
    void add(char name)
    {
        std::lock_guard lock(mutex);
        order += name;
    }
};

class Step final : public Operation {
public:
    Step(Journal& journal, char name, bool waits = false) : journal_(journal), name_(name), waits_(waits) {}
    void main() override
    {
        while (waits_ && !journal_.open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        journal_.add(name_);
    }

private:
    Journal& journal_;
    char name_;
    bool waits_;
};

TEST(OperationQueue, StartsInTheOrderItsRulesGive)
{
    const struct {
        const char* what;
        std::function<void(OperationQueue&, Journal&)> add;  // the gate is opened after it
        std::string order;  // what ran; a step cancelled before it started does not run
    } cases[] = {
        {"one at a time, in the order added",
         [](OperationQueue& q, Journal& j) {
             q.addOperation(std::make_shared<Step>(j, 'a', true));
             for (char name : std::string("bc")) q.addOperation(std::make_shared<Step>(j, name));
         },
         "abc"},
        {"a dependency first, whatever the order added",
         [](OperationQueue& q, Journal& j) {
             auto a = std::make_shared<Step>(j, 'a'), b = std::make_shared<Step>(j, 'b', true);
             a->addDependency(b);
             q.addOperation(a);
             q.addOperation(b);
         },
         "ba"},
        {"the higher priority first among those waiting",
         [](OperationQueue& q, Journal& j) {
             q.addOperation(std::make_shared<Step>(j, 'a', true));  // holds the one slot
             auto low = std::make_shared<Step>(j, 'b'), high = std::make_shared<Step>(j, 'c');
             high->setQueuePriority(Operation::QueuePriority::high);
             q.addOperation(low);
             q.addOperation(high);
         },
         "acb"},
        {"a barrier after those before it, before those after it",
         [](OperationQueue& q, Journal& j) {
             q.setMaxConcurrentOperationCount(4);
             q.addOperation(std::make_shared<Step>(j, 'a', true));
             q.addBarrierBlock([&j] { j.add('|'); });
             q.addOperation(std::make_shared<Step>(j, 'b'));
         },
         "a|b"},
        {"cancelled: one executing runs on, those not started finish without running, the barrier runs",
         [](OperationQueue& q, Journal& j) {
             auto a = std::make_shared<Step>(j, 'a', true);
             q.addOperation(a);
             q.addOperation(std::make_shared<Step>(j, 'b'));
             q.addBarrierBlock([&j] { j.add('|'); });
             ASSERT_TRUE(waitFor([&] { return a->isExecuting(); }));
             q.cancelAllOperations();
         },
         "a|"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Journal journal;
        OperationQueue queue;
        queue.setMaxConcurrentOperationCount(1);
        c.add(queue, journal);
        journal.open = true;
        ASSERT_TRUE(waitFor([&] { return queue.operationCount() == 0; }));
        std::lock_guard lock(journal.mutex);
        EXPECT_EQ(journal.order, c.order);
    }
}

TEST(DispatchGroup, NotifiesOnceEveryEnterIsLeft)
{
    DispatchGroup group;
    std::atomic<int> notified{0};
    group.notify(DispatchQueue::global(), [&] { ++notified; });  // nothing entered: at once
    ASSERT_TRUE(waitFor([&] { return notified == 1; }));
    group.enter();
    group.enter();
    group.notify(DispatchQueue::global(), [&] { notified += 10; });
    group.leave();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(notified, 1) << "one enter is not left yet";
    DispatchQueue::global().async([copy = group]() mutable { copy.leave(); });  // the group's state is shared
    ASSERT_TRUE(waitFor([&] { return notified == 11; }));
}

}  // namespace
