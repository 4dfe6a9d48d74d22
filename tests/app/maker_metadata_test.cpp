// Clips as many makers lay out their metadata, made by the tests' own writer around an ffmpeg clip,
// rewritten through the built program and read back with exiftool.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "media/survey/timecode_survey.h"
#include "support/box_tree.h"
#include "support/clips.h"
#include "support/process.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The movie's QuickTime meta as Apple writes it: hdlr mdta, keys, ilst, no version and flags.
Node mdtaMeta(const std::vector<std::pair<std::string, std::string>>& items)
{
    Bytes keys = words({0, static_cast<uint32_t>(items.size())}), ilst;
    uint32_t index = 0;
    for (const auto& [key, value] : items) {
        keys += words({static_cast<uint32_t>(8 + key.size())}) + text("mdta" + key);
        const Bytes data =
            words({static_cast<uint32_t>(16 + value.size())}) + text("data") + words({1, 0}) + text(value);
        ilst += words({static_cast<uint32_t>(8 + data.size()), ++index}) + data;
    }
    const Bytes hdlr = words({0, 0}) + text("mdta") + words({0, 0, 0}) + Bytes{0};
    return leaf("meta", serialize({leaf("hdlr", hdlr), leaf("keys", keys), leaf("ilst", ilst)}));
}

// As After Effects writes it, the start in the spelling of the XMP documents (startTimecode); other
// writers spell it startTimeCode.
std::string xmp(const std::string& start)
{
    return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
           "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
           "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmp:CreatorTool=\"Adobe After Effects 2024\" "
           "xmp:CreateDate=\"2024-05-01T16:56:07+08:00\" xmlns:xmpDM=\"http://ns.adobe.com/xmp/1.0/DynamicMedia/\">"
           "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Night shoot</rdf:li></rdf:Alt></dc:title>"
           "<xmpDM:" +
           start +
           " rdf:parseType=\"Resource\"><xmpDM:timeFormat>30Timecode</xmpDM:timeFormat>"
           "<xmpDM:timeValue>12:59:21:18</xmpDM:timeValue></xmpDM:" +
           start +
           ">"
           "<xmpDM:altTimecode xmpDM:timeFormat=\"30Timecode\" xmpDM:timeValue=\"13:20:05:17\"/>"
           "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
}

// The uuid Adobe's tools give an XMP packet at the top level of an MP4.
const Bytes kXmpUuid = {0xBE, 0x7A, 0xCF, 0xCB, 0x97, 0xA9, 0x42, 0xE8, 0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC};

struct Layout {
    const char* maker;
    std::string brand;              // the ftyp's major brand
    std::vector<Node> inMoov;       // added at the end of moov
    std::vector<Node> afterMoov{};  // added at the end of the file
};

std::vector<Layout> layouts()
{
    return {
        {"iPhone (QuickTime, mdta keys)",
         "qt  ",
         {mdtaMeta({{"com.apple.quicktime.make", "Apple"},
                    {"com.apple.quicktime.model", "iPhone 15 Pro"},
                    {"com.apple.quicktime.software", "17.4.1"},
                    {"com.apple.quicktime.location.ISO6709", "+37.3349-122.0090+010.000/"},
                    {"com.apple.quicktime.creationdate", "2024-05-01T16:56:07+0800"}})}},
        {"Android (©xyz in user data, mdta keys)",
         "mp42",
         {container("udta", {textItem("\xA9xyz", "+37.4220-122.0841/")}),
          mdtaMeta({{"com.android.version", "14"}, {"timecode", "01:02:03:04"}, {"com.android.capture.fps", "30.0"}})}},
        {"GoPro (settings and identity in user data)",
         "mp41",
         {container("udta", {leaf("FIRM", text("HD9.01.01.60.00")), leaf("LENS", text("LAJ8052413211234")),
                             leaf("CAME", Bytes(16, 0x5A)), leaf("SETT", words({0x01020304, 0x05060708}))})}},
        {"Canon (maker boxes in user data)",
         "qt  ",
         {container("udta", {leaf("CNCV", text("CanonAVC0010/02.00.00/00.00.00")), leaf("CNMN", text("Canon EOS R5")),
                             textItem("\xA9mak", "Canon"), textItem("\xA9nam", "Harbour at dusk")})}},
        {"Final Cut Pro (©TIM, ©TSC, ©TSZ in user data)",
         "qt  ",
         {container("udta",
                    {textItem("\xA9TIM", "10:00:00;00"), textItem("\xA9TSC", "30000"), textItem("\xA9TSZ", "1001")})}},
        {"After Effects (XMP in user data and in a uuid box)",
         "mp42",
         {container("udta", {leaf("XMP_", text(xmp("startTimecode")))})},
         {leaf("uuid", kXmpUuid + text(xmp("startTimeCode")))}},
    };
}

// A clip of that maker's: ffmpeg's (media data first, moov last), with the maker's ftyp and boxes.
Bytes makerClip(const Layout& layout, const Bytes& base)
{
    std::vector<Node> top = parseFile(base);
    topLevel(top, "ftyp").data = text(layout.brand) + words({0}) + text(layout.brand);
    std::vector<Node>& moov = topLevel(top, "moov").children;
    moov.insert(moov.end(), layout.inMoov.begin(), layout.inMoov.end());
    top.insert(top.end(), layout.afterMoov.begin(), layout.afterMoov.end());
    return serialize(top);
}

// exiftool's tags of a file, "[group] name: value", but for those of the file system and of the
// boxes' layout, which a rewrite changes by nature.
std::multiset<std::string> tags(const fs::path& file)
{
    static const std::set<std::string> layoutTags = {"MediaDataSize",   "MediaDataOffset", "NextTrackID",
                                                     "HandlerType",     "MajorBrand",      "MinorVersion",
                                                     "CompatibleBrands"};
    std::multiset<std::string> out;
    std::istringstream lines(runProgram({"/usr/bin/exiftool", "-a", "-G1", "-s", file}).out);
    for (std::string line; std::getline(lines, line);) {
        const std::string group = line.substr(0, line.find(']') + 1);
        const size_t nameAt = line.find_first_not_of(' ', group.size());
        const std::string name = line.substr(nameAt, line.find(' ', nameAt) - nameAt);
        if (group == "[File]" || group == "[System]" || group == "[ExifTool]" || group == "[Composite]" ||
            layoutTags.contains(name))
            continue;
        out.insert(line);
    }
    return out;
}

// A line of a start timecode: the item, XMP's and QuickTime's.
bool isTimecode(const std::string& tag)
{
    return std::ranges::any_of(
        std::initializer_list<const char*>{"[Keys]          Timecode ", "TimeValue ", "StartTimecode "},
        [&](const char* name) { return tag.find(name) != std::string::npos; });
}

// A timecode's digits made zero, its separators kept: "10:00:00;00" gives "00:00:00;00".
std::string zeroLike(std::string value)
{
    for (char& c : value)
        if (c >= '0' && c <= '9') c = '0';
    return value;
}

}  // namespace

TEST(MakerMetadata, EveryTagOfTheSourceStaysButTheTimecodesInEveryMode)
{
    TempDir dir;
    ASSERT_TRUE(makeClip(dir / "base.mov", {.frameRate = "30"}));
    const Bytes base = readBytes(dir / "base.mov");
    const std::string packets = packetHash(dir / "base.mov");
    for (const Layout& layout : layouts()) {
        const Bytes source = makerClip(layout, base);
        writeBytes(dir / "source.mov", source);
        const auto before = tags(dir / "source.mov");
        if (std::string_view(layout.maker).starts_with("After Effects")) {
            // Each XMP place in both spellings, and the places do not agree.
            const auto survey = surveyTimecodes(dir / "source.mov");
            ASSERT_FALSE(survey.isError());
            for (const char* spelling : {"xmpDM:startTimecode", "xmpDM:startTimeCode"}) {
                const auto read = [&](auto& place) {
                    return place.name.ends_with(spelling) && place.first == "12:59:21:18";
                };
                EXPECT_EQ(std::ranges::count_if(survey->places, read), 1) << spelling;
            }
            EXPECT_EQ(survey->agree(), std::optional<bool>(false));
        }
        int added = 0;
        for (const auto& mode : kModes) {
            SCOPED_TRACE(std::string(layout.maker) + (mode.empty() ? ", replace" : ", " + mode[0]));
            fs::remove_all(dir / "已修改时间码");
            writeBytes(dir / "C0001.MOV", source);
            const ino_t inode = inodeOf(dir / "C0001.MOV");
            const auto run = runKelvatta(with(mode, {dir / "C0001.MOV"}));
            ASSERT_EQ(run.status, 0) << run.out << run.err;
            EXPECT_TRUE(mode != kModes[2] || inodeOf(dir / "C0001.MOV") == inode) << "not rewritten in place";
            const fs::path result = mode == kModes[1] ? dir / "已修改时间码/C0001.MOV" : dir / "C0001.MOV";
            EXPECT_EQ(formatTimecode(result), "00:00:00:00");
            EXPECT_EQ(packetHash(result), packets);
            // Every place, each XMP one included, at the start.
            const auto survey = surveyTimecodes(result);
            EXPECT_TRUE(!survey.isError() && survey->agree() == std::optional<bool>(true));
            const auto after = tags(result);
            // Every tag kept; start timecodes written as text re-based, in their own layout.
            for (const std::string& tag : before) {
                const std::string name = tag.substr(0, tag.find(':'));
                const std::string rebased = name + ": " + zeroLike(tag.substr(name.size() + 2));
                if (isTimecode(tag)) EXPECT_EQ(after.count(rebased), before.count(tag)) << "not re-based: " << tag;
                else EXPECT_TRUE(after.contains(tag)) << "lost: " << tag;
            }
            // Added: only the timecode, its key, the new track and the video's reference to it.
            added = 0;
            for (const std::string& tag : after) {
                if (before.contains(tag)) continue;
                ++added;
                EXPECT_TRUE(isTimecode(tag) || tag.starts_with("[Track3]") ||
                            tag.starts_with("[Track1]        TimeCode"))
                    << "added: " << tag;
            }
        }
        const auto restored = runKelvatta({"--restore", (dir / "C0001.MOV").string()});
        EXPECT_EQ(restored.status, 0) << restored.out;
        EXPECT_TRUE(readBytes(dir / "C0001.MOV") == source) << layout.maker;
        std::cout << "[ FIGURES  ] maker metadata | " << layout.maker << " | exiftool tags: " << before.size()
                  << " before, all kept, " << added << " added\n";
    }
}

// A Sony clip whose rtmd samples this program does not recognise (their header says another length),
// with a start timecode in its user data written in a way it does not know: their timecodes are left
// as they were written, which a line says of each, and the line the command line ends with counts
// the clip; the rest of the clip is rewritten.
TEST(MakerMetadata, TimecodesNotUnderstoodAreNamedAndCounted)
{
    TempDir dir;
    Bytes clip = sonyClip();
    int samples = 0;
    for (size_t at = 0; at + 32 <= clip.size(); ++at) {
        if (clip[at] == 0x00 && clip[at + 1] == 0x1C && Bytes(&clip[at + 28], &clip[at + 32]) == Bytes{6, 14, 43, 52}) {
            clip[at + 1] = 0x20;
            ++samples;
        }
    }
    ASSERT_EQ(samples, 25);
    std::vector<Node> top = parseFile(clip);
    topLevel(top, "moov").children.push_back(container("udta", {textItem("\xA9TIM", "1:00:00")}));
    const fs::path path = dir / "C0001.MP4";
    writeBytes(path, serialize(top));
    const auto run = runKelvatta({path.string()});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const auto survey = surveyTimecodes(path);
    ASSERT_FALSE(survey.isError());
    EXPECT_EQ(survey->notUnderstood.size(), 2u);
    EXPECT_EQ(run.err, "已全部完成：已处理完成 1 个文件；其中 1 个文件的“rtmd”时间码保留了相机写入的值：" +
                           path.string() + "\n");
    EXPECT_EQ(formatTimecode(path), "00:00:00:00");
    EXPECT_EQ(streamTimecode(path, "d:0"), "10:00:00:00") << "the camera's, left as it was";
}
