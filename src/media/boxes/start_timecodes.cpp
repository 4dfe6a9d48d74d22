#include "media/boxes/start_timecodes.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "media/base/xml_tokens.h"
#include "media/boxes/box_reader.h"

namespace kelvatta {
namespace {

constexpr std::string_view kDynamicMediaNamespace = "http://ns.adobe.com/xmp/1.0/DynamicMedia/";
constexpr std::string_view kRdfNamespace = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
// XMP nests a dozen elements deep, declares a few dozen namespaces and gives a description a few
// hundred attributes at most; a packet past these limits is not one this program reads (they bound
// the work of resolving a name and the memory of a tag).
constexpr size_t kMaxXmpDepth = 256;
constexpr size_t kMaxNamespacesInScope = 256;
// Of a value named in a line, this many characters are shown.
constexpr size_t kShownCharacters = 16;

// ---- Values

// The value's layout holding start's digits; nothing when the value is not understood or start cannot
// be written in it (at counting's rate, when the metadata says it).
std::optional<std::string> rebasedValue(std::string_view value, const Timecode& start,
                                        const std::optional<TimecodeCounting>& counting)
{
    if (value.size() != 11) return std::nullopt;
    std::string rebased(value);
    if (rebased[8] == '.' || rebased[8] == ',') rebased[8] = ';';
    if (!Timecode::parse(rebased)) return std::nullopt;
    const bool writable = counting ? counting->position(TimecodeValue{start, false}).has_value()
                                   : start.hours < 24 && start.minutes < 60 && start.seconds < 60 && start.frames < 100;
    if (!writable) return std::nullopt;
    rebased = value;
    const uint32_t fields[] = {start.hours, start.minutes, start.seconds, start.frames};
    for (size_t i = 0; i < 4; ++i) {
        rebased[3 * i] = static_cast<char>('0' + fields[i] / 10);
        rebased[3 * i + 1] = static_cast<char>('0' + fields[i] % 10);
    }
    return rebased;
}

// A timecode left alone, its value as a line shows it: printable ASCII as it is, any other byte as '?',
// a long value cut.
UnreadTimecode named(UnreadTimecode::Kind kind, std::string_view name, std::optional<std::string_view> value)
{
    UnreadTimecode unread{kind, std::string(name), std::nullopt};
    if (!value) return unread;
    std::string shown;
    for (char c : value->substr(0, kShownCharacters)) shown += c >= 0x20 && c < 0x7F ? c : '?';
    if (value->size() > kShownCharacters) shown += "…";
    unread.value = std::move(shown);
    return unread;
}

// ---- XMP

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// Whether a packet that cannot be read could hold a start timecode: it names one (in any case), or it
// holds NUL bytes (XMP written in UTF-16 or UTF-32).
bool couldHoldTimecode(std::string_view text)
{
    if (text.find('\0') != std::string_view::npos) return true;
    for (std::string_view name : {"startTimecode", "altTimecode"}) {
        for (size_t at = 0; at + name.size() <= text.size(); ++at)
            if (equalsIgnoringCase(text.substr(at, name.size()), name)) return true;
    }
    return false;
}

enum class PropertyName { none, exact, similar };

// xmpDM's two timecode properties: the start in the spelling of the XMP documents and Adobe's tools
// (startTimecode) and in the one other writers use (startTimeCode), and the alternative; other
// casings are taken for a timecode written by a tool's mistake.
PropertyName timecodeProperty(std::string_view localName)
{
    constexpr std::string_view kNames[] = {"startTimecode", "startTimeCode", "altTimecode"};
    if (std::ranges::find(kNames, localName) != std::end(kNames)) return PropertyName::exact;
    for (std::string_view name : kNames)
        if (equalsIgnoringCase(localName, name)) return PropertyName::similar;
    return PropertyName::none;
}

// The rate a timeFormat names; nothing for one this program does not know.
std::optional<TimecodeCounting> countingOf(std::string_view timeFormat)
{
    static constexpr struct {
        std::string_view name;
        uint32_t framesPerSecond;
        bool dropFrame;
    } kFormats[] = {{"24Timecode", 24, false},          {"23976Timecode", 24, false},
                    {"25Timecode", 25, false},          {"2997DropTimecode", 30, true},
                    {"2997NonDropTimecode", 30, false}, {"30Timecode", 30, false},
                    {"50Timecode", 50, false},          {"5994DropTimecode", 60, true},
                    {"5994NonDropTimecode", 60, false}, {"60Timecode", 60, false}};
    for (const auto& format : kFormats)
        if (format.name == timeFormat) return TimecodeCounting{format.framesPerSecond, format.dropFrame, false};
    return std::nullopt;
}

struct QualifiedName {
    std::string_view prefix, local;
};

QualifiedName split(std::string_view name)
{
    const size_t colon = name.find(':');
    if (colon == std::string_view::npos) return {{}, name};
    return {name.substr(0, colon), name.substr(colon + 1)};
}

// A timecode property being read: what its fields say so far.
struct TimecodeProperty {
    size_t at = 0;  // of its start tag: the order of the lines that name it
    std::string_view name;
    bool understood = false;  // in xmpDM's namespace, of a top-level description, in a form this program reads
    bool hasText = false;     // a value of its own rather than fields
    size_t values = 0, formats = 0;
    size_t valueAt = 0;
    std::string_view value, format;

    void addField(bool isValue, bool inDynamicMedia, size_t fieldAt, std::string_view field)
    {
        if (!inDynamicMedia) understood = false;
        if (isValue) {
            ++values;
            valueAt = fieldAt;
            value = field;
        } else {
            ++formats;
            format = field;
        }
    }
};

enum class Role {
    other,
    rdfRoot,      // rdf:RDF, the packet's root or inside x:xmpmeta: its children describe the clip
    property,     // a timecode property
    description,  // an rdf:Description that is a property's value
    field,        // a property's timeValue or timeFormat
};

struct OpenElement {
    std::string_view name;
    size_t namespacesBefore = 0;  // declarations in scope before this element's own
    size_t contentAt = 0;         // just past its start tag
    Role role = Role::other;
    size_t owner = 0;                              // description, field: the depth of their property
    bool isValue = false, inDynamicMedia = false;  // field
    TimecodeProperty property;                     // property
};

// One pass over a packet: every element opened and closed in order, their namespaces resolved, the
// timecode properties read as their elements close.
class XmpScan {
public:
    XmpScan(std::string_view text, const Timecode& start) : text_(text), start_(start) {}

    TextTimecodes run()
    {
        XmlTokenizer tokens(text_);
        for (XmlToken token = tokens.next(); !malformed_; token = tokens.next()) {
            if (token.kind == XmlToken::Kind::end) break;
            read(token);
        }
        TextTimecodes result;
        if (malformed_ || !open_.empty()) {
            if (couldHoldTimecode(text_)) result.leftAlone.push_back({UnreadTimecode::Kind::xmpUnreadable});
            return result;
        }
        std::sort(edits_.begin(), edits_.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
        std::stable_sort(named_.begin(), named_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        result.edits = std::move(edits_);
        result.refusal = std::move(refusal_);
        for (auto& line : named_) result.leftAlone.push_back(std::move(line.second));
        return result;
    }

private:
    void read(const XmlToken& token)
    {
        switch (token.kind) {
        case XmlToken::Kind::text: characters(token.value); return;
        case XmlToken::Kind::cdata:
            // Text, of the element it stands in; never a value this program edits.
            if (!open_.empty() && open_.back().role == Role::property) open_.back().property.hasText = true;
            return;
        case XmlToken::Kind::startTag:
            openElement(token);
            if (token.empty && !malformed_) closeElement(token.end);
            return;
        case XmlToken::Kind::endTag:
            if (open_.empty() || open_.back().name != token.name) return fail();
            closeElement(token.at);
            return;
        case XmlToken::Kind::end:
        case XmlToken::Kind::malformed: return fail();
        }
    }

    void fail() { malformed_ = true; }

    void characters(std::string_view s)
    {
        if (!open_.empty() && open_.back().role == Role::property && !trimmed(s).empty())
            open_.back().property.hasText = true;
    }

    // The namespace a prefix stands for where the element being opened is; nothing when undeclared.
    std::optional<std::string_view> namespaceOf(std::string_view prefix) const
    {
        if (prefix == "xml") return "http://www.w3.org/XML/1998/namespace";
        for (auto it = namespaces_.rbegin(); it != namespaces_.rend(); ++it)
            if (it->first == prefix) return it->second;
        return std::nullopt;
    }

    bool inNamespace(std::string_view name, std::string_view ns, bool attribute) const
    {
        const QualifiedName q = split(name);
        if (attribute && q.prefix.empty()) return false;  // an attribute without prefix is in none
        return namespaceOf(q.prefix) == ns;
    }

    static bool isDeclaration(std::string_view name) { return name == "xmlns" || name.starts_with("xmlns:"); }

    // The timeValue and timeFormat attributes of a property or of its description.
    void addAttributeFields(TimecodeProperty& property, const std::vector<XmlAttribute>& attributes) const
    {
        for (const XmlAttribute& a : attributes) {
            const std::string_view local = split(a.name).local;
            if (isDeclaration(a.name) || (local != "timeValue" && local != "timeFormat")) continue;
            property.addField(local == "timeValue", inNamespace(a.name, kDynamicMediaNamespace, true), a.valueAt,
                              a.value);
        }
    }

    // The element a start tag opens.
    void openElement(const XmlToken& tag)
    {
        const size_t at = tag.at, contentAt = tag.end;
        const std::string_view name = tag.name;
        const std::vector<XmlAttribute>& attributes = tag.attributes;
        if (open_.size() >= kMaxXmpDepth) {
            fail();
            return;
        }
        OpenElement element;
        element.name = name;
        element.contentAt = contentAt;
        element.namespacesBefore = namespaces_.size();
        for (const XmlAttribute& a : attributes)
            if (isDeclaration(a.name)) namespaces_.emplace_back(a.name == "xmlns" ? "" : a.name.substr(6), a.value);
        if (namespaces_.size() > kMaxNamespacesInScope) {
            fail();
            return;
        }

        const std::string_view local = split(name).local;
        const size_t depth = open_.size();
        const Role parent = depth > 0 ? open_.back().role : Role::other;
        const PropertyName property = timecodeProperty(local);
        if (property != PropertyName::none) {
            element.role = Role::property;
            TimecodeProperty& p = element.property;
            p.at = at;
            p.name = name;
            // A property of a description in rdf:RDF: one of the clip's own.
            p.understood = property == PropertyName::exact && inNamespace(name, kDynamicMediaNamespace, false) &&
                           depth >= 2 && parent == Role::other && open_[depth - 2].role == Role::rdfRoot;
            for (const XmlAttribute& a : attributes)
                if (split(a.name).local == "parseType" && a.value != "Resource" &&
                    inNamespace(a.name, kRdfNamespace, true))
                    p.understood = false;  // a literal, or a collection
            addAttributeFields(p, attributes);
        } else if (parent == Role::property && local == "Description" && inNamespace(name, kRdfNamespace, false)) {
            element.role = Role::description;
            element.owner = depth - 1;
            addAttributeFields(open_[element.owner].property, attributes);
        } else if ((parent == Role::property || parent == Role::description) &&
                   (local == "timeValue" || local == "timeFormat")) {
            element.role = Role::field;
            element.owner = parent == Role::property ? depth - 1 : open_.back().owner;
            element.isValue = local == "timeValue";
            element.inDynamicMedia = inNamespace(name, kDynamicMediaNamespace, false);
        } else if (local == "RDF" && (depth == 0 || (depth == 1 && parent == Role::other)) &&
                   inNamespace(name, kRdfNamespace, false)) {
            element.role = Role::rdfRoot;
        }
        // A timecode written as an attribute: a layout of its own, not xmpDM's.
        for (const XmlAttribute& a : attributes)
            if (!isDeclaration(a.name) && timecodeProperty(split(a.name).local) != PropertyName::none)
                named_.emplace_back(a.valueAt, named(UnreadTimecode::Kind::xmp, a.name, a.value));
        open_.push_back(std::move(element));
    }

    void closeElement(size_t endTagAt)
    {
        OpenElement& element = open_.back();
        const std::string_view content = text_.substr(element.contentAt, endTagAt - element.contentAt);
        if (element.role == Role::field)
            open_[element.owner].property.addField(element.isValue, element.inDynamicMedia, element.contentAt, content);
        else if (element.role == Role::property) finish(element.property, content);
        namespaces_.resize(element.namespacesBefore);
        open_.pop_back();
    }

    void finish(const TimecodeProperty& p, std::string_view content)
    {
        if (p.understood && !p.hasText && p.values == 1 && p.formats <= 1) {
            const std::optional<TimecodeCounting> counting =
                p.formats == 1 ? countingOf(p.format) : std::optional<TimecodeCounting>();
            const auto rebased = p.formats == 0 || counting ? rebasedValue(p.value, start_, counting) : std::nullopt;
            if (!rebased && counting && rebasedValue(p.value, start_, std::nullopt)) {
                refusal_ = counting->refusal(start_);
                return;
            }
            if (rebased) {
                edits_.push_back({p.valueAt, std::string(p.value), *rebased, std::string(p.name)});
                return;
            }
        }
        std::optional<std::string_view> value;
        if (p.values == 1) value = p.value;
        else if (p.values == 0 && p.hasText) value = trimmed(content);
        named_.emplace_back(p.at, named(UnreadTimecode::Kind::xmp, p.name, value));
    }

    std::string_view text_;
    Timecode start_;
    bool malformed_ = false;
    std::vector<OpenElement> open_;
    std::vector<std::pair<std::string_view, std::string_view>> namespaces_;  // prefix, name; in scope
    std::vector<TextEdit> edits_;
    std::vector<std::pair<size_t, UnreadTimecode>> named_;  // where, what
    std::optional<StartRefusal> refusal_;
};

// ---- QuickTime user data

constexpr uint32_t kTimecodeItem = fourcc("\xa9TIM");

// The items of a user data payload, which QuickTime may end with a 32-bit zero; nothing when they
// cannot be read.
std::optional<std::vector<Box>> userDataItems(ByteSpan udta)
{
    if (auto items = boxesBetween(udta, 0, udta.size()); !items.isError()) return items.releaseValue();
    const size_t size = udta.size();
    if (size < 4 || loadU32(&udta[size - 4]) != 0) return std::nullopt;
    if (auto items = boxesBetween(udta, 0, size - 4); !items.isError()) return items.releaseValue();
    return std::nullopt;
}

}  // namespace

TextTimecodes rebaseXmpTimecodes(std::string_view xmp, const Timecode& start) { return XmpScan(xmp, start).run(); }

TextTimecodes rebaseUserDataTimecode(ByteSpan udtaPayload, const Timecode& start)
{
    TextTimecodes result;
    const auto items = userDataItems(udtaPayload);
    if (!items) {
        const uint8_t type[] = {0xA9, 'T', 'I', 'M'};
        if (std::search(udtaPayload.begin(), udtaPayload.end(), std::begin(type), std::end(type)) != udtaPayload.end())
            result.leftAlone.push_back({UnreadTimecode::Kind::userDataUnreadable});
        return result;
    }
    for (const Box& item : *items) {
        if (item.type != kTimecodeItem) continue;
        const ByteSpan payload = payloadOf(udtaPayload, item);
        FieldReader reader(payload);
        const uint16_t length = reader.u16();
        reader.skip(2);  // the language: the text is ASCII in every encoding it may name
        if (!reader.ok()) {
            result.leftAlone.push_back({UnreadTimecode::Kind::userData});
            continue;
        }
        const std::string_view text(reinterpret_cast<const char*>(payload.data()) + reader.position(),
                                    std::min<size_t>(length, reader.remaining()));
        // One text filling the item: a text cut short, or more than one, is not read.
        const auto rebased =
            length == reader.remaining() ? rebasedValue(text, start, std::nullopt) : std::optional<std::string>();
        if (!rebased) {
            result.leftAlone.push_back(named(UnreadTimecode::Kind::userData, {}, text));
            continue;
        }
        result.edits.push_back(
            {static_cast<size_t>(item.payloadOffset()) + reader.position(), std::string(text), *rebased, "©TIM"});
    }
    return result;
}

}  // namespace kelvatta
