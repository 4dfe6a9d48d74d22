#include "media/base/error_texts.h"

#include "media/base/bytes.h"
#include "media/base/media_error.h"

namespace kelvatta::error_texts {

std::string fileAction(FileAction action)
{
    switch (action) {
    case FileAction::open: return "无法打开文件";
    case FileAction::read: return "无法读取文件";
    case FileAction::write: return "无法写入文件";
    case FileAction::create: return "无法创建文件";
    case FileAction::lock: return "无法锁定文件";
    case FileAction::remove: return "无法删除文件";
    case FileAction::readFolder: return "无法读取文件夹";
    case FileAction::copyDataTo: return "无法复制媒体数据到";
    case FileAction::setOwner: return "无法设置文件所有者";
    case FileAction::setMode: return "无法设置文件权限";
    case FileAction::setTimes: return "无法设置文件时间";
    case FileAction::process: return "无法处理文件";
    }
    return "无法处理文件";
}

namespace {

std::string differenceWords(CopyDifference difference)
{
    using Kind = CopyDifference::Kind;
    const std::string track = "第 " + std::to_string(difference.track) + " 条轨道";
    switch (difference.kind) {
    case Kind::notAFile: return "不是普通文件";
    case Kind::notAVideo: return "不是可识别的视频文件";
    case Kind::otherStart: return "时间码的起点不同";
    case Kind::otherTracks: return "轨道的数目或种类不同";
    case Kind::trackSamples: return track + "的样本不同";
    case Kind::trackMetadata: return track + "的元数据不同";
    case Kind::trackTimecode: return track + "中的时间码不同";
    case Kind::movieMetadata: return "文件的元数据不同";
    case Kind::layout: return "媒体数据的位置或文件的大小不同";
    case Kind::changedWhileRead: return "在比对期间被修改";
    }
    return "未知的差异";
}

}  // namespace

std::string unrecognized(const std::filesystem::path& file)
{
    return "文件" + quotedName(file) + "不是可识别的视频文件";
}

std::string sourceChanged(const std::filesystem::path& file)
{
    return "文件" + quotedName(file) + "在导出过程中被修改";
}

std::string cancelled() { return "导出已取消"; }

std::string busy(const std::filesystem::path& file)
{
    return "文件" + quotedName(file) +
           "正由另一个进程处理（另一个窗口或命令正在改写它），本次未做任何改动；请等它处理完再试";
}

std::string damagedFile(const std::filesystem::path& file, bool timecodeJump, const std::string& reason)
{
    return "文件" + quotedName(file) + (timecodeJump ? "中" : "已损坏：") + reason;
}

std::string notExported(const std::filesystem::path& file, const std::string& reason)
{
    return "无法导出文件" + quotedName(file) + "：" + reason;
}

std::string notInPlace(const NotInPlace& reason)
{
    using Kind = NotInPlace::Kind;
    switch (reason.kind) {
    case Kind::notMp4Brand: return "文件不是 MP4 格式（品牌“" + fourccText(reason.type) + "”）";
    case Kind::trailer:
        return "文件末尾附有 " + std::to_string(reason.size) +
               " 字节不属于任何盒子的数据（如 Insta360 相机的记录），它须留在文件末尾";
    case Kind::mediaAfterMoov: return "媒体数据不全在“moov”盒子之前";
    case Kind::boxAfterMoov: return "“moov”盒子之后有“" + fourccText(reason.type) + "”盒子";
    case Kind::bytesAfterLastBox: return "文件末尾有不属于任何盒子的数据";
    case Kind::xmlInMoov: return "相机的 XML 位于“moov”盒子之内";
    case Kind::moovSizeUnwritten: return "“moov”盒子的大小未写明";
    case Kind::notAMovie: return "不是可以原地修改的 MP4/MOV 文件（可能是分段的 MP4）";
    case Kind::notABoxFile: return "不是可以原地修改的 MP4/MOV 文件";
    case Kind::notOwner: return "只有文件的所有者才能保留其修改时间";
    case Kind::noLocks: return "文件所在的文件系统不支持文件锁，无法确保没有其他进程同时改写它";
    }
    return "文件的布局不允许原地修改";
}

std::string notEarlierResult(const std::filesystem::path& output, CopyDifference difference)
{
    return quotedName(output.parent_path()) + "中已有同名文件" + quotedName(output) + "，但它不是此文件的处理结果（" +
           differenceWords(difference) + "）；原片未受影响，移走或删除该文件后即可重试";
}

}  // namespace kelvatta::error_texts
