// The sentences of the clip's files: a link refused, a folder that is not one, a name taken, a file
// cut short while copied, and each step of putting the result in the clip's place that can fail.
// Made here only; the failed system calls themselves are told by fileError (base/media_error.h).
#pragma once

#include <filesystem>
#include <string>

namespace kelvatta::file_texts {

std::string linkRefused(const std::filesystem::path& file);
std::string notARealFolder(const std::filesystem::path& folder);
std::string nameTaken(const std::string& name);
std::string shrankWhileExported(const std::filesystem::path& file);

// replaceByRename: the words before a failed call's reason, and the file renamed but not flushed.
std::string cannotReplace(const std::string& name);
std::string replacedUnsynced(const std::string& name);

// removeReplacedFile, the result written and the clip (target) to be removed: each sentence says what
// became of both.
std::string resultUnconfirmed(const std::filesystem::path& result, const std::filesystem::path& target);
std::string resultChanged(const std::filesystem::path& result, const std::filesystem::path& target);
std::string resultOfBefore(const std::filesystem::path& result);  // after the clip's sourceChanged
std::string cannotRemoveTarget(const std::filesystem::path& target);
std::string resultWrittenTo(const std::filesystem::path& result);  // after cannotRemoveTarget's reason
std::string removedUnsynced(const std::filesystem::path& target);

}  // namespace kelvatta::file_texts
