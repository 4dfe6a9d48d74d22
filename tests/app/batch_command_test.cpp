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
#include "support/log_capture.h"

using namespace kelvatta;
using namespace kelvatta::test;
using namespace std::chrono_literals;

namespace {

// Sessions that "export" on a thread of their own: a session whose source holds "slow" runs until
// cancelled; others write "rewritten" to the output and complete at once.
class FakeSessions {
public:
    class Session final : public ExportSession, public std::enable_shared_from_this<Session> {
    public:
        Session(FakeSessions& owner, fs::path source) : owner_(owner), source_(std::move(source)) {}
        void setOutputURL(fs::path url) override { output_ = std::move(url); }
        void setOutputFileType(std::string) override {}
        void setMetadata(std::vector<MetadataItem>) override {}
        void exportAsynchronously(std::function<void()> handler) override
        {
            ++owner_.started;
            std::thread([self = shared_from_this(), handler = std::move(handler)] {
                const bool slow = self->source_.filename().string().find("slow") != std::string::npos;
                while (slow && !self->cancelled_) std::this_thread::sleep_for(1ms);
                if (self->cancelled_) {
                    self->status_ = 5;
                } else {
                    writeFile(self->output_, "rewritten");
                    self->status_ = 3;
                }
                handler();
            }).detach();
        }
        std::optional<Error> error() const override { return std::nullopt; }
        long status() const override { return status_; }
        double progress() const override { return 0.5; }
        void cancelExport() override { cancelled_ = true; }

    private:
        FakeSessions& owner_;
        fs::path source_, output_;
        std::atomic<bool> cancelled_{false};
        std::atomic<long> status_{2};
    };

    VideoProcessor::SessionFactory factory()
    {
        return [this](const fs::path& source, std::string_view) { return std::make_shared<Session>(*this, source); };
    }
    std::atomic<int> started{0};
};

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
