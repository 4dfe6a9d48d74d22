// The streams of the general path: which of a source's streams the MP4 output carries, how the
// texts name them, and what it must leave out.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <filesystem>
#include <string>
#include <vector>

#include "media/base/export_job.h"
#include "platform/error.h"

namespace kelvatta {

// The stream's codec as the texts name it: h264, or an unknown one by its tag (general_texts::unknownCodec).
std::string codecName(const AVCodecParameters* par);
// The refusal of a stream whose codec the output cannot take (general_texts::unsupportedCodec).
Error unsupportedCodecError(const std::filesystem::path& source, const AVStream* stream);

// Audio and video, cover pictures aside: what the output cannot do without.
bool mustCarry(const AVStream* stream);
// SubRip text (Matroska's usual subtitles), which the output carries as MPEG-4 timed text.
bool becomesTimedText(const AVCodecParameters* par);
// The codec a carried stream has in the output.
AVCodecID outputCodec(const AVCodecParameters* par);

// A stream the output cannot carry, as the texts name it (general_texts::lostStream).
std::string lostStream(const AVStream* stream);

// What the output leaves out of the source: in save-as, each is named in a line; where the output
// is to replace the source, the export is refused so that nothing is lost.
ErrorOr<void> leaveOut(const ExportJob& job, const std::vector<std::string>& lost);

// The indices of the source streams to copy, in source order. What is left out (a timecode track
// aside) goes through leaveOut, with the tags of copied streams that have no place in a track and
// chapters that end before the clip starts.
ErrorOr<std::vector<int>> carriedStreams(const AVFormatContext* input, const ExportJob& job);

}  // namespace kelvatta
