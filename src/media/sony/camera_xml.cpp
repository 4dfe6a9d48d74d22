#include "media/sony/camera_xml.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace kelvatta {
namespace {

struct Attribute {
    std::string_view name;
    size_t valueAt = 0;  // offset of the value in the whole text
    std::string_view value;
};

// A start tag: its name, attributes and where it ends (just past '>').
struct StartTag {
    std::string_view name;
    std::vector<Attribute> attributes;
    size_t end = 0;
    bool empty = false;  // <name .../>

    const Attribute* attribute(std::string_view n) const
    {
        for (const Attribute& a : attributes)
            if (a.name == n) return &a;
        return nullptr;
    }
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isNameChar(char c) { return !isSpace(c) && c != '=' && c != '>' && c != '/' && c != '<' && c != '"' && c != '\''; }

// Parses the start tag at text[at] == '<'. Nothing when it is not a well-formed start tag.
std::optional<StartTag> startTagAt(std::string_view text, size_t at)
{
    StartTag tag;
    size_t i = at + 1;
    const size_t nameAt = i;
    while (i < text.size() && isNameChar(text[i])) ++i;
    tag.name = text.substr(nameAt, i - nameAt);
    if (tag.name.empty()) return std::nullopt;
    for (;;) {
        while (i < text.size() && isSpace(text[i])) ++i;
        if (i >= text.size()) return std::nullopt;
        if (text[i] == '>') break;
        if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '>') {
            ++i;
            tag.empty = true;
            break;
        }
        const size_t attrAt = i;
        while (i < text.size() && isNameChar(text[i])) ++i;
        Attribute a;
        a.name = text.substr(attrAt, i - attrAt);
        while (i < text.size() && isSpace(text[i])) ++i;
        if (a.name.empty() || i >= text.size() || text[i] != '=') return std::nullopt;
        ++i;
        while (i < text.size() && isSpace(text[i])) ++i;
        if (i >= text.size() || (text[i] != '"' && text[i] != '\'')) return std::nullopt;
        const size_t close = text.find(text[i], i + 1);
        if (close == std::string_view::npos) return std::nullopt;
        a.valueAt = i + 1;
        a.value = text.substr(i + 1, close - i - 1);
        tag.attributes.push_back(a);
        i = close + 1;
    }
    tag.end = i + 1;
    return tag;
}

// The next start tag named name at or after from; nothing when there is none before limit.
std::optional<StartTag> nextTag(std::string_view text, std::string_view name, size_t from, size_t limit,
                                bool& malformed)
{
    for (size_t at = text.find('<', from); at != std::string_view::npos && at < limit; at = text.find('<', at + 1)) {
        if (text.compare(at + 1, name.size(), name) != 0) continue;
        const size_t after = at + 1 + name.size();
        if (after < text.size() && isNameChar(text[after])) continue;  // a longer name
        auto tag = startTagAt(text, at);
        if (!tag) malformed = true;
        return tag;
    }
    return std::nullopt;
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

std::optional<uint32_t> parseRate(const Attribute* attribute)
{
    if (!attribute) return std::nullopt;
    uint32_t rate = 0;
    const std::string_view v = attribute->value;
    auto r = std::from_chars(v.data(), v.data() + v.size(), rate);
    if (r.ec != std::errc() || r.ptr != v.data() + v.size()) return std::nullopt;
    return rate;
}

// Re-bases the table whose start tag is table; its values are rewritten into out, each changed one
// listed in edits. False when the table is not understood.
bool rebaseTable(std::string_view text, const StartTag& table, const Timecode& start, std::string& out,
                 std::vector<TextEdit>& edits, TimecodeCounting& counting, std::string& refusal)
{
    const auto rate = parseRate(table.attribute("tcFps"));
    const Attribute* halfStep = table.attribute("halfStep");
    if (!rate) return false;
    counting.framesPerSecond = *rate;
    counting.halfStep = halfStep && halfStep->value == "true";
    const size_t end = text.find("</LtcChangeTable", table.end);
    if (end == std::string_view::npos) return false;
    // A table that opens inside this one would share its entries, each re-based by both tables'
    // countings: the text would say nothing one can trust.
    bool malformed = false;
    if (nextTag(text, "LtcChangeTable", table.end, end, malformed) || malformed) return false;

    struct Entry {
        const Attribute* value;
        PackedTimecode packed;
    };
    std::vector<Entry> entries;
    std::vector<StartTag> tags;
    for (size_t at = table.end;;) {
        auto change = nextTag(text, "LtcChange", at, end, malformed);
        if (malformed) return false;
        if (!change) break;
        at = change->end;
        tags.push_back(std::move(*change));
    }
    for (const StartTag& tag : tags) {
        const Attribute* value = tag.attribute("value");
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
        refusal = *why;
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
    bool malformed = false;
    const auto table = nextTag(text, "LtcChangeTable", 0, text.size(), malformed);
    if (!table || table->empty) return std::nullopt;
    const auto first = nextTag(text, "LtcChange", table->end, text.size(), malformed);
    const Attribute* value = first ? first->attribute("value") : nullptr;
    const auto packed = value ? parseHex(value->value) : std::nullopt;
    const Attribute* halfStep = table->attribute("halfStep");
    CameraXmlFirst found;
    found.counting.halfStep = halfStep && halfStep->value == "true";
    found.counting.framesPerSecond = parseRate(table->attribute("tcFps")).value_or(0);
    const auto start = packed ? packed->unpack(found.counting.halfStep) : std::nullopt;
    if (!start) return std::nullopt;
    found.counting.dropFrame = packed->dropFrame();
    found.value = *start;
    return found;
}

std::optional<Timecode> cameraXmlStart(std::string_view text)
{
    const auto first = cameraXmlFirst(text);
    if (!first) return std::nullopt;
    return first->value.time;
}

std::optional<RebasedCameraXml> rebaseCameraXml(std::string_view text, const Timecode& start, std::string* refusal)
{
    std::string why;
    if (text.size() > kMaxCameraXmlSize) return std::nullopt;
    RebasedCameraXml result;
    result.text = std::string(text);
    bool found = false;
    bool malformed = false;
    for (size_t at = 0;;) {
        auto table = nextTag(text, "LtcChangeTable", at, text.size(), malformed);
        if (malformed) return std::nullopt;
        if (!table) break;
        at = table->end;
        if (table->empty) continue;
        TimecodeCounting counting;
        if (!rebaseTable(text, *table, start, result.text, result.edits, counting, why)) {
            if (refusal) *refusal = why;
            return std::nullopt;
        }
        if (!found) result.counting = counting;
        found = true;
    }
    if (!found) return std::nullopt;
    result.changed = result.text != text;
    return result;
}

}  // namespace kelvatta
