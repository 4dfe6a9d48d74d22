#include "media/locked_clip.h"

#include <fcntl.h>

#include <cerrno>

#include "media/fd_source.h"
#include "media/media_error.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

// The clip may not be opened for writing by this user (or not at all on this file system).
bool writeRefused(int err) { return err == EACCES || err == EPERM || err == EROFS || err == ETXTBSY; }

// Another description holds a lock this one conflicts with.
bool heldElsewhere(int err) { return err == EAGAIN || err == EACCES; }

// The file system takes no such locks (NFS without its lock service, some FUSE and network ones).
bool locksRefused(int err) { return err == ENOLCK || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS; }

}  // namespace

struct LockedClip::State {
    std::filesystem::path path;
    Fd fd;
    Fd replacement;  // the replacement's open file description, which holds its lock
    struct stat status {};
    ClipUse use = ClipUse::read;
    bool locked = false;
    bool exclusive = false;
};

LockedClip::LockedClip(std::unique_ptr<State> state) : state_(std::move(state)) {}
LockedClip::LockedClip(LockedClip&&) noexcept = default;
LockedClip& LockedClip::operator=(LockedClip&&) noexcept = default;
LockedClip::~LockedClip() = default;

const std::filesystem::path& LockedClip::path() const { return state_->path; }
int LockedClip::fd() const { return state_->fd.get(); }
const struct stat& LockedClip::status() const { return state_->status; }
ClipUse LockedClip::use() const { return state_->use; }
bool LockedClip::locked() const { return state_->locked; }
bool LockedClip::exclusive() const { return state_->exclusive; }

ErrorOr<LockedClip> LockedClip::open(const std::filesystem::path& path, ClipUse use)
{
    auto clip = std::make_unique<State>();
    clip->path = path;
    clip->use = use;
    bool writable = use != ClipUse::read;
    auto fd = openClip(path, writable ? O_RDWR : O_RDONLY);
    if (fd.isError() && use == ClipUse::replace && writeRefused(errnoOf(fd.error()))) {
        writable = false;
        fd = openClip(path, O_RDONLY);
    }
    clip->fd = KV_TRY(std::move(fd));
    clip->status = KV_TRY(onFile(sys::fstat(clip->fd.get()), "无法读取文件", path));
    if (S_ISDIR(clip->status.st_mode)) return fileError("无法打开文件", path, EISDIR);
    if (!S_ISREG(clip->status.st_mode)) return unrecognizedFile(path);

    auto locked = sys::lockFile(clip->fd.get(), writable);
    if (locked.isError()) {
        const int err = errnoOf(locked.error());
        if (heldElsewhere(err)) return clipBusy(path);
        if (!locksRefused(err)) return fileError("无法锁定文件", path, err);
        // The clip is open all the same; each use decides what guards it without a lock.
        return LockedClip(std::move(clip));
    }
    clip->locked = true;
    clip->exclusive = writable;
    return LockedClip(std::move(clip));
}

void LockedClip::lockReplacement(int fd)
{
    if (!state_->exclusive || state_->replacement.valid()) return;
    // Best effort: without it the clip's name is guarded as before by the checks made just
    // before the rename (the same file, size and time as was read).
    auto held = sys::duplicate(fd);
    if (held.isError() || sys::lockFile(held->get(), true).isError()) return;
    state_->replacement = held.releaseValue();
}

}  // namespace kelvatta
