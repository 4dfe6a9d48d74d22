#include "media/inplace/in_place_texts.h"

#include "media/base/media_error.h"
#include "media/boxes/box_reader.h"

namespace kelvatta::in_place_texts {
namespace {

std::string at(uint64_t offset) { return "（偏移 " + std::to_string(offset) + "）"; }

std::string reason(const RecordMismatch& why)
{
    using Kind = RecordMismatch::Kind;
    const std::string offset = std::to_string(why.offset);
    switch (why.kind) {
    case Kind::markerMoved: return "原地修改之后文件被其他程序改写过，原地修改的标记已不在它记下的位置";
    case Kind::recordDamaged: return "记录已损坏，无法确认文件被改过哪些字节";
    case Kind::appendedSince: return "原地修改之后又有其他程序在文件末尾追加了数据，恢复会将其一并删去";
    case Kind::bytesOfNeither:
        return "偏移 " + offset + " 处的字节既不是原来的也不是改写后的（文件可能被其他程序改动过）";
    case Kind::anotherMoov: return "文件中另有一个“moov”盒子" + at(why.offset);
    case Kind::otherAppended: return "追加的部分中有其他数据（" + quotedType(why.type) + "盒子）";
    case Kind::oldMoovMissing: return "记录所说的旧“moov”盒子不在文件中" + at(why.offset);
    case Kind::newMoovMissing: return "记录所说的新“moov”盒子不在追加的部分中" + at(why.offset);
    case Kind::patchesOverlap: return "记录中的修改相互重叠或次序颠倒";
    case Kind::originalUnreadable: return "原文件的结构无法解析：" + why.error;
    case Kind::originalMoovUnreadable: return "原文件的“moov”盒子无法解析：" + why.error;
    case Kind::patchOffTimecodes:
        return "偏移 " + offset + " 处的修改不在原文件任何“rtmd”“tmcd”样本的时间码上，也不在相机的 XML 中";
    case Kind::hashDiffers: return "还原后的内容与记录的校验值不符（文件可能在修改后被其他程序改动过）";
    case Kind::newMoovChanged: return "原地修改所写的新“moov”盒子在那之后被改动过（可能是其他程序编辑了文件）";
    case Kind::newMoovDamaged: return "追加的新“moov”盒子已损坏：" + why.error;
    case Kind::appendedAfterCut:
        return "原地修改中断之后又有其他程序在文件末尾追加了数据（" + quotedType(why.type) + "盒子）";
    case Kind::grownAfterCut: return "原地修改中断之后又有其他程序在文件末尾追加了数据";
    case Kind::newMoovOnRecordDamaged: return "新的“moov”盒子已启用，但记录已损坏";
    case Kind::otherAfterMarker:
        return "原地修改的标记之后有其他数据（" + quotedType(why.type) + "盒子），无法确认哪些是追加的";
    case Kind::notOriginalMoov: return "标记之前的“moov”盒子不是原来的那一个";
    }
    return "记录已损坏，无法确认文件被改过哪些字节";
}

}  // namespace

std::string recordMismatch(const std::filesystem::path& clip, const RecordMismatch& why)
{
    return "文件" + quotedName(clip) + "与其原地修改的记录不符：" + reason(why) + "；为免损坏文件，未做任何改动";
}

std::string whatFinishes(bool restoring)
{
    return restoring ? "再次运行 kelvatta --restore 即可恢复原片"
                     : "运行 kelvatta --in-place 可完成修改，kelvatta --restore 可恢复原片";
}

std::string midway(const std::filesystem::path& clip, bool restoring)
{
    return "；文件" + quotedName(clip) + (restoring ? "停在恢复的中途，" : "停在原地修改的中途，") +
           whatFinishes(restoring);
}

std::string stateAdvice(InPlaceState state, const std::filesystem::path& clip)
{
    switch (state) {
    case InPlaceState::notCommitted:
    case InPlaceState::cutShort:
        return "文件" + quotedName(clip) + "的原地修改此前中断，尚未完成：" + whatFinishes(false);
    case InPlaceState::restoring: return "文件" + quotedName(clip) + "的恢复此前中断，尚未完成：" + whatFinishes(true);
    default: return {};
    }
}

std::string notOwnerRefusal(const std::string& advice)
{
    return advice + "（只有文件的所有者才能保留其修改时间，请由所有者运行）；未做任何改动";
}

std::string nothingDone(const std::string& refusal) { return refusal + "；本次未做任何改动"; }

std::string withoutInPlace() { return "（如仍要改写，可不带 --in-place 处理，其原地修改的记录将随之删除）"; }

std::string otherStart(const std::filesystem::path& clip, const std::string& recorded, const std::string& asked)
{
    return "文件" + quotedName(clip) + "已原地修改为从 " + recorded + " 开始，无法再原地改为从 " + asked +
           " 开始；请先用 --restore 恢复原片再处理，本次未做任何改动";
}

std::string timecodesReadBack() { return "原地写入的时间码读回时与预期不符"; }
std::string appendedReadBack() { return "追加的盒子读回时与预期不符"; }

std::string restoredDiffers(const std::filesystem::path& clip)
{
    return "文件" + quotedName(clip) + "恢复后的内容与原地修改的记录不符";
}

std::string recordShort() { return "文件比原地修改的记录短"; }
std::string recordIncomplete() { return "原地修改的记录不完整"; }
std::string recordInvalid() { return "原地修改的记录无效"; }
std::string markerMoved() { return "原地修改的标记与其位置不符"; }

std::string restoreWithoutLocks(const std::filesystem::path& clip)
{
    return "无法锁定文件" + quotedName(clip) +
           "：它所在的文件系统不支持文件锁，无法确保没有其他进程同时改写它，因此未做恢复"
           "（可先把它复制到本机磁盘上再恢复）";
}

std::string restoreNotOwner(const std::filesystem::path& clip)
{
    return "文件" + quotedName(clip) + "只有其所有者才能设置修改时间，恢复后无法保留它原来的修改时间，因此未做恢复";
}

std::string noSpaceForBlocks(const std::filesystem::path& clip, size_t blocks, uint64_t needed)
{
    return "磁盘空间不足：改写文件" + quotedName(clip) + "中的 " + std::to_string(blocks) + " 个数据块需要约 " +
           std::to_string((needed + 1023) >> 10) + " KiB 的可用空间（这些数据块与副本或快照共用），未做任何改动";
}

std::string replaceSpace(const std::string& needed, const std::string& available, bool inPlaceAllowed)
{
    std::string advice = "替换需要约 " + needed + " 的可用空间（新文件先写在原文件旁边），现有 " + available;
    if (inPlaceAllowed)
        advice += "；改用 --in-place 原地修改只在文件末尾追加新的“moov”盒子和恢复记录，几乎不需要额外空间";
    return advice;
}

}  // namespace kelvatta::in_place_texts
