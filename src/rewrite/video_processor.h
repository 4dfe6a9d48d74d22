// Rewrites one clip so its start timecode reads 00:00:00:00: exports it into a temporary file beside
// it and then puts that over the clip, or exports it into the "已修改时间码" folder beside it. A
// Matroska or AVI clip becomes an MP4 file named as one (C0001.mkv as C0001.mp4): written beside the
// clip, which is then removed, or into the folder.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "media/export/export_session.h"
#include "media/files/output_file.h"
#include "platform/error.h"

namespace kelvatta {

inline constexpr std::string_view kVideoProcessorErrorDomain = "VideoProcessor";
inline constexpr std::string_view kSaveAsFolderName = "已修改时间码";

class VideoProcessor {
public:
    using Completion = std::function<void(Result)>;
    using SessionFactory =
        std::function<std::shared_ptr<ExportSession>(const std::filesystem::path& source, std::string_view preset)>;

    // Uses the program's export session.
    VideoProcessor();
    // Uses sessions from factory (tests give fakes).
    explicit VideoProcessor(SessionFactory factory);
    virtual ~VideoProcessor() = default;

    // Starts the rewrite of fileURL and returns. completion is called exactly once: before this
    // returns, on the calling thread, when the save-as folder cannot be made or no export session
    // can be made; otherwise later, on the main thread, from handleExportCompletion.
    virtual void modifyTimecode(const std::filesystem::path& fileURL, bool saveAs, Completion completion) const;

    // Settles an ended export on the main thread: reports its error or incomplete status, or puts
    // the result in place (replace mode), prints what happened and calls completion once. timecode:
    // where the clip's sidecar is to start. inPlaceAsked: the export is the ordinary rewrite of a clip
    // a rewrite in place could not take (a replace short of space does not suggest one then).
    static void handleExportCompletion(const std::shared_ptr<ExportSession>& session, const Completion& completion,
                                       bool saveAs, const std::filesystem::path& outputURL,
                                       const std::filesystem::path& fileURL,
                                       const StartTimecode& timecode = StartTimecode{}, bool inPlaceAsked = false);

    // Where the export of fileURL writes.
    static std::filesystem::path outputURL(const std::filesystem::path& fileURL, bool saveAs);
    // Where it writes instead when the source turns out to be in a container other than MPEG-4 or
    // QuickTime: <name>.mp4 beside it, or in the save-as folder. Nothing for a clip named .mp4, .mov
    // or .m4v (in any case), whose result keeps its name.
    static std::optional<std::filesystem::path> mp4OutputURL(const std::filesystem::path& fileURL, bool saveAs);

    // Replace mode rewrites each clip in place where its layout allows (see media/in_place.h), and
    // the ordinary way (a temporary file renamed over it) elsewhere, printing why.
    void setInPlace(bool inPlace) { inPlace_ = inPlace; }
    // Where every clip's timecode starts: 00:00:00:00 unless set. A clip that cannot start there fails.
    void setTimecode(const StartTimecode& timecode) { timecode_ = timecode; }

private:
    // What one rewrite is asked, carried from its start to its completion.
    struct Request {
        SessionFactory factory;
        StartTimecode timecode;
        bool inPlaceTried = false;  // the ordinary rewrite of a clip a rewrite in place could not take
    };
    static void startExport(const Request& request, const std::filesystem::path& fileURL, bool saveAs, bool inPlace,
                            Completion completion, bool announce);
    // A completed export that found its work done already: says so, then finishes the clip as far as
    // it needs. False when the export wrote its output.
    static bool finishIfAlreadyDone(const ExportSession& session, const Completion& completion, const Request& request,
                                    bool saveAs, const std::filesystem::path& outputURL,
                                    const std::filesystem::path& fileURL);
    // Reports an export that failed or did not complete; false when it completed. renamed: the
    // result's own name when it has one (see mp4OutputURL), for the advice on a name taken;
    // inPlaceStart: the start a rewrite in place would be asked, for the advice on a replace short of
    // space (none where one is not to be suggested).
    static bool reportUnfinished(const ExportSession& session, const Completion& completion, bool saveAs,
                                 const std::filesystem::path& renamed, const std::filesystem::path& fileURL,
                                 const std::optional<StartTimecode>& inPlaceStart = std::nullopt);
    // Replace mode, a result of its own name beside the clip: the clip removed. False when it
    // failed, completion called.
    static bool removeReplacedClip(const ExportSession& session, const Completion& completion,
                                   const std::filesystem::path& result, const std::filesystem::path& fileURL);
    static void handleInPlaceCompletion(const std::shared_ptr<ExportSession>& session, const Completion& completion,
                                        const Request& request, const std::filesystem::path& fileURL);
    // The clip is in place: its sidecar (re-based to timecode), then success, which says whether the
    // clip was found done already.
    static void finishClip(const Completion& completion, bool saveAs, const std::filesystem::path& outputURL,
                           const std::filesystem::path& fileURL, const StartTimecode& start, bool alreadyDone = false);

    SessionFactory factory_;
    bool inPlace_ = false;
    StartTimecode timecode_{};
};

}  // namespace kelvatta
