// What the general path changes in the moov the muxer wrote, before the output is checked: the rate
// its timecode tracks count at, which the muxer can only give in the video's own timescale (16000/533
// for 30 fps in a Matroska file's milliseconds), and user data items it does not write beside
// QuickTime metadata items (the location as ©xyz).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "media/base/bytes.h"
#include "media/boxes/timecode_track.h"
#include "platform/error.h"

namespace kelvatta {

// A QuickTime user data text item: ©xyz, ©swr ... and its text.
struct UserDataText {
    uint32_t type = 0;
    std::string text;
};

struct MuxedMoovChanges {
    std::vector<TimecodeRate> timecodeRates;  // one per timecode track, in the order of the tracks
    // The frame number each timecode track's one sample holds, counted at its rate (the muxer counted
    // it at the rate it was given before the frames were measured); none: as the muxer wrote them.
    std::vector<uint32_t> timecodeFrames;
    std::vector<UserDataText> texts;  // for the movie's user data
    Bytes meta;                       // a box for the movie after its user data (a meta of keys), or none
};

// Rewrites the moov at the end of the file fd (size bytes, as the mov muxer leaves it: moov last,
// its user data last in it) where it lies: each timecode track's sample description gets its rate
// (and its sample the frame number), the user data the texts, appended, and the moov the meta after
// it. Returns the file's new size. A moov laid out otherwise,
// another number of timecode tracks, or a text longer than an item holds, is an error of kind
// verifyFailed naming output.
ErrorOr<uint64_t> changeMuxedMoov(int fd, uint64_t size, const MuxedMoovChanges& changes,
                                  const std::filesystem::path& output);

}  // namespace kelvatta
