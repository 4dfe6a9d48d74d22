#include "media/plan/plan_texts.h"

#include "media/boxes/box_reader.h"
#include "media/boxes/box_texts.h"

namespace kelvatta::plan_texts {

std::string rtmdKeptLine(const std::filesystem::path& clip)
{
    return "未改写“rtmd”时间码：" + clip.string() + "（其每帧样本的格式本程序无法识别，保留相机写入的时间码）";
}

std::string unreadTimecodeLine(const std::filesystem::path& clip, const UnreadTimecode& timecode)
{
    return "未改写开始时间码：" + clip.string() + "（" + box_texts::unreadTimecode(timecode) +
           "，本程序无法识别其写法，保持原样）";
}

std::string outputMismatch(OutputMismatch what)
{
    switch (what) {
    case OutputMismatch::size: return "文件大小与预期不符";
    case OutputMismatch::writtenBoxes: return "写入的盒子与预期不符";
    case OutputMismatch::timecodes: return "重新计算的时间码与预期不符";
    case OutputMismatch::severalMoov: return "有多个“moov”盒子";
    case OutputMismatch::moov: return "“moov”盒子与预期不符";
    case OutputMismatch::trackStart: return "时间码轨道的起始值与预期不符";
    }
    return "文件与预期不符";
}

std::string outputTooLarge() { return "输出文件过大"; }
std::string fileTooLarge() { return "文件过大"; }
std::string newMoovTooLarge() { return "新的“moov”盒子过大"; }
std::string writingNewMoov(uint64_t bound) { return "写入新的“moov”盒子（" + std::to_string(bound >> 20) + " MiB）"; }
std::string newMoovSizeUnknown() { return "无法确定新的“moov”盒子的大小"; }
std::string missingMoov() { return "缺少“moov”盒子"; }

std::string dataOutsideMdat(uint64_t offset)
{
    return "偏移 " + std::to_string(offset) + " 处的媒体数据不在任何“mdat”盒子中";
}

std::string sampleOutsideMdat() { return "样本不在任何“mdat”盒子中"; }

std::string trackPastMdat(uint32_t handler)
{
    return quotedType(handler) + "轨道的样本超出了所在的“mdat”盒子（文件可能不完整）";
}

std::string timecodeSamplesOverlap() { return "时间码样本相互重叠"; }

std::string timecodeOverlapsTrack(const std::string& owner, uint32_t handler)
{
    return owner + "轨道的时间码与" + quotedType(handler) + "轨道的样本重叠";
}

std::string chunkOffsetPastTable() { return "块偏移超出了“stco”表的范围"; }
std::string tmcdTrack() { return "“tmcd”轨道"; }
std::string noTrackId() { return "无法添加时间码轨道：轨道编号已用尽"; }

}  // namespace kelvatta::plan_texts
