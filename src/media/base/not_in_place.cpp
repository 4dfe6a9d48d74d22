#include "media/base/not_in_place.h"

#include "media/base/bytes.h"
#include "media/base/media_error.h"

namespace kelvatta {

std::string notInPlaceText(const NotInPlace& reason)
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

Error notInPlaceError(const NotInPlace& reason)
{
    Error error = exportError(ExportErrorCode::notInPlace, notInPlaceText(reason));
    error.detail = static_cast<int>(reason.kind);
    return error;
}

std::optional<NotInPlace::Kind> notInPlaceKindOf(const Error& error)
{
    if (!isExportError(error, ExportErrorCode::notInPlace) || error.detail == 0) return std::nullopt;
    return static_cast<NotInPlace::Kind>(error.detail);
}

}  // namespace kelvatta
