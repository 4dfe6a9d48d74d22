#include "media/files/locked_clip.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "media/files/fd_source.h"
#include "media/base/media_error.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

// The clip may not be opened for writing by this user (or not at all on this file system).
bool writeRefused(int err) { return err == EACCES || err == EPERM || err == EROFS || err == ETXTBSY; }

// Another description holds a lock this one conflicts with.
bool heldElsewhere(int err) { return err == EAGAIN || err == EACCES; }

// The file system takes no such locks (NFS without its lock service, some FUSE and network ones).
bool locksRefused(int err) { return err == ENOLCK || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS; }

using FileKey = std::pair<dev_t, ino_t>;

// The files this process holds locked. A second run of one of them in this process (the same clip
// dropped twice, a folder and a clip in it) waits for the first to end rather than failing as a
// run of another process does: the lock alone cannot tell the two apart. Its mutex is held across
// each attempt to lock and each release, so an attempt that finds a lock held sees the holder
// still listed.
struct HeldFiles {
    std::mutex mutex;
    std::condition_variable released;
    std::multiset<FileKey> held;
};

// Never destroyed: a session may let its clip go while the program's statics are being destroyed.
HeldFiles& heldFiles()
{
    static auto* files = new HeldFiles;
    return *files;
}

}  // namespace

struct LockedClip::State {
    std::filesystem::path path;
    Fd fd;
    Fd replacement;  // the replacement's open file description, which holds its lock
    struct stat status {};
    ClipUse use = ClipUse::read;
    bool locked = false;
    bool exclusive = false;
    std::vector<FileKey> held;  // in heldFiles(): the clip and its replacement, once locked

    ~State()
    {
        if (held.empty()) return;
        HeldFiles& files = heldFiles();
        std::lock_guard guard(files.mutex);
        fd.reset();
        replacement.reset();
        for (const FileKey& key : held) files.held.erase(files.held.find(key));
        files.released.notify_all();
    }
};

LockedClip::LockedClip(std::unique_ptr<State> state) : state_(std::move(state)) {}
LockedClip::LockedClip(LockedClip&&) noexcept = default;
LockedClip& LockedClip::operator=(LockedClip&&) noexcept = default;
LockedClip::~LockedClip() = default;

const std::filesystem::path& LockedClip::path() const { return state_->path; }
int LockedClip::fd() const { return state_->fd.get(); }
const struct stat& LockedClip::status() const { return state_->status; }
ClipUse LockedClip::use() const { return state_->use; }

ErrorOr<void> LockedClip::refresh()
{
    state_->status = KV_TRY(onFile(sys::fstat(state_->fd.get()), FileAction::read, state_->path));
    return {};
}
bool LockedClip::locked() const { return state_->locked; }
bool LockedClip::exclusive() const { return state_->exclusive; }

ErrorOr<LockedClip> LockedClip::open(const std::filesystem::path& path, ClipUse use,
                                     const std::function<bool()>& cancelled)
{
    auto clip = std::make_unique<State>();
    clip->path = path;
    clip->use = use;
    bool writable = use != ClipUse::read;
    // Read without marking the clip read, where this user may (its owner): a run that finds it done
    // and writes nothing leaves its times as they were.
    const auto openAs = [&](int access) {
        auto opened = openClip(path, access | O_NOATIME);
        if (opened.isError() && errnoOf(opened.error()) == EPERM) opened = openClip(path, access);
        return opened;
    };
    auto fd = openAs(writable ? O_RDWR : O_RDONLY);
    if (fd.isError() && use == ClipUse::replace && writeRefused(errnoOf(fd.error()))) {
        writable = false;
        fd = openAs(O_RDONLY);
    }
    clip->fd = KV_TRY(std::move(fd));
    clip->status = KV_TRY(onFile(sys::fstat(clip->fd.get()), FileAction::read, path));
    if (S_ISDIR(clip->status.st_mode)) return fileError(FileAction::open, path, EISDIR);
    if (!S_ISREG(clip->status.st_mode)) return unrecognizedFile(path);

    const FileKey key{clip->status.st_dev, clip->status.st_ino};
    HeldFiles& files = heldFiles();
    std::unique_lock guard(files.mutex);
    for (;;) {
        auto locked = sys::lockFile(clip->fd.get(), writable);
        if (!locked.isError()) break;
        const int err = errnoOf(locked.error());
        if (!heldElsewhere(err)) {
            if (!locksRefused(err)) return fileError(FileAction::lock, path, err);
            // The clip is open all the same; each use decides what guards it without a lock.
            return LockedClip(std::move(clip));
        }
        if (!files.held.contains(key)) return clipBusy(path);
        if (cancelled && cancelled()) return cancelledError();
        files.released.wait_for(guard, std::chrono::milliseconds(100));
    }
    files.held.insert(key);
    clip->held.push_back(key);
    clip->locked = true;
    clip->exclusive = writable;
    return LockedClip(std::move(clip));
}

void LockedClip::lockReplacement(int fd, const struct stat& status)
{
    if (!state_->exclusive || state_->replacement.valid()) return;
    // Best effort: without it the clip's name is guarded as before by the checks made just
    // before the rename (the same file, size and time as was read).
    auto held = sys::duplicate(fd);
    if (held.isError()) return;
    HeldFiles& files = heldFiles();
    std::lock_guard guard(files.mutex);
    if (sys::lockFile(held->get(), true).isError()) return;
    state_->replacement = held.releaseValue();
    state_->held.emplace_back(status.st_dev, status.st_ino);
    files.held.insert(state_->held.back());
}

}  // namespace kelvatta
