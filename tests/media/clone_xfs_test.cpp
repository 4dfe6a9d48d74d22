// Block sharing on a copy-on-write file system: a loop-mounted XFS image with reflink. Needs root
// and a kernel that lets it mount; skipped otherwise. Always unmounts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "media/data_copy.h"
#include "platform/sys.h"
#include "support/box_tree.h"
#include "support/clip_fixtures.h"
#include "support/command.h"
#include "support/export_runner.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;
namespace fs = std::filesystem;

namespace {

class XfsReflink : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
        const fs::path image = dir_ / "xfs.img";
        mount_ = dir_ / "mnt";
        fs::create_directory(mount_);
        if (runCommand("truncate -s 400M " + shellQuote(image) + " && mkfs.xfs -q -m reflink=1 " + shellQuote(image) +
                       " 2>&1")
                .status != 0)
            GTEST_SKIP() << "mkfs.xfs with reflink is not available";
        auto mounted = runCommand("mount -o loop " + shellQuote(image) + " " + shellQuote(mount_) + " 2>&1");
        if (mounted.status != 0) GTEST_SKIP() << "mounting refused here: " << mounted.output;
        mounted_ = true;
    }

    void TearDown() override
    {
        if (!mounted_) return;
        if (runCommand("umount " + shellQuote(mount_) + " 2>&1").status != 0)
            runCommand("umount -l " + shellQuote(mount_) + " 2>&1");
    }

    uint64_t freeBytes() const
    {
        ::sync();
        struct statvfs st {};
        EXPECT_EQ(::statvfs(mount_.c_str(), &st), 0);
        return uint64_t(st.f_bfree) * st.f_frsize;
    }

    TempDir dir_;
    fs::path mount_;
    bool mounted_ = false;
};

TEST_F(XfsReflink, ExportSharesTheClipsBlocks)
{
    // A clip of about 60 MB: noise does not compress.
    const fs::path staged = dir_ / "C0005.MP4";
    ASSERT_EQ(runCommand("ffmpeg -nostdin -v error -y -f lavfi -i 'testsrc2=s=1280x720:r=30:d=1,noise=alls=100:allf=t'"
                         " -f lavfi -i sine=r=48000:d=1 -c:v libx264 -preset ultrafast -qp 0 -c:a pcm_s16be"
                         " -f mov -brand XAVC " + shellQuote(staged) + " 2>&1")
                  .status,
              0);
    const fs::path source = mount_ / "C0005.MP4";
    fs::copy_file(staged, source);
    const fs::path output = mount_ / "temp_C0005.MP4";

    const uint64_t before = freeBytes();
    const auto start = std::chrono::steady_clock::now();
    const ExportOutcome outcome = exportThroughSession(source, output);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(outcome.completed()) << (outcome.error ? outcome.error->localizedDescription : "");
    const uint64_t used = before - freeBytes();

    EXPECT_GT(fs::file_size(source), 50u << 20);
    EXPECT_LT(used, 1u << 20) << "bytes of new blocks";
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 2000);
    EXPECT_EQ(probeStreamTag(output, "v:0", "timecode"), "00:00:00:00");
    EXPECT_EQ(packetHash(output), packetHash(source));
}

// Ranges whose offsets agree modulo the block size: the whole blocks are shared, the partial ends
// copied, and the bytes come out the same.
TEST_F(XfsReflink, CopierClonesTheAlignedMiddleOnly)
{
    const fs::path in = mount_ / "in.bin";
    Bytes data(64 * 4096 + 123);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31 + i / 4096);
    writeBytes(in, data);
    const fs::path out = mount_ / "out.bin";
    auto inFd = sys::open(in.string(), O_RDONLY);
    auto outFd = sys::open(out.string(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_TRUE(inFd && outFd);
    ExportControl control;
    DataCopier copier(inFd->get(), in, outFd->get(), out, data.size(), data.size(), data.size() + 4096, control);
    // 1000 .. 1000 + 10 blocks + 500, placed one block further on; then the tail running to the end.
    ASSERT_FALSE(copier.copy(1000, 4096 + 1000, 10 * 4096 + 500).isError());
    ASSERT_FALSE(copier.copy(20 * 4096 + 7, 21 * 4096 + 7, data.size() - (20 * 4096 + 7)).isError());
    EXPECT_EQ(copier.method(), DataCopier::Method::clone);
    EXPECT_EQ(copier.clonedBytes(), 9u * 4096 + (data.size() - 21 * 4096));
    const Bytes back = readBytes(out);
    ASSERT_EQ(back.size(), data.size() + 4096);
    EXPECT_EQ(Bytes(back.begin() + 4096 + 1000, back.begin() + 4096 + 1000 + 10 * 4096 + 500),
              Bytes(data.begin() + 1000, data.begin() + 1000 + 10 * 4096 + 500));
    EXPECT_EQ(Bytes(back.begin() + 21 * 4096 + 7, back.end()), Bytes(data.begin() + 20 * 4096 + 7, data.end()));
}

}  // namespace
