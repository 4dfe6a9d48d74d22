#include "media/output_check.h"

#include <algorithm>
#include <array>

#include "media/media_error.h"

namespace kelvatta {
namespace {

Error mismatch(std::string what) { return exportError(ExportErrorCode::verifyFailed, std::move(what)); }

}  // namespace

ErrorOr<void> checkOutput(ByteSource& output, const OutputPlan& plan)
{
    if (output.size() != plan.fileSize) return mismatch("文件大小与预期不符");
    for (const OutputWrite& write : plan.writes) {
        Bytes back(write.bytes.size());
        if (KV_TRY(output.readAt(back.data(), back.size(), write.offset)) != back.size() || back != write.bytes)
            return mismatch("写入的盒子与预期不符");
    }
    for (const Patch& patch : plan.patches) {
        std::array<uint8_t, 8> back{};
        if (KV_TRY(output.readAt(back.data(), patch.size, patch.offset)) != patch.size ||
            !std::equal(back.begin(), back.begin() + patch.size, patch.bytes.begin()))
            return mismatch("重新计算的时间码与预期不符");
    }

    const auto boxes = KV_TRY(scanTopLevel(output));
    std::vector<DataPlacement> data;  // the output's own mdats, mapped onto themselves
    std::optional<Box> moovBox;
    for (const Box& box : boxes) {
        if (box.type == fourcc("mdat")) data.push_back({box, box.offset});
        if (box.type != fourcc("moov")) continue;
        if (moovBox) return mismatch("有多个“moov”盒子");
        moovBox = box;
    }
    if (!moovBox || moovBox->offset != plan.moovOffset || moovBox->size != plan.moovSize)
        return mismatch("“moov”盒子与预期不符");
    const Movie movie = KV_TRY(parseMovie(KV_TRY(readBox(output, *moovBox))));

    const DataMap map(data);
    for (const Track& track : movie.tracks) {
        for (uint64_t offset : track.chunks.offsets) KV_TRY(map.map(offset));
        if (!plan.timecode || !track.isTimecode()) continue;
        const auto samples = KV_TRY(locateSamples(movie, track, kMaxTimecodeSamples));
        if (samples.empty()) continue;  // a timecode track without samples says nothing
        uint8_t frame[4];
        if (KV_TRY(output.readAt(frame, 4, KV_TRY(map.map(samples[0].offset, 4)))) != 4 ||
            loadU32(frame) != static_cast<uint32_t>(plan.timecode->frameNumber(track.timecode->frames)))
            return mismatch("时间码轨道的起始值与预期不符");
    }
    return {};
}

}  // namespace kelvatta
