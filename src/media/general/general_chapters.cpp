#include "media/general/general_chapters.h"

#include <algorithm>

#include "media/base/media_error.h"
#include "media/general/general_timing.h"

namespace kelvatta {

bool chapterKept(const AVFormatContext* input, const AVChapter* chapter)
{
    const int64_t start = startIn(input, chapter->time_base);
    return chapter->start >= start || chapter->end > start;
}

ErrorOr<void> addChapters(AVFormatContext* output, const AVFormatContext* input)
{
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        const AVChapter* in = input->chapters[i];
        if (!chapterKept(input, in)) continue;
        const int64_t start = startIn(input, in->time_base);
        auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!out) return outOfMemory();
        out->id = in->id;
        out->time_base = in->time_base;
        // start is never INT64_MIN (av_rescale's overflow value); a missing time becomes INT64_MIN here.
        out->start = std::max<int64_t>(0, shifted(in->start, -start).value_or(0));
        out->end = std::max(out->start, shifted(in->end, -start).value_or(out->start));
        auto* grown = static_cast<AVChapter**>(
            av_realloc_array(output->chapters, size_t{output->nb_chapters} + 1, sizeof(AVChapter*)));
        if (grown) output->chapters = grown;
        if (!grown || av_dict_copy(&out->metadata, in->metadata, 0) < 0) {
            av_dict_free(&out->metadata);
            av_free(out);
            return outOfMemory();
        }
        output->chapters[output->nb_chapters++] = out;
    }
    return {};
}

}  // namespace kelvatta
