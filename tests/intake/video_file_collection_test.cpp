#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "app/app_test_support.h"
#include "intake/video_file_collection.h"
#include "intake_test_support.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

// Takes every permission away from a folder while alive.
class Locked {
public:
    explicit Locked(fs::path folder) : folder_(std::move(folder)) { ::chmod(folder_.c_str(), 0); }
    ~Locked() { ::chmod(folder_.c_str(), 0755); }

private:
    fs::path folder_;
};

using Collection = IntakeTest;

}  // namespace

// What the program leaves itself is passed over in a folder: the save-as folders, and a temp_ file
// whose clip lies beside it. Named on its own, such a file is taken like any other.
TEST_F(Collection, FoldersAreSearchedAtEveryDepthAndEntriesJudgedByName)
{
    TempDir temp;
    const fs::path top = temp / "拍摄 01.mp4";  // searched, not collected
    makeTree(top, {"a.mp4", "sub/b.MOV", "sub/deeper/c.mkv", "d.mts", ".hidden.Avi", "._C0001.MP4", "clip.mp4.part",
                   "mp4", "x.mov/e.M4v", "empty/", "已修改时间码/a.mp4", "sub/已修改时间码/b.MOV", "temp_a.mp4",
                   "sub/temp_b.MOV", "sub/temp_a.mp4"});
    fs::create_directory_symlink(top / "sub", top / "link");  // not followed
    fs::create_directory_symlink(top, top / "sub" / "loop");  // not followed
    fs::create_symlink(top / "a.mp4", top / "alias.mp4");     // a name like any other

    collectVideoFiles(view, {temp / "notes.txt", top / "", top / "temp_a.mp4"});
    ASSERT_TRUE(waitForHandOver());
    const auto files = view.filesToProcess();
    EXPECT_EQ(sorted(files), sorted<fs::path>({top / "a.mp4", top / "sub/b.MOV", top / "sub/deeper/c.mkv",
                                               top / ".hidden.Avi", top / "._C0001.MP4", top / "x.mov",
                                               top / "x.mov/e.M4v", top / "alias.mp4", top / "sub/temp_a.mp4",
                                               top / "temp_a.mp4"}));
    EXPECT_LT(std::ranges::find(files, top / "x.mov"), std::ranges::find(files, top / "x.mov/e.M4v"))
        << "a folder comes before its contents";
    EXPECT_EQ(linesStartingWith(log, {"收集到视频文件："}), lines("收集到视频文件：", files));
}

TEST_F(Collection, InputOrderAndRepeatsAreKept)
{
    TempDir temp;
    makeTree(temp.path(), {"clips/C0001.MP4", "other/C0002.MOV"});
    collectVideoFiles(view, {temp / "clips/C0001.MP4", temp / "clips/", temp / "other/C0002.MOV"});
    ASSERT_TRUE(waitForHandOver());
    EXPECT_EQ(view.filesToProcess(),
              (std::vector<fs::path>{temp / "clips/C0001.MP4", temp / "clips/C0001.MP4", temp / "other/C0002.MOV"}));
}

// Three folders of which the second cannot be listed (gone, or locked for a user other than root):
// nothing is processed, not even from the first.
TEST_F(Collection, FolderThatCannotBeListedStopsEverything)
{
    TempDir temp;
    makeTree(temp.path(), {"one/C0001.MP4", "locked/C0002.MP4", "three/C0003.MP4"});
    Locked locked(temp / "locked");
    collectVideoFiles(view, {temp / "one/", temp / (::geteuid() == 0 ? "gone/" : "locked/"), temp / "three/"});
    ASSERT_TRUE(waitForHandOver());
    EXPECT_EQ(writes.fields,
              (std::vector<std::string>{"processingStatus", "showAlert", "errorMessage", "showProgressBar"}));
    EXPECT_EQ(view.processingStatus(), "无法访问文件夹内容");
    EXPECT_EQ(view.errorMessage(), "无法访问文件夹内容");
    EXPECT_TRUE(view.showAlert());
    EXPECT_TRUE(processor->calls().empty());
    EXPECT_EQ(log.lines(), lines("收集到视频文件：", {temp / "one/C0001.MP4"}));
}

TEST_F(Collection, LockedFoldersBelowArePassedOver)
{
    KV_RUN_AS_NOBODY_WHEN_ROOT();
    TempDir temp;
    makeTree(temp.path(), {"a/C0001.MP4", "b.mov/C0002.MP4", "c/C0003.MP4", "d/e/C0004.MP4", "f/C0005.MP4"});
    Locked lockedB(temp / "b.mov"), lockedE(temp / "d/e");
    collectVideoFiles(view, {temp.path() / ""});
    ASSERT_TRUE(waitForHandOver());
    EXPECT_EQ(sorted(view.filesToProcess()),
              sorted<fs::path>({temp / "a/C0001.MP4", temp / "b.mov", temp / "c/C0003.MP4", temp / "f/C0005.MP4"}));
}

TEST_F(Collection, FolderMountedBelowItselfIsNotEnteredAgain)
{
    TempDir temp;
    makeTree(temp.path(), {"C0001.MP4", "sub/mirror/"});
    if (::mount(temp.path().c_str(), (temp / "sub/mirror").c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind-mount here";
    collectVideoFiles(view, {temp.path() / ""});
    const bool handedOver = waitForHandOver();
    ::umount2((temp / "sub/mirror").c_str(), MNT_DETACH);
    ASSERT_TRUE(handedOver);
    EXPECT_EQ(view.filesToProcess(), std::vector<fs::path>{temp / "C0001.MP4"});
}

// The program over a folder: every clip below it is rewritten, one named beside its folder twice;
// the copies a save-as run made are not taken for clips by the runs after it.
TEST(CollectionEndToEnd, CommandLineRewritesEveryClipBelowAFolder)
{
    ScratchFolder folder;
    const std::vector<std::string> clips = {"C0001.MP4", "A001/C0002.MOV", "A001/.deep/C0003.mp4"};
    for (const auto& clip : clips) {
        fs::create_directories((folder / clip).parent_path());
        ASSERT_TRUE(makeClip(folder / clip));
    }
    const auto rewritten = [](const ProgramRun& run) {
        return std::ranges::count_if(run.outLines(), [](const auto& l) { return l.starts_with("成功处理文件："); });
    };
    auto saveAs = runKelvatta({"--save-as", folder.path().string()});
    EXPECT_EQ(saveAs.status, 0) << saveAs.out << saveAs.err;
    EXPECT_EQ(rewritten(saveAs), 3);
    const std::string copy = readFile(folder / "A001/已修改时间码/C0002.MOV");

    auto run = runKelvatta({(folder / clips[0]).string(), folder.path().string()});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(rewritten(run), 4);
    for (const auto& clip : clips) EXPECT_EQ(formatTimecode(folder / clip), "00:00:00:00") << clip;
    EXPECT_EQ(readFile(folder / "A001/已修改时间码/C0002.MOV"), copy) << "a copy was rewritten as a clip";
    EXPECT_FALSE(fs::exists(folder / "A001/已修改时间码/已修改时间码"));
}
