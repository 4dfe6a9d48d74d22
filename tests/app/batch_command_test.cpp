// The command line's batch in this process, with export sessions the test controls, and its parts.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/command_line.h"
#include "app/terminal_status.h"
#include "app_test_support.h"
#include "fake_sessions.h"
#include "support/log_capture.h"

using namespace kelvatta;
using namespace kelvatta::test;
using namespace std::chrono_literals;

namespace {

struct BatchCommand : ::testing::Test {
    int run(std::vector<fs::path> files, FakeSessions& sessions)
    {
        BatchOptions options;
        options.progressLine = false;
        options.makeSession = sessions.factory();
        return runBatch(options, std::move(files));
    }
    int countLines(const std::string& prefix)
    {
        auto lines = log.lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&](const auto& line) { return line.rfind(prefix, 0) == 0; }));
    }

    ScratchFolder folder;
    LogCapture log;
};

}  // namespace

TEST_F(BatchCommand, EveryFileRewrittenExitsZero)
{
    FakeSessions sessions;
    std::vector<fs::path> files;
    for (const std::string name : {"a.mp4", "b.MOV", "c.mkv", "d.txt"}) {
        writeFile(folder / name, "original");
        files.push_back(folder / name);
    }
    EXPECT_EQ(run(files, sessions), kExitSuccess);
    EXPECT_EQ(sessions.started, 3);
    for (const std::string name : {"a.mp4", "b.MOV", "c.mkv"}) EXPECT_EQ(readFile(folder / name), "rewritten");
    EXPECT_EQ(readFile(folder / "d.txt"), "original");
    EXPECT_EQ(countLines("收集到视频文件："), 3);
    EXPECT_EQ(countLines("所有文件处理完成"), 1);
}

TEST_F(BatchCommand, CtrlCCancelsRunningExportsStartsNoNewFileAndExits130)
{
    FakeSessions sessions;
    std::vector<fs::path> files;
    for (int n = 1; n <= 6; ++n) {
        files.push_back(folder / ("slow" + std::to_string(n) + ".mp4"));
        writeFile(files.back(), "original");
    }
    std::thread interrupter([&] {
        while (sessions.started == 0) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(20ms);
        ::kill(::getpid(), SIGINT);
    });
    const int status = run(files, sessions);
    interrupter.join();
    EXPECT_EQ(status, kExitInterrupted);
    const int started = sessions.started;
    EXPECT_LE(started, 3);
    EXPECT_EQ(countLines("开始处理文件："), started) << "a file started after Ctrl-C";
    EXPECT_EQ(countLines("处理文件失败："), started) << "every running export ended and was reported";
    for (const auto& file : files) EXPECT_EQ(readFile(file), "original");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 6);
}

TEST(CommandLineParts, ProgressLineFitsTheTerminalAndShowsNoControlCharacters)
{
    EXPECT_EQ(fitToColumns("正在处理文件 1 / 3", 80), "正在处理文件 1 / 3");
    EXPECT_EQ(fitToColumns("正在处理", 6), "正在") << "wide characters take two cells; one cell stays free";
    EXPECT_EQ(fitToColumns("abcdef", 4), "abc");
    EXPECT_EQ(fitToColumns("a\x1b[2Jb\nc", 80), "a?[2Jb?c");
    EXPECT_EQ(fitToColumns("bad\xff\xfe", 80), "bad??");
    EXPECT_EQ(fitToColumns("\xc2\x9b", 80), "?") << "C1 control";
}
