#include "timecode/replace_file.h"

#include "media/fd_source.h"
#include "media/media_error.h"
#include "platform/sys.h"

namespace kelvatta {

ErrorOr<void> replaceByRename(const std::filesystem::path& temporary, const std::filesystem::path& target)
{
    const std::string name = target.filename().string();
    const auto cannotReplace = [&](const Error& e) {
        return posixError(errnoOf(e), "无法用临时文件替换“" + name + "”：");
    };
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
    if (synced.isError()) return posixError(errnoOf(synced.error()), "“" + name + "”已替换，但无法确认已写入磁盘：");
    return {};
}

}  // namespace kelvatta
