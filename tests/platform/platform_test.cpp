// The log: whole lines on standard output, from several threads at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/log.h"

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
