#include "media/general/general_texts.h"

#include "media/base/media_error.h"

namespace kelvatta::general_texts {

std::string streamKind(AVMediaType type)
{
    switch (type) {
    case AVMEDIA_TYPE_VIDEO: return "视频";
    case AVMEDIA_TYPE_AUDIO: return "音频";
    case AVMEDIA_TYPE_SUBTITLE: return "字幕";
    case AVMEDIA_TYPE_ATTACHMENT: return "附件";
    default: return "数据";
    }
}

std::string reportedStream(AVMediaType type, unsigned index)
{
    const char* name = "流";
    switch (type) {
    case AVMEDIA_TYPE_VIDEO: name = "视频流"; break;
    case AVMEDIA_TYPE_AUDIO: name = "音频流"; break;
    case AVMEDIA_TYPE_SUBTITLE: name = "字幕流"; break;
    case AVMEDIA_TYPE_DATA: name = "数据流"; break;
    default: break;
    }
    return std::string(name) + " " + std::to_string(index);
}

std::string container() { return "容器"; }

std::string unknownCodec(const char* tag) { return tag ? std::string("未知（") + tag + "）" : "未知"; }

std::string lostStream(AVMediaType type, bool picture, const std::string& what)
{
    if (picture) return "封面图片（" + what + "）";
    if (type == AVMEDIA_TYPE_ATTACHMENT) return "附件（" + what + "）";
    return streamKind(type) + "流（" + what + "）";
}

std::string lostTag(const std::string& stream, const std::string& key) { return stream + "的标签“" + key + "”"; }
std::string lostChapter(const std::string& title) { return "章节（" + title + "）"; }
std::string lostOverlap(const std::string& stream) { return stream + "的重叠部分"; }

std::string cannotKeep(const std::filesystem::path& source, const std::vector<std::string>& lost)
{
    std::string list;
    for (const std::string& item : lost) list += (list.empty() ? "" : "、") + item;
    return "无法保留文件" + quotedName(source) + "中的以下内容，未替换原文件：" + list +
           "（另存为可保存不含这些内容的副本）";
}

std::string leftOutLine(const std::filesystem::path& source, const std::string& lost)
{
    return "略过的流：" + source.string() + " 中的" + lost + "，MP4 文件无法携带";
}

std::string unknownParameters(const std::filesystem::path& source, AVMediaType type, const std::string& codec)
{
    return "无法读取文件" + quotedName(source) + "中" + streamKind(type) + "流（" + codec + "）的参数";
}

std::string unsupportedCodec(const std::filesystem::path& source, AVMediaType type, const std::string& codec)
{
    return "文件" + quotedName(source) + "的" + streamKind(type) + "编码 " + codec + " 不能写入 MP4 文件";
}

std::string lateStream(const std::filesystem::path& source, AVMediaType type, const std::string& codec)
{
    return "文件" + quotedName(source) + "在中途出现了新的" + streamKind(type) + "流（" + codec + "），无法导出";
}

std::string rateUnknown(const std::filesystem::path& source, const std::string& stream)
{
    return "无法确定文件" + quotedName(source) + "中" + stream + "的帧率，无法写入时间码轨道";
}

std::string rateTooHigh(const std::filesystem::path& source)
{
    return "文件" + quotedName(source) + "的帧率过高，无法写入时间码轨道";
}

std::string cueTooLong(const std::filesystem::path& source, const std::string& stream)
{
    return "文件" + quotedName(source) + "的" + stream + "中有一条字幕过长，无法写入 MP4 文件";
}

std::string trailerOfFragmented(const std::filesystem::path& source, uint64_t size)
{
    return "文件" + quotedName(source) + "末尾附有 " + std::to_string(size) +
           " 字节不属于任何盒子的数据（如 Insta360 相机的记录），它是分段的 MP4，"
           "经 libavformat 改写后无法保留这些数据，因此未做任何改动";
}

std::string damagedSource(const std::filesystem::path& source, const std::string& reason)
{
    return "文件" + quotedName(source) + "已损坏，无法完整读取：" + reason;
}

std::string notReadWhole(const std::filesystem::path& source) { return "文件" + quotedName(source) + "无法完整读取"; }

std::string notMuxed(const std::filesystem::path& source, const std::string& reason)
{
    return "无法将文件" + quotedName(source) + "写入 MP4 文件：" + reason;
}

std::string notAsWritten(const std::filesystem::path& output)
{
    return "导出的文件" + quotedName(output) + "未通过校验";
}
std::string itemNotWritable(const std::string& identifier) { return "无法写入元数据项：" + identifier; }
std::string muxerMissing() { return "无法写入 MP4 文件：缺少 MP4 封装器"; }

std::string libraryNotLoaded(const std::string& library, const char* why)
{
    return "无法载入处理此类文件所需的 FFmpeg 库 " + library + "：" + (why ? why : "原因不明");
}

std::string unparsableData() { return "文件中有无法解析的数据"; }
std::string timestampOutOfRange() { return "时间戳超出范围"; }
std::string timecodeTrackWithoutStsd() { return "时间码轨道缺少“stsd”盒子"; }
std::string timecodeDescriptionIncomplete() { return "时间码轨道的样本描述不完整"; }

}  // namespace kelvatta::general_texts
