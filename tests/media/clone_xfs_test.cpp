// Block sharing on a copy-on-write file system: a loop-mounted XFS image with reflink. Needs root
// and a kernel that lets it mount; skipped otherwise. Always unmounts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>

#include "media/data_copy.h"
#include "platform/sys.h"
#include "support/box_tree.h"
#include "support/clips.h"
#include "support/mount.h"
#include "support/process.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

uint64_t freeBytes(const fs::path& folder)
{
    ::sync();
    struct statvfs st {};
    EXPECT_EQ(::statvfs(folder.c_str(), &st), 0);
    return uint64_t(st.f_bfree) * st.f_frsize;
}

}  // namespace

TEST(XfsReflink, ExportSharesTheClipsBlocksAndTheCopierClonesOnlyWholeBlocks)
{
    TempDir dir;
    const fs::path mnt = dir / "mnt";
    fs::create_directory(mnt);
    const Mount xfs = Mount::xfs(dir / "xfs.img", mnt, 400);
    if (!xfs.ok()) GTEST_SKIP() << "cannot make and mount an XFS with reflink here (needs root)";

    // A clip of about 60 MB (noise does not compress): its rewrite takes almost no new blocks.
    ASSERT_EQ(shell("ffmpeg -nostdin -v error -f lavfi -i 'testsrc2=s=1280x720:r=30:d=1,noise=alls=100:allf=t' -f lavfi "
                    "-i sine=r=48000:d=1 -c:v libx264 -preset ultrafast -qp 0 -c:a pcm_s16be -f mov -brand XAVC " +
                    shellQuote(mnt / "C0005.MP4"))
                  .status,
              0);
    ASSERT_GT(fs::file_size(mnt / "C0005.MP4"), 50u << 20);
    const uint64_t before = freeBytes(mnt);
    const auto start = std::chrono::steady_clock::now();
    auto exported = exportClip(mnt / "C0005.MP4", mnt / "temp_C0005.MP4");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(exported.isError()) << exported.error().localizedDescription;
    EXPECT_LT(before - freeBytes(mnt), 1u << 20) << "bytes of new blocks";
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 2000);
    EXPECT_EQ(formatTimecode(mnt / "temp_C0005.MP4"), "00:00:00:00");
    EXPECT_EQ(packetHash(mnt / "temp_C0005.MP4"), packetHash(mnt / "C0005.MP4"));

    // Ranges whose offsets agree modulo the block size: the whole blocks are shared, the partial ends
    // copied, and the bytes come out the same.
    Bytes data(64 * 4096 + 123);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31 + i / 4096);
    writeBytes(mnt / "in.bin", data);
    auto in = sys::open((mnt / "in.bin").string(), O_RDONLY);
    auto out = sys::open((mnt / "out.bin").string(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_TRUE(in && out);
    ExportControl control;
    DataCopier copier(in->get(), mnt / "in.bin", out->get(), mnt / "out.bin", data.size(), data.size(),
                      data.size() + 4096, control);
    // 1000 .. 1000 + 10 blocks + 500, placed one block further on; then the tail running to the end.
    ASSERT_FALSE(copier.copy(1000, 4096 + 1000, 10 * 4096 + 500).isError());
    ASSERT_FALSE(copier.copy(20 * 4096 + 7, 21 * 4096 + 7, data.size() - (20 * 4096 + 7)).isError());
    EXPECT_EQ(copier.method(), DataCopier::Method::clone);
    EXPECT_EQ(copier.clonedBytes(), 9u * 4096 + (data.size() - 21 * 4096));
    const Bytes back = readBytes(mnt / "out.bin");
    ASSERT_EQ(back.size(), data.size() + 4096);
    EXPECT_EQ(Bytes(back.begin() + 4096 + 1000, back.begin() + 4096 + 1000 + 10 * 4096 + 500),
              Bytes(data.begin() + 1000, data.begin() + 1000 + 10 * 4096 + 500));
    EXPECT_EQ(Bytes(back.begin() + 21 * 4096 + 7, back.end()), Bytes(data.begin() + 20 * 4096 + 7, data.end()));
}
