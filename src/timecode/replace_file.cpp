#include "timecode/replace_file.h"

#include "platform/sys.h"

namespace kelvatta {

ErrorOr<void> replaceByRename(const std::filesystem::path& temporary, const std::filesystem::path& target)
{
    const std::string name = target.filename().string();
    auto renamed = sys::rename(temporary.string(), target.string());
    if (renamed.isError())
        return posixError(errnoOf(renamed.error()), "无法用临时文件替换“" + name + "”：");
    auto synced = sys::fsyncParentDirectory(target);
    if (synced.isError())
        return posixError(errnoOf(synced.error()), "“" + name + "”已替换，但无法确认已写入磁盘：");
    return {};
}

}  // namespace kelvatta
