#include "media/movie_metadata.h"

#include <algorithm>

#include "media/quicktime_meta.h"

namespace kelvatta {

ErrorOr<MovieMetadata> planMovieMetadata(const Movie& movie, const TopLevelPlan& top,
                                         const std::vector<MetadataItem>& items)
{
    MovieMetadata plan;
    bool merged = items.empty();
    for (const Box& meta : movie.metas) {
        if (std::ranges::find(top.xmlMetasInMoov, meta.offset) != top.xmlMetasInMoov.end()) {
            plan.rewritten[meta.offset] = Bytes();
            continue;
        }
        if (merged) continue;
        if (auto withItems = KV_TRY(mergeQuickTimeMeta(movie.moov, meta, items))) {
            plan.rewritten[meta.offset] = std::move(*withItems);
            merged = true;
        }
    }
    if (!merged) plan.added = KV_TRY(buildQuickTimeMeta(items));
    return plan;
}

}  // namespace kelvatta
