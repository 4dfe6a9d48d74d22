#include "media/plan/output_check.h"

#include <algorithm>
#include <array>

#include "media/base/media_error.h"
#include "media/plan/plan_texts.h"
#include "platform/checked.h"

namespace kelvatta {
namespace {

Error mismatch(OutputMismatch what)
{
    return exportError(ExportErrorCode::verifyFailed, plan_texts::outputMismatch(what));
}

}  // namespace

ErrorOr<bool> readsBackAs(ByteSource& file, uint64_t offset, ByteSpan bytes)
{
    constexpr size_t kPiece = 1u << 20;
    Bytes back(std::min(kPiece, bytes.size()));
    for (size_t at = 0; at < bytes.size(); at += kPiece) {
        const ByteSpan piece = bytes.subspan(at, std::min(kPiece, bytes.size() - at));
        const auto from = checkedAdd<uint64_t>(offset, at);
        if (!from || KV_TRY(file.readAt(back.data(), piece.size(), *from)) != piece.size() ||
            !std::equal(piece.begin(), piece.end(), back.begin()))
            return false;
    }
    return true;
}

ErrorOr<void> checkOutput(ByteSource& output, OutputPlan plan)
{
    if (output.size() != plan.fileSize) return mismatch(OutputMismatch::size);
    for (const OutputWrite& write : plan.writes) {
        if (!KV_TRY(readsBackAs(output, write.offset, write.bytes))) return mismatch(OutputMismatch::writtenBoxes);
    }
    for (const Patch& patch : plan.patches) {
        std::array<uint8_t, 8> back{};
        if (KV_TRY(output.readAt(back.data(), patch.size, patch.offset)) != patch.size ||
            !std::equal(back.begin(), back.begin() + patch.size, patch.bytes.begin()))
            return mismatch(OutputMismatch::timecodes);
    }

    const auto boxes = KV_TRY(scanTopLevel(output));
    std::vector<DataPlacement> data;  // the output's own mdats, mapped onto themselves
    std::optional<Box> moovBox;
    for (const Box& box : boxes) {
        if (box.type == fourcc("mdat")) data.push_back({box, box.offset});
        if (box.type != fourcc("moov")) continue;
        if (moovBox) return mismatch(OutputMismatch::severalMoov);
        moovBox = box;
    }
    if (!moovBox || moovBox->offset != plan.moovOffset || moovBox->size != plan.moovSize || plan.writes.empty() ||
        plan.writes.front().offset != 0)
        return mismatch(OutputMismatch::moov);
    // The head, moov included, reads back as planned.
    const Movie movie = KV_TRY(parseMovieWithin(std::move(plan.writes.front().bytes), plan.moovOffset, plan.moovSize));

    const DataMap map(data);
    for (const Track& track : movie.tracks) {
        for (uint64_t offset : track.chunks.offsets) KV_TRY(map.map(offset));
        if (!plan.timecode || !track.isTimecode()) continue;
        const auto samples = KV_TRY(locateSamples(movie, track, kMaxTimecodeSamples));
        if (samples.empty()) continue;  // a timecode track without samples says nothing
        // The start as the track counts it: its frame number, drop-frame numbers left out.
        const TimecodeCounting counting{track.timecode->rate.frames, (track.timecode->flags & kTimecodeDropFrame) != 0,
                                        false};
        const auto start = counting.valid() ? counting.sameFrame(plan.counting, {*plan.timecode, false})
                                            : std::optional<TimecodeValue>();
        const uint64_t expected =
            start ? *counting.position(*start) : plan.timecode->frameNumber(track.timecode->rate.frames);
        uint8_t frame[4];
        if (KV_TRY(output.readAt(frame, 4, KV_TRY(map.map(samples[0].offset, 4)))) != 4 ||
            loadU32(frame) != static_cast<uint32_t>(expected))
            return mismatch(OutputMismatch::trackStart);
    }
    return {};
}

}  // namespace kelvatta
