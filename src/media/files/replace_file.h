// Putting a finished file in place of another: one rename(2) over it, then a flush of the folder,
// so at no instant is the name missing or naming a partial file. Where the finished file has a name
// of its own (an MP4 file made from a Matroska clip), it is already in place beside the other, which
// is then removed.
#pragma once

#include <sys/stat.h>

#include <filesystem>

#include "platform/error.h"

namespace kelvatta {

// Renames temporary over target and makes the rename durable, unless target's modification time is
// no longer temporary's (the file that was read was changed meanwhile). Errors name target.
ErrorOr<void> replaceByRename(const std::filesystem::path& temporary, const std::filesystem::path& target);

// Completes the replacement of target by result, a file of its own name beside it (clip.mp4 beside
// clip.mkv), already named and flushed with its folder: removes target and makes the removal durable.
// Only when result is still there with target's modification time (which the export gave it) and
// target still names the file that was read (read, its status then: the same device, inode, size and
// modification time); otherwise, and on any failure, target stays as it was (but for a removal that
// could not be made durable) with result beside it. Errors name both files.
ErrorOr<void> removeReplacedFile(const std::filesystem::path& result, const std::filesystem::path& target,
                                 const struct stat& read);

}  // namespace kelvatta
