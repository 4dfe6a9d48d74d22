// The batch run as the command line runs it (runBatch on a thread it makes the main one), over files
// of a scratch folder, with export sessions the test ends.
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "operations/batch_run.h"
#include "support/fake_session.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/wait.h"

using namespace kelvatta;
using namespace kelvatta::test;
using namespace std::chrono_literals;

namespace {

class Batch : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (runner.joinable()) finish();  // a test that stopped early leaves no batch behind
    }

    // Starts the batch over these files (made in the folder, "original" in each) and returns.
    void start(const std::vector<std::string>& names)
    {
        std::vector<fs::path> files;
        for (const auto& name : names) {
            files.push_back(dir / name);
            writeFile(dir / name, "original");
        }
        sessions.hold = true;
        runner = std::thread([this, files] {
            BatchOptions options;
            options.progressLine = false;
            options.makeSession = sessions.factory();
            status = runBatch(options, files);
            ended = true;
        });
        while (isMainThread()) std::this_thread::yield();  // until runBatch has made its thread the main one
    }
    // Lets every export held now or later complete, and returns the batch's exit status.
    int finish()
    {
        EXPECT_TRUE(waitFor([&] { return (sessions.release(), ended.load()); }, 60s));
        runner.join();
        return status;
    }
    std::vector<std::string> lines(const std::string& prefix) const { return log.linesStartingWith(prefix); }
    std::vector<fs::path> started() const { return sessions.started(); }

    const size_t width = static_cast<size_t>(operationQueueWidth(activeProcessorCount()));
    TempDir dir;
    FakeSessions sessions;
    LogCapture log;
    std::thread runner;
    std::atomic<int> status{-1};
    std::atomic<bool> ended{false};
};

}  // namespace

// At most the queue's width of files run at once, and every file is counted as its report comes. A
// file listed twice is rewritten twice, one after the other: two exports of one file at once would
// write the same temporary file.
TEST_F(Batch, RunsAtMostTheWidthAtOnceOneExportPerFileAndCountsEveryFile)
{
    fs::create_directory(dir / "sub");
    const std::vector<std::string> names = {"C1.MP4", "sub/../C1.MP4", "C2.MP4", "C3.MP4", "C4.MP4", "C5.MP4"};
    start(names);
    ASSERT_TRUE(waitFor([&] { return started().size() == width; }));
    std::this_thread::sleep_for(50ms);
    const auto first = started();
    EXPECT_EQ(first.size(), width) << "a file started while the queue was full";
    EXPECT_EQ(std::count(first.begin(), first.end(), dir / names[1]), 0) << "two exports of one file at once";
    EXPECT_EQ(finish(), kExitSuccess);
    EXPECT_EQ(sessions.maxRunning(), static_cast<int>(width));
    EXPECT_EQ(started().size(), 6u);
    const auto reports = lines("成功处理文件：");
    ASSERT_EQ(reports.size(), 6u);
    for (size_t i = 0; i < 6; ++i) EXPECT_TRUE(reports[i].ends_with(std::to_string(i + 1) + " / 6")) << reports[i];
    EXPECT_EQ(log.lines().back(), "所有文件处理完成");
    for (const auto& name : names) EXPECT_EQ(readFile(dir / name), "rewritten");
}

// The first failure cancels the files still waiting; those already running go on and are reported.
TEST_F(Batch, FirstFailureCancelsTheWaitingFilesWhileRunningOnesStillReport)
{
    start({"A.MP4", "B.MP4", "C.MP4", "D.MP4", "E.MP4"});
    ASSERT_TRUE(waitFor([&] { return started().size() == width; }));
    const auto running = started();
    ASSERT_TRUE(sessions.fail(running[0].filename()));
    ASSERT_TRUE(waitFor([&] { return !lines("处理文件失败：").empty(); }));
    EXPECT_EQ(finish(), kExitFailure);
    EXPECT_EQ(started(), running) << "a file waiting at the failure was started";
    const auto failures = lines("处理文件失败：");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find(running[0].string()), std::string::npos) << failures[0];
    EXPECT_EQ(lines("成功处理文件：").size(), width - 1);
    EXPECT_TRUE(lines("所有文件处理完成").empty());
    for (const auto& name : {"A.MP4", "B.MP4", "C.MP4", "D.MP4", "E.MP4"}) {
        const bool rewritten = std::find(running.begin() + 1, running.end(), dir / name) != running.end();
        EXPECT_EQ(readFile(dir / name), rewritten ? "rewritten" : "original") << name;
    }
}

// A file that fails before its export starts (no session) frees its place at once, before its report
// reaches the main thread: the file after it must not take that place.
TEST_F(Batch, FailureBeforeTheExportStopsTheFileAfterIt)
{
    sessions.refuse = [](const fs::path& source) { return source.filename() == "A.MP4"; };
    start({"A.MP4", "B.MP4", "C.MP4", "D.MP4"});
    ASSERT_TRUE(waitFor([&] { return !lines("处理文件失败：").empty(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(finish(), kExitFailure);
    const auto files = started();
    EXPECT_EQ(std::count(files.begin(), files.end(), dir / "D.MP4"), 0);
    EXPECT_LT(files.size(), width);
}
