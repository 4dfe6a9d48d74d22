#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "operations/batch_run.h"
#include "platform/dispatch.h"
#include "platform/operation_queue.h"
#include "test_support.h"

using namespace kelvatta;
using namespace kelvatta::test;
using Path = std::filesystem::path;

namespace {

const std::vector<std::string> kBatchLines = {"开始处理 ", "成功处理文件：", "处理文件失败：", "所有文件处理完成",
                                              "未找到需要处理的视频文件"};

class BatchRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        markMainThread();
        view.operationQueue().setMaxConcurrentOperationCount(3);
    }
    void TearDown() override
    {
        EXPECT_FALSE(writes.offMainThread) << "the view state was written off the main thread";
    }

    // Runs the main queue until every operation and barrier of the queue is done and all they
    // posted has run.
    void runToEnd()
    {
        ASSERT_TRUE(runUntil([&] { return view.operationQueue().operationCount() == 0; }));
        MainRunLoop::drain();
    }
    void waitForCalls(size_t n)
    {
        ASSERT_TRUE(runUntil([&] { return processor->calls().size() >= n; }));
    }
    std::vector<std::string> batchLines() const { return linesStartingWith(log, kBatchLines); }

    LogCapture log;
    std::shared_ptr<FakeProcessor> processor = std::make_shared<FakeProcessor>();
    ContentView view{processor};
    WriteLog writes{view};
};

}  // namespace

TEST_F(BatchRun, SetupSetsTheWidthAtMostThreeAndPrintsIt)
{
    EXPECT_EQ(operationQueueWidth(1), 1);
    EXPECT_EQ(operationQueueWidth(2), 2);
    EXPECT_EQ(operationQueueWidth(8), 3);
    setupOperationQueue(view);
    const long width = operationQueueWidth(activeProcessorCount());
    EXPECT_EQ(view.operationQueue().maxConcurrentOperationCount(), width);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"OperationQueue 最大并发数：" + std::to_string(width)});
    EXPECT_TRUE(writes.fields.empty());
}

TEST_F(BatchRun, EmptyListIsAnErrorAndQueuesNothing)
{
    view.setFilesToProcess({"/old/C0001.MP4"});
    view.setProgress(4);
    view.setMaxProgress(7);
    view.setShowProgressBar(true);
    writes.fields.clear();

    processFiles(view, {});
    EXPECT_EQ(writes.fields,
              (std::vector<std::string>{"processingStatus", "showAlert", "errorMessage", "showProgressBar"}));
    EXPECT_EQ(view.processingStatus(), "未找到需要处理的视频文件");
    EXPECT_TRUE(view.showAlert());
    EXPECT_EQ(view.errorMessage(), "未找到需要处理的视频文件");
    EXPECT_FALSE(view.showProgressBar());
    EXPECT_EQ(view.filesToProcess(), std::vector<Path>{"/old/C0001.MP4"});
    EXPECT_EQ(view.progress(), 4);
    EXPECT_EQ(view.maxProgress(), 7);
    EXPECT_EQ(view.operationQueue().operationCount(), 0u);
    MainRunLoop::drain();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"未找到需要处理的视频文件"});
}

TEST_F(BatchRun, OneFileSucceeds)
{
    view.setShowAlert(true);
    view.setErrorMessage("an earlier error");
    ContentView(view).setSaveAs(true);  // the toggle writes through its own copy
    writes.fields.clear();

    processFiles(view, {"/clips/C0001.MP4"});
    EXPECT_EQ(writes.fields, (std::vector<std::string>{"filesToProcess", "progress", "maxProgress", "processingStatus",
                                                       "showProgressBar", "errorMessage", "showAlert", "batchesRunning"}));
    EXPECT_EQ(view.progress(), 0);
    EXPECT_EQ(view.maxProgress(), 1);
    EXPECT_EQ(view.processingStatus(), "开始处理文件");
    EXPECT_TRUE(view.showProgressBar());
    EXPECT_FALSE(view.showAlert());
    EXPECT_EQ(view.errorMessage(), std::nullopt);

    waitForCalls(1);
    EXPECT_TRUE(processor->calls()[0].saveAs);
    ASSERT_TRUE(processor->complete("/clips/C0001.MP4", Result::success()));
    runToEnd();
    EXPECT_EQ(batchLines(), (std::vector<std::string>{"开始处理 1 个文件", "成功处理文件：/clips/C0001.MP4，进度：1 / 1",
                                                      "所有文件处理完成"}));
    EXPECT_EQ(view.progress(), 1);
    EXPECT_EQ(view.maxProgress(), 1);
    EXPECT_FALSE(view.showProgressBar());
    EXPECT_FALSE(view.showAlert());
    EXPECT_EQ(view.processingStatus(), "处理完成");
}

TEST_F(BatchRun, RunsAtMostTheWidthAtOnceAndCountsEveryFile)
{
    std::vector<Path> files;
    for (int i = 1; i <= 6; ++i) files.push_back("/clips/C000" + std::to_string(i) + ".MP4");
    processFiles(view, files);
    ASSERT_TRUE(runUntil([&] { return processor->heldCount() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(processor->calls().size(), 3u) << "a fourth file started while three were running";

    while (true) {
        ASSERT_TRUE(runUntil(
            [&] { return processor->heldCount() > 0 || view.operationQueue().operationCount() == 0; }));
        if (processor->heldCount() == 0) break;
        ASSERT_TRUE(processor->complete({}, Result::success()));
    }
    MainRunLoop::drain();
    EXPECT_EQ(processor->maxRunning(), 3);
    EXPECT_EQ(processor->calledFiles(), files) << "every file once";
    EXPECT_EQ(view.progress(), 6);
    EXPECT_EQ(view.processingStatus(), "处理完成");
    auto lines = batchLines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines.front(), "开始处理 6 个文件");
    for (int i = 1; i <= 6; ++i)
        EXPECT_TRUE(lines[i].ends_with("，进度：" + std::to_string(i) + " / 6")) << lines[i];
    EXPECT_EQ(lines.back(), "所有文件处理完成");
}

TEST_F(BatchRun, FirstFailureCancelsWaitingFilesWhileRunningOnesStillReport)
{
    processFiles(view, {"/c/A.MP4", "/c/B.MP4", "/c/C.MP4", "/c/D.MP4", "/c/E.MP4"});
    waitForCalls(3);
    ASSERT_TRUE(processor->complete("/c/B.MP4", Result::failure(exportError("坏文件 B"))));
    ASSERT_TRUE(runUntil([&] { return view.showAlert(); }));
    EXPECT_EQ(view.errorMessage(), "坏文件 B");
    EXPECT_EQ(view.processingStatus(), "处理过程中发生错误");
    EXPECT_FALSE(view.showProgressBar());
    EXPECT_FALSE(view.takesInput()) << "files of the batch still run";

    // A running file still counts after the failure; a later failure shows its own text.
    ASSERT_TRUE(processor->complete("/c/A.MP4", Result::success()));
    ASSERT_TRUE(runUntil([&] { return view.progress() == 1; }));
    EXPECT_EQ(view.processingStatus(), "正在处理文件 1 / 5");
    EXPECT_TRUE(view.showAlert());
    EXPECT_FALSE(view.showProgressBar());
    ASSERT_TRUE(processor->complete("/c/C.MP4", Result::failure(exportError("坏文件 C"))));
    ASSERT_TRUE(runUntil([&] { return view.errorMessage() == "坏文件 C"; }));

    const size_t writesBeforeTheEnd = writes.fields.size();
    runToEnd();
    EXPECT_EQ(writes.fields.size(), writesBeforeTheEnd + (writes.fields.back() == "batchesRunning" ? 1 : 0))
        << "the final step changes nothing after a failure but ends the batch's hold on the input";
    EXPECT_TRUE(view.takesInput());
    EXPECT_EQ(processor->calledFiles(), (std::vector<Path>{"/c/A.MP4", "/c/B.MP4", "/c/C.MP4"}))
        << "files waiting at the first failure are never started";
    EXPECT_EQ(batchLines(), (std::vector<std::string>{"开始处理 5 个文件", "处理文件失败：/c/B.MP4，错误：坏文件 B",
                                                      "成功处理文件：/c/A.MP4，进度：1 / 5",
                                                      "处理文件失败：/c/C.MP4，错误：坏文件 C"}));
    EXPECT_EQ(view.processingStatus(), "处理过程中发生错误");
}

TEST_F(BatchRun, FailureStopsTheNextFileAlthoughItsSlotFreesBeforeTheReportRuns)
{
    processor->early = [](const Path&) { return Result::failure(exportError("无法创建导出会话")); };
    view.operationQueue().setMaxConcurrentOperationCount(1);
    processFiles(view, {"/c/A.MP4", "/c/B.MP4"});
    runToEnd();
    EXPECT_EQ(batchLines(),
              (std::vector<std::string>{"开始处理 2 个文件", "处理文件失败：/c/A.MP4，错误：无法创建导出会话"}));
    EXPECT_EQ(processor->calledFiles(), std::vector<Path>{"/c/A.MP4"});
}

TEST_F(BatchRun, SecondBatchJoinsTheQueueBehindTheFirst)
{
    processFiles(view, {"/c/A.MP4", "/c/B.MP4"});
    waitForCalls(2);
    processFiles(view, {"/c/C.MP4"});
    EXPECT_EQ(view.progress(), 0);
    EXPECT_EQ(view.maxProgress(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MainRunLoop::drain();
    EXPECT_EQ(processor->calls().size(), 2u) << "the second batch waits behind the first batch's barrier";

    processor->complete("/c/A.MP4", Result::success());
    processor->complete("/c/B.MP4", Result::success());
    waitForCalls(3);
    processor->complete("/c/C.MP4", Result::success());
    runToEnd();
    EXPECT_EQ(view.progress(), 3) << "reports of both batches raise the same count";
    EXPECT_EQ(batchLines(),
              (std::vector<std::string>{"开始处理 2 个文件", "开始处理 1 个文件", "成功处理文件：/c/A.MP4，进度：1 / 1",
                                        "成功处理文件：/c/B.MP4，进度：2 / 1", "所有文件处理完成",
                                        "成功处理文件：/c/C.MP4，进度：3 / 1", "所有文件处理完成"}));
}

TEST_F(BatchRun, FileListedTwiceIsRewrittenTwiceOneAfterTheOther)
{
    processFiles(view, {"/c/A.MP4", "/c/B.MP4", "/c/./A.MP4"});
    waitForCalls(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MainRunLoop::drain();
    EXPECT_EQ(processor->calledFiles(), (std::vector<Path>{"/c/A.MP4", "/c/B.MP4"}))
        << "the second A waits for the first although a slot is free";

    processor->complete("/c/A.MP4", Result::success());
    waitForCalls(3);
    processor->complete("/c/./A.MP4", Result::success());
    processor->complete("/c/B.MP4", Result::success());
    runToEnd();
    EXPECT_EQ(processor->maxRunningOneFile(), 1);
    EXPECT_EQ(view.progress(), 3);
    EXPECT_FALSE(view.showAlert());
    EXPECT_EQ(view.processingStatus(), "处理完成");
}

// The callbacks hold the view weakly: a batch whose window is gone ends quietly, and the view (whose
// queue joins its threads when it ends) is never ended on one of the queue's threads.
TEST(BatchRunLifetime, CallbacksDoNotKeepTheViewAlive)
{
    markMainThread();
    LogCapture log;
    auto processor = std::make_shared<FakeProcessor>();
    std::atomic<bool> bRunning{false};
    processor->early = [&](const Path& file) -> std::optional<Result> {
        if (file == "/c/B.MP4") {
            bRunning = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            return Result::success();
        }
        return std::nullopt;
    };
    ContentView::Weak weak;
    {
        ContentView view(processor);
        weak = view.weak();
        view.operationQueue().setMaxConcurrentOperationCount(3);
        processFiles(view, {"/c/A.MP4", "/c/B.MP4"});
        ASSERT_TRUE(runUntil([&] { return processor->heldCount() == 1 && bRunning; }));
    }
    EXPECT_FALSE(weak.lock().has_value());
    processor->complete("/c/A.MP4", Result::success());
    MainRunLoop::drain();
    EXPECT_EQ(linesStartingWith(log, {"成功处理文件：", "所有文件处理完成"}), std::vector<std::string>{});
}
