#include "media/general/general_moov.h"

#include <optional>

#include "media/boxes/box_reader.h"
#include "media/files/fd_source.h"
#include "media/base/media_error.h"
#include "media/general/general_texts.h"
#include "platform/checked.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

// Where a tmcd sample entry's timescale lies from the entry's start: after its box header, 6 bytes
// reserved, the data reference index (2), 4 bytes reserved and the flags (4). The frame duration
// and the number of frames follow.
constexpr uint64_t kTimecodeRateAt = 8 + 6 + 2 + 4 + 4;
constexpr uint64_t kTimecodeRateSize = 4 + 4 + 1;

// ISO 639-2 "eng", packed as QuickTime user data text gives its language (as phones write ©xyz).
constexpr uint16_t kEnglish = 0x15C7;

Error notAsWritten(const std::filesystem::path& output)
{
    return exportError(ExportErrorCode::verifyFailed, general_texts::notAsWritten(output));
}

// The moov's own reading of itself: damage in what the muxer wrote means it is not as written.
template <typename T>
ErrorOr<T> asWritten(ErrorOr<T> read, const std::filesystem::path& output)
{
    if (read.isError() && read.error().domain == kExportErrorDomain) return notAsWritten(output);
    return read;
}

ErrorOr<std::optional<Box>> child(ByteSpan moov, const Box& parent, uint32_t type)
{
    return uniqueChild(KV_TRY(childBoxes(moov, parent)), type);
}

// The tmcd sample entry of a timecode track, nothing for a track of another kind.
ErrorOr<std::optional<Box>> timecodeEntry(ByteSpan moov, const Box& trak)
{
    const auto none = std::optional<Box>();
    const auto mdia = KV_TRY(child(moov, trak, fourcc("mdia")));
    if (!mdia) return none;
    const auto hdlr = KV_TRY(child(moov, *mdia, fourcc("hdlr")));
    if (!hdlr) return none;
    FieldReader handler(KV_TRY(readFullBox(moov, *hdlr, 0)).body);
    handler.skip(4);  // the component type
    if (handler.u32() != fourcc("tmcd") || !handler.ok()) return none;
    const auto minf = KV_TRY(child(moov, *mdia, fourcc("minf")));
    const auto stbl = minf ? KV_TRY(child(moov, *minf, fourcc("stbl"))) : none;
    const auto stsd = stbl ? KV_TRY(child(moov, *stbl, fourcc("stsd"))) : none;
    if (!stsd) return damaged(Damage::missingBox, general_texts::timecodeTrackWithoutStsd());
    const auto entries = KV_TRY(boxesBetween(moov, stsd->payloadOffset() + 8, stsd->end()));
    if (entries.size() != 1 || entries[0].type != fourcc("tmcd") ||
        entries[0].size < kTimecodeRateAt + kTimecodeRateSize)
        return damaged(Damage::boxTooShort, general_texts::timecodeDescriptionIncomplete());
    return std::optional<Box>(entries[0]);
}

// Where the one sample of a timecode track lies in the file: its chunk table's first entry.
ErrorOr<std::optional<uint64_t>> timecodeSampleAt(ByteSpan moov, const Box& trak)
{
    const auto none = std::optional<uint64_t>();
    const auto mdia = KV_TRY(child(moov, trak, fourcc("mdia")));
    const auto minf = mdia ? KV_TRY(child(moov, *mdia, fourcc("minf"))) : std::optional<Box>();
    const auto stbl = minf ? KV_TRY(child(moov, *minf, fourcc("stbl"))) : std::optional<Box>();
    if (!stbl) return none;
    for (const Box& table : KV_TRY(childBoxes(moov, *stbl))) {
        const bool wide = table.type == fourcc("co64");
        if (!wide && table.type != fourcc("stco")) continue;
        FieldReader entries(KV_TRY(readFullBox(moov, table, 0)).body);
        if (entries.u32() == 0) return none;
        const uint64_t offset = wide ? entries.u64() : entries.u32();
        if (!entries.ok()) return none;
        return std::optional<uint64_t>(offset);
    }
    return none;
}

ErrorOr<void> writeAt(int fd, ByteSpan bytes, uint64_t offset, const std::filesystem::path& output)
{
    return onFile(sys::writeAt(fd, bytes.data(), bytes.size(), offset), FileAction::write, output);
}

ErrorOr<void> writeSize(int fd, uint64_t size, uint64_t offset, const std::filesystem::path& output)
{
    uint8_t field[4];
    storeU32(field, static_cast<uint32_t>(size));
    return writeAt(fd, field, offset, output);
}

// The items in the short form of QuickTime user data text: the text's length, its language, the text.
Bytes userDataItems(const std::vector<UserDataText>& texts)
{
    Bytes items;
    ByteWriter w(items);
    for (const UserDataText& text : texts) {
        w.open(text.type);
        w.u16(static_cast<uint16_t>(text.text.size()));
        w.u16(kEnglish);
        w.text(text.text);
        w.close();
    }
    return items;
}

}  // namespace

ErrorOr<uint64_t> changeMuxedMoov(int fd, uint64_t size, const MuxedMoovChanges& changes,
                                  const std::filesystem::path& output)
{
    FdSource file(fd, size, output);
    const auto top = KV_TRY(asWritten(scanTopLevel(file), output));
    if (top.empty() || top.back().type != fourcc("moov") || top.back().end() != size || top.back().headerSize != 8)
        return notAsWritten(output);
    const Box& moov = top.back();
    const Bytes bytes = KV_TRY(asWritten(readBox(file, moov), output));
    Box local = moov;
    local.offset = 0;
    const auto children = KV_TRY(asWritten(childBoxes(bytes, local), output));

    size_t timecodeTracks = 0;
    for (const Box& trak : children) {
        if (trak.type != fourcc("trak")) continue;
        const auto entry = KV_TRY(asWritten(timecodeEntry(bytes, trak), output));
        if (!entry) continue;
        if (timecodeTracks >= changes.timecodeRates.size()) return notAsWritten(output);
        const TimecodeRate& rate = changes.timecodeRates[timecodeTracks++];
        uint8_t fields[kTimecodeRateSize];
        storeU32(fields, rate.timescale);
        storeU32(fields + 4, rate.frameDuration);
        fields[8] = rate.frames;
        KV_TRY(writeAt(fd, fields, moov.offset + entry->offset + kTimecodeRateAt, output));
        if (changes.timecodeFrames.empty()) continue;
        // The sample lies in the media data the muxer wrote before the moov.
        const auto sampleAt = KV_TRY(asWritten(timecodeSampleAt(bytes, trak), output));
        const auto sampleEnd = sampleAt ? checkedAdd<uint64_t>(*sampleAt, 4) : std::nullopt;
        if (!sampleEnd || *sampleEnd > moov.offset) return notAsWritten(output);
        if (timecodeTracks > changes.timecodeFrames.size()) return notAsWritten(output);
        uint8_t frame[4];
        storeU32(frame, changes.timecodeFrames[timecodeTracks - 1]);
        KV_TRY(writeAt(fd, frame, *sampleAt, output));
    }
    if (timecodeTracks != changes.timecodeRates.size() ||
        (!changes.timecodeFrames.empty() && changes.timecodeFrames.size() != timecodeTracks))
        return notAsWritten(output);
    if (changes.texts.empty() && changes.meta.empty()) return size;

    // The user data ends the moov, which ends the file: the items are appended to both, and the meta
    // after them to the moov.
    if (children.empty() || children.back().type != fourcc("udta") || children.back().end() != local.end() ||
        children.back().headerSize != 8)
        return notAsWritten(output);
    const Box& udta = children.back();
    for (const UserDataText& text : changes.texts)
        if (text.text.size() > UINT16_MAX) return notAsWritten(output);
    Bytes appended = userDataItems(changes.texts);
    const auto grownUdta = checkedAdd<uint64_t>(udta.size, appended.size());
    appended.insert(appended.end(), changes.meta.begin(), changes.meta.end());
    const auto grownMoov = checkedAdd<uint64_t>(moov.size, appended.size());
    const auto grownFile = checkedAdd<uint64_t>(size, appended.size());
    if (!grownMoov || *grownMoov > UINT32_MAX || !grownUdta || !grownFile) return notAsWritten(output);
    KV_TRY(writeAt(fd, appended, size, output));
    KV_TRY(writeSize(fd, *grownUdta, moov.offset + udta.offset, output));
    KV_TRY(writeSize(fd, *grownMoov, moov.offset, output));
    return *grownFile;
}

}  // namespace kelvatta
