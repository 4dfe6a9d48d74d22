#include "media/boxes/box_probe.h"

#include "media/base/media_error.h"
#include "media/boxes/box_texts.h"

namespace kelvatta {
namespace {

// Reads and parses the moov of a box file; nothing when the movie is fragmented.
ErrorOr<std::optional<Movie>> readMovie(ByteSource& source, const Box& moov)
{
    if (moov.size > kMaxMoovSize) {
        return tooLarge(box_texts::moovTooLarge(moov.size, kMaxMoovSize));
    }
    auto movie = parseMovie(KV_TRY(readBox(source, moov)));
    if (movie.isError()) {
        if (isExportError(movie.error(), ExportErrorCode::fragmented)) return std::optional<Movie>();
        return movie.releaseError();
    }
    return std::optional<Movie>(movie.releaseValue());
}

}  // namespace

ErrorOr<std::optional<BoxContent>> probeBoxContent(ByteSource& source)
{
    uint8_t first[8];
    if (KV_TRY(source.readAt(first, sizeof first, 0)) < sizeof first || !looksLikeBoxFile(first))
        return std::optional<BoxContent>();

    BoxContent content;
    std::optional<Box> moov;
    content.topLevel = KV_TRY(scanTopLevel(source));
    for (const Box& box : content.topLevel) {
        if (box.type == fourcc("moof")) return std::optional<BoxContent>();
        if (box.type != fourcc("moov")) continue;
        if (moov) return std::optional<BoxContent>();
        moov = box;
    }
    if (!moov) return damaged(Damage::missingBox, box_texts::missingMoov());
    auto movie = KV_TRY(readMovie(source, *moov));
    if (!movie) return std::optional<BoxContent>();
    content.movie = std::move(*movie);
    return std::optional<BoxContent>(std::move(content));
}

}  // namespace kelvatta
