#include "moov_fuzz_entry.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "media/boxes/box_probe.h"
#include "media/sony/camera_xml.h"
#include "media/plan/moov_rewrite.h"
#include "media/plan/output_check.h"
#include "media/boxes/quicktime_meta.h"
#include "media/boxes/start_timecodes.h"
#include "media/inplace/undo_record.h"

namespace kelvatta {
namespace {

// Outputs larger than this are planned but not assembled (inputs are small; padding is not).
constexpr uint64_t kMaxAssembled = 64ull << 20;

[[noreturn]] void fault(const char* what, const Error& error)
{
    std::fprintf(stderr, "box path fault: %s: %s\n", what, error.localizedDescription.c_str());
    std::abort();
}

// The text with found's edits written over it; aborts unless each one, in order and apart from the
// others, replaces the value at its offset with one of the same length that differs only in digits.
std::string withEdits(std::string_view text, const TextTimecodes& found)
{
    std::string edited(text);
    size_t free = 0;  // where the next edit may start
    for (const TextEdit& e : found.edits) {
        if (e.offset < free || e.offset > text.size() || e.original.size() > text.size() - e.offset ||
            text.substr(e.offset, e.original.size()) != e.original || e.rebased.size() != e.original.size())
            fault("text timecodes", Error{"", 0, "an edit does not replace its value in place"});
        for (size_t i = 0; i < e.rebased.size(); ++i) {
            if (e.rebased[i] != e.original[i] && (!std::isdigit(static_cast<unsigned char>(e.original[i])) ||
                                                  !std::isdigit(static_cast<unsigned char>(e.rebased[i]))))
                fault("text timecodes", Error{"", 0, "a character other than a digit changed"});
        }
        edited.replace(e.offset, e.rebased.size(), e.rebased);
        free = e.offset + e.original.size();
    }
    return edited;
}

// Re-basing what is already re-based finds the same values, now at start, and names the same ones.
void checkAgain(const TextTimecodes& first, const TextTimecodes& again)
{
    bool same = again.leftAlone == first.leftAlone && again.edits.size() == first.edits.size();
    for (size_t i = 0; same && i < again.edits.size(); ++i)
        same = again.edits[i].offset == first.edits[i].offset && again.edits[i].original == first.edits[i].rebased &&
               again.edits[i].rebased == again.edits[i].original;
    if (!same) fault("text timecodes", Error{"", 0, "a second re-basing found something else"});
}

}  // namespace

void fuzzBoxPath(const uint8_t* data, size_t size)
{
    MemorySource source(ByteSpan(data, size));
    // The marker and undo record of a rewrite in place, read from what may be a hostile file.
    if (auto boxes = scanTopLevel(source); !boxes.isError()) (void)findInPlaceTrace(source, *boxes);
    // The export's own decision: refused, left to the general path, or taken by the box path.
    auto probed = probeBoxContent(source);
    if (probed.isError() || !*probed) return;
    const BoxContent& content = **probed;
    auto plan = planOutput({content.movie, content.topLevel, source}, {MetadataItem::timecode(StartTimecode{})});
    if (plan.isError() || plan->fileSize > kMaxAssembled) return;

    Bytes output(plan->fileSize);
    for (const OutputWrite& w : plan->writes) std::memcpy(&output[w.offset], w.bytes.data(), w.bytes.size());
    for (const DataPlacement& d : plan->data)
        std::memcpy(&output[d.outputOffset], &data[d.source.offset], d.source.size);
    for (const Patch& p : plan->patches) std::memcpy(&output[p.offset], p.bytes.data(), p.size);
    MemorySource written(output);
    if (auto checked = checkOutput(written, std::move(*plan)); checked.isError())
        fault("output check", checked.error());
}

void fuzzCameraXml(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Timecode zero;
    // The same bytes as an XMP packet and as a udta payload.
    const TextTimecodes xmp = rebaseXmpTimecodes(text, zero);
    checkAgain(xmp, rebaseXmpTimecodes(withEdits(text, xmp), zero));
    const TextTimecodes userData = rebaseUserDataTimecode(ByteSpan(data, size), zero);
    const std::string editedUserData = withEdits(text, userData);
    checkAgain(userData,
               rebaseUserDataTimecode(
                   ByteSpan(reinterpret_cast<const uint8_t*>(editedUserData.data()), editedUserData.size()), zero));
    const auto rebased = rebaseCameraXml(text, zero);
    if (!rebased) return;
    if (rebased->text.size() != text.size()) fault("camera XML", Error{"", 0, "the text changed its length"});
    for (size_t i = 0; i < text.size(); ++i) {
        if (rebased->text[i] != text[i] && (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
                                            !std::isxdigit(static_cast<unsigned char>(rebased->text[i]))))
            fault("camera XML", Error{"", 0, "a character other than a hex digit changed"});
    }
    // Re-basing what is already re-based changes nothing.
    const auto again = rebaseCameraXml(rebased->text, zero);
    if (!again || again->changed) fault("camera XML", Error{"", 0, "a second re-basing changed the text"});
}

}  // namespace kelvatta
