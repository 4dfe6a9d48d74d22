#include "app/show_command.h"

#include "app/app_texts.h"
#include "app/command_line.h"
#include "app/terminal_status.h"
#include "intake/file_url.h"
#include "intake/video_file_collection.h"
#include "platform/log.h"
#include "state/texts.h"

namespace kelvatta {

std::vector<std::string> showLines(const std::filesystem::path& clip, const TimecodeSurvey& survey)
{
    std::vector<std::string> lines{app_texts::fileLine(clip)};
    if (!survey.reader.empty()) lines.push_back(app_texts::readerLine(survey.reader));
    if (auto inPlace = app_texts::inPlaceLine(survey.inPlace)) lines.push_back(std::move(*inPlace));
    lines.push_back(app_texts::rateLine(survey.rate, survey.counting));
    // A place whose values jump: in its line and in the last one.
    std::string jumps;
    for (const TimecodePlace& place : survey.places) {
        lines.push_back(app_texts::placeLine(place));
        jumps += app_texts::jumpPart(place, jumps.empty());
    }
    for (const std::string& name : survey.notUnderstood) lines.push_back(app_texts::notUnderstoodLine(name));
    // A place whose start cannot be compared is shown, and the last line says so: the clip's places are
    // consistent only when every one found reads the same start.
    lines.push_back(app_texts::consistencyLine(survey.agree(), jumps, survey.uncompared()));
    return lines;
}

int runShow(const std::vector<std::filesystem::path>& urls)
{
    const auto files = findVideoFiles(urls);
    if (!files) {
        writeErrorLine(app_texts::programLine(kFolderAccessFailure));
        return kExitUsage;
    }
    int failed = 0;
    for (size_t i = 0; i < files->size(); ++i) {
        const std::filesystem::path clip(urlPath((*files)[i]));
        auto survey = surveyTimecodes(clip);
        if (i > 0) printLine("");
        if (survey.isError()) {
            printLine(app_texts::fileLine(clip));
            printLine(app_texts::unreadableLine(survey.error().localizedDescription));
            ++failed;
            continue;
        }
        for (const std::string& line : showLines(clip, *survey)) printLine(line);
    }
    if (files->empty()) {
        writeErrorLine(app_texts::programLine(kNoVideoFiles));
        return kExitFailure;
    }
    return failed == 0 ? kExitSuccess : kExitFailure;
}

}  // namespace kelvatta
