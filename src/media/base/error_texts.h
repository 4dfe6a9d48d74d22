// The sentences of the export's own errors, each made here from its reason: what was being done to a
// file when a system call failed, the refusals of base (a busy clip, a changed one), why a layout
// allows no rewrite in place, what a file in a save-as copy's place differs in. The folders above
// keep theirs in a texts file of their own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "media/base/copy_difference.h"
#include "media/base/media_error.h"
#include "media/base/not_in_place.h"

namespace kelvatta::error_texts {

// The words before a file's name in fileError's sentence.
std::string fileAction(FileAction action);

std::string unrecognized(const std::filesystem::path& file);
std::string sourceChanged(const std::filesystem::path& file);
std::string cancelled();
std::string busy(const std::filesystem::path& file);
// A damaged file's reason (or, where timecodes only jump, the jump) in a sentence naming the file.
std::string damagedFile(const std::filesystem::path& file, bool timecodeJump, const std::string& reason);
// An unsupported, too large or fragmented file's reason in a sentence naming the file.
std::string notExported(const std::filesystem::path& file, const std::string& reason);
// The reason a layout allows no rewrite in place, as the refusal says it.
std::string notInPlace(const NotInPlace& reason);
// The refusal of a file at a save-as output's name: its folder, its name and what differs.
std::string notEarlierResult(const std::filesystem::path& output, CopyDifference difference);

}  // namespace kelvatta::error_texts
