// The sentences of the rewrite in place and its restore: why a clip does not hold what its record
// says, the refusals of a clip midway or locked out, what a run asks the user to run, and the
// advice of a replace short of room. Made here only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "media/inplace/clip_state.h"
#include "media/inplace/in_place_proof.h"

namespace kelvatta::in_place_texts {

// The refusal of a clip at odds with its record, its reason given.
std::string recordMismatch(const std::filesystem::path& clip, const RecordMismatch& why);

// What finishes a rewrite in place cut short, or a restore: the command to run.
std::string whatFinishes(bool restoring);
// What finishes a clip an error left midway, after that error's sentence.
std::string midway(const std::filesystem::path& clip, bool restoring);
// What a state of an earlier rewrite asks the user to run; empty for a state that asks nothing.
std::string stateAdvice(InPlaceState state, const std::filesystem::path& clip);
// A state's refusal (stateAdvice) by a run that may not set the clip's times, or may not write it.
std::string notOwnerRefusal(const std::string& advice);
std::string nothingDone(const std::string& refusal);
// After a refusal of --in-place: how to rewrite the clip all the same.
std::string withoutInPlace();
std::string otherStart(const std::filesystem::path& clip, const std::string& recorded, const std::string& asked);

std::string timecodesReadBack();
std::string appendedReadBack();
std::string restoredDiffers(const std::filesystem::path& clip);
std::string recordShort();  // the clip shorter than its record
std::string recordIncomplete();
std::string recordInvalid();
std::string markerMoved();
std::string restoreWithoutLocks(const std::filesystem::path& clip);
std::string restoreNotOwner(const std::filesystem::path& clip);
std::string noSpaceForBlocks(const std::filesystem::path& clip, size_t blocks, uint64_t needed);
// A replace short of room: what it needs and has (amounts as "1.2 GB"), and the rewrite in place
// where the clip allows one.
std::string replaceSpace(const std::string& needed, const std::string& available, bool inPlaceAllowed);

}  // namespace kelvatta::in_place_texts
