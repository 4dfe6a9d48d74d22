// A save-as run finds a file at its output's name: the copy an earlier run made of the same clip is
// kept (a card processed again after more was shot), anything else is refused as before.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "media/base/export_job.h"
#include "media/boxes/moov_model.h"
#include "media/files/locked_clip.h"

namespace kelvatta {

// How long a track is: its kind, its samples and their time.
struct TrackLength {
    uint32_t handler = 0;
    uint64_t samples = 0;
    uint64_t duration = 0;  // in timescale
    uint32_t timescale = 0;

    friend bool operator==(const TrackLength&, const TrackLength&) = default;
};
std::vector<TrackLength> trackLengths(const Movie& movie);

// Whether the tracks of a copy (a timecode track after them allowed) are those of the clip, in order
// and as long: the box path's test, where the clip's tracks are known as the copy's are.
bool sameTracks(const std::vector<TrackLength>& clip, const std::vector<TrackLength>& copy);

// Whether the regular file at output (in a real folder where job.realOutputFolder says so) is the
// result of the clip: a box file whose every place reads the start of job.metadata with its items,
// with the clip's modification time, whose tracks the clip's are as tracksMatch says. Read only;
// false for whatever is not.
ErrorOr<bool> isEarlierResult(const ExportJob& job, const std::filesystem::path& output, const LockedClip& clip,
                              const std::function<bool(const std::vector<TrackLength>&)>& tracksMatch);

}  // namespace kelvatta
