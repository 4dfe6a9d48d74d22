#include "media/base/media_error.h"

#include <cerrno>

namespace kelvatta {

std::string quotedName(const std::filesystem::path& file) { return "“" + file.filename().string() + "”"; }

Error unrecognizedFile(const std::filesystem::path& file)
{
    return exportError(ExportErrorCode::unrecognized, "文件" + quotedName(file) + "不是可识别的视频文件");
}

Error sourceChanged(const std::filesystem::path& file)
{
    return exportError(ExportErrorCode::sourceChanged, "文件" + quotedName(file) + "在导出过程中被修改");
}

Error cancelledError() { return exportError(ExportErrorCode::cancelled, "导出已取消"); }

Error clipBusy(const std::filesystem::path& file)
{
    return exportError(ExportErrorCode::busy, "文件" + quotedName(file) +
                                                  "正由另一个进程处理（另一个窗口或命令正在改写它），本次未做任何改动；"
                                                  "请等它处理完再试");
}

Error outOfMemory() { return posixError(ENOMEM); }

Error inSourceFile(Error error, const std::filesystem::path& file)
{
    if (error.domain != kExportErrorDomain) return error;
    switch (static_cast<ExportErrorCode>(error.code)) {
    case ExportErrorCode::damaged:
        // Timecodes that jump leave every frame playable: the clip is not called damaged.
        error.localizedDescription = "文件" + quotedName(file) +
                                     (damageOf(error) == Damage::timecodeJump ? "中" : "已损坏：") +
                                     error.localizedDescription;
        break;
    case ExportErrorCode::unsupported:
    case ExportErrorCode::tooLarge:
    case ExportErrorCode::fragmented:
        error.localizedDescription = "无法导出文件" + quotedName(file) + "：" + error.localizedDescription;
        break;
    default: break;
    }
    return error;
}

Error fileError(std::string_view action, const std::filesystem::path& file, int err)
{
    return posixError(err, std::string(action) + quotedName(file) + "：");
}

}  // namespace kelvatta
