#include "media/export/export_texts.h"

#include "media/base/media_error.h"

namespace kelvatta::export_texts {

std::string verifyFailed(const std::filesystem::path& output, const std::string& reason)
{
    return "导出结果校验失败（" + quotedName(output) + "）：" + reason;
}

std::string unsupportedFileType(const std::string& fileType) { return "不支持的输出文件类型：" + fileType; }

std::string noThread(const std::filesystem::path& source)
{
    return "无法处理文件" + quotedName(source) + "：系统资源不足，无法创建导出线程";
}

}  // namespace kelvatta::export_texts
