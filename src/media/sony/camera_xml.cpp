#include "media/sony/camera_xml.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "media/base/xml_tokens.h"

namespace kelvatta {
namespace {

// An LtcChangeTable element: its start tag and those of the LtcChange entries within it.
struct ChangeTable {
    XmlToken table;
    std::vector<XmlToken> changes;
};

struct ChangeTables {
    std::vector<ChangeTable> tables;  // those read, in order
    // False where the text is malformed, a table opens within another (its entries would be
    // re-based by both tables' countings) or one is never closed.
    bool understood = true;
};

ChangeTables changeTables(std::string_view text)
{
    ChangeTables found;
    XmlTokenizer tokens(text);
    bool inTable = false;
    for (XmlToken token = tokens.next();; token = tokens.next()) {
        switch (token.kind) {
        case XmlToken::Kind::end: found.understood = !inTable; return found;
        case XmlToken::Kind::malformed: found.understood = false; return found;
        case XmlToken::Kind::startTag:
            if (token.name == "LtcChangeTable") {
                if (inTable) {
                    found.understood = false;
                    return found;
                }
                inTable = !token.empty;
                found.tables.push_back({std::move(token), {}});
            } else if (token.name == "LtcChange" && inTable) {
                found.tables.back().changes.push_back(std::move(token));
            }
            break;
        case XmlToken::Kind::endTag:
            if (token.name == "LtcChangeTable") inTable = false;
            break;
        case XmlToken::Kind::text:
        case XmlToken::Kind::cdata: break;
        }
    }
}

std::optional<PackedTimecode> parseHex(std::string_view digits)
{
    if (digits.size() != 8) return std::nullopt;
    PackedTimecode packed;
    for (size_t i = 0; i < 4; ++i) {
        unsigned byte = 0;
        auto r = std::from_chars(digits.data() + 2 * i, digits.data() + 2 * i + 2, byte, 16);
        if (r.ec != std::errc() || r.ptr != digits.data() + 2 * i + 2) return std::nullopt;
        packed.bytes[i] = static_cast<uint8_t>(byte);
    }
    return packed;
}

// Hex digits in the case the source used (Sony writes digits only; a letter can appear in flags).
void writeHex(const PackedTimecode& packed, bool upper, char* out)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (size_t i = 0; i < 4; ++i) {
        out[2 * i] = digits[packed.bytes[i] >> 4];
        out[2 * i + 1] = digits[packed.bytes[i] & 0x0F];
    }
}

bool hasLowerHex(std::string_view s)
{
    for (char c : s)
        if (c >= 'a' && c <= 'f') return true;
    return false;
}

std::optional<uint32_t> parseRate(const XmlAttribute* attribute)
{
    if (!attribute) return std::nullopt;
    uint32_t rate = 0;
    const std::string_view v = attribute->value;
    auto r = std::from_chars(v.data(), v.data() + v.size(), rate);
    if (r.ec != std::errc() || r.ptr != v.data() + v.size()) return std::nullopt;
    return rate;
}

// Re-bases table; its values are rewritten into out, each changed one listed in edits. False when
// the table is not understood.
bool rebaseTable(const ChangeTable& table, const Timecode& start, std::string& out, std::vector<TextEdit>& edits,
                 TimecodeCounting& counting, std::optional<StartRefusal>& refusal)
{
    const auto rate = parseRate(table.table.attribute("tcFps"));
    const XmlAttribute* halfStep = table.table.attribute("halfStep");
    if (!rate) return false;
    counting.framesPerSecond = *rate;
    counting.halfStep = halfStep && halfStep->value == "true";

    struct Entry {
        const XmlAttribute* value;
        PackedTimecode packed;
    };
    std::vector<Entry> entries;
    for (const XmlToken& tag : table.changes) {
        const XmlAttribute* value = tag.attribute("value");
        if (!value) return false;
        auto packed = parseHex(value->value);
        if (!packed) return false;
        entries.push_back({value, *packed});
    }
    if (entries.empty()) return false;
    counting.dropFrame = entries.front().packed.dropFrame();
    const auto first = entries.front().packed.unpack(counting.halfStep);
    if (!first) return false;
    if (auto why = counting.refusal(start); why && counting.valid()) {
        refusal = why;
        return false;
    }
    const auto rebase = TimecodeRebase::make(counting, *first, TimecodeValue{start, false});
    if (!rebase) return false;
    std::vector<TextEdit> rebased;
    for (const Entry& entry : entries) {
        const auto value = entry.packed.unpack(counting.halfStep);
        const auto moved = value ? (*rebase)(*value) : std::nullopt;
        if (!moved) return false;
        char digits[8];
        writeHex(entry.packed.repacked(*moved, counting.halfStep), !hasLowerHex(entry.value->value), digits);
        const std::string_view now(digits, sizeof digits);
        if (now != entry.value->value)
            rebased.push_back({entry.value->valueAt, std::string(entry.value->value), std::string(now)});
    }
    for (TextEdit& edit : rebased) {
        std::copy(edit.rebased.begin(), edit.rebased.end(), out.begin() + static_cast<std::ptrdiff_t>(edit.offset));
        edits.push_back(std::move(edit));
    }
    return true;
}

}  // namespace

std::optional<CameraXmlFirst> cameraXmlFirst(std::string_view text)
{
    // What can be read of the first table, as far as the text can be read.
    const ChangeTables found = changeTables(text);
    if (found.tables.empty() || found.tables.front().changes.empty()) return std::nullopt;
    const ChangeTable& table = found.tables.front();
    const XmlAttribute* value = table.changes.front().attribute("value");
    const auto packed = value ? parseHex(value->value) : std::nullopt;
    const XmlAttribute* halfStep = table.table.attribute("halfStep");
    CameraXmlFirst first;
    first.counting.halfStep = halfStep && halfStep->value == "true";
    first.counting.framesPerSecond = parseRate(table.table.attribute("tcFps")).value_or(0);
    const auto start = packed ? packed->unpack(first.counting.halfStep) : std::nullopt;
    if (!start) return std::nullopt;
    first.counting.dropFrame = packed->dropFrame();
    first.value = *start;
    return first;
}

std::optional<Timecode> cameraXmlStart(std::string_view text)
{
    const auto first = cameraXmlFirst(text);
    if (!first) return std::nullopt;
    return first->value.time;
}

std::optional<RebasedCameraXml> rebaseCameraXml(std::string_view text, const Timecode& start,
                                                std::optional<StartRefusal>* refusal)
{
    std::optional<StartRefusal> why;
    if (text.size() > kMaxCameraXmlSize) return std::nullopt;
    RebasedCameraXml result;
    result.text = std::string(text);
    const ChangeTables found = changeTables(text);
    if (!found.understood) return std::nullopt;
    bool any = false;
    for (const ChangeTable& table : found.tables) {
        if (table.table.empty) continue;
        TimecodeCounting counting;
        if (!rebaseTable(table, start, result.text, result.edits, counting, why)) {
            if (refusal) *refusal = why;
            return std::nullopt;
        }
        if (!any) result.counting = counting;
        any = true;
    }
    if (!any) return std::nullopt;
    result.changed = result.text != text;
    return result;
}

}  // namespace kelvatta
