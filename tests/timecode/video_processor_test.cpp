#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>

#include "fake_export_session.h"
#include "platform/dispatch.h"
#include "platform/sys.h"
#include "support/fault_plan.h"
#include "support/log_capture.h"
#include "support/read_only_mount.h"
#include "support/temp_dir.h"
#include "timecode/video_processor.h"

using namespace kelvatta;
using namespace kelvatta::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Runs one rewrite through a fake session with the given outcome and waits for its completion.
class Rewrite {
public:
    explicit Rewrite(FakeExportSession::Outcome outcome = {}) : outcome_(std::move(outcome))
    {
        markMainThread();
    }

    void run(const fs::path& clip, bool saveAs)
    {
        VideoProcessor processor([this](const fs::path& source, std::string_view preset) {
            EXPECT_EQ(preset, kExportPresetPassthrough);
            source_ = source;
            session = std::make_shared<FakeExportSession>(outcome_);
            return session;
        });
        processor.modifyTimecode(clip, saveAs, [this](Result r) {
            ++calls;
            onMainThread = isMainThread();
            result = std::move(r);
        });
        returnedWithResult = result.has_value();
        ASSERT_TRUE(MainRunLoop::runUntil([this] { return calls > 0; }, 5s));
        MainRunLoop::runUntil([] { return false; }, 20ms);  // a second call would show up here
    }

    std::shared_ptr<FakeExportSession> session;
    std::optional<Result> result;
    int calls = 0;
    bool onMainThread = false;
    bool returnedWithResult = false;

private:
    FakeExportSession::Outcome outcome_;
    fs::path source_;
};

struct ClipFolder {
    TempDir dir;
    fs::path clip = dir / "C0001.MP4";
    ClipFolder() { writeFile(clip, "original clip"); }
};

}  // namespace

TEST(VideoProcessorPaths, OutputBesideTheClipOrInTheSaveAsFolderKeepingNameAndExtension)
{
    EXPECT_EQ(VideoProcessor::outputURL("/a/b/C0001.MP4", false), fs::path("/a/b/temp_C0001.MP4"));
    EXPECT_EQ(VideoProcessor::outputURL("/a/b/C0001.MP4", true), fs::path("/a/b/已修改时间码/C0001.MP4"));
    EXPECT_EQ(VideoProcessor::outputURL("/a/b/temp_x.mov", false), fs::path("/a/b/temp_temp_x.mov"));
    EXPECT_EQ(VideoProcessor::outputURL("/a/已修改时间码/clip.MOV", true),
              fs::path("/a/已修改时间码/已修改时间码/clip.MOV"));
}

TEST(VideoProcessorReplace, CompletedExportReplacesTheClipAndPrintsItsLinesInOrder)
{
    ClipFolder f;
    LogCapture log;
    Rewrite rw;
    rw.run(f.clip, false);
    ASSERT_TRUE(rw.result && rw.result->isSuccess());
    EXPECT_EQ(rw.calls, 1);
    EXPECT_TRUE(rw.onMainThread);
    EXPECT_FALSE(rw.returnedWithResult);
    const std::string p = f.clip.string();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"开始处理文件：" + p, "已替换原文件：" + p, "处理成功：" + p}));
    EXPECT_EQ(readFile(f.clip), "new clip");
    EXPECT_FALSE(fs::exists(f.dir / "temp_C0001.MP4"));
    // The session was set up as the rewrite needs it.
    EXPECT_EQ(rw.session->outputURL, f.dir / "temp_C0001.MP4");
    EXPECT_EQ(rw.session->fileType, kFileTypeMPEG4);
    ASSERT_EQ(rw.session->metadata.size(), 1u);
    EXPECT_EQ(rw.session->metadata[0].identifier, "mdta/timecode");
    EXPECT_EQ(rw.session->metadata[0].value, "00:00:00:00");
    EXPECT_EQ(rw.session->metadata[0].dataType, "com.apple.metadata.datatype.string");
}

TEST(VideoProcessorReplace, ClipDeletedDuringTheExportIsStillReplaced)
{
    ClipFolder f;
    LogCapture log;
    Rewrite rw;
    // The fake session writes the output on its thread; delete the clip before the completion runs.
    fs::remove(f.clip);
    rw.run(f.clip, false);
    ASSERT_TRUE(rw.result && rw.result->isSuccess());
    EXPECT_EQ(readFile(f.clip), "new clip");
    EXPECT_EQ(log.lines().size(), 3u);
}

TEST(VideoProcessorReplace, FailedOrIncompleteExportsLeaveTheClipAndReportTheRightError)
{
    {
        ClipFolder f;
        LogCapture log;
        Rewrite rw({std::nullopt, ExportStatus::cancelled, ""});
        rw.run(f.clip, false);
        ASSERT_TRUE(rw.result && rw.result->isFailure());
        EXPECT_EQ(rw.result->error(), (Error{"VideoProcessor", 2, "导出未完成，状态：5"}));
        EXPECT_EQ(log.lines().back(), "导出未完成：导出未完成，状态：5");
        EXPECT_EQ(readFile(f.clip), "original clip");
    }
    {
        // An error wins over a completed status, and is passed on unchanged.
        ClipFolder f;
        LogCapture log;
        Error exportError{"Export", 7, "文件“C0001.MP4”不是可识别的视频文件"};
        Rewrite rw({exportError, ExportStatus::completed, "partial"});
        rw.run(f.clip, false);
        ASSERT_TRUE(rw.result && rw.result->isFailure());
        EXPECT_EQ(rw.result->error(), exportError);
        EXPECT_EQ(log.lines().back(), "导出失败：" + exportError.localizedDescription);
        EXPECT_EQ(readFile(f.clip), "original clip");
        EXPECT_EQ(readFile(f.dir / "temp_C0001.MP4"), "partial") << "what the session left is not ours to delete";
    }
    {
        // A temporary file left by an interrupted run: the error says what it may be and that the
        // clip is whole; the file stays for the user to check.
        ClipFolder f;
        Rewrite rw({Error{"POSIX", EEXIST, "目标文件已存在：temp_C0001.MP4"}, ExportStatus::failed, ""});
        rw.run(f.clip, false);
        ASSERT_TRUE(rw.result && rw.result->isFailure());
        EXPECT_EQ(rw.result->error().localizedDescription,
                  "目标文件已存在：temp_C0001.MP4（可能是上次处理中断时留下的临时文件；原片完好，未受影响，"
                  "确认后删除该文件即可重试）");
    }
    {
        // Completed, but nothing at the temporary path: code 4 and no line after the start.
        ClipFolder f;
        LogCapture log;
        Rewrite rw({std::nullopt, ExportStatus::completed, ""});
        rw.run(f.clip, false);
        ASSERT_TRUE(rw.result && rw.result->isFailure());
        EXPECT_EQ(rw.result->error(), (Error{"VideoProcessor", 4, "临时文件不存在"}));
        EXPECT_EQ(log.lines(), (std::vector<std::string>{"开始处理文件：" + f.clip.string()}));
        EXPECT_EQ(readFile(f.clip), "original clip");
    }
}

TEST(VideoProcessorReplace, RefusedReplacementLeavesBothFilesAsTheyWere)
{
    {
        // A folder at the clip's name cannot be replaced by a file.
        TempDir dir;
        fs::path clip = dir / "x.mp4";
        fs::create_directory(clip);
        writeFile(clip / "inside", "keep");
        LogCapture log;
        Rewrite rw;
        rw.run(clip, false);
        ASSERT_TRUE(rw.result && rw.result->isFailure());
        EXPECT_EQ(rw.result->error().domain, kPosixErrorDomain);
        EXPECT_EQ(rw.result->error().code, EISDIR);
        EXPECT_EQ(log.lines().back(), "替换原文件失败：" + rw.result->error().localizedDescription);
        EXPECT_EQ(readFile(clip / "inside"), "keep");
        EXPECT_EQ(readFile(dir / "temp_x.mp4"), "new clip");
    }
    {
        // A failing rename (as on a file system that refuses it).
        ClipFolder f;
        LogCapture log;
        Rewrite rw;
        FaultPlan refuseRename{.only = sys::Call::Rename, .onward = true, .err = EACCES};
        {
            ScopedFaults faults(refuseRename);
            rw.run(f.clip, false);
        }
        ASSERT_TRUE(rw.result && rw.result->isFailure());
        EXPECT_EQ(rw.result->error().code, EACCES);
        EXPECT_EQ(log.lines().back(), "替换原文件失败：无法用临时文件替换“C0001.MP4”：权限不足");
        EXPECT_EQ(readFile(f.clip), "original clip");
        EXPECT_EQ(readFile(f.dir / "temp_C0001.MP4"), "new clip");
    }
    {
        // The rename happened but could not be made durable: never reported as success.
        ClipFolder f;
        LogCapture log;
        Rewrite rw;
        FaultPlan failFsync{.only = sys::Call::Fsync, .onward = true, .err = EIO};
        {
            ScopedFaults faults(failFsync);
            rw.run(f.clip, false);
        }
        ASSERT_TRUE(rw.result && rw.result->isFailure());
        EXPECT_EQ(rw.result->error().code, EIO);
        EXPECT_EQ(readFile(f.clip), "new clip") << "the clip holds the complete result";
    }
}

TEST(VideoProcessorSaveAs, CreatesTheFolderOnceAndLeavesTheClipAlone)
{
    TempDir dir;
    fs::path first = dir / "C0001.MP4", second = dir / "C0002.MP4";
    writeFile(first, "one");
    writeFile(second, "two");
    const fs::path folder = dir / "已修改时间码";
    LogCapture log;
    Rewrite rw1, rw2;
    rw1.run(first, true);
    rw2.run(second, true);
    ASSERT_TRUE(rw1.result && rw1.result->isSuccess());
    ASSERT_TRUE(rw2.result && rw2.result->isSuccess());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "已创建文件夹：" + folder.string(),
                               "开始处理文件：" + first.string(),
                               "处理成功：" + first.string(),
                               "开始处理文件：" + second.string(),
                               "处理成功：" + second.string(),
                           }));
    EXPECT_EQ(readFile(first), "one");
    EXPECT_EQ(readFile(folder / "C0001.MP4"), "new clip");
    EXPECT_EQ(rw2.session->outputURL, folder / "C0002.MP4");
}

TEST(VideoProcessorSaveAs, AFileNamedLikeTheFolderCountsAsPresent)
{
    ClipFolder f;
    writeFile(f.dir / "已修改时间码", "not a folder");
    LogCapture log;
    Rewrite rw({std::nullopt, ExportStatus::completed, ""});
    rw.run(f.clip, true);
    EXPECT_EQ(rw.session->outputURL, f.dir / "已修改时间码" / "C0001.MP4");
    EXPECT_EQ(log.lines().front(), "开始处理文件：" + f.clip.string());
}

TEST(VideoProcessorEarlyFailures, ReportedOnTheCallingThreadBeforeReturning)
{
    markMainThread();
    {
        // The save-as folder cannot be made: one line, the file system's error, no export.
        ClipFolder f;
        ReadOnlyMount ro(f.dir.path());
        if (!ro.ok()) GTEST_SKIP() << "cannot make a read-only mount here";
        LogCapture log;
        int sessions = 0;
        VideoProcessor processor([&](const fs::path&, std::string_view) {
            ++sessions;
            return std::shared_ptr<ExportSession>();
        });
        std::optional<Result> result;
        std::thread worker([&] { processor.modifyTimecode(f.clip, true, [&](Result r) { result = std::move(r); }); });
        worker.join();
        ASSERT_TRUE(result && result->isFailure());
        EXPECT_EQ(result->error().code, EROFS);
        EXPECT_EQ(log.lines(), (std::vector<std::string>{"创建文件夹失败：" + result->error().localizedDescription}));
        EXPECT_NE(result->error().localizedDescription.find("已修改时间码"), std::string::npos);
        EXPECT_EQ(sessions, 0);
    }
    {
        ClipFolder f;
        LogCapture log;
        VideoProcessor processor([](const fs::path&, std::string_view) { return std::shared_ptr<ExportSession>(); });
        std::optional<Result> result;
        processor.modifyTimecode(f.clip, false, [&](Result r) { result = std::move(r); });
        ASSERT_TRUE(result && result->isFailure());
        EXPECT_EQ(result->error(), (Error{"VideoProcessor", 1, "无法创建导出会话"}));
        EXPECT_EQ(log.lines(), (std::vector<std::string>{"处理文件失败：无法创建导出会话"}));
    }
}
