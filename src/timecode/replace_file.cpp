#include "timecode/replace_file.h"

#include "media/media_error.h"
#include "platform/sys.h"

namespace kelvatta {

ErrorOr<void> replaceByRename(const std::filesystem::path& temporary, const std::filesystem::path& target)
{
    const std::string name = target.filename().string();
    // The finished file carries the modification time of what was read: a target that no longer
    // has it was changed or replaced since, and is not overwritten.
    auto finished = sys::stat(temporary.string());
    auto current = sys::stat(target.string());
    if (finished.isError()) return posixError(errnoOf(finished.error()), "无法用临时文件替换“" + name + "”：");
    if (current.isError()) return posixError(errnoOf(current.error()), "无法用临时文件替换“" + name + "”：");
    if (current->st_mtim.tv_sec != finished->st_mtim.tv_sec || current->st_mtim.tv_nsec != finished->st_mtim.tv_nsec)
        return exportError(ExportErrorCode::sourceChanged, "文件" + quotedName(target) + "在导出过程中被修改");
    auto renamed = sys::rename(temporary.string(), target.string());
    if (renamed.isError()) return posixError(errnoOf(renamed.error()), "无法用临时文件替换“" + name + "”：");
    auto synced = sys::fsyncParentDirectory(target);
    if (synced.isError()) return posixError(errnoOf(synced.error()), "“" + name + "”已替换，但无法确认已写入磁盘：");
    return {};
}

}  // namespace kelvatta
