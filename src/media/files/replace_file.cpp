#include "media/files/replace_file.h"

#include <cerrno>

#include "media/files/fd_source.h"
#include "media/base/media_error.h"
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

ErrorOr<void> removeReplacedFile(const std::filesystem::path& result, const std::filesystem::path& target,
                                 const struct stat& read)
{
    const std::string kept = "，原文件" + quotedName(target) + "未删除";
    auto finished = sys::lstat(result.string());
    if (finished.isError())
        return posixError(errnoOf(finished.error()), "无法确认新文件" + quotedName(result) + "已写好" + kept + "：");
    if (!S_ISREG(finished->st_mode) || !sameModificationTime(*finished, read))
        return exportError(ExportErrorCode::sourceChanged, "新文件" + quotedName(result) + "在写好后被改动" + kept);
    // Not followed: a link put in the clip's place is not the clip.
    auto current = sys::lstat(target.string());
    if (current.isError() && errnoOf(current.error()) != ENOENT)
        return posixError(errnoOf(current.error()), "无法读取文件" + quotedName(target) + "：");
    if (current.isError() || !sameFile(*current, read)) {
        Error changed = sourceChanged(target);
        changed.localizedDescription += "（" + quotedName(result) + "是改动前内容的结果；原文件未删除）";
        return changed;
    }
    auto removed = sys::unlink(target.string());
    if (removed.isError()) {
        Error error = posixError(errnoOf(removed.error()), "无法删除原文件" + quotedName(target) + "：");
        error.localizedDescription += "（其结果已写入" + quotedName(result) + "）";
        return error;
    }
    auto synced = sys::fsyncParentDirectory(target);
    if (synced.isError())
        return posixError(errnoOf(synced.error()), "原文件" + quotedName(target) + "已删除，但无法确认已写入磁盘：");
    return {};
}

}  // namespace kelvatta
