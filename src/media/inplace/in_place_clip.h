// A clip locked for a rewrite in place or a restore, read and written through its descriptor, with
// its status as it is now. Every write of either goes through here.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <vector>

#include "media/base/bytes.h"
#include "media/files/fd_source.h"
#include "media/files/locked_clip.h"
#include "platform/error.h"

namespace kelvatta {

class InPlaceClip {
public:
    // Drops the clip's cached pages and turns read-ahead off (see the .cpp).
    explicit InPlaceClip(const LockedClip& locked);

    const LockedClip& locked() const { return locked_; }
    const std::filesystem::path& path() const { return locked_.path(); }
    int fd() const { return locked_.fd(); }
    const struct stat& status() const { return status_; }
    uint64_t size() const { return static_cast<uint64_t>(status_.st_size); }
    FdSource reader() const { return FdSource(fd(), size(), path()); }

    ErrorOr<void> refresh();
    ErrorOr<void> write(ByteSpan bytes, uint64_t offset) const;
    // length bytes at offset; an error of a record damaged where the file ends before.
    ErrorOr<Bytes> read(uint64_t offset, size_t length) const;
    ErrorOr<uint32_t> typeAt(uint64_t boxOffset) const;
    ErrorOr<void> setType(uint64_t boxOffset, uint32_t type) const;
    // Makes the box's type `type` where it is not, flushed.
    ErrorOr<void> setTypeIfNot(uint64_t boxOffset, uint32_t type) const;
    ErrorOr<void> flush() const;
    // The file cut (or grown with zeros) to length.
    ErrorOr<void> resize(uint64_t length);
    // Room for what will be appended from at on: reserved on the disk where the file system can, else
    // as a hole (zeros either way).
    ErrorOr<void> grow(uint64_t at, uint64_t end);

    // Whether this user may set the clip's times (its owner, or root): tried by setting them to what
    // they are, before anything is written, since a rewrite that could not give the clip its time
    // back would leave it dated now.
    ErrorOr<bool> maySetTimes();
    // The modification time, which file browsers sort clips by, set after the last write and its
    // flush.
    ErrorOr<void> setModified(const struct timespec& modified);
    // Checked just before the first write: the clip's name still names this file, with the size and
    // time it had when it was read.
    ErrorOr<void> checkUnchanged() const;

    // Makes sure, before a run's first write, that every write over the clip's own bytes at offsets
    // (each within one block) will find room: blocks the clip shares with a reflinked copy or a
    // snapshot are given their own (FALLOC_FL_UNSHARE_RANGE), and where a file system copies every
    // write (btrfs) its free space must hold them twice over. An error of kind noSpace otherwise,
    // nothing written.
    ErrorOr<void> reserveOverwrites(const std::vector<uint64_t>& offsets) const;

private:
    const LockedClip& locked_;
    struct stat status_ {};
};

}  // namespace kelvatta
