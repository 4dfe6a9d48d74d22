#include "media/boxes/box_texts.h"

#include "media/base/bytes.h"
#include "media/boxes/box_reader.h"

namespace kelvatta::box_texts {

std::string headerCut() { return "盒子头不完整"; }
std::string headerCut(uint32_t type) { return quotedType(type) + "盒子头不完整"; }
std::string sizeZero(uint32_t type) { return quotedType(type) + "盒子的大小为 0"; }
std::string smallerThanHeader(uint32_t type) { return quotedType(type) + "盒子的大小小于其盒子头"; }
std::string pastFileEnd(uint32_t type) { return quotedType(type) + "盒子超出了文件末尾（文件可能不完整）"; }
std::string pastParent(uint32_t type) { return quotedType(type) + "盒子超出了其上级盒子"; }
std::string outsideBuffer() { return "盒子超出了缓冲区"; }
std::string tooManyChildren() { return "一个盒子中的子盒子过多"; }
std::string childCut() { return "盒子末尾有不完整的子盒子"; }
std::string tooManyTopLevel() { return "顶层盒子过多"; }
std::string duplicate(uint32_t type) { return "重复的" + quotedType(type) + "盒子"; }
std::string tooShort(uint32_t type) { return quotedType(type) + "盒子过短"; }

std::string unknownVersion(uint32_t type, unsigned version)
{
    return quotedType(type) + "盒子的版本 " + std::to_string(version) + " 无法识别";
}

std::string missingChild(uint32_t parent, uint32_t type)
{
    return quotedType(parent) + "中缺少" + quotedType(type) + "盒子";
}
std::string missingMoov() { return "缺少“moov”盒子（文件可能没有完整写入）"; }
std::string fileShrank() { return "文件在读取时变短了"; }

std::string tooLarge(uint32_t type) { return quotedType(type) + "盒子过大"; }

std::string moovTooLarge(uint64_t size, uint64_t limit)
{
    return "“moov”盒子过大（" + std::to_string(size >> 20) + " MiB，上限 " + std::to_string(limit >> 20) + " MiB）";
}

std::string reading(uint32_t type, size_t size)
{
    const std::string megabytes = size >= (1u << 20) ? "（" + std::to_string(size >> 20) + " MiB）" : "";
    return "读取" + quotedType(type) + "盒子" + megabytes;
}

std::string outOfMemoryWhile(const std::string& doing) { return doing + "时"; }

std::string moovInvalid() { return "“moov”盒子无效"; }
std::string moovPastBuffer() { return "“moov”盒子超出了缓冲区"; }
std::string fragmented() { return "这是分段的 MP4 文件（含“mvex”）"; }
std::string externalData() { return "媒体数据存放在其他文件中（外部数据引用）"; }
std::string encryptedTrack(uint32_t type) { return "不支持加密的轨道（含" + quotedType(type) + "）"; }
std::string tableCountPastBox(uint32_t type) { return quotedType(type) + "表的条目数超出了盒子的大小"; }
std::string timecodeDescriptionShort() { return "“tmcd”样本描述过短"; }
std::string severalChunkOffsetTables() { return "一个轨道中有多个块偏移表"; }
std::string chunkNumberInvalid() { return "“stsc”表的块编号无效"; }
std::string chunkTableEmpty() { return "“stsc”表为空"; }
std::string tooManySamples(uint32_t handler) { return quotedType(handler) + "轨道的样本过多"; }
std::string sampleOutOfRange() { return "样本的位置超出范围"; }
std::string chunkSamplesMismatch() { return "块中的样本数与“stsz”表不符"; }
std::string timecodeSampleShort() { return "时间码样本过短"; }
std::string timecodeSamplePastEnd() { return "时间码样本超出了文件末尾"; }

std::string unsupportedItem(const std::string& identifier) { return "不支持的元数据项：" + identifier; }
std::string unsupportedItemType(const std::string& dataType) { return "不支持的元数据类型：" + dataType; }
std::string metadataTooLarge() { return "元数据过大"; }

std::string unreadTimecode(const UnreadTimecode& timecode)
{
    using Kind = UnreadTimecode::Kind;
    const std::string value = timecode.value ? "（“" + *timecode.value + "”）" : "";
    switch (timecode.kind) {
    case Kind::xmpUnreadable: return "XMP 中的开始时间码（XMP 无法读取）";
    case Kind::xmp: return "XMP 中的 " + timecode.name + value;
    case Kind::userDataUnreadable: return "用户数据中的 ©TIM（用户数据无法读取）";
    case Kind::userData: return "用户数据中的 ©TIM" + value;
    case Kind::largeXmp: return "超过 1 MiB 的 XMP 中可能有的开始时间码";
    }
    return "开始时间码";
}

}  // namespace kelvatta::box_texts
