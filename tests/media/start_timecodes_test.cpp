// Start timecodes written as text in XMP and QuickTime user data, re-based by an edit of equal length.
#include <gtest/gtest.h>

#include "media/boxes/start_timecodes.h"
#include "support/box_tree.h"

using namespace kelvatta;
using test::operator+;

namespace {

// The text with every edit written over it, after checking that each edit replaces the value it
// names with one of the same length that differs only in digits.
std::string applied(std::string text, const TextTimecodes& found)
{
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    for (const TextEdit& e : found.edits) {
        EXPECT_EQ(text.substr(e.offset, e.original.size()), e.original);
        EXPECT_EQ(e.rebased.size(), e.original.size());
        for (size_t i = 0; i < e.original.size() && i < e.rebased.size(); ++i)
            if (e.rebased[i] != e.original[i]) {
                EXPECT_TRUE(digit(e.rebased[i]) && digit(e.original[i])) << e.rebased;
            }
        text.replace(e.offset, e.original.size(), e.rebased);
    }
    return text;
}

std::vector<std::string> originals(const TextTimecodes& found)
{
    std::vector<std::string> values;
    for (const TextEdit& e : found.edits) values.push_back(e.original);
    return values;
}

// A packet as Adobe's tools write one: several namespaces, and body among the clip's properties.
std::string packet(const std::string& body, const std::string& descriptionAttributes = "")
{
    return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\" x:xmptk=\"Adobe XMP Core 7.1\">\n"
           " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
           "  <rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
           "    xmlns:xmpDM=\"http://ns.adobe.com/xmp/1.0/DynamicMedia/\"\n"
           "    xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\" xmp:CreatorTool=\"ILME-FX3\"" +
           descriptionAttributes + ">\n   <xmpDM:videoFrameRate>29.97</xmpDM:videoFrameRate>\n" + body +
           "\n  </rdf:Description>\n </rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"w\"?>";
}

std::string fields(const std::string& format, const std::string& value)
{
    return "<xmpDM:timeFormat>" + format + "</xmpDM:timeFormat><xmpDM:timeValue>" + value + "</xmpDM:timeValue>";
}

std::string resource(const std::string& name, const std::string& format, const std::string& value)
{
    return "<xmpDM:" + name + " rdf:parseType=\"Resource\">" + fields(format, value) + "</xmpDM:" + name + ">";
}

UnreadTimecode line(const std::string& name, std::optional<std::string> value)
{
    return {UnreadTimecode::Kind::xmp, name, std::move(value)};
}

// body with each '$' in turn replaced by one of values.
std::string filled(std::string body, const std::vector<std::string>& values)
{
    for (const std::string& value : values) body.replace(body.find('$'), 1, value);
    return body;
}

const std::string kStart = "xmpDM:startTimeCode";
const UnreadTimecode kUnreadable{UnreadTimecode::Kind::xmpUnreadable};

TEST(StartTimecodes, XmpValuesRebasedInTheirOwnLayout)
{
    const std::string df = "2997DropTimecode", pal = "25Timecode";
    const std::string adobe = packet(resource("startTimeCode", df, "01:00:00;00"));
    const std::string pantry = "<xmpMM:Pantry><rdf:Bag><rdf:li rdf:parseType=\"Resource\">" +
                               resource("startTimeCode", pal, "14:22:10:05") + "</rdf:li></rdf:Bag></xmpMM:Pantry>";
    // Each '$' of body holds one of originals in the packet, and one of rebased once re-based.
    struct Case {
        std::string body;
        std::vector<std::string> originals, rebased;
        std::vector<UnreadTimecode> leftAlone;
        Timecode start{};
        // Why a value understood cannot show start, at its rate: the clip cannot be re-based.
        std::optional<StartRefusal::Kind> refused{};
    } cases[] = {
        {resource("startTimeCode", df, "$"), {"01:00:00;00"}, {"00:00:00;00"}, {}},
        {"<xmpDM:startTimeCode xmpDM:timeFormat=\"25Timecode\" xmpDM:timeValue=\"$\"/>" +
             resource("altTimecode", "5994NonDropTimecode", "$"),
         {"10:00:00:00", "23:59:59:59"},
         {"00:00:00:00", "00:00:00:00"},
         {}},
        // An rdf:Description as the value, its fields as elements or attributes; quotes of both kinds.
        {"<xmpDM:startTimeCode><rdf:Description>" + fields(pal, "$") +
             "</rdf:Description></xmpDM:startTimeCode>"
             "<xmpDM:altTimecode><rdf:Description xmpDM:timeValue='$' xmp:Label='\"x\"'/></xmpDM:altTimecode>",
         {"01:02:03:04", "05:06:07:08"},
         {"10:20:30:24", "10:20:30:24"},
         {},
         {10, 20, 30, 24}},
        // Already at start; drop-frame written with '.' or ','; xmpDM's namespace under another prefix.
        {resource("startTimeCode", pal, "$"), {"00:00:00:00"}, {"00:00:00:00"}, {}},
        {"<xmpDM:startTimeCode xmpDM:timeValue='$'/><xmpDM:altTimecode xmpDM:timeValue='$'/>",
         {"01:00:00.00", "02:00:00,00"},
         {"00:00:00.00", "00:00:00,00"},
         {}},
        {"<dm:startTimeCode xmlns:dm='http://ns.adobe.com/xmp/1.0/DynamicMedia/' dm:timeValue='$'/>",
         {"01:00:00:00"},
         {"00:00:00:00"},
         {}},
        // 00:01:00;00 is a number drop-frame skips: refused at 29.97 drop, written at 25; so are frames
        // past the rate.
        {resource("startTimeCode", df, "01:00:00;00") + resource("altTimecode", pal, "$"),
         {"01:00:00:00"},
         {"00:01:00:00"},
         {},
         {0, 1, 0, 0},
         StartRefusal::Kind::droppedNumber},
        {resource("startTimeCode", df, "01:00:00;00"), {}, {}, {}, {0, 0, 0, 30}, StartRefusal::Kind::noSuchFrame},
        // The clip's own beside a source clip's in the pantry, which is named but kept.
        {pantry + resource("altTimecode", pal, "$"), {"01:00:00:00"}, {"00:00:00:00"}, {line(kStart, "14:22:10:05")}},
    };
    // Found but not understood: named, the text kept.
    const std::string huge(100000, '1');
    const struct {
        std::string source;
        std::vector<UnreadTimecode> leftAlone;
    } refused[] = {
        {packet(resource("startTimeCode", "12Timecode", "01:00:00:00")), {line(kStart, "01:00:00:00")}},
        {packet(resource("startTimeCode", pal, "1:00:00:00")), {line(kStart, "1:00:00:00")}},
        {packet(resource("startTimeCode", pal, "&#48;1:00:00:00")), {line(kStart, "&#48;1:00:00:00")}},
        {packet(resource("startTimeCode", pal, "<![CDATA[01:00:00:00]]>")), {line(kStart, "<![CDATA[01:00:0…")}},
        {packet(resource("startTimeCode", pal, huge)), {line(kStart, std::string(16, '1') + "…")}},
        {packet("<xmpDM:startTimeCode>01:00:00:00</xmpDM:startTimeCode>"), {line(kStart, "01:00:00:00")}},
        {packet("<xmpDM:startTimeCode rdf:parseType='Literal'>" + fields(pal, "01:00:00:00") +
                "</xmpDM:startTimeCode>"),
         {line(kStart, "01:00:00:00")}},
        {packet("<xmpDM:startTimeCode rdf:parseType='Resource'>" + fields(pal, "01:00:00:00") +
                "<xmpDM:timeValue>02:00:00:00</xmpDM:timeValue></xmpDM:startTimeCode>"),
         {line(kStart, std::nullopt)}},
        {packet("", " xmpDM:altTimecode='01:00:00:00'"), {line("xmpDM:altTimecode", "01:00:00:00")}},
        {packet("<xmpDM:StartTimecode xmpDM:timeValue='01:00:00:00'/>"), {line("xmpDM:StartTimecode", "01:00:00:00")}},
        {packet("<dm:startTimeCode dm:timeValue='01:00:00:00'/>"), {line("dm:startTimeCode", "01:00:00:00")}},
        {packet("<xmpDM:startTimeCode timeValue='01:00:00:00'/>"), {line(kStart, "01:00:00:00")}},
        {packet("<xmpDM:startTimeCode xmlns:xmpDM='http://example.com/dm/' xmpDM:timeValue='01:00:00:00'/>"),
         {line(kStart, "01:00:00:00")}},
        // Comments and character data are not timecodes, whatever they hold.
        {packet("<!-- <xmpDM:startTimeCode xmpDM:timeValue='01:00:00:00'/> -->"
                "<xmp:Label><![CDATA[<xmpDM:altTimecode xmpDM:timeValue='01:00:00:00'/>]]></xmp:Label>"),
         {}},
        // A packet not well-formed is edited nowhere.
        {adobe.substr(0, adobe.find("01:00")), {kUnreadable}},
        {packet(resource("startTimeCode", pal, "01:00:00:00") + "</xmp:Label>"), {kUnreadable}},
        {"<!DOCTYPE x [<!ENTITY z '0'>]>" + adobe, {kUnreadable}},
        {packet("<xmp:Label a='1'b='2'/>" + resource("startTimeCode", pal, "01:00:00:00")), {kUnreadable}},
        {packet("<xmp:Label>").substr(0, 400), {}},
    };
    for (const Case& c : cases) {
        const std::string source = packet(filled(c.body, c.originals));
        SCOPED_TRACE(source);
        const TextTimecodes found = rebaseXmpTimecodes(source, c.start);
        EXPECT_EQ(applied(source, found), packet(filled(c.body, c.rebased)));
        EXPECT_EQ(originals(found), c.originals);
        EXPECT_EQ(found.leftAlone, c.leftAlone);
        EXPECT_EQ(found.refusal ? std::optional(found.refusal->kind) : std::nullopt, c.refused);
    }
    for (const auto& c : refused) {
        SCOPED_TRACE(c.source.substr(0, 1000));
        const TextTimecodes found = rebaseXmpTimecodes(c.source, Timecode{});
        EXPECT_TRUE(found.edits.empty());
        EXPECT_EQ(found.leftAlone, c.leftAlone);
    }
}

test::Bytes userData(const std::string& timecode, size_t length, const test::Bytes& after = {})
{
    test::Bytes payload =
        test::serialize({test::textItem("\xA9TSC", "30000"), test::textItem("\xA9TIM", timecode, length),
                         test::textItem("\xA9TSZ", "1001")});
    return payload + after;
}

TEST(StartTimecodes, UserDataTimecodeRebasedBesideItsRate)
{
    const auto at = [](std::optional<std::string> value) {
        return UnreadTimecode{UnreadTimecode::Kind::userData, {}, std::move(value)};
    };
    const struct {
        test::Bytes source, expected;
        std::vector<std::string> originals;
        std::vector<UnreadTimecode> leftAlone;
    } cases[] = {
        {userData("01:00:00:00", 11, test::words({0})),
         userData("00:00:00:00", 11, test::words({0})),
         {"01:00:00:00"},
         {}},  // the list closed by a zero
        {userData("1:00:00:00", 10), {}, {}, {at("1:00:00:00")}},
        {userData("01:00:00:00", 30), {}, {}, {at("01:00:00:00")}},                     // runs past the item
        {userData(std::string("01:00:00:00\0", 12), 11), {}, {}, {at("01:00:00:00")}},  // followed by more
        {test::serialize(test::leaf("\xA9TIM", {0, 11})), {}, {}, {at(std::nullopt)}},  // cut short
        {test::serialize(test::leaf("\xA9TIM", {0, 11, 0x15, 0xC7})) + test::words({100}),
         {},
         {},
         {{UnreadTimecode::Kind::userDataUnreadable}}},
    };
    for (const auto& c : cases) {
        const std::string source(c.source.begin(), c.source.end());
        SCOPED_TRACE(source);
        const TextTimecodes found = rebaseUserDataTimecode(c.source, Timecode{});
        const std::string expected = c.expected.empty() ? source : std::string(c.expected.begin(), c.expected.end());
        EXPECT_EQ(applied(source, found), expected);
        EXPECT_EQ(originals(found), c.originals);
        EXPECT_EQ(found.leftAlone, c.leftAlone);
    }
}

}  // namespace
