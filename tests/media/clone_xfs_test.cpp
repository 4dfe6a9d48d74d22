// Block sharing on a copy-on-write file system: a loop-mounted XFS image with reflink, where the
// rewrite of a 60 MB clip takes almost no new blocks and little time (the whole blocks of its data
// shared, the partial ends copied). Needs root and a kernel that lets it mount; skipped otherwise.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>

#include "support/clips.h"
#include "support/mount.h"
#include "support/process.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

TEST(XfsReflink, ExportSharesTheClipsBlocks)
{
    TempDir dir;
    const fs::path mnt = dir / "mnt";
    const Mount xfs = Mount::xfs(dir / "xfs.img", mnt, 400);
    if (!xfs.ok()) GTEST_SKIP() << "cannot make and mount an XFS with reflink here (needs root)";

    // A clip of about 60 MB (noise does not compress).
    ASSERT_EQ(shell("ffmpeg -nostdin -v error -f lavfi -i 'testsrc2=s=1280x720:r=30:d=1,noise=alls=100:allf=t' "
                    "-f lavfi -i sine=r=48000:d=1 -c:v libx264 -preset ultrafast -qp 0 -c:a pcm_s16be -f mov " +
                    shellQuote(mnt / "C0005.MP4"))
                  .status,
              0);
    ASSERT_GT(fs::file_size(mnt / "C0005.MP4"), 50u << 20);
    const auto freeBytes = [&] {
        ::sync();
        struct statvfs st {};
        return ::statvfs(mnt.c_str(), &st) == 0 ? uint64_t(st.f_bfree) * st.f_frsize : 0;
    };
    const uint64_t before = freeBytes();
    const auto start = std::chrono::steady_clock::now();
    auto exported = exportClip(mnt / "C0005.MP4", mnt / "temp_C0005.MP4");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(exported.isError()) << exported.error().localizedDescription;
    EXPECT_LT(before - freeBytes(), 1u << 20) << "bytes of new blocks";
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 2000);
    EXPECT_EQ(formatTimecode(mnt / "temp_C0005.MP4"), "00:00:00:00");
    EXPECT_EQ(packetHash(mnt / "temp_C0005.MP4"), packetHash(mnt / "C0005.MP4"));
}
