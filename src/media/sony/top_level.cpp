#include "media/sony/top_level.h"

#include "media/sony/camera_xml.h"
#include "media/base/media_error.h"
#include "media/boxes/box_texts.h"
#include "media/boxes/quicktime_meta.h"
#include "platform/checked.h"

namespace kelvatta {
namespace {

constexpr uint32_t kNonRealTimeMetaHandler = fourcc("nrtm");

// A top-level meta box that may hold the camera's XML: the text and, around it, the boxes that carry it.
constexpr uint64_t kMaxCameraXmlBoxSize = kMaxCameraXmlSize + 4096;

bool isPadding(uint32_t type) { return type == fourcc("free") || type == fourcc("skip") || type == fourcc("wide"); }

struct CameraXml {
    Bytes box;  // a top-level meta: full box, hdlr nrtm, xml (re-based)
    std::optional<TimecodeCounting> counting;
    uint64_t textAt = 0;  // where the XML's text lies within the source's buffer
    uint64_t textSize = 0;
    std::vector<TextEdit> edits;  // at their offsets in the XML's text
};

// meta (box within buffer) as a top-level box with its XML re-based, when it holds the camera's
// XML; nothing for any other meta.
ErrorOr<std::optional<CameraXml>> cameraXml(ByteSpan buffer, const Box& box, const std::optional<Timecode>& start)
{
    if (box.size > kMaxCameraXmlBoxSize) return std::optional<CameraXml>();
    const auto layout = metaLayout(buffer, box);
    if (!layout) return std::optional<CameraXml>();
    const auto children = KV_TRY(boxesBetween(buffer, box.offset + layout->childrenAt, box.end()));
    auto hdlr = KV_TRY(uniqueChild(children, fourcc("hdlr")));
    auto xml = KV_TRY(uniqueChild(children, fourcc("xml ")));
    if (!hdlr || !xml) return std::optional<CameraXml>();
    const auto handler = KV_TRY(readFullBox(buffer, *hdlr, 0));
    if (handler.body.size() < 8 || loadU32(&handler.body[4]) != kNonRealTimeMetaHandler)
        return std::optional<CameraXml>();

    CameraXml out;
    ByteWriter w(out.box);
    if (layout->full) {
        w.open(fourcc("meta"));
        w.bytes(buffer.subspan(box.payloadOffset(), 4));  // version and flags as they were
    } else {
        w.openFull(fourcc("meta"), 0, 0);  // at the top level a meta is a full box
    }
    const size_t childrenAt = out.box.size();
    w.bytes(buffer.subspan(box.offset + layout->childrenAt, box.end() - box.offset - layout->childrenAt));
    w.close();
    const auto text = KV_TRY(readFullBox(buffer, *xml, 0)).body;  // version and flags, then the text
    out.textAt = xml->payloadOffset() + 4;
    out.textSize = text.size();
    if (!start) return std::optional<CameraXml>(std::move(out));

    std::optional<StartRefusal> refusal;
    const auto rebased =
        rebaseCameraXml(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), *start, &refusal);
    if (refusal) return startRefused(*start, *refusal);
    if (!rebased) return std::optional<CameraXml>(std::move(out));
    out.counting = rebased->counting;
    out.edits = rebased->edits;
    const uint64_t textAt = childrenAt + (xml->payloadOffset() + 4 - (box.offset + layout->childrenAt));
    std::copy(rebased->text.begin(), rebased->text.end(), out.box.begin() + static_cast<std::ptrdiff_t>(textAt));
    return std::optional<CameraXml>(std::move(out));
}

// The uuid Adobe's tools give an XMP packet at the top level of a file.
constexpr uint8_t kXmpUuid[16] = {0xBE, 0x7A, 0xCF, 0xCB, 0x97, 0xA9, 0x42, 0xE8,
                                  0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC};

// Whether a uuid box (bytes from its start; its header holds its 16-byte user type last) is XMP.
bool isXmpUuid(ByteSpan head, const Box& box)
{
    return box.type == fourcc("uuid") && box.headerSize >= sizeof kXmpUuid && head.size() >= box.headerSize &&
           std::equal(kXmpUuid, kXmpUuid + sizeof kXmpUuid,
                      head.begin() + static_cast<std::ptrdiff_t>(box.headerSize - sizeof kXmpUuid));
}

// The start timecodes of the XMP packet in bytes (the top-level uuid box box), re-based in bytes and
// listed where they lie in the source.
ErrorOr<void> rebaseTopLevelXmp(Bytes& bytes, const Box& box, const Timecode& start, TopLevelPlan& plan)
{
    const uint64_t textAt = box.headerSize;
    const auto text = ByteSpan(bytes).subspan(textAt);
    TextTimecodes found =
        rebaseXmpTimecodes(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), start);
    if (found.refusal) return startRefused(start, *found.refusal);
    for (TextEdit& edit : found.edits) {
        std::copy(edit.rebased.begin(), edit.rebased.end(),
                  bytes.begin() + static_cast<std::ptrdiff_t>(textAt + edit.offset));
        edit.offset += box.offset + textAt;
        plan.textEdits.push_back(std::move(edit));
    }
    plan.timecodesLeftAlone.insert(plan.timecodesLeftAlone.end(), found.leftAlone.begin(), found.leftAlone.end());
    return {};
}

void addCameraXml(TopLevelPlan& plan, CameraXml xml)
{
    if (!plan.xmlCounting) plan.xmlCounting = xml.counting;
    plan.cameraXml.push_back(std::move(xml.box));
}

}  // namespace

ErrorOr<std::optional<std::string>> cameraXmlTextOf(ByteSource& file, const std::vector<Box>& topLevel,
                                                    const Movie* movie)
{
    const auto textOf = [](ByteSpan bytes, const CameraXml& xml) {
        const ByteSpan text = bytes.subspan(xml.textAt, xml.textSize);
        return std::optional<std::string>(std::string(text.begin(), text.end()));
    };
    for (const Box& box : topLevel) {
        if (box.type != fourcc("meta") || box.size > kMaxCameraXmlBoxSize) continue;
        const Bytes bytes = KV_TRY(readBox(file, box));
        const auto xml = KV_TRY(cameraXml(bytes, Box{box.type, 0, box.size, box.headerSize}, std::nullopt));
        if (xml) return textOf(bytes, *xml);
    }
    for (const Box& meta : movie ? movie->metas : std::vector<Box>()) {
        if (auto xml = KV_TRY(cameraXml(movie->moov, meta, std::nullopt))) return textOf(movie->moov, *xml);
    }
    return std::optional<std::string>();
}

ErrorOr<std::optional<Timecode>> cameraXmlStartOf(ByteSource& file, const std::vector<Box>& topLevel)
{
    const auto text = KV_TRY(cameraXmlTextOf(file, topLevel));
    return text ? cameraXmlStart(*text) : std::optional<Timecode>();
}

bool keepsSourceFtyp(ByteSpan ftyp)
{
    // size, type, major brand, minor version, then compatible brands
    if (ftyp.size() < 16) return false;
    if (loadU32(&ftyp[8]) == fourcc("qt  ")) return true;
    if (loadU32(&ftyp[8]) != fourcc("XAVC")) return false;
    for (size_t at = 16; at + 4 <= ftyp.size(); at += 4)
        if (loadU32(&ftyp[at]) == fourcc("mp42")) return true;
    return false;
}

ErrorOr<TopLevelPlan> planTopLevel(const std::vector<Box>& topLevel, const Movie& movie, ByteSource& source,
                                   const std::optional<Timecode>& start)
{
    TopLevelPlan plan;
    bool ftypSeen = false;
    for (const Box& box : topLevel) {
        if (box.type == fourcc("moov") || isPadding(box.type)) continue;
        // The trailer is copied last, so that it ends the output as it ends the source.
        if (box.type == kTrailer) {
            plan.data.push_back(box);
            continue;
        }
        if (box.type == fourcc("mdat") || box.size > kMaxHeadBoxSize) {
            // Large boxes are copied, never read; the camera's XML is far smaller than this.
            if (box.type != fourcc("meta") || box.size > kMaxCameraXmlBoxSize) {
                plan.data.push_back(box);
                uint8_t head[32];
                const size_t headSize = std::min<size_t>(box.headerSize, sizeof head);
                if (start && box.type == fourcc("uuid") &&
                    KV_TRY(source.readAt(head, headSize, box.offset)) == headSize &&
                    isXmpUuid(ByteSpan(head, headSize), box))
                    plan.timecodesLeftAlone.push_back({UnreadTimecode::Kind::largeXmp});
                continue;
            }
        }
        Bytes bytes = KV_TRY(readBox(source, box));
        // A last box may say "to the end of the file" (size 0); written before others, it says its size.
        if (loadU32(bytes.data()) == 0) {
            const auto size = checkedCast<uint32_t>(box.size);
            if (!size) return tooLarge(box_texts::tooLarge(box.type));
            storeU32(bytes.data(), *size);
        }
        const Box local{box.type, 0, box.size, box.headerSize};
        if (box.type == fourcc("ftyp")) {
            if (!ftypSeen && keepsSourceFtyp(bytes)) plan.ftyp = bytes;
            ftypSeen = true;
            continue;
        }
        if (box.type == fourcc("meta")) {
            if (auto xml = KV_TRY(cameraXml(bytes, local, start))) {
                plan.xmlTexts.emplace_back(box.offset + xml->textAt, box.offset + xml->textAt + xml->textSize);
                for (TextEdit& edit : xml->edits) {
                    edit.offset += box.offset + xml->textAt;
                    plan.xmlEdits.push_back(std::move(edit));
                }
                addCameraXml(plan, std::move(*xml));
                continue;
            }
        }
        if (box.size > kMaxHeadBoxSize) {
            plan.data.push_back(box);
            continue;
        }
        if (isXmpUuid(bytes, box)) {
            plan.xmlTexts.emplace_back(box.payloadOffset(), box.end());
            if (start) KV_TRY(rebaseTopLevelXmp(bytes, box, *start, plan));
        }
        plan.leading.push_back(bytes);
    }
    // The XML some writers keep in moov/meta, where the output's own metadata item goes.
    for (const Box& meta : movie.metas) {
        if (auto xml = KV_TRY(cameraXml(movie.moov, meta, start))) {
            plan.xmlInMoov = true;
            plan.xmlMetasInMoov.push_back(meta.offset);
            addCameraXml(plan, std::move(*xml));
        }
    }
    return plan;
}

}  // namespace kelvatta
