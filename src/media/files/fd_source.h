// A file read by offset through its descriptor, its read errors naming it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "media/base/byte_source.h"
#include "media/base/media_error.h"
#include "media/files/file_texts.h"
#include "platform/sys.h"

namespace kelvatta {

class FdSource final : public ByteSource {
public:
    FdSource(int fd, uint64_t size, const std::filesystem::path& path) : fd_(fd), size_(size), path_(path) {}

    ErrorOr<size_t> readAt(void* buf, size_t len, uint64_t offset) override
    {
        return onFile(sys::readAt(fd_, buf, len, offset), FileAction::read, path_);
    }
    uint64_t size() const override { return size_; }
    void prefetch(uint64_t offset, uint64_t len) override { (void)sys::fadvise(fd_, offset, len, POSIX_FADV_WILLNEED); }

private:
    int fd_;
    uint64_t size_;
    const std::filesystem::path& path_;
};

// Opens the clip at path, never through a link: a link named or dropped was resolved to its target
// before the run and a folder's walk passes over links, so a link here was put in the clip's place
// since (perhaps by someone pointing it at a file they may not read) and is refused. Non-blocking, so
// that a named pipe is refused by its type instead of waited on.
inline ErrorOr<Fd> openClip(const std::filesystem::path& path, int access)
{
    auto fd = sys::open(path.string(), access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd.isError() && errnoOf(fd.error()) == ELOOP)
        return Error{kPosixErrorDomain, ELOOP, file_texts::linkRefused(path)};
    return onFile(std::move(fd), FileAction::open, path);
}

inline bool sameModificationTime(const struct stat& a, const struct stat& b)
{
    return a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Whether two statuses are of one file with one size and modification time.
inline bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && sameModificationTime(a, b);
}

// Checked before an export's result is committed: the source open as fd, whose status was `read`
// when it was opened, has not changed since (what was read is the file's content, not a mix), and
// path still names it (no other file was moved or copied over it). Otherwise the rewrite of the old
// content would take the place of a clip written meanwhile, or of one still being copied.
inline ErrorOr<void> checkSourceUnchanged(const std::filesystem::path& path, int fd, const struct stat& read)
{
    const auto now = KV_TRY(onFile(sys::fstat(fd), FileAction::read, path));
    if (!sameFile(now, read)) return sourceChanged(path);
    auto named = sys::stat(path.string());
    if (named.isError()) {
        const int err = errnoOf(named.error());
        return err == ENOENT ? sourceChanged(path) : fileError(FileAction::read, path, err);
    }
    if (!sameFile(*named, read)) return sourceChanged(path);
    return {};
}

}  // namespace kelvatta
