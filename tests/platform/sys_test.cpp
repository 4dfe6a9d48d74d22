#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/checked.h"
#include "platform/sys.h"

using namespace kelvatta;

namespace {

struct FailNth {
    int target;
    int err;
    int seen = 0;
};

int failNth(sys::Call, void* context)
{
    auto* f = static_cast<FailNth*>(context);
    return ++f->seen == f->target ? f->err : 0;
}

std::string tempDir()
{
    char tmpl[] = "/tmp/kelvatta-sys-XXXXXX";
    return mkdtemp(tmpl);
}

}  // namespace

TEST(Sys, InjectedFaultNamesTheCallAndKeepsErrno)
{
    auto dir = tempDir();
    FailNth plan{2, ENOSPC};
    sys::setFaultHook(failNth, &plan);
    auto fd = sys::open(dir + "/f", O_CREAT | O_WRONLY | O_EXCL, 0644);
    auto write = fd ? sys::writeAll(fd->get(), "abc", 3) : ErrorOr<void>{};
    sys::setFaultHook(nullptr, nullptr);
    ASSERT_FALSE(fd.isError());
    ASSERT_TRUE(write.isError());
    EXPECT_EQ(write.error().code, ENOSPC);
    EXPECT_EQ(write.error().domain, kPosixErrorDomain);
    EXPECT_EQ(write.error().localizedDescription, "write: 磁盘空间不足");
    std::filesystem::remove_all(dir);
}

TEST(Sys, RealErrorsCarryErrno)
{
    auto r = sys::open("/nonexistent/kelvatta", O_RDONLY);
    ASSERT_TRUE(r.isError());
    EXPECT_EQ(r.error().code, ENOENT);
    EXPECT_EQ(r.error().localizedDescription, "open: 文件或文件夹不存在");
}

TEST(Sys, ReadAtStopsAtEndOfFile)
{
    auto dir = tempDir();
    auto fd = sys::open(dir + "/f", O_CREAT | O_RDWR | O_EXCL, 0644);
    ASSERT_FALSE(fd.isError());
    ASSERT_FALSE(sys::writeAt(fd->get(), "hello", 5, 0).isError());
    char buf[16];
    auto n = sys::readAt(fd->get(), buf, sizeof buf, 2);
    ASSERT_FALSE(n.isError());
    EXPECT_EQ(*n, 3u);
    EXPECT_EQ(std::string(buf, 3), "llo");
    std::filesystem::remove_all(dir);
}

TEST(ErrnoReason, UnknownErrnoFallsBackToTheSystemText)
{
    EXPECT_EQ(errnoReason(EACCES), "权限不足");
    EXPECT_FALSE(errnoReason(EPROTO).empty());
}

TEST(Checked, OverflowIsNothing)
{
    EXPECT_EQ(checkedAdd<uint64_t>(UINT64_MAX, 1), std::nullopt);
    EXPECT_EQ(checkedAdd<uint64_t>(2, 3), 5u);
    EXPECT_EQ(checkedMul<uint32_t>(1u << 31, 2), std::nullopt);
    EXPECT_EQ((checkedCast<uint32_t>(uint64_t{1} << 32)), std::nullopt);
    EXPECT_EQ((checkedCast<uint32_t>(int64_t{-1})), std::nullopt);
    EXPECT_EQ((checkedCast<uint32_t>(uint64_t{7})), 7u);
}

// Asking a failure for its value is a fault of the program: it stops with the error, and no
// exception escapes into code that has no handler for one.
TEST(SysDeathTest, ValueOfAFailedCallStopsTheProgramWithItsError)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH((void)sys::open("/nonexistent/kelvatta", O_RDONLY).value(), "value\\(\\) of an error.*文件或文件夹不存在");
    EXPECT_DEATH((void)sys::fsync(-1).releaseValue(), "of an error");
}
