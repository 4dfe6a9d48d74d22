// The intake tests' view, with a processor that rewrites nothing, and their scratch trees.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "operations/test_support.h"
#include "platform/operation_queue.h"
#include "support/temp_dir.h"

namespace kelvatta::test {

namespace fs = std::filesystem;

class IntakeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        markMainThread();
        processor->early = [](const fs::path&) { return std::optional<Result>(Result::success()); };
    }
    void TearDown() override
    {
        EXPECT_TRUE(runUntil([&] { return view.operationQueue().operationCount() == 0; }));
        MainRunLoop::drain();
        EXPECT_FALSE(writes.offMainThread) << "the view state was written off the main thread";
    }

    // Runs the main queue until collection has handed its list to the batch run or failed (both
    // write processingStatus, which nothing else of the intake writes).
    bool waitForHandOver()
    {
        return runUntil([&] {
            return std::find(writes.fields.begin(), writes.fields.end(), "processingStatus") != writes.fields.end();
        });
    }
    // The paths of the "收集到视频文件：" lines, in order.
    std::vector<fs::path> collectedLines() const
    {
        std::vector<fs::path> paths;
        for (const auto& line : linesStartingWith(log, {"收集到视频文件："}))
            paths.emplace_back(line.substr(std::string("收集到视频文件：").size()));
        return paths;
    }

    LogCapture log;
    std::shared_ptr<FakeProcessor> processor = std::make_shared<FakeProcessor>();
    ContentView view{processor};
    WriteLog writes{view};
};

// Makes the files and folders (names ending with '/') below root, parents as needed.
inline void makeTree(const fs::path& root, const std::vector<std::string>& names)
{
    for (const auto& name : names) {
        fs::create_directories((root / name).parent_path());
        if (!name.ends_with('/')) writeFile(root / name, "clip");
    }
}

template <typename T>
std::vector<T> sorted(std::vector<T> items)
{
    std::sort(items.begin(), items.end());
    return items;
}
inline std::vector<fs::path> sorted(std::vector<fs::path> paths) { return sorted<fs::path>(std::move(paths)); }

// Root reads every folder, so a test about folders that cannot be read runs again, as this very
// test, under the user nobody. Outcome of that run; `skip` says why it could not be made.
struct RunAsNobody {
    bool skip = false;
    ProgramRun run;
};

inline RunAsNobody runThisTestAsNobody()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    RunAsNobody result;
    result.run = runProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", self.string(),
                             std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()});
    // gtest prints its banner once it runs: without it, the switch of user or the start failed.
    result.skip = ec || result.run.out.find("[==========]") == std::string::npos;
    return result;
}

// For a test body: as root, the test's outcome is that of its run as nobody.
#define KV_RUN_AS_NOBODY_WHEN_ROOT()                                                                  \
    if (::geteuid() == 0) {                                                                           \
        auto nobody = ::kelvatta::test::runThisTestAsNobody();                                        \
        if (nobody.skip) GTEST_SKIP() << "cannot run as nobody: " << nobody.run.err;                  \
        EXPECT_EQ(nobody.run.status, 0) << nobody.run.out << nobody.run.err;                         \
        EXPECT_EQ(nobody.run.out.find("[  SKIPPED ]"), std::string::npos) << nobody.run.out;         \
        return;                                                                                       \
    }

}  // namespace kelvatta::test
