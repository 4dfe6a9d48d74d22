#include "media/sony/sony_texts.h"

#include "media/base/media_error.h"
#include "media/sony/camera_xml.h"

namespace kelvatta::sony_texts {

std::string sidecarLeftAlone(SidecarLeftAlone why)
{
    switch (why) {
    case SidecarLeftAlone::none: break;
    case SidecarLeftAlone::link: return "它是指向其他位置的链接";
    case SidecarLeftAlone::folder: return "它是一个文件夹";
    case SidecarLeftAlone::notAFile: return "它不是普通文件";
    case SidecarLeftAlone::empty: return "它是空文件";
    case SidecarLeftAlone::tooLarge:
        return "它大于 " + std::to_string(kMaxCameraXmlSize >> 20) + " MiB，不是相机写的 XML";
    case SidecarLeftAlone::tableNotUnderstood: return "其中的时间码表本程序无法识别";
    }
    return {};
}

std::string leftAloneLine(const std::filesystem::path& sidecar, SidecarLeftAlone why)
{
    return "未处理附属 XML 文件：" + sidecar.string() + "（" + sidecarLeftAlone(why) + "）";
}

std::string inSidecar(const std::filesystem::path& sidecar, const std::string& refusal)
{
    return "附属 XML 文件" + quotedName(sidecar) + "中的" + refusal;
}

std::string rtmdSamplePastEnd() { return "“rtmd”样本超出了文件末尾"; }

}  // namespace kelvatta::sony_texts
