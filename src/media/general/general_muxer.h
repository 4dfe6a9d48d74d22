// The output of the general path: the MP4 muxer (or the mov muxer, brand mp42, where mp4 refuses a
// codec), its context, and each carried stream as the output describes it.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <filesystem>
#include <vector>

#include "media/general/general_tags.h"
#include "media/general/libav_io.h"
#include "platform/error.h"

namespace kelvatta {

// An output context for format writing to pb, without streams. Bit-exact: no encoder tag.
ErrorOr<OutputContext> makeOutputContext(const AVOutputFormat* format, AVIOContext* pb);

// The options the muxer writes with: the container tags where place says, brand mp42. False where
// one could not be stored (out of memory).
[[nodiscard]] bool setMuxerOptions(AvOptions& options, TagPlace place);

// Adds a copy of in to output: codec parameters, timing hints, display side data (rotation,
// HDR, stereo) and the tags with a place in a track. SubRip text becomes timed text.
ErrorOr<void> addStream(AVFormatContext* output, const AVStream* in);

// The mp4 muxer, or the mov muxer (brand mp42) when mp4 refuses one of the streams, such as PCM
// audio; an error naming the codec when neither takes a stream.
ErrorOr<const AVOutputFormat*> chooseMuxer(const AVFormatContext* input, const std::vector<int>& streams,
                                           const std::filesystem::path& source);

}  // namespace kelvatta
