// The intake tests' view, whose processor rewrites nothing, and their scratch trees.
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

    // Runs the main queue until collection has handed its list to the batch run or has failed:
    // both write processingStatus, which nothing else of the intake writes.
    bool waitForHandOver()
    {
        return runUntil([&] { return std::ranges::count(writes.fields, "processingStatus") > 0; });
    }

    LogCapture log;
    std::shared_ptr<FakeProcessor> processor = std::make_shared<FakeProcessor>();
    ContentView view{processor};
    WriteLog writes{view};
};

// Makes the files and folders (names ending with '/') below root.
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
    std::ranges::sort(items);
    return items;
}

// Each path after the prefix.
inline std::vector<std::string> lines(const std::string& prefix, const std::vector<fs::path>& paths)
{
    std::vector<std::string> out;
    for (const auto& path : paths) out.push_back(prefix + path.string());
    return out;
}

// Root reads every folder: a test about folders that cannot be read runs itself again as the user
// nobody, and that run's outcome is the test's. Skips where the user cannot be switched.
#define KV_RUN_AS_NOBODY_WHEN_ROOT()                                                                      \
    if (::geteuid() == 0) {                                                                               \
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();                     \
        std::error_code ec;                                                                               \
        const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);                           \
        const auto run = ::kelvatta::test::runProgram(                                                    \
            {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", self.string(),       \
             std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()});             \
        if (ec || run.out.find("[==========]") == std::string::npos)                                     \
            GTEST_SKIP() << "cannot run as nobody: " << run.err;                                          \
        EXPECT_EQ(run.status, 0) << run.out << run.err;                                                   \
        EXPECT_EQ(run.out.find("[  SKIPPED ]"), std::string::npos) << run.out;                           \
        return;                                                                                           \
    }

}  // namespace kelvatta::test
