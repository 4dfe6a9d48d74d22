// The command line end to end: the built program over generated files. Its output, exit statuses and
// closing lines, a folder walked in both modes, stop signals, and standard streams closed or gone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

#include "app/command_line.h"
#include "media/base/media_error.h"
#include "operations/batch_run.h"
#include "platform/dispatch.h"
#include "support/clips.h"
#include "support/process.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

std::string widthLine()
{
    return "OperationQueue 最大并发数：" + std::to_string(operationQueueWidth(activeProcessorCount()));
}

// The files of a run's batch that never started, in the batch's order, as its log tells.
std::vector<std::string> notStartedIn(const std::vector<std::string>& lines)
{
    const std::string collected = "收集到视频文件：";
    std::vector<std::string> files;
    for (const auto& line : lines)
        if (line.starts_with(collected) && countStarting(lines, "开始处理文件：" + line.substr(collected.size())) == 0)
            files.push_back(line.substr(collected.size()));
    return files;
}

// What the closing line says of them: "；未开始 5 个：a、b、c 及另外 2 个".
std::string notStartedPart(const std::vector<std::string>& files)
{
    std::string part = "；未开始 " + std::to_string(files.size()) + " 个";
    for (size_t i = 0; i < files.size() && i < 3; ++i) part += (i ? "、" : "：") + files[i];
    if (files.size() > 3) part += " 及另外 " + std::to_string(files.size() - 3) + " 个";
    return part;
}

}  // namespace

TEST(CommandLine, HelpVersionUsageErrorsAndRunsThatFindNothing)
{
    TempDir dir;
    writeFile(dir / "x.mp4", "not a clip");
    fs::create_directory(dir / "notes");
    writeFile(dir / "notes/notes.txt", "notes");
    const std::string x = (dir / "x.mp4").string(), usage = std::string(usageText()) + "\n";
    // A name that would forge a log line and clear a terminal, and a byte not UTF-8: printed escaped.
    const std::string evil = "a\n所有文件处理完成\x1b[2J\xff.mp4", shown = "a\\x0A所有文件处理完成\\x1B[2J\\xFF.mp4";
    writeFile(dir / evil, "not a clip");
    const std::string path = (dir / shown).string(), error = "文件“" + shown + "”不是可识别的视频文件";
    const struct {
        std::vector<std::string> arguments;
        ProgramOptions options;
        int status;
        std::string out, err;  // err: what standard error holds
    } cases[] = {
        // Asked for, the help is the output; a usage error is not, and goes with the usage to standard error.
        {{"--help"}, {}, 0, usage, ""},
        {{"--version"}, {}, 0, std::string("kelvatta ") + KELVATTA_VERSION + "\n", ""},
        {{"--save-as"}, {}, 2, "", usage},
        {{"--frobnicate", "a.mp4"}, {}, 2, "", usage},
        // The window's choices are made in it.
        {{"--window", "--save-as", x}, {}, 2, "", "--window 只能与路径同用"},
        // One action a run: a look and a restore together are not whichever came last.
        {{"--show", "--restore", x}, {}, 2, "", "--show 与 --restore 不能同用"},
        // A path that cannot be reached stops the run before anything is processed.
        {{x, (dir / "missing.mp4").string()}, {}, 2, "", "missing.mp4"},
        // A folder without a video file (a file named on its own is taken whatever its name).
        {{(dir / "notes").string()},
         {},
         1,
         widthLine() + "\n未找到需要处理的视频文件\n",
         "错误：未找到需要处理的视频文件\n"},
        // A reader of the log that went away does not end the run (by SIGPIPE).
        {{x}, {.closeOutput = true}, 1, "", "错误：文件“x.mp4”不是可识别的视频文件\n"},
        {{(dir / evil).string()},
         {},
         1,
         widthLine() + "\n收集到视频文件：" + path + "\n开始处理 1 个文件\n开始处理文件：" + path + "\n导出失败：" +
             error + "\n处理文件失败：" + path + "，错误：" + error + "\n",
         "错误：" + error + "\n未全部完成：" + "已处理完成 0 个文件；失败 1 个：" + path + "；"},
    };
    for (const auto& c : cases) {
        const auto run = runKelvatta(c.arguments, c.options);
        EXPECT_EQ(run.status, c.status) << c.arguments[0];
        EXPECT_EQ(run.out, c.out) << c.arguments[0];
        EXPECT_TRUE(c.err.empty() ? run.err.empty() : run.err.find(c.err) != std::string::npos) << run.err;
    }
    EXPECT_EQ(readFile(dir / "x.mp4"), "not a clip");
}

// The window opens without arguments, or with --window and the paths it takes as dropped on it (the
// menu entry's "Open with"); any other arguments are the command line's, a path named --window too.
TEST(CommandLine, WindowIsAskedForWithoutArgumentsOrByWindow)
{
    using Paths = std::vector<std::string>;
    const std::pair<Paths, std::optional<Paths>> cases[] = {
        {{}, Paths{}},
        {{"--window"}, Paths{}},
        {{"--window", "/card/C0001.MP4", "clip folder"}, Paths{"/card/C0001.MP4", "clip folder"}},
        {{"--window", "--", "-take1.mp4"}, Paths{"-take1.mp4"}},
        {{"/card/C0001.MP4"}, {}},
        {{"--", "--window"}, {}},
        {{"--window", "--keep-going", "/card"}, {}},
        {{"--restore", "--window", "/card"}, {}},
    };
    for (const auto& [arguments, paths] : cases) {
        std::vector<char*> argv = {const_cast<char*>("kelvatta")};
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        EXPECT_EQ(windowPaths(static_cast<int>(argv.size()), argv.data()), paths) << argv.back();
    }
}

// A file that fails is left as it was, nothing is left beside it, and standard error has the error
// line and then what became of the batch's files. A temp_ file already there (left by a run that was
// killed) is refused, never taken for the result, and the error says what it may be. A save-as folder
// that is a link to elsewhere is not written through. (A text named as a clip, replaced: BadInput.)
TEST(CommandLine, FailedFileIsLeftAsItWasAndTheRunSaysWhy)
{
    enum Beside { nothing, temporary, link };  // nothing: the clip is a text
    const std::tuple<bool, Beside, std::string> cases[] = {
        {true, nothing, "文件“C0001.MP4”不是可识别的视频文件"},
        {false, temporary,
         "目标文件已存在：temp_C0001."
         "MP4（可能是上次处理中断时留下的临时文件；原片完好，未受影响，确认后删除该文件即可重试）"},
        {true, link, "文件夹“已修改时间码”不是真正的文件夹（可能是指向其他位置的链接），为安全起见不写入其中"},
    };
    for (const auto& [saveAs, beside, error] : cases) {
        SCOPED_TRACE(error);
        TempDir dir;
        const fs::path clip = dir / "C0001.MP4";
        if (beside == nothing) writeFile(clip, "just text");
        else ASSERT_TRUE(makeClip(clip));
        if (beside == temporary) writeFile(dir / "temp_C0001.MP4", "left by a killed run");
        if (beside == link) {
            fs::create_directory(dir / "elsewhere");
            fs::create_directory_symlink(dir / "elsewhere", dir / "已修改时间码");
        }
        const Snapshot before = snapshot(dir.path());
        const auto run = runKelvatta(with(saveAs ? kModes[1] : kModes[0], {clip}));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "错误：" + error + "\n未全部完成：已处理完成 0 个文件；失败 1 个：" + clip.string() +
                               "；未开始 0 个\n");
        std::vector<std::string> expected = {widthLine(), "收集到视频文件：" + clip.string(), "开始处理 1 个文件"};
        if (beside == nothing) expected.push_back("已创建文件夹：" + (dir / "已修改时间码").string());
        expected.insert(expected.end(), {"开始处理文件：" + clip.string(), "导出失败：" + error,
                                         "处理文件失败：" + clip.string() + "，错误：" + error});
        EXPECT_EQ(run.outLines(), expected);
        if (beside == nothing) fs::remove(dir / "已修改时间码");  // made before the export starts; it stays, empty
        EXPECT_EQ(snapshot(dir.path()), before);
    }
}

// One damaged file among a card's clips (cut short, as a card pulled out leaves one): with
// --keep-going, over the card's folder, it cancels nothing, every other clip is rewritten and the run
// exits with 1, naming it; without, the files not yet started when it fails (named first, it fails
// first) are cancelled, and the closing line names the first of them, then counts the rest.
TEST(CommandLine, KeepGoingRewritesEveryOtherClipAndTheClosingLineNamesWhatToRunAgain)
{
    TempDir sources;
    ASSERT_TRUE(makeClip(sources / "clip.mov"));
    const std::string original = readFile(sources / "clip.mov");
    for (const bool keepGoing : {true, false}) {
        SCOPED_TRACE(keepGoing ? "--keep-going" : "stopping at the first failure");
        TempDir dir;
        fs::create_directory(dir / "CLIP");
        const fs::path damaged = keepGoing ? dir / "CLIP/C0001.MP4" : dir / "C0001.MP4";
        writeFile(damaged, original.substr(0, original.size() / 2));
        std::vector<std::string> clips;
        for (int n = 2; n <= 8; ++n) {
            clips.push_back((dir / "CLIP" / ("C000" + std::to_string(n) + ".MP4")).string());
            fs::copy_file(sources / "clip.mov", clips.back());
        }
        const auto run = runKelvatta({keepGoing ? "--keep-going" : damaged.string(), dir / "CLIP"});
        const auto lines = run.outLines(), notStarted = notStartedIn(lines);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(notStarted.empty(), keepGoing);
        const auto refused = exportClip(damaged, dir / "out.MP4");  // the error the run names
        ASSERT_TRUE(refused.isError() && damageOf(refused.error()) == Damage::pastEnd);
        EXPECT_EQ(run.err, "错误：" + refused.error().localizedDescription + "\n未全部完成：已处理完成 " +
                               std::to_string(7 - notStarted.size()) + " 个文件；失败 1 个：" + damaged.string() +
                               notStartedPart(notStarted) + "\n");
        // Every clip started is rewritten (a failure cancels only those waiting); the others are as they were.
        EXPECT_EQ(readFile(damaged), original.substr(0, original.size() / 2));
        for (const auto& clip : clips) {
            const bool started = std::ranges::find(notStarted, clip) == notStarted.end();
            EXPECT_EQ(countStarting(lines, "成功处理文件：" + clip + "，"), started ? 1u : 0u) << clip;
            EXPECT_EQ(started ? formatTimecode(clip) : readFile(clip), started ? "00:00:00:00" : original) << clip;
        }
    }
}

// Another user (not root) rewriting a clip in a shared folder cannot give the result to the clip's
// owner; it keeps the clip's group, which that user belongs to, its permission bits, and no ACL.
TEST(CommandLine, ClipRewrittenByAnotherUserKeepsItsGroup)
{
    if (!canBeNobody()) GTEST_SKIP() << "needs root and setpriv";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const fs::path clip = dir / "C0001.MP4";
    ASSERT_TRUE(makeClip(clip));
    ASSERT_EQ(::chown(clip.c_str(), 1000, 4242), 0);
    ASSERT_EQ(::chmod(clip.c_str(), 0664), 0);
    // The folder's default ACL (rwx for one more user), which the clip, made before, does not have.
    const uint32_t acl[] = {2, 0x70001, ~0u, 0x70002, 65533, 0x50004, ~0u, 0x70010, ~0u, 0x50020, ~0u};
    const bool acls = ::setxattr(dir.path().c_str(), "system.posix_acl_default", acl, sizeof acl, 0) == 0;
    const auto run = runProgram(asNobody({kelvattaPath(), clip}, "--groups=4242"));
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat st {};
    ASSERT_EQ(::stat(clip.c_str(), &st), 0);
    EXPECT_EQ(std::tuple(st.st_uid, st.st_gid, st.st_mode & 07777), std::tuple(65534u, 4242u, 0664u));
    EXPECT_TRUE(!acls || ::getxattr(clip.c_str(), "system.posix_acl_access", nullptr, 0) < 0) << "an ACL it had not";
}

// A Matroska or AVI clip's result is an MP4 file, named <name>.mp4: beside the clip, which is then
// removed, or in the save-as folder; its camera XML keeps its name. A file already by that name is
// refused with everything as it was. A file named .mp4 keeps its name whatever it holds (AVI here). A
// file named on its own is taken whatever its name: AVCHD's .MTS (an MPEG-TS) becomes an MP4 file, an
// Insta360 .insv (an MP4) keeps its name.
TEST(CommandLine, MatroskaAndAviResultsAreNamedAsMp4Files)
{
    TempDir sources;
    const fs::path mkv = sources / "source.mkv", avi = sources / "source.avi", mts = sources / "source.mts",
                   mp4 = sources / "source.mp4";
    ASSERT_TRUE(makeMatroska(mkv, "-t 1"));
    const std::string from = "ffmpeg -nostdin -v error -i " + shellQuote(mkv);
    ASSERT_EQ(shell(from + " -c:v mjpeg -c:a pcm_s16le " + shellQuote(avi) + " && " + from +
                    " -c:v copy -c:a ac3 -f mpegts " + shellQuote(mts) + " && " + from + " -c copy " + shellQuote(mp4))
                  .status,
              0);
    const std::string xml = sonyXml(SonyTimecode{}, 25);
    const struct {
        fs::path source;
        std::string clip;
        bool saveAs = false;
        bool taken = false;       // a file already by the result's name
        std::string result = {};  // where the result goes, from the folder; empty: refused
    } cases[] = {
        {mkv, "C0001.mkv", false, false, "C0001.mp4"},
        {mkv, "C0001.mkv", true, false, "已修改时间码/C0001.mp4"},
        {mkv, "C0001.mkv", false, true},
        {avi, "C0001.mp4", false, false, "C0001.mp4"},
        {mts, "00001.MTS", false, false, "00001.mp4"},
        {mp4, "VID_001.insv", false, false, "VID_001.insv"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clip + (c.saveAs ? ", save as" : "") + (c.taken ? ", name taken" : ""));
        TempDir dir;
        const fs::path clip = dir / c.clip, mp4 = dir / "C0001.mp4";
        fs::copy_file(c.source, clip);
        const std::string sidecar = fs::path(c.clip).stem().string() + "M01.XML";
        writeFile(dir / sidecar, xml);
        if (c.taken) writeFile(mp4, "someone else's");
        const Snapshot before = snapshot(dir.path());
        const auto run = runKelvatta(with(c.saveAs ? kModes[1] : kModes[0], {clip}));
        if (c.result.empty()) {
            EXPECT_TRUE(run.status == 1 && run.says("C0001.mp4")) << run.out;
            EXPECT_EQ(snapshot(dir.path()), before);
            continue;
        }
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        const fs::path result = dir / c.result;
        EXPECT_EQ(formatTimecode(result), "00:00:00:00");
        // MPEG-TS carries H.264 with start codes, MP4 with lengths: only the audio's bytes are alike.
        EXPECT_TRUE(c.source == mts || packetHash(result) == packetHash(c.source));
        const bool renamed = !c.saveAs && c.result != c.clip;
        EXPECT_TRUE(c.saveAs ? readFile(clip) == readFile(c.source) : fs::exists(clip) == !renamed);
        const fs::path rebased = c.saveAs ? dir / "已修改时间码" / sidecar : dir / sidecar;
        EXPECT_NE(readFile(rebased).find("value=\"00000000\""), std::string::npos);
        std::vector<std::string> expected = {c.result, sidecar};
        if (c.saveAs) expected = {c.clip, sidecar, "已修改时间码", c.result, "已修改时间码/" + sidecar};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(entries(dir.path()), expected);
    }
}

// Ctrl-C, a polite kill and a hang-up alike, during a batch: the program ends with 128 + the signal
// and one line on standard error saying what became of the files; every clip holds its original
// bytes or, when reported rewritten, the result; no temporary file is left.
TEST(CommandLine, StopSignalLeavesEveryClipWholeAndSaysWhatBecameOfThem)
{
    TempDir dir;
    ASSERT_TRUE(makeClip(dir / "source.mov", {.seconds = 4, .size = "1920x1080"}));
    const std::string original = readFile(dir / "source.mov");
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        std::vector<std::string> arguments;
        for (int n = 1; n <= 8; ++n) {
            arguments.push_back((dir / ("C000" + std::to_string(n) + ".MP4")).string());
            fs::copy_file(dir / "source.mov", arguments.back(), fs::copy_options::overwrite_existing);
        }
        const auto run = runKelvatta(arguments, {.interruptOn = "开始处理文件：", .interruptSignal = signal});
        if (run.status == 0) continue;  // all done before the signal came
        const auto lines = run.outLines();
        const size_t done = countStarting(lines, "成功处理文件："), cancelled = countStarting(lines, "处理文件失败：");
        EXPECT_EQ(run.status, 128 + signal) << run.err;
        EXPECT_EQ(run.err, "已中断：已处理完成 " + std::to_string(done) + " 个文件" +
                               (cancelled ? "；已取消 " + std::to_string(cancelled) + " 个（原文件未改动）" : "") +
                               notStartedPart(notStartedIn(lines)) + "\n");
        for (const auto& argument : arguments) {
            const bool rewritten = countStarting(lines, "成功处理文件：" + argument + "，") > 0;
            EXPECT_EQ(rewritten ? formatTimecode(argument) : readFile(argument), rewritten ? "00:00:00:00" : original)
                << argument << (rewritten ? "" : " was not reported rewritten, yet changed");
        }
        EXPECT_EQ(entries(dir.path()).size(), arguments.size() + 1) << "a temporary file was left behind";
    }
}

// Started with standard input, output or error closed, the program would give that number to the
// first file it opens, and the log (descriptor 1) could land in a clip. Each is open on /dev/null
// while the batch runs, and every clip comes out whole.
TEST(CommandLine, ClosedStandardDescriptorIsOpenedOnDevNull)
{
    TempDir dir;
    ASSERT_TRUE(makeClip(dir / "source.mov"));
    for (int closed : {0, 1, 2}) {
        SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed");
        const fs::path clips = dir / ("run " + std::to_string(closed));
        fs::create_directory(clips);
        for (int n = 1; n <= 12; ++n) fs::copy_file(dir / "source.mov", clips / ("C" + std::to_string(n) + ".MP4"));
        ProgramOptions options{.closedDescriptor = closed};
        std::string heldBy;
        if (closed != 1) {  // standard output is how the test learns that the batch runs
            options.stopOn = "开始处理文件：";
            options.whileStopped = [&](const ProgramRun& run) {
                std::error_code ec;
                heldBy = fs::read_symlink("/proc/" + std::to_string(run.pid) + "/fd/" + std::to_string(closed), ec);
            };
        }
        const auto run = runKelvatta({clips.string()}, options);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(heldBy, closed != 1 ? "/dev/null" : "");
        const std::string result = readFile(clips / "C1.MP4");
        EXPECT_EQ(formatTimecode(clips / "C1.MP4"), "00:00:00:00");
        for (int n = 2; n <= 12; ++n) EXPECT_TRUE(readFile(clips / ("C" + std::to_string(n) + ".MP4")) == result) << n;
    }
}
