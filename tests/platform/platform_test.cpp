// The runtime under the batch: the main queue, the global queue, the operation queue's width under
// load from several threads, whole log lines from several threads, and overflow-checked arithmetic.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/checked.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/operation_queue.h"

using namespace kelvatta;
using namespace std::chrono_literals;

TEST(MainQueue, RunsBlocksOnTheMainThreadOneAtATimeInPostingOrder)
{
    markMainThread();
    std::vector<int> order, posted;  // order: touched on the main thread only
    std::mutex postMutex;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false}, offMain{false};
    const auto poster = [&](int base) {
        for (int id = base; id < base + 200; ++id) {
            std::lock_guard lock(postMutex);  // fixes the posting order compared against
            posted.push_back(id);
            DispatchQueue::main().async([&, id] {
                overlapped = overlapped || ++inside != 1;
                offMain = offMain || !isMainThread();
                order.push_back(id);
                if (id == 0) DispatchQueue::main().async([&] { order.push_back(-1); });  // after this returns
                --inside;
            });
        }
    };
    std::thread a(poster, 0), b(poster, 1000);
    a.join();
    b.join();
    ASSERT_TRUE(MainRunLoop::runUntil([&] { return order.size() == 401; }, 5s));
    std::erase(order, -1);
    EXPECT_EQ(order, posted);
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(offMain);
    EXPECT_FALSE(MainRunLoop::runUntil([] { return false; }, 20ms));
}

TEST(GlobalQueue, RunsEveryBlockOffTheMainThread)
{
    markMainThread();
    std::atomic<int> ran{0}, onMain{0};
    for (int i = 0; i < 2000; ++i)
        DispatchQueue::global().async([&] {
            onMain += isMainThread() ? 1 : 0;
            ++ran;
        });
    for (int i = 0; i < 2000 && ran < 2000; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(ran, 2000);
    EXPECT_EQ(onMain, 0);
}

TEST(OperationQueue, ManyOperationsFromSeveralThreadsAllRunOnceWithinTheWidth)
{
    struct Counting : Operation {
        std::atomic<int>&running, &peak, &done;
        Counting(std::atomic<int>& r, std::atomic<int>& p, std::atomic<int>& d) : running(r), peak(p), done(d) {}
        void main() override
        {
            const int now = ++running;
            for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
            }
            std::this_thread::sleep_for(100us);
            --running;
            ++done;
        }
    };
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(2);
    std::atomic<int> running{0}, peak{0}, done{0};
    std::vector<std::thread> adders;
    for (int t = 0; t < 4; ++t)
        adders.emplace_back([&] {
            for (int i = 0; i < 50; ++i) queue.addOperation(std::make_shared<Counting>(running, peak, done));
        });
    for (auto& t : adders) t.join();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(done, 200);
    EXPECT_EQ(peak, 2);
}

// Lines printed by several threads at once reach standard output whole.
TEST(Log, LinesFromSeveralThreadsNeverMix)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const int savedStdout = ::dup(STDOUT_FILENO);
    ASSERT_EQ(::dup2(fds[1], STDOUT_FILENO), STDOUT_FILENO);
    ::close(fds[1]);
    std::string received;
    std::thread reader([&] {
        char buf[65536];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) received.append(buf, static_cast<size_t>(n));
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                printLine(std::to_string(t) + "/" + std::to_string(i) + std::string(10000, static_cast<char>('a' + t)));
        });
    for (auto& w : writers) w.join();
    ASSERT_EQ(::dup2(savedStdout, STDOUT_FILENO), STDOUT_FILENO);  // closes the pipe's last writer
    ::close(savedStdout);
    reader.join();
    ::close(fds[0]);
    std::istringstream in(received);
    std::set<std::string> seen;
    for (std::string line; std::getline(in, line);) {
        ASSERT_GT(line.size(), 10000u);
        EXPECT_EQ(line.substr(line.size() - 10000), std::string(10000, static_cast<char>('a' + line[0] - '0')));
        seen.insert(line.substr(0, line.size() - 10000));
    }
    EXPECT_EQ(seen.size(), 800u);
}

TEST(Checked, OverflowIsNothing)
{
    EXPECT_EQ(checkedAdd<uint64_t>(UINT64_MAX, 1), std::nullopt);
    EXPECT_EQ(checkedAdd<uint64_t>(2, 3), 5u);
    EXPECT_EQ(checkedMul<uint32_t>(1u << 31, 2), std::nullopt);
    EXPECT_EQ((checkedCast<uint32_t>(uint64_t{1} << 32)), std::nullopt);
    EXPECT_EQ((checkedCast<uint32_t>(int64_t{-1})), std::nullopt);
}
