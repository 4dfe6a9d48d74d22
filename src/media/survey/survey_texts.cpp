#include "media/survey/survey_texts.h"

#include "media/base/media_error.h"
#include "media/boxes/box_texts.h"
#include "media/sony/sony_texts.h"

namespace kelvatta::survey_texts {

std::string place(SurveyPlace place, const std::string& detail)
{
    switch (place) {
    case SurveyPlace::tmcdTrack: return "“tmcd”轨道";
    case SurveyPlace::timecodeItem: return "元数据项“timecode”";
    case SurveyPlace::rtmd: return "“rtmd”";
    case SurveyPlace::rtmdPerFrame: return "“rtmd”（每帧一个）";
    case SurveyPlace::xmlInFile: return "文件内的相机 XML";
    case SurveyPlace::sidecar: return "附属 XML 文件 " + detail;
    case SurveyPlace::userDataTim: return "用户数据中的 ©TIM";
    case SurveyPlace::userDataXmp: return "用户数据的 XMP 中的 " + detail;
    case SurveyPlace::uuidXmp: return "“uuid”盒子的 XMP 中的 " + detail;
    case SurveyPlace::reported: return detail + "的时间码";
    case SurveyPlace::anyTimecode: return "时间码";
    }
    return "时间码";
}

std::string notRead(const std::string& place, SurveyNotRead why)
{
    switch (why) {
    case SurveyNotRead::samplesUnreadable: return place + "（样本无法读取）";
    case SurveyNotRead::rateUnknown: return place + "（帧率无法识别）";
    case SurveyNotRead::rtmdFormat: return place + "（其每帧样本的格式本程序无法识别）";
    case SurveyNotRead::tableNotUnderstood: return place + "（其中的时间码表本程序无法识别）";
    }
    return place;
}

std::string sidecarNotRead(const std::string& place, SidecarLeftAlone why)
{
    return place + "（" + sony_texts::sidecarLeftAlone(why) + "）";
}

std::string counting(const TimecodeCounting& counting)
{
    if (!counting.valid()) return {};
    std::string text = "每秒 " + std::to_string(counting.framesPerSecond) + " 帧";
    if (counting.halfStep) text += "，每两帧计一个号";
    return text + (counting.dropFrame ? "，丢帧" : "，不丢帧");
}

std::string busy(const std::filesystem::path& clip)
{
    return "文件" + quotedName(clip) + "正被另一个 Kelvatta 进程改写，请等它处理完再查看";
}

std::string changedWhileRead(const std::filesystem::path& clip)
{
    return "文件" + quotedName(clip) + "在读取时被改动了（可能有程序正在写它），请稍后再查看";
}

}  // namespace kelvatta::survey_texts
