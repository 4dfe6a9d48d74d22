// The sentences of VideoProcessor: the log lines of one clip's rewrite from its start to its end, its
// errors, and the advice added to an error at a name already taken. Made here only.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "media/base/export_job.h"

namespace kelvatta::rewrite_texts {

// The save-as folder.
std::string cannotCreateFolder(const std::filesystem::path& folder);  // before the system's reason
std::string folderCreated(const std::filesystem::path& folder);
std::string folderFailed(const std::string& reason);

// What to do about a file already at the output's name, after the error's sentence: the clip's
// result of its own name (renamed) in the clip's place, or a save-as copy or a temporary file left.
std::string renamedTaken(const std::filesystem::path& clip, const std::filesystem::path& renamed);
std::string outputTaken(bool saveAs);

// The sidecar.
std::string sidecarNotUpdated(const std::filesystem::path& clip, const std::string& reason);
std::string sidecarWritten(const std::filesystem::path& sidecar);
std::string sidecarFailed(const std::string& reason);

// What an export finished first of what an earlier run left cut short; nothing where it finished none.
std::optional<std::string> earlierInPlace(EarlierInPlace earlier, const std::filesystem::path& clip);
// The record of a rewrite in place gone with the replaced clip; nothing where the clip had none.
std::optional<std::string> recordDropped(EarlierInPlace earlier, const std::filesystem::path& clip);

// The start and end of one clip.
std::string noSession();
std::string processFailed(const std::string& reason);
std::string started(const std::filesystem::path& clip);
std::string succeeded(const std::filesystem::path& clip);
std::string alreadyStarts(const std::string& timecode, const std::filesystem::path& clip);
std::string copyKept(const std::filesystem::path& copy);

// The export's end.
std::string spaceAdvice(const std::string& advice);  // after a replace's error for want of space
std::string exportFailed(const std::string& reason);
std::string exportIncomplete(long status);
std::string exportIncompleteLine(const std::string& reason);
std::string notInPlace(const std::string& reason);
std::string inPlaceDone(const std::filesystem::path& clip);

// The result put in the clip's place.
std::string temporaryMissing();
std::string replaceFailed(const std::string& reason);
std::string replaced(const std::filesystem::path& clip);
std::string clipUnconfirmed(const std::filesystem::path& clip);
std::string newFileWritten(const std::filesystem::path& result);
std::string clipRemoved(const std::filesystem::path& clip);

}  // namespace kelvatta::rewrite_texts
