#include "platform/sys.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/checked.h"
#include "platform/sys_hooks.h"

namespace kelvatta {

void Fd::reset()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

namespace sys {

ErrorOr<Fd> open(const std::string& path, int flags, mode_t mode)
{
    KV_FAULT_POINT(Call::Open);
    for (;;) {
        int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) return Fd(fd);
        if (errno != EINTR) return callError(Call::Open, errno);
    }
}

ErrorOr<Fd> openAt(int dir, const std::string& name, int flags, mode_t mode)
{
    KV_FAULT_POINT(Call::Open);
    for (;;) {
        int fd = ::openat(dir, name.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) return Fd(fd);
        if (errno != EINTR) return callError(Call::Open, errno);
    }
}

ErrorOr<Fd> openUnnamedAt(int dir, mode_t mode)
{
    KV_FAULT_POINT(Call::OpenUnnamed);
    for (;;) {
        int fd = ::openat(dir, ".", O_RDWR | O_TMPFILE | O_CLOEXEC, mode);
        if (fd >= 0) return Fd(fd);
        if (errno != EINTR) return callError(Call::OpenUnnamed, errno);
    }
}

namespace {

// Whether every byte of [offset, offset + len) has an offset off_t holds.
bool fitsFileOffsets(uint64_t offset, size_t len)
{
    const auto end = checkedAdd<uint64_t>(offset, len);
    return end && checkedCast<off_t>(*end).has_value();
}

}  // namespace

ErrorOr<size_t> readAt(int fd, void* buf, size_t len, uint64_t offset)
{
    KV_FAULT_POINT(Call::Read);
    if (!fitsFileOffsets(offset, len)) return callError(Call::Read, EOVERFLOW);
    size_t done = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (done < len) {
        ssize_t n = ::pread(fd, p + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return callError(Call::Read, errno);
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

ErrorOr<void> writeAt(int fd, const void* buf, size_t len, uint64_t offset)
{
    KV_FAULT_POINT(Call::Write);
    if (!fitsFileOffsets(offset, len)) return callError(Call::Write, EOVERFLOW);
    size_t done = 0;
    const auto* p = static_cast<const unsigned char*>(buf);
    while (done < len) {
        ssize_t n = ::pwrite(fd, p + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return callError(Call::Write, errno);
        }
        if (n == 0) return callError(Call::Write, EIO);
        done += static_cast<size_t>(n);
    }
    observed({.call = Call::Write, .fd = fd, .offset = offset, .length = len, .data = buf});
    return {};
}

ErrorOr<void> writeAll(int fd, const void* buf, size_t len)
{
    KV_FAULT_POINT(Call::Write);
    size_t done = 0;
    const auto* p = static_cast<const unsigned char*>(buf);
    while (done < len) {
        ssize_t n = ::write(fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return callError(Call::Write, errno);
        }
        if (n == 0) return callError(Call::Write, EIO);
        done += static_cast<size_t>(n);
    }
    return {};
}

ErrorOr<size_t> copyFileRange(int in, uint64_t inOffset, int out, uint64_t outOffset, size_t len)
{
    KV_FAULT_POINT(Call::CopyFileRange);
    loff_t inOff = static_cast<loff_t>(inOffset);
    loff_t outOff = static_cast<loff_t>(outOffset);
    for (;;) {
        ssize_t n = ::copy_file_range(in, &inOff, out, &outOff, len, 0);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) return callError(Call::CopyFileRange, errno);
    }
}

ErrorOr<void> fadvise(int fd, uint64_t offset, uint64_t len, int advice)
{
    KV_FAULT_POINT(Call::Fadvise);
    if (int err = ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(len), advice))
        return callError(Call::Fadvise, err);
    return {};
}

ErrorOr<void> setCowExtentSize(int fd, uint32_t bytes)
{
    KV_FAULT_POINT(Call::CowExtentSize);
    struct fsxattr attributes {};
    if (::ioctl(fd, FS_IOC_FSGETXATTR, &attributes) != 0) return callError(Call::CowExtentSize, errno);
    attributes.fsx_xflags |= FS_XFLAG_COWEXTSIZE;
    attributes.fsx_cowextsize = bytes;
    if (::ioctl(fd, FS_IOC_FSSETXATTR, &attributes) != 0) return callError(Call::CowExtentSize, errno);
    return {};
}

ErrorOr<void> cloneRange(int in, uint64_t inOffset, int out, uint64_t outOffset, uint64_t len)
{
    KV_FAULT_POINT(Call::CloneRange);
    struct file_clone_range range {};
    range.src_fd = in;
    range.src_offset = inOffset;
    range.src_length = len;
    range.dest_offset = outOffset;
    for (;;) {
        if (::ioctl(out, FICLONERANGE, &range) == 0) return {};
        if (errno != EINTR) return callError(Call::CloneRange, errno);
    }
}

ErrorOr<void> fsync(int fd)
{
    KV_FAULT_POINT(Call::Fsync);
    if (::fsync(fd) != 0) return callError(Call::Fsync, errno);
    observed({.call = Call::Fsync, .fd = fd});
    return {};
}

ErrorOr<void> startWriteback(int fd, uint64_t offset, uint64_t len)
{
    KV_FAULT_POINT(Call::Writeback);
    for (;;) {
        if (::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE) == 0)
            return {};
        if (errno != EINTR) return callError(Call::Writeback, errno);
    }
}

ErrorOr<void> ftruncate(int fd, uint64_t size)
{
    KV_FAULT_POINT(Call::Ftruncate);
    for (;;) {
        if (::ftruncate(fd, static_cast<off_t>(size)) == 0) {
            observed({.call = Call::Ftruncate, .fd = fd, .offset = size});
            return {};
        }
        if (errno != EINTR) return callError(Call::Ftruncate, errno);
    }
}

ErrorOr<struct stat> fstat(int fd)
{
    KV_FAULT_POINT(Call::Fstat);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return callError(Call::Fstat, errno);
    return st;
}

ErrorOr<struct stat> stat(const std::string& path)
{
    KV_FAULT_POINT(Call::Stat);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return callError(Call::Stat, errno);
    return st;
}

ErrorOr<struct stat> lstat(const std::string& path)
{
    KV_FAULT_POINT(Call::Stat);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return callError(Call::Stat, errno);
    return st;
}

ErrorOr<void> rename(const std::string& from, const std::string& to)
{
    KV_FAULT_POINT(Call::Rename);
    if (::rename(from.c_str(), to.c_str()) != 0) return callError(Call::Rename, errno);
    return {};
}

ErrorOr<void> renameAt(int dir, const std::string& from, const std::string& to, unsigned flags)
{
    KV_FAULT_POINT(Call::Rename);
    if (::renameat2(dir, from.c_str(), dir, to.c_str(), flags) != 0) return callError(Call::Rename, errno);
    return {};
}

ErrorOr<void> linkUnnamedAt(int fd, int dir, const std::string& name)
{
    KV_FAULT_POINT(Call::Link);
    // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; the descriptor's entry in /proc does not.
    if (::linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0) return {};
    if (errno != ENOENT && errno != EPERM) return callError(Call::Link, errno);
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return callError(Call::Link, errno);
    return {};
}

ErrorOr<void> mkdir(const std::string& path, mode_t mode)
{
    KV_FAULT_POINT(Call::Mkdir);
    if (::mkdir(path.c_str(), mode) != 0) return callError(Call::Mkdir, errno);
    return {};
}

ErrorOr<void> unlink(const std::string& path)
{
    KV_FAULT_POINT(Call::Unlink);
    if (::unlink(path.c_str()) != 0) return callError(Call::Unlink, errno);
    return {};
}

ErrorOr<void> rmdir(const std::string& path)
{
    KV_FAULT_POINT(Call::Unlink);
    if (::rmdir(path.c_str()) != 0) return callError(Call::Unlink, errno);
    return {};
}

ErrorOr<void> unlinkAt(int dir, const std::string& name)
{
    KV_FAULT_POINT(Call::Unlink);
    if (::unlinkat(dir, name.c_str(), 0) != 0) return callError(Call::Unlink, errno);
    return {};
}

ErrorOr<struct stat> lstatAt(int dir, const std::string& name)
{
    KV_FAULT_POINT(Call::Stat);
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return callError(Call::Stat, errno);
    return st;
}

ErrorOr<std::vector<std::string>> listXattrs(int fd)
{
    KV_FAULT_POINT(Call::Xattr);
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0) return callError(Call::Xattr, errno);
        std::vector<char> names(static_cast<size_t>(size));
        const ssize_t got = size ? ::flistxattr(fd, names.data(), names.size()) : 0;
        if (got < 0 && errno == ERANGE) continue;  // grew in between
        if (got < 0) return callError(Call::Xattr, errno);
        std::vector<std::string> list;
        for (size_t at = 0; at < static_cast<size_t>(got);) {
            const std::string name(&names[at]);
            at += name.size() + 1;
            if (!name.empty()) list.push_back(name);
        }
        return list;
    }
}

ErrorOr<std::vector<char>> getXattr(int fd, const std::string& name)
{
    KV_FAULT_POINT(Call::Xattr);
    for (;;) {
        const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0) return callError(Call::Xattr, errno);
        std::vector<char> value(static_cast<size_t>(size));
        const ssize_t got = size ? ::fgetxattr(fd, name.c_str(), value.data(), value.size()) : 0;
        if (got < 0 && errno == ERANGE) continue;
        if (got < 0) return callError(Call::Xattr, errno);
        value.resize(static_cast<size_t>(got));
        return value;
    }
}

ErrorOr<void> setXattr(int fd, const std::string& name, const std::vector<char>& value)
{
    KV_FAULT_POINT(Call::Xattr);
    if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) return callError(Call::Xattr, errno);
    return {};
}

ErrorOr<void> removeXattr(int fd, const std::string& name)
{
    KV_FAULT_POINT(Call::Xattr);
    if (::fremovexattr(fd, name.c_str()) != 0) return callError(Call::Xattr, errno);
    return {};
}

ErrorOr<void> fchmod(int fd, mode_t mode)
{
    KV_FAULT_POINT(Call::Fchmod);
    if (::fchmod(fd, mode) != 0) return callError(Call::Fchmod, errno);
    return {};
}

ErrorOr<void> fallocate(int fd, uint64_t offset, uint64_t len)
{
    KV_FAULT_POINT(Call::Fallocate);
    for (;;) {
        if (::fallocate(fd, 0, static_cast<off_t>(offset), static_cast<off_t>(len)) == 0) {
            observed({.call = Call::Fallocate, .fd = fd, .offset = offset, .length = len});
            return {};
        }
        if (errno != EINTR) return callError(Call::Fallocate, errno);
    }
}

ErrorOr<void> unshareRange(int fd, uint64_t offset, uint64_t len)
{
    KV_FAULT_POINT(Call::Fallocate);
    for (;;) {
        if (::fallocate(fd, FALLOC_FL_UNSHARE_RANGE, static_cast<off_t>(offset), static_cast<off_t>(len)) == 0)
            return {};
        if (errno != EINTR) return callError(Call::Fallocate, errno);
    }
}

ErrorOr<struct statfs> fstatfs(int fd)
{
    KV_FAULT_POINT(Call::Statfs);
    struct statfs status {};
    if (::fstatfs(fd, &status) != 0) return callError(Call::Statfs, errno);
    return status;
}

ErrorOr<void> fchown(int fd, uid_t owner, gid_t group)
{
    KV_FAULT_POINT(Call::Fchown);
    if (::fchown(fd, owner, group) != 0) return callError(Call::Fchown, errno);
    return {};
}

ErrorOr<void> futimens(int fd, const struct timespec times[2])
{
    KV_FAULT_POINT(Call::Futimens);
    if (::futimens(fd, times) != 0) return callError(Call::Futimens, errno);
    observed({.call = Call::Futimens, .fd = fd, .times = times});
    return {};
}

ErrorOr<void> fsyncParentDirectory(const std::filesystem::path& path)
{
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    auto dir = open(parent.string(), O_RDONLY | O_DIRECTORY);
    if (dir.isError()) return dir.releaseError();
    return fsync(dir->get());
}

ErrorOr<void> lockFile(int fd, bool exclusive)
{
    KV_FAULT_POINT(Call::Lock);
    struct flock lock {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;  // l_start and l_len 0: the whole file, however it grows
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return {};
        if (errno != EINTR) return callError(Call::Lock, errno);
    }
}

ErrorOr<bool> exclusivelyLocked(int fd)
{
    KV_FAULT_POINT(Call::LockTest);
    struct flock lock {};
    lock.l_type = F_RDLCK;  // what would keep a shared lock out: an exclusive one
    lock.l_whence = SEEK_SET;
    for (;;) {
        if (::fcntl(fd, F_OFD_GETLK, &lock) == 0) return lock.l_type != F_UNLCK;
        if (errno != EINTR) return callError(Call::LockTest, errno);
    }
}

ErrorOr<Fd> duplicate(int fd)
{
    KV_FAULT_POINT(Call::Dup);
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return callError(Call::Dup, errno);
    return Fd(copy);
}

ErrorOr<void> close(Fd& fd)
{
    KV_FAULT_POINT(Call::Close);
    int raw = fd.release();
    if (raw < 0) return {};
    // close(2) must not be retried on EINTR on Linux: the descriptor is gone either way.
    if (::close(raw) != 0 && errno != EINTR) return callError(Call::Close, errno);
    return {};
}

}  // namespace sys
}  // namespace kelvatta
