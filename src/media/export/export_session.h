// The export session: rewrites one clip, without re-encoding, into an MPEG-4 file carrying the
// metadata items it is given. Made without I/O; the export runs on a thread of its own.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/base/export_job.h"
#include "media/base/metadata_item.h"
#include "platform/error.h"

namespace kelvatta {

enum class ExportStatus : long { unknown = 0, waiting = 1, exporting = 2, completed = 3, failed = 4, cancelled = 5 };

inline constexpr std::string_view kExportPresetPassthrough = "AVAssetExportPresetPassthrough";

class ExportSession {
public:
    virtual ~ExportSession() = default;

    virtual void setOutputURL(std::filesystem::path url) = 0;
    // Where the output goes instead when the source turns out to be in a container other than
    // MPEG-4 or QuickTime (Matroska, AVI): its result is an MP4 file, named as one. Empty (the
    // default): the output URL whatever the source.
    virtual void setMP4OutputURL(std::filesystem::path url) = 0;
    virtual void setOutputFileType(std::string fileType) = 0;
    virtual void setMetadata(std::vector<MetadataItem> items) = 0;
    // Refuse to write when the output's folder is a link (a save-as folder in a place others can
    // write to could be pointed anywhere). Off by default.
    virtual void setRefusesLinkedOutputFolder(bool refuses) = 0;
    // Rewrite the source itself where its layout allows (see media/in_place.h) instead of writing
    // the output; where it does not, the export fails with an error of kind notInPlace saying why.
    virtual void setInPlace(bool inPlace) = 0;
    // The source stays as it is beside the output (save-as): what the output cannot carry is left
    // out with a line naming it. Off by default: the output is to replace the source, and a source
    // that would lose anything is refused.
    virtual void setKeepsSource(bool keeps) = 0;

    // Starts the export on a thread of its own and returns. handler is called once, on that thread,
    // when the export has ended; error() and status() then tell the outcome. The session keeps
    // itself alive until the handler has returned.
    virtual void exportAsynchronously(std::function<void()> handler) = 0;

    // The export's error, or none. A cancelled export has none.
    virtual std::optional<Error> error() const = 0;
    // An ExportStatus value.
    virtual long status() const = 0;
    // Once the export has ended: where it wrote (or was writing when it failed), the output URL
    // or the MP4 one.
    virtual std::filesystem::path writtenURL() const = 0;
    // The source as the export opened and read it (device, inode, size, modification time), while
    // the session holds it after a completed export; nothing otherwise.
    virtual std::optional<struct stat> sourceStatus() const = 0;
    // From 0 to 1; readable from any thread while the export runs.
    virtual double progress() const = 0;
    // Whether the export left the clip's per-frame rtmd timecodes as the camera wrote them, not
    // recognising how its samples are laid out (said in a line as well). Read once it has ended.
    virtual bool rtmdTimecodesKept() const { return false; }
    // Whether a completed export found its work done already and wrote nothing: the clip reads the
    // start, or (save-as) the file at the output is its earlier result. Read once it has ended.
    virtual AlreadyDone alreadyDone() const { return AlreadyDone::no; }
    // What the export found of an earlier rewrite in place of the clip, and finished first. Read once
    // it has ended.
    virtual EarlierInPlace earlierInPlace() const { return EarlierInPlace::none; }
    // Stops a running export soon: status cancelled, no error, its partial output removed.
    virtual void cancelExport() = 0;
};

// A session for source with the given preset, or nullptr when none can be made. Does no I/O.
std::shared_ptr<ExportSession> makeExportSession(const std::filesystem::path& source, std::string_view preset);

// Waits until the exports of makeExportSession's sessions have ended, and joins their threads. The
// program calls it before main returns, once it starts no more exports and has cancelled those that
// are not to run to their end.
void joinExportThreads();

}  // namespace kelvatta
