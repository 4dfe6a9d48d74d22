// What a drop or a folder hands over becomes the batch's list: dropped entries with links resolved;
// folders walked at every depth, passing over what the program leaves itself; a folder that cannot
// be listed stops everything.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "intake/drop_intake.h"
#include "intake/file_url.h"
#include "intake/video_file_collection.h"
#include "platform/operation_queue.h"
#include "state/texts.h"
#include "support/fake_session.h"
#include "support/log_capture.h"
#include "support/wait.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

// The view of a window whose exports end at once, and a scratch tree.
class Intake : public ::testing::Test {
protected:
    void SetUp() override { markMainThread(); }
    void TearDown() override
    {
        EXPECT_TRUE(waitFor([&] { return view.takesInput() && view.operationQueue().operationCount() == 0; }));
    }
    // Makes the files and folders (names ending with '/') below the scratch folder.
    void makeTree(const std::vector<std::string>& names)
    {
        for (const auto& name : names) {
            fs::create_directories((dir / name).parent_path());
            if (!name.ends_with('/')) writeFile(dir / name, "clip");
        }
    }
    // The list collection handed to the batch, once it has (or has failed).
    std::vector<fs::path> handedOver()
    {
        EXPECT_TRUE(waitFor([&] { return view.processingStatus() != kInitialProcessingStatus; }));
        return view.filesToProcess();
    }

    TempDir dir;
    FakeSessions sessions;
    LogCapture log;
    ContentView view{std::make_shared<VideoProcessor>(sessions.factory())};
};

std::vector<fs::path> sorted(std::vector<fs::path> paths)
{
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<std::string> prefixed(const std::string& prefix, const std::vector<fs::path>& paths)
{
    std::vector<std::string> lines;
    for (const auto& path : paths) lines.push_back(prefix + path.string());
    return lines;
}

}  // namespace

// A drop hands over the entries of its text/uri-list: file URLs, links resolved (a clip named through
// a link is rewritten where it lies) and folders searched even when named like a clip; comments and
// addresses that are no local file are passed over.
TEST_F(Intake, DroppedEntriesGoToTheBatchWithLinksResolvedAndFoldersSearched)
{
    makeTree({"片段 一.MP4", "C0002.MP4", "拍摄.mp4/A001/C0003.MP4"});
    fs::create_symlink(dir / "C0002.MP4", dir / "link.mp4");
    fs::create_directory_symlink(dir / "拍摄.mp4", dir / "shortcut");
    const std::string uriList = "# from the file manager\r\nfile://" + dir.path().string() +
                                "/%E7%89%87%E6%AE%B5%20%E4%B8%80.MP4\r\n" + fileURLText(dir / "link.mp4") +
                                "\r\nhttps://example.com/C0004.MP4\r\nfile://camera/DCIM/C0005.MP4\r\n" +
                                "file://localhost" + fileURLText(dir / "shortcut").substr(7) + "\r\n";
    EXPECT_TRUE(performDrop(view, itemProvidersFromUriList(uriList)));
    EXPECT_EQ(sorted(handedOver()), sorted({dir / "片段 一.MP4", dir / "C0002.MP4", dir / "拍摄.mp4/A001/C0003.MP4"}));
}

// A folder's walk passes over the save-as folders, a temp_ file beside its clip (temp_c.mp4 beside
// c.mkv too, whose result is named c.mp4), links and Mac resource
// files (._ with an AppleDouble header); named, such a file is taken, twice if named twice, in order.
// A folder too deep to open goes to the batch to fail.
TEST_F(Intake, FoldersAreSearchedAtEveryDepthAndEntriesJudgedByName)
{
    const fs::path top = dir / "拍摄 01.mp4";  // searched, not collected
    makeTree({"拍摄 01.mp4/a.mp4", "拍摄 01.mp4/sub/b.MOV", "拍摄 01.mp4/sub/deeper/c.mkv", "拍摄 01.mp4/d.mts",
              "拍摄 01.mp4/.hidden.Avi", "拍摄 01.mp4/._C0001.MP4", "拍摄 01.mp4/clip.mp4.part", "拍摄 01.mp4/mp4",
              "拍摄 01.mp4/x.mov/e.M4v", "拍摄 01.mp4/empty/", "拍摄 01.mp4/已修改时间码/a.mp4",
              "拍摄 01.mp4/sub/已修改时间码/b.MOV", "拍摄 01.mp4/temp_a.mp4", "拍摄 01.mp4/sub/temp_b.MOV",
              "拍摄 01.mp4/sub/temp_a.mp4", "拍摄 01.mp4/sub/deeper/temp_c.mp4"});
    fs::create_directory_symlink(top / "sub", top / "link");  // not followed
    fs::create_directory_symlink(top, top / "sub" / "loop");  // not followed
    fs::create_symlink(top / "a.mp4", top / "alias.mp4");     // its target is met anyway
    makeTree({"private/private.MP4"});
    fs::create_symlink(dir / "private/private.MP4", top / "sub/holiday.MP4");
    writeFile(top / "sub/._C0002.MP4", std::string("\0\5\x16\7\0\2\0\0Mac OS X", 16));
    // Folders of the longest names a file system takes, until the path is longer than any it takes.
    const std::string name(NAME_MAX, 'd');
    fs::path deep = top / "sub" / name;
    int parent = ::open((top / "sub").c_str(), O_RDONLY | O_DIRECTORY);
    for (; ::mkdirat(parent, name.c_str(), 0755) == 0 && deep.native().size() < PATH_MAX; deep /= name) {
        const int below = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(std::exchange(parent, below));
    }

    collectVideoFiles(view, {top / "a.mp4", dir / "notes.txt", top / "", top / "temp_a.mp4"});
    const auto files = handedOver();
    EXPECT_EQ(sorted(files), sorted({top / "a.mp4", top / "a.mp4", top / "sub/b.MOV", top / "sub/deeper/c.mkv",
                                     top / ".hidden.Avi", top / "._C0001.MP4", top / "x.mov", top / "x.mov/e.M4v",
                                     top / "sub/temp_a.mp4", dir / "notes.txt", top / "temp_a.mp4", deep}));
    EXPECT_EQ(files.front(), top / "a.mp4");
    EXPECT_EQ(files.back(), top / "temp_a.mp4");
    const auto at = [&](const fs::path& file) { return std::find(files.begin(), files.end(), file); };
    EXPECT_LT(at(top / "x.mov"), at(top / "x.mov/e.M4v")) << "a folder comes before its contents";
    EXPECT_EQ(log.linesStartingWith("收集到视频文件："), prefixed("收集到视频文件：", files));
    ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);  // beyond what the scratch folder's removal reaches
    ::close(parent);
}

// Three folders of which the second cannot be listed (gone): nothing is processed, not even from the
// first, and the error line says why.
TEST_F(Intake, FolderThatCannotBeListedStopsEverything)
{
    makeTree({"one/C0001.MP4", "three/C0003.MP4"});
    collectVideoFiles(view, {dir / "one/", dir / "gone/", dir / "three/"});
    EXPECT_TRUE(handedOver().empty());
    EXPECT_EQ(view.errorMessage(), kFolderAccessFailure);
    EXPECT_TRUE(sessions.started().empty());
    EXPECT_EQ(log.lines(), prefixed("收集到视频文件：", {dir / "one/C0001.MP4"}));
}

// Folders below that cannot be opened are passed over. Root opens every folder: as root, the run of
// these tests as nobody (AsNobody, tests/app/run-as-nobody) checks it.
TEST_F(Intake, LockedFoldersBelowArePassedOver)
{
    if (::geteuid() == 0) GTEST_SKIP() << "root opens every folder; the run as nobody checks this";
    makeTree({"a/C0001.MP4", "b.mov/C0002.MP4", "c/C0003.MP4", "d/e/C0004.MP4"});
    for (const char* locked : {"b.mov", "d/e"}) ::chmod((dir / locked).c_str(), 0);
    collectVideoFiles(view, {dir.path() / ""});
    EXPECT_EQ(sorted(handedOver()), sorted({dir / "a/C0001.MP4", dir / "b.mov", dir / "c/C0003.MP4"}));
    for (const char* locked : {"b.mov", "d/e"}) ::chmod((dir / locked).c_str(), 0755);
}
