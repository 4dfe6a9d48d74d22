// The chapters of the general path: those that mark a point of the output, moved as its streams are.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include "platform/error.h"

namespace kelvatta {

// Whether the chapter marks a point of the output: one that ends before the clip starts does not.
bool chapterKept(const AVFormatContext* input, const AVChapter* chapter);

// The source's chapters that mark a point of the output, moved as its streams are (the muxer writes
// their start times and titles).
ErrorOr<void> addChapters(AVFormatContext* output, const AVFormatContext* input);

}  // namespace kelvatta
