#include "app/show_command.h"

#include <unistd.h>

#include "app/command_line.h"
#include "intake/file_url.h"
#include "intake/video_file_collection.h"
#include "platform/log.h"
#include "platform/sys.h"
#include "state/texts.h"

namespace kelvatta {

namespace {

// What a clip says of an earlier rewrite in place, and what finishes it; nothing where it says nothing.
std::optional<std::string> inPlaceText(InPlaceState state)
{
    switch (state) {
    case InPlaceState::none: return std::nullopt;
    case InPlaceState::complete: return "已完成（kelvatta --restore 可恢复相机原片）";
    case InPlaceState::notCommitted:
    case InPlaceState::cutShort:
        return "此前中断，尚未完成：运行 kelvatta --in-place 可完成修改，kelvatta --restore 可恢复原片";
    case InPlaceState::restoring: return "恢复此前中断，尚未完成：再次运行 kelvatta --restore 即可恢复原片";
    case InPlaceState::recordDamaged: return "记录已损坏，无法再据此恢复原片";
    case InPlaceState::changedSince: return "之后文件又被其他程序改动过，记录已与文件不符，无法再据此恢复原片";
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> showLines(const std::filesystem::path& clip, const TimecodeSurvey& survey)
{
    std::vector<std::string> lines{"文件：" + clip.string()};
    if (!survey.reader.empty()) lines.push_back("  由 libavformat 读取（" + survey.reader + "）");
    if (const auto inPlace = inPlaceText(survey.inPlace)) lines.push_back("  原地修改：" + *inPlace);
    std::string rate = survey.rate.empty() ? "未知" : survey.rate;
    if (!survey.counting.empty()) rate += "（时间码" + survey.counting + "）";
    lines.push_back("  帧率：" + rate);
    // A place whose values jump: where, in its line and in the last one.
    const auto jumpAt = [](const TimecodeJump& jump) { return "第 " + std::to_string(jump.frame) + " 帧处不连续"; };
    std::string jumps;
    for (const TimecodePlace& place : survey.places) {
        std::string line = "  " + place.name + "：" + place.first;
        std::vector<std::string> notes;
        if (place.last) {
            line += " 至 " + *place.last;
            notes.push_back("共 " + std::to_string(place.values) + " 帧");
        }
        if (place.jump) {
            notes.push_back(jumpAt(*place.jump) + "：" + place.jump->values());
            jumps += (jumps.empty() ? "：" : "；") + place.name + "的时间码在" + jumpAt(*place.jump);
        }
        for (size_t i = 0; i < notes.size(); ++i) line += (i == 0 ? "（" : "；") + notes[i];
        lines.push_back(notes.empty() ? line : line + "）");
    }
    for (const std::string& name : survey.notUnderstood) lines.push_back("  无法识别：" + name);
    // A value whose counting cannot be told is shown but not compared: the line says so.
    std::string uncompared;
    for (const TimecodePlace& place : survey.places)
        if (!place.start && place.first != kNoTimecodeHere) uncompared += (uncompared.empty() ? "" : "、") + place.name;
    if (!uncompared.empty()) uncompared = "（未能比较：" + uncompared + "）";
    const auto agree = survey.agree();
    if (!agree) lines.push_back("  一致性：可比较的时间码不足两处" + uncompared);
    else if (*agree) lines.push_back("  一致性：各处一致" + uncompared);
    else lines.push_back("  一致性：各处不一致" + jumps + uncompared);
    return lines;
}

int runShow(const std::vector<std::filesystem::path>& urls)
{
    const auto files = findVideoFiles(urls);
    if (!files) {
        const std::string line = std::string("kelvatta：") + kFolderAccessFailure + "\n";
        (void)sys::writeAll(STDERR_FILENO, line.data(), line.size());
        return kExitUsage;
    }
    int failed = 0;
    for (size_t i = 0; i < files->size(); ++i) {
        const std::filesystem::path clip(urlPath((*files)[i]));
        auto survey = surveyTimecodes(clip);
        if (i > 0) printLine("");
        if (survey.isError()) {
            printLine("文件：" + clip.string());
            printLine("  无法读取：" + survey.error().localizedDescription);
            ++failed;
            continue;
        }
        for (const std::string& line : showLines(clip, *survey)) printLine(line);
    }
    if (files->empty()) {
        const std::string line = std::string("kelvatta：") + kNoVideoFiles + "\n";
        (void)sys::writeAll(STDERR_FILENO, line.data(), line.size());
        return kExitFailure;
    }
    return failed == 0 ? kExitSuccess : kExitFailure;
}

}  // namespace kelvatta
