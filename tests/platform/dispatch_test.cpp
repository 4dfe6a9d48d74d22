#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/dispatch.h"

using namespace kelvatta;
using namespace std::chrono_literals;

TEST(MainQueue, BlocksPostedFromTwoThreadsRunInPostingOrderOneAtATimeOnTheMainThread)
{
    markMainThread();
    std::vector<int> order;  // only touched on the main thread
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> offMain{false};
    std::atomic<int> posted{0};
    std::mutex postMutex;
    std::vector<int> postingOrder;

    auto poster = [&](int base) {
        for (int i = 0; i < 200; ++i) {
            std::lock_guard lock(postMutex);  // fixes the posting order we compare against
            int id = base + i;
            postingOrder.push_back(id);
            DispatchQueue::main().async([&, id] {
                if (++inside != 1) overlapped = true;
                if (!isMainThread()) offMain = true;
                order.push_back(id);
                --inside;
            });
            ++posted;
        }
    };
    std::thread a(poster, 0), b(poster, 1000);
    a.join();
    b.join();
    ASSERT_TRUE(MainRunLoop::runUntil([&] { return order.size() == 400; }, 5s));
    EXPECT_EQ(order, postingOrder);
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(offMain);
}

TEST(MainQueue, BlockPostedWhileABlockRunsRunsAfterItReturns)
{
    markMainThread();
    std::vector<std::string> events;
    DispatchQueue::main().async([&] {
        DispatchQueue::main().async([&] { events.push_back("inner"); });
        events.push_back("outer end");
    });
    MainRunLoop::drain();
    EXPECT_EQ(events, (std::vector<std::string>{"outer end", "inner"}));
}

TEST(MainQueue, RunUntilGivesUpAtTheTimeout)
{
    markMainThread();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(MainRunLoop::runUntil([] { return false; }, 50ms));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 50ms);
}

TEST(MainQueue, CustomBackendReceivesBlocks)
{
    struct Recording : MainQueueBackend {
        std::vector<Block> blocks;
        std::mutex m;
        void post(Block b) override
        {
            std::lock_guard lock(m);
            blocks.push_back(std::move(b));
        }
    } backend;
    setMainQueueBackend(&backend);
    int ran = 0;
    DispatchQueue::main().async([&] { ++ran; });
    setMainQueueBackend(nullptr);
    ASSERT_EQ(backend.blocks.size(), 1u);
    EXPECT_EQ(ran, 0);
    backend.blocks[0]();
    EXPECT_EQ(ran, 1);
}

TEST(GlobalQueue, RunsBlocksOffTheMainThread)
{
    markMainThread();
    std::atomic<bool> ran{false}, onMain{true};
    DispatchQueue::global().async([&] {
        onMain = isMainThread();
        ran = true;
    });
    for (int i = 0; i < 400 && !ran; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(ran);
    EXPECT_FALSE(onMain);
}

TEST(ConcurrentQueue, ReadersOverlapAndABarrierWaitsForTheReadersAlreadyRunning)
{
    ConcurrentQueue queue("com.kelvatta.test");
    std::atomic<int> readersIn{0};
    std::atomic<bool> release{false};
    std::atomic<bool> barrierRan{false};
    std::atomic<int> readersDone{0};
    auto reader = [&] {
        queue.sync([&] {
            ++readersIn;
            while (!release) std::this_thread::sleep_for(1ms);
            EXPECT_FALSE(barrierRan) << "barrier ran while a reader was running";
            ++readersDone;
        });
    };
    std::thread r1(reader), r2(reader);
    // Both readers are inside at once: plain blocks run concurrently.
    for (int i = 0; i < 400 && readersIn < 2; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(readersIn, 2);
    std::thread writer([&] {
        queue.sync(ConcurrentQueue::barrier, [&] {
            EXPECT_EQ(readersDone, 2);
            barrierRan = true;
        });
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(barrierRan);
    release = true;
    r1.join();
    r2.join();
    writer.join();
    EXPECT_TRUE(barrierRan);
    EXPECT_EQ(queue.sync([] { return 7; }), 7);
}

TEST(DispatchGroup, NotifyWithNothingEnteredRunsAtOnceOnTheMainQueue)
{
    markMainThread();
    DispatchGroup group;
    bool ran = false;
    bool onMain = false;
    group.notify(DispatchQueue::main(), [&] {
        ran = true;
        onMain = isMainThread();
    });
    EXPECT_FALSE(ran) << "posted, not run inline";
    MainRunLoop::drain();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(onMain);
}

TEST(DispatchGroup, NotifyRunsOnceWhenTheLastLeaveComesFromAnotherThread)
{
    markMainThread();
    DispatchGroup group;
    int runs = 0;
    for (int i = 0; i < 8; ++i) group.enter();
    group.notify(DispatchQueue::main(), [&] { ++runs; });
    std::vector<std::thread> leavers;
    for (int i = 0; i < 8; ++i) leavers.emplace_back([group]() mutable { group.leave(); });
    for (auto& t : leavers) t.join();
    group.leave();  // an unbalanced leave is ignored
    ASSERT_TRUE(MainRunLoop::runUntil([&] { return runs > 0; }, 2s));
    MainRunLoop::runUntil([] { return false; }, 50ms);
    EXPECT_EQ(runs, 1);
}

// A burst of blocks reuses a bounded pool instead of making a thread per waiting block.
TEST(GlobalQueue, ABurstOfBlocksRunsOnABoundedPool)
{
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"), std::filesystem::directory_iterator());
    };
    const auto before = threads();
    std::atomic<int> done{0};
    for (int i = 0; i < 2000; ++i)
        DispatchQueue::global().async([&] {
            std::this_thread::sleep_for(100us);
            ++done;
        });
    for (int i = 0; i < 2000 && done < 2000; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(done, 2000);
    EXPECT_LE(threads() - before, globalQueueWidth());
}
