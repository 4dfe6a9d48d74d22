#include "media/files/output_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "media/base/media_error.h"
#include "media/files/file_texts.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

Error nameTaken(const std::string& name) { return Error{kPosixErrorDomain, EEXIST, file_texts::nameTaken(name)}; }

// Extended attributes are kept where the file system takes them: a refusal (no support, a name
// reserved to others, no room) costs the attribute, never the rewrite. An access list the new file
// took from its folder's default list is removed where the clip has none.
void copyExtendedAttributes(int from, int to)
{
    auto names = sys::listXattrs(from);
    if (names.isError()) return;
    for (const std::string& name : *names) {
        auto value = sys::getXattr(from, name);
        if (!value.isError()) (void)sys::setXattr(to, name, *value);
    }
    static const std::string acl = "system.posix_acl_access";
    if (std::find(names->begin(), names->end(), acl) == names->end()) (void)sys::removeXattr(to, acl);
}

}  // namespace

ErrorOr<OutputFile> OutputFile::create(const std::filesystem::path& path, bool realFolder)
{
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    auto folder = sys::open(parent.string(), O_RDONLY | O_DIRECTORY | (realFolder ? O_NOFOLLOW : 0));
    if (folder.isError()) {
        const int err = errnoOf(folder.error());
        if (realFolder && (err == ELOOP || err == ENOTDIR)) {
            return Error{kPosixErrorDomain, err, file_texts::notARealFolder(parent)};
        }
        return fileError(FileAction::create, path, err);
    }
    const std::string name = path.filename().string();
    // Refused now rather than after the whole export: the name is taken.
    auto taken = sys::lstatAt(folder->get(), name);
    if (!taken.isError()) return nameTaken(name);
    if (errnoOf(taken.error()) != ENOENT) return fileError(FileAction::create, path, errnoOf(taken.error()));

    std::string current;
    auto fd = sys::openUnnamedAt(folder->get(), 0644);
    if (fd.isError()) {
        const int err = errnoOf(fd.error());
        // exFAT, FAT and FUSE file systems have no unnamed files.
        if (err != EOPNOTSUPP && err != EISDIR && err != EINVAL) return fileError(FileAction::create, path, err);
        current = name.starts_with(kTemporaryPrefix) ? name : temporaryPath(name).string();
        fd = sys::openAt(folder->get(), current, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
        if (fd.isError()) {
            if (errnoOf(fd.error()) == EEXIST) return nameTaken(current);
            return fileError(FileAction::create, path, errnoOf(fd.error()));
        }
    }
    auto st = sys::fstat(fd->get());
    if (st.isError()) {
        if (!current.empty()) (void)sys::unlinkAt(folder->get(), current);  // made a moment ago by this call
        return fileError(FileAction::create, path, errnoOf(st.error()));
    }
    return OutputFile(path, folder.releaseValue(), fd.releaseValue(), *st, std::move(current));
}

std::filesystem::path temporaryPath(const std::filesystem::path& path)
{
    return path.parent_path() / (std::string(kTemporaryPrefix) + path.filename().string());
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)), folder_(std::move(other.folder_)), fd_(std::move(other.fd_)),
      created_(other.created_), current_(std::move(other.current_)), owned_(std::exchange(other.owned_, false))
{
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard()
{
    fd_.reset();
    if (owned_ && !current_.empty()) {
        // Best effort: a failed removal leaves a file the user can see and delete; the clip itself
        // is never at this path. If the name now belongs to another file, it is not ours to remove.
        auto st = sys::lstatAt(folder_.get(), current_);
        if (!st.isError() && st->st_dev == created_.st_dev && st->st_ino == created_.st_ino)
            (void)sys::unlinkAt(folder_.get(), current_);
    }
    owned_ = false;
}

ErrorOr<void> OutputFile::flush() { return onFile(sys::fsync(fd_.get()), FileAction::write, path_); }

ErrorOr<void> OutputFile::commit(const struct stat& source, int sourceFd, bool durable)
{
    // The clip's owner too, where we may give it (root rewriting a user's clip): otherwise the user
    // would find their clip owned by root and no longer writable. Only root may give a file away;
    // another user keeps at least the clip's group, where they belong to it.
    if (created_.st_uid != source.st_uid || created_.st_gid != source.st_gid) {
        auto r = sys::fchown(fd_.get(), source.st_uid, source.st_gid);
        if (r.isError() && errnoOf(r.error()) == EPERM && created_.st_gid != source.st_gid)
            r = sys::fchown(fd_.get(), static_cast<uid_t>(-1), source.st_gid);
        if (r.isError() && errnoOf(r.error()) != EPERM)
            return fileError(FileAction::setOwner, path_, errnoOf(r.error()));
    }
    KV_TRY(onFile(sys::fchmod(fd_.get(), source.st_mode & 07777), FileAction::setMode, path_));
    copyExtendedAttributes(sourceFd, fd_.get());
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    KV_TRY(onFile(sys::futimens(fd_.get(), times), FileAction::setTimes, path_));
    if (durable) KV_TRY(flush());
    KV_TRY(publish());
    KV_TRY(onFile(sys::close(fd_), FileAction::write, path_));
    // The new name too, so a file in the save-as folder survives a crash (replacing a clip renames
    // and syncs the directory again).
    if (durable) KV_TRY(onFile(sys::fsync(folder_.get()), FileAction::write, path_));
    owned_ = false;
    return {};
}

ErrorOr<void> OutputFile::publish()
{
    const std::string target = name();
    if (current_ == target) return {};
    auto named = current_.empty() ? sys::linkUnnamedAt(fd_.get(), folder_.get(), target)
                                  : sys::renameAt(folder_.get(), current_, target, RENAME_NOREPLACE);
    if (!named.isError() || current_.empty() || errnoOf(named.error()) != EINVAL) {
        if (named.isError() && errnoOf(named.error()) == EEXIST) return nameTaken(target);
        KV_TRY(onFile(std::move(named), FileAction::write, path_));
        current_ = target;
        return {};
    }
    // A file system that cannot refuse to replace in the rename itself (some FUSE ones): the check
    // just before is the best there is.
    auto taken = sys::lstatAt(folder_.get(), target);
    if (!taken.isError()) return nameTaken(target);
    KV_TRY(onFile(sys::renameAt(folder_.get(), current_, target, 0), FileAction::write, path_));
    current_ = target;
    return {};
}

}  // namespace kelvatta
