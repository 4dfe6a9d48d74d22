#include "media/files/file_texts.h"

#include "media/base/media_error.h"

namespace kelvatta::file_texts {
namespace {

std::string targetKept(const std::filesystem::path& target) { return "，原文件" + quotedName(target) + "未删除"; }

}  // namespace

std::string linkRefused(const std::filesystem::path& file)
{
    return "文件" + quotedName(file) + "是指向其他位置的链接，为安全起见不处理";
}

std::string notARealFolder(const std::filesystem::path& folder)
{
    return "文件夹“" + folder.filename().string() +
           "”不是真正的文件夹（可能是指向其他位置的链接），为安全起见不写入其中";
}

std::string nameTaken(const std::string& name) { return "目标文件已存在：" + name; }

std::string shrankWhileExported(const std::filesystem::path& file)
{
    return "文件" + quotedName(file) + "在导出过程中变短了";
}

std::string cannotReplace(const std::string& name) { return "无法用临时文件替换“" + name + "”："; }

std::string replacedUnsynced(const std::string& name) { return "“" + name + "”已替换，但无法确认已写入磁盘："; }

std::string resultUnconfirmed(const std::filesystem::path& result, const std::filesystem::path& target)
{
    return "无法确认新文件" + quotedName(result) + "已写好" + targetKept(target) + "：";
}

std::string resultChanged(const std::filesystem::path& result, const std::filesystem::path& target)
{
    return "新文件" + quotedName(result) + "在写好后被改动" + targetKept(target);
}

std::string resultOfBefore(const std::filesystem::path& result)
{
    return "（" + quotedName(result) + "是改动前内容的结果；原文件未删除）";
}

std::string cannotRemoveTarget(const std::filesystem::path& target)
{
    return "无法删除原文件" + quotedName(target) + "：";
}

std::string resultWrittenTo(const std::filesystem::path& result)
{
    return "（其结果已写入" + quotedName(result) + "）";
}

std::string removedUnsynced(const std::filesystem::path& target)
{
    return "原文件" + quotedName(target) + "已删除，但无法确认已写入磁盘：";
}

}  // namespace kelvatta::file_texts
