// A disk that holds the clip but not its rewrite: the command line says the disk is full, the clip
// stays whole and nothing is left beside it, in both modes.
#include <gtest/gtest.h>

#include <cerrno>
#include <iostream>

#include "platform/error.h"
#include "support/box_tree.h"
#include "support/clips.h"
#include "support/mount.h"
#include "support/process.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

TEST(FullDisk, SaysSoAndLeavesTheClipWhole)
{
    TempDir dir;
    const fs::path source = dir / "source.MP4", disk = dir / "小盘";
    ASSERT_TRUE(makeClip(source, {.timecode = "10:00:00:00", .seconds = 4, .size = "1280x720"}));
    // An MP4 file (media data first, moov last), which a rewrite in place would take.
    std::vector<Node> top = parseFile(readBytes(source));
    Bytes& brands = topLevel(top, "ftyp").data;
    for (size_t at = 0; at + 4 <= brands.size(); at += 4)
        if (Bytes(&brands[at], &brands[at + 4]) == Bytes{'X', 'A', 'V', 'C'}) std::copy_n("mp42", 4, &brands[at]);
    writeBytes(source, serialize(top));
    const std::string original = readFile(source);
    // Room for the clip and 256 KiB more, not for a second copy of it.
    const Mount mount = Mount::tmpfs(disk, original.size() + (256 << 10));
    if (!mount.ok()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";

    for (bool saveAs : {false, true}) {
        SCOPED_TRACE(saveAs ? "save as" : "replace");
        const fs::path clip = disk / "C0001.MP4";
        fs::copy_file(source, clip, fs::copy_options::overwrite_existing);
        const auto run = runKelvatta(with(kModes[saveAs ? 1 : 0], {clip}));
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        const auto lines = run.outLines();
        const auto failed =
            std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.starts_with("导出失败："); });
        ASSERT_NE(failed, lines.end()) << run.out;
        // ENOSPC's reason, and, replacing, that a rewrite in place needs almost no room.
        const auto says = [&](const std::string& text) { return failed->find(text) != std::string::npos; };
        EXPECT_TRUE(says("C0001.MP4") && says(errnoReason(ENOSPC))) << *failed;
        EXPECT_EQ(says("--in-place"), !saveAs) << *failed;
        EXPECT_TRUE(run.err.substr(0, run.err.find('\n')).ends_with(failed->substr(failed->find("：")))) << run.err;
        EXPECT_EQ(readFile(clip), original);
        // The save-as folder is made before the export starts and taken away again, empty.
        EXPECT_EQ(entries(disk), std::vector<std::string>{"C0001.MP4"});
        std::cout << "[ FIGURES  ] full disk | " << (saveAs ? "save as" : "replace") << " | exit " << run.status
                  << " | " << *failed << "\n";
    }
}

// A clip rewritten in place whose blocks a reflinked backup shares, on a full XFS: every block a
// restore or a rewrite in place writes needs a new one. Both refuse before their first write, the
// clip byte for byte as it was; with room again, the restore gives the original back.
TEST(FullDisk, WritingInPlaceOverSharedBlocksRefusesBeforeItsFirstWrite)
{
    ASSERT_FALSE(sonyClip().empty());
    TempDir dir;
    const fs::path mnt = dir / "mnt";
    const Mount xfs = Mount::xfs(dir / "xfs.img", mnt, 320);
    if (!xfs.ok()) GTEST_SKIP() << "cannot make and mount an XFS with reflink here (needs root)";
    const fs::path clip = mnt / "C0001.MP4", fresh = mnt / "C0002.MP4";
    writeBytes(clip, sonyClip());
    ASSERT_EQ(runKelvatta({"--in-place", clip.string()}).status, 0);
    writeBytes(fresh, sonyClip());
    const Bytes rewritten = readBytes(clip);
    // The backups share every block; the fillers take every free one.
    ASSERT_EQ(shell("cd " + shellQuote(mnt) +
                    " && cp --reflink=always C0001.MP4 backup1 && cp --reflink=always C0002.MP4 backup2"
                    " && fallocate -l $(($(stat -f -c '%a*%S' .))) filler; dd if=/dev/zero of=filler2 bs=4k"
                    " 2>/dev/null; sync")
                  .status,
              0);
    for (const auto& [options, file, before] :
         {std::tuple{std::vector<std::string>{"--restore"}, clip, rewritten},
          std::tuple{std::vector<std::string>{"--in-place"}, fresh, sonyClip()}}) {
        SCOPED_TRACE(options[0]);
        const auto run = runKelvatta(with(options, {file}));
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_TRUE(run.says(errnoReason(ENOSPC))) << run.out;
        EXPECT_TRUE(readBytes(file) == before);
        std::cout << "[ FIGURES  ] full XFS, blocks shared with a backup | " << options[0] << " | exit " << run.status
                  << " | " << run.outLines().back() << "\n";
    }
    fs::remove(mnt / "filler");
    fs::remove(mnt / "filler2");
    EXPECT_EQ(runKelvatta({"--restore", clip.string()}).status, 0);
    EXPECT_TRUE(readBytes(clip) == sonyClip());
}
