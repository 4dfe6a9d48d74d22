// Errors of the export component, both paths (the box path and libavformat's) in one table. The box
// reader and the moov rewrite know nothing of file names: they give a reason, and the export names
// the file when it passes the error on.
#pragma once

#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace kelvatta {

inline constexpr const char* kExportErrorDomain = "Export";

enum class ExportErrorCode : long {
    unrecognized = 1,  // not a video file this program can read
    damaged = 2,       // a box, table, offset or timestamp that cannot be right, or data that cannot be read
    unsupported = 3,   // well formed, but not something the export can carry (a codec MP4 cannot hold, ...)
    tooLarge = 4,      // beyond a limit the export sets itself
    verifyFailed = 5,  // the written output did not read back as it should
    cancelled = 6,
    fragmented = 7,         // a fragmented movie: not for the box path
    notInPlace = 8,         // the clip's layout does not allow a rewrite in place; the reason says why
    muxFailed = 9,          // libavformat's muxer could not write the output
    sourceChanged = 10,     // the source was modified while it was exported
    busy = 11,              // another run holds the clip; nothing was done
    recordMismatch = 12,    // a rewrite in place's record does not hold for the clip; nothing was done
    notEarlierResult = 13,  // save-as: the file at the output's name is not this clip's result; nothing was done
};

inline Error exportError(ExportErrorCode code, std::string description)
{
    return Error{kExportErrorDomain, static_cast<long>(code), std::move(description)};
}

inline bool isExportError(const Error& e, ExportErrorCode code)
{
    return e.domain == kExportErrorDomain && e.code == static_cast<long>(code);
}

// An error of code whose reason is a kind (an enum whose kinds start at 1), carried as the detail
// beside the sentence that tells the user; the kind such an error carries, nothing for any other.
template <typename Kind>
Error exportError(ExportErrorCode code, std::string description, Kind kind)
{
    Error error = exportError(code, std::move(description));
    error.detail = static_cast<int>(kind);
    return error;
}
template <typename Kind>
std::optional<Kind> kindOf(const Error& e, ExportErrorCode code)
{
    if (!isExportError(e, code) || e.detail == 0) return std::nullopt;
    return static_cast<Kind>(e.detail);
}

// What is wrong with a damaged file (ExportErrorCode::damaged), carried as its kind.
enum class Damage : int {
    none = 0,           // not a damaged file's error
    headerCut,          // a box header that stops short, or a box's last child that does
    sizeZero,           // a box of size 0 (to the end) where it cannot run to the end of the file
    smallerThanHeader,  // a box whose size is smaller than its own header
    pastParent,         // a box that runs past the box that holds it
    pastEnd,            // a top-level box that runs past the end of the file: the file is cut short
    outsideBuffer,      // a box whose bytes are not where what was read of it says
    tooManyBoxes,       // more boxes in one place than any writer makes
    duplicateBox,       // a box twice where there is room for one (two chunk tables in a track)
    missingBox,         // a box the file or a track cannot do without (moov, mvhd, tkhd, stsd ...)
    boxTooShort,        // a box or a sample description shorter than its fields
    unknownVersion,     // a full box of a version whose fields this program does not know
    tableCountPastBox,  // a table whose entry count runs past its box
    tableInvalid,       // a table at odds with itself or with the others (chunk numbers, sample counts)
    sampleOutsideMdat,  // media data that lies in no mdat, or runs past the one it starts in
    samplesOverlap,     // timecode samples lying on other samples
    sampleCut,          // a timecode or rtmd sample cut short by the end of the file
    timecodeJump,       // per-frame timecodes (rtmd, tmcd samples) that do not count on from the first
    fileShrank,         // the file became shorter while it was read
    recordDamaged,      // a rewrite in place's marker or record that does not read whole
    markerMoved,        // a rewrite in place's marker that is not where it says: another program rewrote the file
    unreadableData,     // data the demuxer could not read (the general path)
    unreadableStream,   // a stream whose parameters cannot be read (the general path)
};

// Errors of these kinds. The box path's give a reason that names no file yet (inSourceFile names
// it); the general path's name the file themselves.
inline Error damaged(Damage why, std::string reason)
{
    return exportError(ExportErrorCode::damaged, std::move(reason), why);
}
inline Error unsupported(std::string reason) { return exportError(ExportErrorCode::unsupported, std::move(reason)); }
inline Error tooLarge(std::string reason) { return exportError(ExportErrorCode::tooLarge, std::move(reason)); }

// What is wrong with the file, for a damaged file's error; Damage::none for any other.
inline Damage damageOf(const Error& e) { return kindOf<Damage>(e, ExportErrorCode::damaged).value_or(Damage::none); }

// A file's name as the texts quote it: “C0001.MP4”.
std::string quotedName(const std::filesystem::path& file);

// The sentences of these are made in error_texts.cpp.
Error unrecognizedFile(const std::filesystem::path& file);
// The file read is no longer what its path names.
Error sourceChanged(const std::filesystem::path& file);
Error cancelledError();
// Another run holds the clip's lock.
Error clipBusy(const std::filesystem::path& file);
// Memory the export could not have; allocation failures travel as this value.
Error outOfMemory();

// f(), an allocation that fails in it (std::bad_alloc) coming back as outOfMemory() rather than an
// exception: none crosses the export's border.
template <typename F>
auto catchingAllocation(F&& f) -> decltype(f())
{
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    }
}

// The reason of a damaged/unsupported/tooLarge error put into a sentence that names the source file;
// other errors pass unchanged.
Error inSourceFile(Error error, const std::filesystem::path& file);

// What was being done to a file when a system call on it failed; its words are made by
// error_texts::fileAction.
enum class FileAction : uint8_t {
    open,
    read,
    write,
    create,
    lock,
    remove,
    readFolder,
    copyDataTo,
    setOwner,
    setMode,
    setTimes,
    process,
};

// An error about a file: "<action>“<name>”：<reason>" for errno err.
Error fileError(FileAction action, const std::filesystem::path& file, int err);

// A system call's outcome, its error (which carries the errno) told as fileError(action, file, ...).
template <typename T>
ErrorOr<T> onFile(ErrorOr<T> outcome, FileAction action, const std::filesystem::path& file)
{
    if (outcome.isError()) return fileError(action, file, errnoOf(outcome.error()));
    return outcome;
}

}  // namespace kelvatta
