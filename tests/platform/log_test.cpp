#include <gtest/gtest.h>

#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"

using namespace kelvatta;

// Lines printed by several threads at once reach standard output whole.
TEST(Log, LinesFromSeveralThreadsNeverMixAndArriveAtOnce)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int savedStdout = dup(STDOUT_FILENO);
    ASSERT_EQ(dup2(fds[1], STDOUT_FILENO), STDOUT_FILENO);
    close(fds[1]);

    std::string received;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) received.append(buf, static_cast<size_t>(n));
    });

    printLine("first");
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                printLine("处理成功：" + std::to_string(t) + "/" + std::to_string(i) + std::string(10000, 'a' + t));
        });
    for (auto& w : writers) w.join();

    ASSERT_EQ(dup2(savedStdout, STDOUT_FILENO), STDOUT_FILENO);  // closes the pipe's last writer
    close(savedStdout);
    reader.join();
    close(fds[0]);

    std::istringstream in(received);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "first");
    std::set<std::string> seen;
    while (std::getline(in, line)) {
        auto slash = line.find('/');
        ASSERT_NE(slash, std::string::npos) << "mixed line";
        const std::string prefix = "处理成功：";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << "mixed line";
        int t = line[prefix.size()] - '0';
        EXPECT_EQ(line.substr(line.size() - 10000), std::string(10000, static_cast<char>('a' + t))) << "mixed line";
        seen.insert(line.substr(0, line.size() - 10000));
    }
    EXPECT_EQ(seen.size(), 800u);
}
