// Putting a finished file in place of another: one rename(2) over it, then a flush of the folder,
// so at no instant is the name missing or naming a partial file.
#pragma once

#include <filesystem>

#include "platform/error.h"

namespace kelvatta {

// Renames temporary over target and makes the rename durable, unless target's modification time is
// no longer temporary's (the file that was read was changed meanwhile). Errors name target.
ErrorOr<void> replaceByRename(const std::filesystem::path& temporary, const std::filesystem::path& target);

}  // namespace kelvatta
