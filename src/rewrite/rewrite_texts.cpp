#include "rewrite/rewrite_texts.h"

#include "media/base/media_error.h"
#include "rewrite/video_processor.h"

namespace kelvatta::rewrite_texts {

std::string cannotCreateFolder(const std::filesystem::path& folder)
{
    return "无法创建文件夹“" + folder.string() + "”：";
}
std::string folderCreated(const std::filesystem::path& folder) { return "已创建文件夹：" + folder.string(); }
std::string folderFailed(const std::string& reason) { return "创建文件夹失败：" + reason; }

std::string renamedTaken(const std::filesystem::path& clip, const std::filesystem::path& renamed)
{
    return "（" + quotedName(clip) + "改写后是 MP4 文件，以" + quotedName(renamed) +
           "为名，不覆盖已有的文件；原片完好，未受影响，移走或重命名该文件后即可重试）";
}

std::string outputTaken(bool saveAs)
{
    if (saveAs)
        return "（“" + std::string(kSaveAsFolderName) +
               "”中已有同名文件，可能是此前保存的副本或中断时留下的临时文件；"
               "原片未受影响，移走或删除该文件后即可重试）";
    return "（可能是上次处理中断时留下的临时文件；原片完好，未受影响，确认后删除该文件即可重试）";
}

std::string sidecarNotUpdated(const std::filesystem::path& clip, const std::string& reason)
{
    return "“" + clip.filename().string() + "”已处理，但其附属 XML 文件未能更新：" + reason;
}
std::string sidecarWritten(const std::filesystem::path& sidecar) { return "已写入附属 XML 文件：" + sidecar.string(); }
std::string sidecarFailed(const std::string& reason) { return "写入附属 XML 文件失败：" + reason; }

std::optional<std::string> earlierInPlace(EarlierInPlace earlier, const std::filesystem::path& clip)
{
    switch (earlier) {
    case EarlierInPlace::completed: return "已完成此前中断的原地修改：" + clip.string();
    case EarlierInPlace::undone: return "已撤销此前中断的原地修改（原片未曾改动）：" + clip.string();
    case EarlierInPlace::restored: return "已完成此前中断的恢复：" + clip.string();
    default: return std::nullopt;
    }
}

std::optional<std::string> recordDropped(EarlierInPlace earlier, const std::filesystem::path& clip)
{
    switch (earlier) {
    case EarlierInPlace::complete:
    case EarlierInPlace::completed:
        return "原文件" + quotedName(clip) + "的原地修改记录随之删除，--restore 已无法恢复相机原片：" + clip.string();
    case EarlierInPlace::notProven:
        return "原文件" + quotedName(clip) + "中已与其不符的原地修改记录随之删除：" + clip.string();
    default: return std::nullopt;
    }
}

std::string noSession() { return "无法创建导出会话"; }
std::string processFailed(const std::string& reason) { return "处理文件失败：" + reason; }
std::string started(const std::filesystem::path& clip) { return "开始处理文件：" + clip.string(); }
std::string succeeded(const std::filesystem::path& clip) { return "处理成功：" + clip.string(); }
std::string alreadyStarts(const std::string& timecode, const std::filesystem::path& clip)
{
    return "时间码已从 " + timecode + " 开始，未改写：" + clip.string();
}
std::string copyKept(const std::filesystem::path& copy) { return "已有此前保存的副本，未重新导出：" + copy.string(); }

std::string spaceAdvice(const std::string& advice) { return "。" + advice; }
std::string exportFailed(const std::string& reason) { return "导出失败：" + reason; }
std::string exportIncomplete(long status) { return "导出未完成，状态：" + std::to_string(status); }
std::string exportIncompleteLine(const std::string& reason) { return "导出未完成：" + reason; }
std::string notInPlace(const std::string& reason) { return "无法原地修改，改用临时文件替换：" + reason; }
std::string inPlaceDone(const std::filesystem::path& clip) { return "已原地修改原文件：" + clip.string(); }

std::string temporaryMissing() { return "临时文件不存在"; }
std::string replaceFailed(const std::string& reason) { return "替换原文件失败：" + reason; }
std::string replaced(const std::filesystem::path& clip) { return "已替换原文件：" + clip.string(); }
std::string clipUnconfirmed(const std::filesystem::path& clip)
{
    return "无法确认原文件" + quotedName(clip) + "未被改动，未删除";
}
std::string newFileWritten(const std::filesystem::path& result) { return "已写入新文件：" + result.string(); }
std::string clipRemoved(const std::filesystem::path& clip) { return "已删除原文件：" + clip.string(); }

}  // namespace kelvatta::rewrite_texts
