#include "media/inplace/in_place_clip.h"

#include <fcntl.h>
#include <linux/magic.h>

#include <algorithm>

#include "media/base/media_error.h"
#include "media/files/data_copy.h"
#include "media/inplace/in_place_texts.h"
#include "platform/checked.h"
#include "platform/sys.h"

namespace kelvatta {

InPlaceClip::InPlaceClip(const LockedClip& locked) : locked_(locked)
{
    // Pages cached in large folios (ext4 and XFS read ahead into them) are written back whole when
    // one byte of them changes: a few bytes per frame would cost the whole rtmd data. The clip's
    // cached pages are dropped and it is read without read-ahead, one page at a time, so each patch
    // dirties one page. Either failing costs only bytes written.
    (void)sys::fadvise(fd(), 0, 0, POSIX_FADV_DONTNEED);
    (void)sys::fadvise(fd(), 0, 0, POSIX_FADV_RANDOM);
}

ErrorOr<void> InPlaceClip::refresh()
{
    status_ = KV_TRY(onFile(sys::fstat(fd()), FileAction::read, path()));
    return {};
}

ErrorOr<void> InPlaceClip::write(ByteSpan bytes, uint64_t offset) const
{
    return onFile(sys::writeAt(fd(), bytes.data(), bytes.size(), offset), FileAction::write, path());
}

ErrorOr<Bytes> InPlaceClip::read(uint64_t offset, size_t length) const
{
    Bytes bytes(length);
    if (KV_TRY(onFile(sys::readAt(fd(), bytes.data(), length, offset), FileAction::read, path())) != length)
        return damaged(Damage::recordDamaged, in_place_texts::recordShort());
    return bytes;
}

ErrorOr<uint32_t> InPlaceClip::typeAt(uint64_t boxOffset) const
{
    return loadU32(KV_TRY(read(boxOffset + 4, 4)).data());
}

ErrorOr<void> InPlaceClip::setType(uint64_t boxOffset, uint32_t type) const
{
    uint8_t bytes[4];
    storeU32(bytes, type);
    return write(ByteSpan(bytes, 4), boxOffset + 4);
}

ErrorOr<void> InPlaceClip::setTypeIfNot(uint64_t boxOffset, uint32_t type) const
{
    if (KV_TRY(typeAt(boxOffset)) == type) return {};
    KV_TRY(setType(boxOffset, type));
    return flush();
}

ErrorOr<void> InPlaceClip::flush() const { return onFile(sys::fsync(fd()), FileAction::write, path()); }

ErrorOr<void> InPlaceClip::resize(uint64_t length)
{
    KV_TRY(onFile(sys::ftruncate(fd(), length), FileAction::write, path()));
    return refresh();
}

ErrorOr<void> InPlaceClip::grow(uint64_t at, uint64_t end)
{
    if (end <= at) return {};
    auto reserved = sys::fallocate(fd(), at, end - at);
    if (!reserved.isError()) return refresh();
    const int err = errnoOf(reserved.error());
    if (err != EOPNOTSUPP && err != ENOSYS && err != EINVAL) return fileError(FileAction::write, path(), err);
    return resize(end);
}

ErrorOr<bool> InPlaceClip::maySetTimes()
{
    KV_TRY(refresh());
    const struct timespec times[2] = {status_.st_atim, status_.st_mtim};
    auto set = sys::futimens(fd(), times);
    if (set.isError() && (errnoOf(set.error()) == EPERM || errnoOf(set.error()) == EACCES)) return false;
    KV_TRY(onFile(std::move(set), FileAction::setTimes, path()));
    return true;
}

ErrorOr<void> InPlaceClip::setModified(const struct timespec& modified)
{
    KV_TRY(flush());
    KV_TRY(refresh());
    // Both times are given: some FUSE file systems (exFAT's) take a time left out as "now".
    const struct timespec times[2] = {status_.st_atim, modified};
    KV_TRY(onFile(sys::futimens(fd(), times), FileAction::setTimes, path()));
    KV_TRY(flush());
    return refresh();
}

ErrorOr<void> InPlaceClip::checkUnchanged() const { return checkSourceUnchanged(path(), fd(), status_); }

ErrorOr<void> InPlaceClip::reserveOverwrites(const std::vector<uint64_t>& offsets) const
{
    const auto filesystem = KV_TRY(onFile(sys::fstatfs(fd()), FileAction::read, path()));
    const uint64_t block = filesystem.f_bsize > 0 ? static_cast<uint64_t>(filesystem.f_bsize) : kBlockSize;
    std::vector<uint64_t> blocks;
    blocks.reserve(offsets.size());
    for (uint64_t offset : offsets) blocks.push_back(offset / block);
    std::sort(blocks.begin(), blocks.end());
    blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
    const auto noSpace = [&](uint64_t needed) {
        return Error{kPosixErrorDomain, ENOSPC, in_place_texts::noSpaceForBlocks(path(), blocks.size(), needed)};
    };
    if (static_cast<uint64_t>(filesystem.f_type) == BTRFS_SUPER_MAGIC) {
        // btrfs writes every change to new blocks, shared or not: a reservation cannot be made, the
        // free space is asked to hold each block twice (data and the metadata that points at it).
        const auto needed = checkedMul(uint64_t(blocks.size()), 2 * block);
        const auto free = checkedMul(uint64_t(filesystem.f_bavail), uint64_t(filesystem.f_bsize));
        if (!needed || !free || *free < *needed) return noSpace(needed.value_or(UINT64_MAX));
        return {};
    }
    // Runs of neighbouring blocks in one call.
    for (size_t i = 0; i < blocks.size();) {
        size_t n = 1;
        while (i + n < blocks.size() && blocks[i + n] == blocks[i] + n) ++n;
        auto unshared = sys::unshareRange(fd(), blocks[i] * block, n * block);
        if (unshared.isError()) {
            const int err = errnoOf(unshared.error());
            // Nothing is shared where the file system cannot share (ext4, exFAT, tmpfs).
            if (err == EOPNOTSUPP || err == ENOSYS || err == EINVAL) return {};
            if (err == ENOSPC || err == EDQUOT) return noSpace(blocks.size() * block);
            return fileError(FileAction::write, path(), err);
        }
        i += n;
    }
    return {};
}

}  // namespace kelvatta
