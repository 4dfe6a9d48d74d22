// The command line end to end: the built program over generated files.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app_test_support.h"
#include "operations/batch_run.h"
#include "platform/dispatch.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

std::string widthLine()
{
    return "OperationQueue 最大并发数：" + std::to_string(operationQueueWidth(activeProcessorCount()));
}

}  // namespace

TEST(CommandLine, HelpVersionAndUsageErrors)
{
    // Asked for, the help is the output; a usage error is not, and goes with the usage to standard error.
    auto help = runKelvatta({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, std::string(usageText()) + "\n");
    EXPECT_EQ(help.err, "");

    auto version = runKelvatta({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("kelvatta ") + KELVATTA_VERSION + "\n");

    // Without any argument the program opens its window instead (the window's tests cover it without a display).
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"--save-as"}, {"--frobnicate", "a.mp4"}}) {
        auto run = runKelvatta(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "") << "nothing but log lines on standard output";
        EXPECT_NE(run.err.find("用法："), std::string::npos);
    }

    // A path that cannot be reached stops the run before anything is processed.
    ScratchFolder folder;
    writeFile(folder / "x.mp4", "not a clip");
    auto missing = runKelvatta({(folder / "x.mp4").string(), (folder / "missing.mp4").string()});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("missing.mp4"), std::string::npos);
}

TEST(CommandLine, NoVideoFileIsAFailure)
{
    ScratchFolder folder;
    writeFile(folder / "notes.txt", "notes");
    auto run = runKelvatta({(folder / "notes.txt").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, widthLine() + "\n未找到需要处理的视频文件\n");
    EXPECT_EQ(run.err, "错误：未找到需要处理的视频文件\n");
}

TEST(CommandLine, FileThatIsNoClipFailsAndIsLeftAsItWas)
{
    for (bool saveAs : {false, true}) {
        SCOPED_TRACE(saveAs ? "save as" : "replace");
        ScratchFolder folder;
        const fs::path clip = folder / "x.mp4";
        writeFile(clip, "just text");
        std::vector<std::string> arguments = {clip.string()};
        if (saveAs) arguments.insert(arguments.begin(), "--save-as");
        auto run = runKelvatta(arguments);
        EXPECT_EQ(run.status, 1);
        // The error line, then what became of the batch's files.
        EXPECT_TRUE(run.err.starts_with("错误：文件“x.mp4”不是可识别的视频文件\n")) << run.err;
        EXPECT_TRUE(run.err.ends_with("\n未全部完成：已处理完成 0 个文件；失败 1 个：" + clip.string() + "；未开始 0 个\n"))
            << run.err;
        auto lines = run.outLines();
        std::vector<std::string> expected = {widthLine(), "收集到视频文件：" + clip.string(), "开始处理 1 个文件"};
        if (saveAs) expected.push_back("已创建文件夹：" + (folder / "已修改时间码").string());
        expected.push_back("开始处理文件：" + clip.string());
        ASSERT_EQ(lines.size(), expected.size() + 2) << run.out;
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + expected.size()), expected);
        EXPECT_EQ(lines[expected.size()].rfind("导出失败：", 0), 0u) << lines[expected.size()];
        EXPECT_EQ(lines.back().rfind("处理文件失败：" + clip.string() + "，错误：", 0), 0u) << lines.back();
        EXPECT_EQ(readFile(clip), "just text");
        if (saveAs)
            EXPECT_EQ(entries(folder.path()), (std::vector<std::string>{"x.mp4", "已修改时间码"}));
        else
            EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"x.mp4"}) << "nothing left beside the clip";
    }
}

TEST(CommandLine, ReaderOfTheLogGoingAwayDoesNotEndTheRun)
{
    ScratchFolder folder;
    writeFile(folder / "x.mp4", "just text");
    ProgramOptions options;
    options.closeOutput = true;
    auto run = runKelvatta({(folder / "x.mp4").string()}, options);
    EXPECT_EQ(run.status, 1) << "ended by SIGPIPE?";
    EXPECT_EQ(readFile(folder / "x.mp4"), "just text");
}

// Started with standard input, output or error closed, the program would give that number to the
// first file it opens, and the log (descriptor 1) could land in a clip. Each is open on /dev/null
// while the batch runs, and every clip comes out whole.
TEST(CommandLine, ClosedStandardDescriptorIsOpenedOnDevNull)
{
    ScratchFolder folder;
    ASSERT_TRUE(makeClip(folder / "source.mov"));
    for (int closed : {0, 1, 2}) {
        SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed");
        const fs::path clips = folder / ("run " + std::to_string(closed));
        fs::create_directory(clips);
        constexpr int kClips = 12;
        for (int n = 1; n <= kClips; ++n) fs::copy_file(folder / "source.mov", clips / ("C" + std::to_string(n) + ".MP4"));
        ProgramOptions options;
        options.closedDescriptor = closed;
        std::string heldBy;
        if (closed != 1) {  // standard output is how the test learns that the batch runs
            options.stopOn = "开始处理文件：";
            options.whileStopped = [&](const ProgramRun& run) {
                std::error_code ec;
                heldBy = fs::read_symlink("/proc/" + std::to_string(run.pid) + "/fd/" + std::to_string(closed), ec).string();
            };
        }
        auto run = runKelvatta({clips.string()}, options);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        if (closed != 1) {
            EXPECT_EQ(heldBy, "/dev/null");
        }
        const std::string result = readFile(clips / "C1.MP4");
        EXPECT_EQ(formatTimecode(clips / "C1.MP4"), "00:00:00:00");
        for (int n = 2; n <= kClips; ++n) EXPECT_TRUE(readFile(clips / ("C" + std::to_string(n) + ".MP4")) == result) << n;
    }
}

// ---------------------------------------------------------------------------------------------
// Awaiting the export component: these need the real export (the box path for MP4/MOV). Until it is
// merged every export fails with the placeholder's "不是可识别的视频文件", and they skip, saying so.
// After the merge they must run and pass: the log must show no "[  SKIPPED ]" for ExportEndToEnd.

namespace {

bool exportIsPlaceholder(const ProgramRun& run)
{
    return run.out.find("不是可识别的视频文件") != std::string::npos;
}

#define SKIP_WHILE_EXPORT_IS_PLACEHOLDER(run)                                                    \
    if (exportIsPlaceholder(run)) GTEST_SKIP() << "AWAITS THE REAL EXPORT COMPONENT: " << (run).out

}  // namespace

TEST(ExportEndToEnd, ReplaceModeRewritesTheClipInPlace)
{
    ScratchFolder folder;
    const fs::path clip = folder / "C0001.MP4";
    ASSERT_TRUE(makeClip(clip));
    auto run = runKelvatta({clip.string()});
    SKIP_WHILE_EXPORT_IS_PLACEHOLDER(run);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const std::string p = clip.string();
    EXPECT_EQ(run.outLines(),
              (std::vector<std::string>{widthLine(), "收集到视频文件：" + p, "开始处理 1 个文件", "开始处理文件：" + p,
                                        "已替换原文件：" + p, "处理成功：" + p, "成功处理文件：" + p + "，进度：1 / 1",
                                        "所有文件处理完成"}));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(formatTimecode(clip), "00:00:00:00");
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"C0001.MP4"});
}

TEST(ExportEndToEnd, SaveAsWritesCopiesAndLeavesTheClips)
{
    ScratchFolder folder;
    std::map<std::string, std::string> originals;
    std::vector<std::string> arguments = {"--save-as"};
    for (const std::string name : {"C0001.MP4", "C0002.MP4", "C0003.MP4"}) {
        ASSERT_TRUE(makeClip(folder / name));
        originals[name] = readFile(folder / name);
        arguments.push_back((folder / name).string());
    }
    auto run = runKelvatta(arguments);
    SKIP_WHILE_EXPORT_IS_PLACEHOLDER(run);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    auto lines = run.outLines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[4], "开始处理 3 个文件");
    EXPECT_EQ(lines.back(), "所有文件处理完成");
    for (const auto& [name, bytes] : originals) {
        EXPECT_EQ(readFile(folder / name), bytes) << name << " was touched";
        EXPECT_EQ(formatTimecode(folder / "已修改时间码" / name), "00:00:00:00") << name;
        const std::string p = (folder / name).string();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "处理成功：" + p), 1) << name;
    }
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& line) { return line.ends_with("，进度：" + std::to_string(n) + " / 3"); }),
                  1);
}

TEST(ExportEndToEnd, CtrlCLeavesEveryClipWhole)
{
    ScratchFolder folder;
    ASSERT_TRUE(makeClip(folder / "source.mov", "01:00:00:00", 4, "1920x1080"));
    const std::string original = readFile(folder / "source.mov");
    std::vector<std::string> arguments;
    for (int n = 1; n <= 8; ++n) {
        const fs::path clip = folder / ("C000" + std::to_string(n) + ".MP4");
        fs::copy_file(folder / "source.mov", clip);
        arguments.push_back(clip.string());
    }
    fs::remove(folder / "source.mov");

    ProgramOptions options;
    options.interruptOn = "开始处理文件：";
    auto run = runKelvatta(arguments, options);
    SKIP_WHILE_EXPORT_IS_PLACEHOLDER(run);
    ASSERT_TRUE(run.status == 130 || run.status == 0) << run.status << run.out << run.err;
    if (run.status == 130) {
        EXPECT_EQ(run.err.rfind("已中断：", 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "one line on standard error";
        EXPECT_EQ(run.out.find("所有文件处理完成"), std::string::npos);
    }
    auto lines = run.outLines();
    for (const auto& argument : arguments) {
        SCOPED_TRACE(argument);
        const bool rewritten =
            std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.rfind("成功处理文件：" + argument + "，", 0) == 0; });
        ASSERT_TRUE(fs::exists(argument)) << "a clip went missing";
        if (rewritten)
            EXPECT_EQ(formatTimecode(argument), "00:00:00:00");
        else
            EXPECT_EQ(readFile(argument), original) << "a clip that was not reported rewritten changed";
    }
    EXPECT_EQ(entries(folder.path()).size(), arguments.size()) << "a temporary file was left behind";
}
