// The command line's batch in this process, with export sessions the test controls, and its parts.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
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

// What the program writes to standard error while alive.
class StandardErrorCapture {
public:
    StandardErrorCapture() : file_(std::tmpfile()), saved_(::dup(STDERR_FILENO)) { ::dup2(::fileno(file_), STDERR_FILENO); }
    ~StandardErrorCapture()
    {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        std::fclose(file_);
    }
    std::string text() const
    {
        std::string out(static_cast<size_t>(::lseek(::fileno(file_), 0, SEEK_END)), '\0');
        (void)!::pread(::fileno(file_), out.data(), out.size(), 0);
        return out;
    }

private:
    FILE* file_;
    int saved_;
};

// Ctrl-C, a polite kill and a hang-up alike: the running exports are cancelled, nothing new starts,
// every clip stays as it was, and one line says what became of the files.
TEST_F(BatchCommand, StopSignalCancelsRunningExportsStartsNoNewFileAndExits128PlusTheSignal)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        log.clear();
        FakeSessions sessions;
        std::vector<fs::path> files;
        for (int n = 1; n <= 6; ++n) {
            files.push_back(folder / ("slow" + std::to_string(n) + ".mp4"));
            writeFile(files.back(), "original");
        }
        std::thread interrupter([&] {
            while (sessions.started == 0) std::this_thread::sleep_for(1ms);
            std::this_thread::sleep_for(20ms);
            ::kill(::getpid(), signal);
        });
        StandardErrorCapture err;
        const int status = run(files, sessions);
        interrupter.join();
        EXPECT_EQ(status, 128 + signal);
        const int started = sessions.started;
        EXPECT_LE(started, 3);
        EXPECT_EQ(countLines("开始处理文件："), started) << "a file started after the signal";
        EXPECT_EQ(countLines("处理文件失败："), started) << "every running export ended and was reported";
        EXPECT_EQ(err.text(), "已中断：已处理完成 0 个文件；已取消 " + std::to_string(started) + " 个（原文件未改动）；未开始 " +
                                  std::to_string(6 - started) + " 个\n");
        for (const auto& file : files) EXPECT_EQ(readFile(file), "original");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 6);
    }
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
