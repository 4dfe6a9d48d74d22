// SubRip subtitles as MPEG-4 timed text: the stream's description, and each cue as a sample.
#pragma once

extern "C" {
#include <libavcodec/codec_par.h>
}

#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace kelvatta {

// Makes the parameters of a SubRip stream those of timed text: codec, 'tx3g' tag, and a sample
// description of white 16-point Arial, centred at the bottom, on no background (FFmpeg's defaults,
// which its tools read back as unstyled text).
ErrorOr<void> setTimedText(AVCodecParameters* par);

// A SubRip cue as a timed text sample: the text's length (16 bits, big-endian), then the UTF-8 text
// with its markup dropped (<i>, <font color="...">, {\an8}: timed text styles are not made from it)
// and its line breaks as LF. Nothing when the text is longer than a sample can say.
std::optional<std::string> timedTextSample(std::string_view cue);

}  // namespace kelvatta
