#include "media/survey/timecode_survey.h"

#include <fcntl.h>

#include <cstdio>
#include <variant>

#include "media/boxes/box_probe.h"
#include "media/boxes/box_texts.h"
#include "media/boxes/quicktime_meta.h"
#include "media/boxes/start_timecodes.h"
#include "media/files/fd_source.h"
#include "media/general/general_timecodes.h"
#include "media/plan/rebase.h"
#include "media/sony/camera_xml.h"
#include "media/sony/rtmd.h"
#include "media/sony/sidecar.h"
#include "media/sony/top_level.h"
#include "media/survey/survey_texts.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

// "29.97" for 30000/1001: three decimals at most, without trailing zeros.
std::string rateText(double rate)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", rate);
    std::string out = text;
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
    return out;
}

// A place the clip does not have.
TimecodePlace absentPlace(SurveyPlace place)
{
    return {survey_texts::place(place), std::nullopt, std::nullopt, 0, std::nullopt, std::nullopt};
}

// The names of timecodes found and not understood.
void addUnread(std::vector<std::string>& names, const std::vector<UnreadTimecode>& unread)
{
    for (const UnreadTimecode& timecode : unread) names.push_back(box_texts::unreadTimecode(timecode));
}

// A value written as text ("01:00:00:00"), as the clip counts it where it can be read.
TimecodePlace textPlace(std::string name, std::string value)
{
    TimecodePlace place{std::move(name), value, std::nullopt, 0, std::nullopt, std::nullopt};
    std::string normal = value;
    if (normal.size() == 11 && (normal[8] == '.' || normal[8] == ',')) normal[8] = ';';
    if (const auto time = Timecode::parse(normal)) place.start = TimecodeValue{*time, false};
    return place;
}

// The value of a place that counts as place does, as clip counts it.
std::optional<TimecodeValue> asClipCounts(const TimecodeCounting& clip, const TimecodeCounting& place,
                                          const TimecodeValue& value)
{
    if (!clip.valid() || !place.valid()) return place.position(value) ? std::optional(value) : std::nullopt;
    return clip.sameFrame(place, value);
}

class BoxSurvey {
public:
    BoxSurvey(const fs::path& path, ByteSource& file, const BoxContent& content)
        : path_(path), file_(file), movie_(content.movie), topLevel_(content.topLevel)
    {
    }

    ErrorOr<TimecodeSurvey> run()
    {
        // The plan of a rewrite to 00:00:00:00, kept in memory: how the camera XML counts, and the
        // start timecodes of the top-level XMP as they are written.
        const TopLevelPlan top = KV_TRY(planTopLevel(topLevel_, movie_, file_, Timecode{}));
        clip_ = clipCounting(movie_, top);
        if (const auto rate = videoTimecodeRate(movie_))
            out_.rate = rateText(double(rate->timescale) / rate->frameDuration);
        out_.counting = survey_texts::counting(clip_);
        KV_TRY(timecodeTracks());
        KV_TRY(item());
        KV_TRY(rtmd());
        KV_TRY(cameraXml());
        KV_TRY(sidecar());
        KV_TRY(userData());
        for (const TextEdit& edit : top.textEdits)
            out_.places.push_back(textPlace(survey_texts::place(SurveyPlace::uuidXmp, edit.name), edit.original));
        addUnread(out_.notUnderstood, top.timecodesLeftAlone);
        return std::move(out_);
    }

private:
    ErrorOr<void> timecodeTracks()
    {
        bool any = false;
        for (const Track& track : movie_.tracks) {
            if (!track.isTimecode()) continue;
            auto read = readTimecodeSamples(movie_, track, file_);
            if (KV_TRY(unreadable(read, SurveyPlace::tmcdTrack)) || read->samples.empty()) continue;
            const TimecodeCounting counting = track.timecode->counting();
            if (!counting.valid()) {
                out_.notUnderstood.push_back(
                    survey_texts::notRead(survey_texts::place(SurveyPlace::tmcdTrack), SurveyNotRead::rateUnknown));
                continue;
            }
            const TimecodeValue value = counting.valueAt(read->samples.front().number);
            out_.places.push_back({survey_texts::place(SurveyPlace::tmcdTrack), value.time.text(counting.dropFrame),
                                   std::nullopt, 0, asClipCounts(clip_, counting, value), read->jump});
            any = true;
        }
        if (!any) out_.places.push_back(absentPlace(SurveyPlace::tmcdTrack));
        return {};
    }

    ErrorOr<void> item()
    {
        if (auto value = KV_TRY(movieItemValue(movie_, "timecode")))
            out_.places.push_back(textPlace(survey_texts::place(SurveyPlace::timecodeItem), *value));
        else out_.places.push_back(absentPlace(SurveyPlace::timecodeItem));
        return {};
    }

    // Every sample of each rtmd track: one per frame.
    ErrorOr<void> rtmd()
    {
        for (const Track& track : movie_.tracks) {
            if (track.sampleEntryType != kRtmdSampleEntry || track.sampleCount == 0) continue;
            auto samples = readRtmdTimecodes(movie_, track, file_, clip_);
            if (KV_TRY(unreadable(samples, SurveyPlace::rtmd))) continue;
            const RtmdTimecodes& read = *samples;
            if (!read.first) {
                out_.notUnderstood.push_back(
                    survey_texts::notRead(survey_texts::place(SurveyPlace::rtmd), SurveyNotRead::rtmdFormat));
                continue;
            }
            const auto text = [](const RtmdTimecode& value) { return value.time.text(value.dropFrame != 0); };
            const TimecodeValue first{read.first->time, false};
            out_.places.push_back(
                {survey_texts::place(SurveyPlace::rtmdPerFrame), text(*read.first), text(*read.last), read.heads,
                 read.counting ? asClipCounts(clip_, *read.counting, first) : std::nullopt, read.jump});
        }
        return {};
    }

    // Whether a place's samples could not be read (its tables at odds, a sample cut short by the end of
    // the file): then it is named as not understood. Any other error fails the look at the clip.
    template <typename T>
    ErrorOr<bool> unreadable(ErrorOr<T>& read, SurveyPlace place)
    {
        if (!read.isError()) return false;
        if (damageOf(read.error()) == Damage::none) return read.releaseError();
        out_.notUnderstood.push_back(
            survey_texts::notRead(survey_texts::place(place), SurveyNotRead::samplesUnreadable));
        return true;
    }

    void xmlPlace(std::string name, const std::string& text)
    {
        const auto first = cameraXmlFirst(text);
        if (!first) {
            out_.notUnderstood.push_back(survey_texts::notRead(name, SurveyNotRead::tableNotUnderstood));
            return;
        }
        out_.places.push_back({std::move(name), first->value.time.text(first->counting.dropFrame), std::nullopt, 0,
                               asClipCounts(clip_, first->counting, first->value), std::nullopt});
    }

    ErrorOr<void> cameraXml()
    {
        if (const auto text = KV_TRY(cameraXmlTextOf(file_, topLevel_, &movie_)))
            xmlPlace(survey_texts::place(SurveyPlace::xmlInFile), *text);
        return {};
    }

    ErrorOr<void> sidecar()
    {
        const auto sidecar = KV_TRY(findSidecar(path_));
        if (!sidecar) return {};
        const std::string name = survey_texts::place(SurveyPlace::sidecar, sidecar->path.filename().string());
        auto read = KV_TRY(readSidecarText(*sidecar));
        if (const auto* text = std::get_if<std::string>(&read)) xmlPlace(name, *text);
        else out_.notUnderstood.push_back(survey_texts::sidecarNotRead(name, std::get<SidecarOutcome>(read).why));
        return {};
    }

    // ©TIM and the XMP packets of the movie's user data.
    ErrorOr<void> userData()
    {
        for (const Box& udta : KV_TRY(childBoxes(movie_.moov, movie_.box))) {
            if (udta.type != fourcc("udta")) continue;
            const TextTimecodes items = rebaseUserDataTimecode(payloadOf(movie_.moov, udta), Timecode{});
            for (const TextEdit& edit : items.edits)
                out_.places.push_back(textPlace(survey_texts::place(SurveyPlace::userDataTim), edit.original));
            addUnread(out_.notUnderstood, items.leftAlone);
            auto children = childBoxes(movie_.moov, udta);
            if (children.isError()) continue;
            for (const Box& child : *children) {
                if (child.type != fourcc("XMP_")) continue;
                const ByteSpan text = payloadOf(movie_.moov, child);
                const TextTimecodes xmp = rebaseXmpTimecodes(
                    std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), Timecode{});
                for (const TextEdit& edit : xmp.edits)
                    out_.places.push_back(
                        textPlace(survey_texts::place(SurveyPlace::userDataXmp, edit.name), edit.original));
                addUnread(out_.notUnderstood, xmp.leftAlone);
            }
        }
        return {};
    }

    const fs::path& path_;
    ByteSource& file_;
    const Movie& movie_;
    const std::vector<Box>& topLevel_;
    TimecodeCounting clip_;
    TimecodeSurvey out_;
};

// What libavformat reports of a file the box path does not read.
ErrorOr<TimecodeSurvey> generalSurvey(int fd, uint64_t size, const fs::path& path)
{
    const ReportedTimecodes reported = KV_TRY(reportedTimecodes(fd, size, path));
    TimecodeSurvey out;
    out.reader = reported.format;
    if (reported.rate) out.rate = rateText(double(reported.rate->first) / reported.rate->second);
    for (const ReportedTimecode& timecode : reported.timecodes)
        out.places.push_back(textPlace(survey_texts::place(SurveyPlace::reported, timecode.where), timecode.value));
    if (reported.timecodes.empty()) out.places.push_back(absentPlace(SurveyPlace::anyTimecode));
    return out;
}

// Whether what was read of the clip open as fd is one file's: no other run holds it to write it,
// and it has the size and times it had before (any write moves its change time, a rewrite in place
// too, which puts back its modification time). Else an error that says the clip is being changed.
ErrorOr<void> checkReadWhole(int fd, const struct stat& before, const fs::path& path)
{
    const auto locked = sys::exclusivelyLocked(fd);  // a file system without such locks: not told
    if (!locked.isError() && *locked) return exportError(ExportErrorCode::busy, survey_texts::busy(path));
    const auto now = KV_TRY(onFile(sys::fstat(fd), FileAction::read, path));
    if (!sameFile(now, before) || now.st_ctim.tv_sec != before.st_ctim.tv_sec ||
        now.st_ctim.tv_nsec != before.st_ctim.tv_nsec)
        return exportError(ExportErrorCode::sourceChanged, survey_texts::changedWhileRead(path));
    return {};
}

}  // namespace

std::optional<bool> TimecodeSurvey::agree() const
{
    std::optional<TimecodeValue> seen;
    size_t compared = 0;
    for (const TimecodePlace& place : places) {
        if (place.jump) return false;
        if (!place.start) continue;
        if (seen && *seen != *place.start) return false;
        seen = place.start;
        ++compared;
    }
    if (compared < 2 || !uncompared().empty()) return std::nullopt;
    return true;
}

std::vector<std::string> TimecodeSurvey::uncompared() const
{
    std::vector<std::string> names;
    for (const TimecodePlace& place : places)
        if (!place.start && place.first) names.push_back(place.name);
    names.insert(names.end(), notUnderstood.begin(), notUnderstood.end());
    return names;
}

ErrorOr<TimecodeSurvey> surveyTimecodes(const fs::path& path)
{
    // Read without marking the clip read, where this user may (its owner).
    auto opened = openClip(path, O_RDONLY | O_NOATIME);
    if (opened.isError() && errnoOf(opened.error()) == EPERM) opened = openClip(path, O_RDONLY);
    const Fd fd = KV_TRY(std::move(opened));
    const auto status = KV_TRY(onFile(sys::fstat(fd.get()), FileAction::read, path));
    if (S_ISDIR(status.st_mode)) return fileError(FileAction::open, path, EISDIR);
    if (!S_ISREG(status.st_mode)) return unrecognizedFile(path);
    KV_TRY(checkReadWhole(fd.get(), status, path));
    const uint64_t size = static_cast<uint64_t>(status.st_size);
    FdSource reader(fd.get(), size, path);
    auto survey = [&]() -> ErrorOr<TimecodeSurvey> {
        // A rewrite in place cut short may leave two moov boxes, which only its state explains.
        uint8_t first[8];
        const bool boxes = KV_TRY(reader.readAt(first, sizeof first, 0)) == sizeof first && looksLikeBoxFile(first);
        const InPlaceState inPlace = boxes ? KV_TRY(readClipState(reader, status, path)).state : InPlaceState::none;
        auto content = probeBoxContent(reader);
        if (content.isError()) return inSourceFile(content.releaseError(), path);
        auto read = *content ? BoxSurvey(path, reader, **content).run() : generalSurvey(fd.get(), size, path);
        if (read.isError()) return inSourceFile(read.releaseError(), path);
        read->inPlace = inPlace;
        return read;
    }();
    // A clip another run rewrites meanwhile reads as a damaged one, or as one with a jump: say why.
    KV_TRY(checkReadWhole(fd.get(), status, path));
    return survey;
}

}  // namespace kelvatta
