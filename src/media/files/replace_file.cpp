#include "media/files/replace_file.h"

#include <cerrno>

#include "media/files/fd_source.h"
#include "media/base/media_error.h"
#include "media/files/file_texts.h"
#include "platform/sys.h"

namespace kelvatta {

ErrorOr<void> replaceByRename(const std::filesystem::path& temporary, const std::filesystem::path& target)
{
    const std::string name = target.filename().string();
    const auto cannotReplace = [&](const Error& e) { return posixError(errnoOf(e), file_texts::cannotReplace(name)); };
    // The finished file carries the modification time of what was read: a target that no longer
    // has it was changed or replaced since, and is not overwritten.
    auto finished = sys::stat(temporary.string());
    if (finished.isError()) return cannotReplace(finished.error());
    auto current = sys::stat(target.string());
    if (current.isError()) return cannotReplace(current.error());
    if (!sameModificationTime(*current, *finished)) return sourceChanged(target);
    auto renamed = sys::rename(temporary.string(), target.string());
    if (renamed.isError()) return cannotReplace(renamed.error());
    auto synced = sys::fsyncParentDirectory(target);
    if (synced.isError()) return posixError(errnoOf(synced.error()), file_texts::replacedUnsynced(name));
    return {};
}

ErrorOr<void> removeReplacedFile(const std::filesystem::path& result, const std::filesystem::path& target,
                                 const struct stat& read)
{
    auto finished = sys::lstat(result.string());
    if (finished.isError()) return posixError(errnoOf(finished.error()), file_texts::resultUnconfirmed(result, target));
    if (!S_ISREG(finished->st_mode) || !sameModificationTime(*finished, read))
        return exportError(ExportErrorCode::sourceChanged, file_texts::resultChanged(result, target));
    // Not followed: a link put in the clip's place is not the clip.
    auto current = sys::lstat(target.string());
    if (current.isError() && errnoOf(current.error()) != ENOENT)
        return fileError(FileAction::read, target, errnoOf(current.error()));
    if (current.isError() || !sameFile(*current, read)) {
        Error changed = sourceChanged(target);
        changed.localizedDescription += file_texts::resultOfBefore(result);
        return changed;
    }
    auto removed = sys::unlink(target.string());
    if (removed.isError()) {
        Error error = posixError(errnoOf(removed.error()), file_texts::cannotRemoveTarget(target));
        error.localizedDescription += file_texts::resultWrittenTo(result);
        return error;
    }
    auto synced = sys::fsyncParentDirectory(target);
    if (synced.isError()) return posixError(errnoOf(synced.error()), file_texts::removedUnsynced(target));
    return {};
}

}  // namespace kelvatta
