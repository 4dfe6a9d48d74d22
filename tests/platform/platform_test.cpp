// The log: whole lines on standard output, from several threads at once; the global queue's pool and
// a pool that cannot have a thread; a misused ErrorOr.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/sys.h"
#include "platform/thread_pool.h"
#include "support/address_space.h"
#include "support/wait.h"

using namespace kelvatta;

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

// A burst of blocks reuses a bounded pool instead of making a thread per waiting block.
TEST(GlobalQueue, ABurstOfBlocksRunsOnABoundedPool)
{
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::atomic<int> done{0};
    for (int i = 0; i < 2000; ++i)
        DispatchQueue::global().async([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
            ++done;
        });
    ASSERT_TRUE(test::waitFor([&] { return done == 2000; }));
    std::lock_guard lock(mutex);
    EXPECT_LE(threads.size(), static_cast<size_t>(globalQueueWidth()));
}

// A pool that cannot make its first thread (no address space left for its stack) hands the block
// back; no exception escapes.
TEST(ThreadPoolDeathTest, WithoutAThreadTheBlockComesBack)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve address space of their own";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (!test::leaveLittleAddressSpace()) std::_Exit(3);
            ThreadPool pool;
            std::function<void()> block = [] {};
            const bool taken = pool.submit(block);
            std::_Exit(taken ? 1 : block ? 0 : 2);
        },
        testing::ExitedWithCode(0), "");
}

// A read or write whose bytes would lie past the largest offset a file has is refused before the
// offset is handed to the kernel (where it would wrap round to a negative one).
TEST(Sys, RangesPastTheLargestOffsetAreRefused)
{
    auto fd = sys::open("/dev/null", O_RDWR);
    ASSERT_FALSE(fd.isError());
    char bytes[16] = {};
    for (const uint64_t offset : {uint64_t{1} << 63, ~uint64_t{0} - 4, (uint64_t{1} << 63) - 8}) {
        const auto read = sys::readAt(fd->get(), bytes, sizeof bytes, offset);
        const auto written = sys::writeAt(fd->get(), bytes, sizeof bytes, offset);
        ASSERT_TRUE(read.isError() && written.isError()) << offset;
        EXPECT_EQ(errnoOf(read.error()), EOVERFLOW);
        EXPECT_EQ(errnoOf(written.error()), EOVERFLOW);
    }
}

// Asking a failure for its value is a fault of the program: it stops with the error, and no
// exception escapes into code that has no handler for one.
TEST(ErrorOrDeathTest, ValueOfAFailureStopsTheProgramWithItsError)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH((void)sys::open("/nonexistent/kelvatta", O_RDONLY).value(),
                 "value\\(\\) of an error.*文件或文件夹不存在");
    EXPECT_DEATH((void)sys::fsync(-1).releaseValue(), "of an error");
}
