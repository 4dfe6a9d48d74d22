// The system calls that read, write and replace users' files. Each returns an error carrying the
// call's name and errno, and each passes a fault hook first, so tests can make any of them fail.
#pragma once

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/fd.h"

namespace kelvatta::sys {

enum class Call {
    Open,
    Close,
    Read,
    Write,
    CopyFileRange,
    CloneRange,
    Fsync,
    Ftruncate,
    Fstat,
    Stat,
    Rename,
    Mkdir,
    Unlink,
    Fchmod,
    Futimens,
    Fallocate,
    Fchown,
    Xattr,
    CowExtentSize,
    Fadvise,
    Link,
    OpenUnnamed,
    Lock,
    Dup,
    Statfs,
    LockTest,
    Writeback,
};

const char* callName(Call call);

// Called before each wrapped call; a non-zero return makes the call fail with that errno without
// being made. Installed by tests only; nullptr (the default) means no faults.
using FaultHook = int (*)(Call call, void* context);
void setFaultHook(FaultHook hook, void* context);

// A change a call made to a file's bytes, size, times or durability, told after the call succeeded
// to an observer a test installs to record a run (the power-cut simulation).
struct Change {
    Call call = Call::Write;  // Write, Ftruncate, Fallocate, Fsync or Futimens
    int fd = -1;
    uint64_t offset = 0;                     // Write, Fallocate: where; Ftruncate: the new size
    uint64_t length = 0;                     // Write, Fallocate: how many bytes
    const void* data = nullptr;              // Write: the bytes
    const struct timespec* times = nullptr;  // Futimens: access and modification
};
using ChangeObserver = void (*)(const Change& change, void* context);
// Installed by tests only; nullptr (the default) means none.
void setChangeObserver(ChangeObserver observer, void* context);

ErrorOr<Fd> open(const std::string& path, int flags, mode_t mode = 0);
// openat(2): name within the folder open as dir.
ErrorOr<Fd> openAt(int dir, const std::string& name, int flags, mode_t mode = 0);
// open(2) with O_TMPFILE: a file without a name in the folder dir, for reading and writing.
ErrorOr<Fd> openUnnamedAt(int dir, mode_t mode);
// Reads up to len bytes at offset, retrying short reads until len or end of file.
ErrorOr<size_t> readAt(int fd, void* buf, size_t len, uint64_t offset);
// Writes all of buf at offset.
ErrorOr<void> writeAt(int fd, const void* buf, size_t len, uint64_t offset);
// Writes all of buf at the current position.
ErrorOr<void> writeAll(int fd, const void* buf, size_t len);
// One copy_file_range(2) call; 0 means the source ended.
ErrorOr<size_t> copyFileRange(int in, uint64_t inOffset, int out, uint64_t outOffset, size_t len);
// ioctl(FICLONERANGE): share len bytes of in at inOffset as out at outOffset.
ErrorOr<void> cloneRange(int in, uint64_t inOffset, int out, uint64_t outOffset, uint64_t len);
// The copy-on-write extent size hint of a file (FS_IOC_FSSETXATTR): how much a write into shared
// blocks unshares at least. XFS defaults to 32 blocks.
ErrorOr<void> setCowExtentSize(int fd, uint32_t bytes);
// posix_fadvise: POSIX_FADV_DONTNEED drops the clean cached pages of a range, POSIX_FADV_RANDOM
// turns read-ahead off (len 0: to the end of the file).
ErrorOr<void> fadvise(int fd, uint64_t offset, uint64_t len, int advice);
ErrorOr<void> fsync(int fd);
// sync_file_range(SYNC_FILE_RANGE_WRITE): the disk starts writing the dirty pages of a range, and the
// call returns without waiting for them. Makes nothing durable: only a later fsync does.
ErrorOr<void> startWriteback(int fd, uint64_t offset, uint64_t len);
ErrorOr<void> ftruncate(int fd, uint64_t size);
ErrorOr<struct stat> fstat(int fd);
ErrorOr<struct stat> stat(const std::string& path);
ErrorOr<struct stat> lstat(const std::string& path);
// lstat of name within the folder open as dir (a link is not followed).
ErrorOr<struct stat> lstatAt(int dir, const std::string& name);
ErrorOr<void> rename(const std::string& from, const std::string& to);
// renameat2(2) within the folder dir. With RENAME_NOREPLACE an existing to gives EEXIST, and a file
// system that does not take the flag gives EINVAL.
ErrorOr<void> renameAt(int dir, const std::string& from, const std::string& to, unsigned flags);
// Gives the unnamed file fd (open with O_TMPFILE) the name within the folder dir; EEXIST if taken.
ErrorOr<void> linkUnnamedAt(int fd, int dir, const std::string& name);
ErrorOr<void> mkdir(const std::string& path, mode_t mode);
ErrorOr<void> unlink(const std::string& path);
// rmdir(2): an empty folder removed.
ErrorOr<void> rmdir(const std::string& path);
ErrorOr<void> unlinkAt(int dir, const std::string& name);
ErrorOr<void> fchmod(int fd, mode_t mode);
ErrorOr<void> fchown(int fd, uid_t owner, gid_t group);
// Reserves disk blocks for [offset, offset + len) (mode 0: the file grows to cover the range).
ErrorOr<void> fallocate(int fd, uint64_t offset, uint64_t len);
// fallocate(FALLOC_FL_UNSHARE_RANGE): the blocks of [offset, offset + len) that the file shares with
// another (a reflinked copy, a snapshot) given their own, so that writing them needs no new ones.
// EOPNOTSUPP where the file system has no such call (ext4, exFAT, tmpfs, btrfs).
ErrorOr<void> unshareRange(int fd, uint64_t offset, uint64_t len);
// fstatfs(2): the file system that holds fd, its type, block size and free blocks.
ErrorOr<struct statfs> fstatfs(int fd);
// Sets access and modification times (nanoseconds precision).
ErrorOr<void> futimens(int fd, const struct timespec times[2]);
// Extended attributes of an open file (ACLs among them, as system.posix_acl_*): their names, one
// value, and setting one.
ErrorOr<std::vector<std::string>> listXattrs(int fd);
ErrorOr<std::vector<char>> getXattr(int fd, const std::string& name);
ErrorOr<void> setXattr(int fd, const std::string& name, const std::vector<char>& value);
ErrorOr<void> removeXattr(int fd, const std::string& name);
// Fsyncs the folder that holds path, so that path's entry (made by a creation or a rename) is durable.
ErrorOr<void> fsyncParentDirectory(const std::filesystem::path& path);
// fcntl(F_OFD_SETLK) over the whole file: an open file description lock, shared or exclusive (which
// wants fd open for writing), taken at once or refused with EAGAIN while another description holds
// one it conflicts with, in this process or another. It belongs to the description: dup keeps it,
// closing one of several descriptors does not drop it, closing the last one does.
ErrorOr<void> lockFile(int fd, bool exclusive);
// fcntl(F_OFD_GETLK) over the whole file: whether another open file description, in this process or
// another, holds an exclusive lock on it (as a run that writes the file does). Takes no lock.
ErrorOr<bool> exclusivelyLocked(int fd);
// dup(2), close-on-exec: a second descriptor of the same open file description.
ErrorOr<Fd> duplicate(int fd);
// Closes fd and reports the close's error (a deferred write error on some file systems).
ErrorOr<void> close(Fd& fd);

}  // namespace kelvatta::sys
