// A disk that holds the clip but not its rewrite: the command line says the disk is full, the clip
// stays whole and nothing is left beside it, in both modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

#include "app_test_support.h"
#include "support/tmpfs_mount.h"

using namespace kelvatta::test;

TEST(FullDisk, SaysSoAndLeavesTheClipWhole)
{
    ScratchFolder folder;
    const fs::path source = folder / "source.MP4";
    ASSERT_TRUE(makeClip(source, "10:00:00:00", 4, "1280x720"));
    const std::string original = readFile(source);
    // Room for the clip and 256 KiB more, not for a second copy of it.
    const fs::path disk = folder / "小盘";
    fs::create_directory(disk);
    TmpfsMount mount(disk, original.size() + (256 << 10));
    if (!mount.ok()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";

    for (bool saveAs : {false, true}) {
        SCOPED_TRACE(saveAs ? "save as" : "replace");
        const fs::path clip = disk / "C0001.MP4";
        fs::copy_file(source, clip, fs::copy_options::overwrite_existing);
        std::vector<std::string> arguments = {clip.string()};
        if (saveAs) arguments.insert(arguments.begin(), "--save-as");
        const ProgramRun run = runKelvatta(arguments);

        EXPECT_EQ(run.status, 1) << run.out << run.err;
        const auto lines = run.outLines();
        const auto failed = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.starts_with("导出失败：");
        });
        ASSERT_NE(failed, lines.end()) << run.out;
        EXPECT_NE(failed->find("C0001.MP4”：磁盘空间不足"), std::string::npos) << *failed;
        EXPECT_EQ(run.err.substr(0, run.err.find('\n')), "错误：" + failed->substr(std::string("导出失败：").size()));
        EXPECT_EQ(readFile(clip), original);
        // The save-as folder is made before the export starts and stays, empty.
        const std::vector<std::string> expected = {"C0001.MP4", "已修改时间码"};
        EXPECT_EQ(entries(disk), std::vector<std::string>(expected.begin(), expected.begin() + (saveAs ? 2 : 1)));
        fs::remove_all(disk / "已修改时间码");
        std::cout << "[ FIGURES  ] full disk | " << (saveAs ? "save as" : "replace") << " | exit " << run.status
                  << " | " << *failed << "\n";
    }
}
