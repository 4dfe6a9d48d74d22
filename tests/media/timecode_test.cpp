// Timecode values as a clip counts them, and the camera XML's table re-based by a text edit.
#include <gtest/gtest.h>

#include <tuple>

#include "media/sony/camera_xml.h"
#include "media/boxes/timecode_track.h"
#include "media/sony/rtmd.h"
#include "support/sony_clip.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

TimecodeValue tc(uint32_t h, uint32_t m, uint32_t s, uint32_t f, bool secondField = false)
{
    return {{h, m, s, f}, secondField};
}

// Each value keeps its distance to the first, counted as the clip counts: drop-frame numbers skipped,
// half steps, midnight passed.
TEST(Timecode, RebasesInTheClipsOwnCounting)
{
    const TimecodeCounting ndf25{25, false, false}, df30{30, true, false}, df60{60, true, false},
        half25{25, false, true};
    struct Case {
        TimecodeCounting counting;
        TimecodeValue first, value, expected;
    } cases[] = {
        {ndf25, tc(19, 57, 30, 17), tc(20, 0, 25, 21), tc(0, 2, 55, 4)},  // 4379 frames
        {df30, tc(1, 28, 59, 28), tc(1, 29, 0, 2), tc(0, 0, 0, 2)},       // ;00 and ;01 skipped
        {df30, tc(0, 0, 0, 0), tc(0, 10, 0, 0), tc(0, 10, 0, 0)},         // none skipped each tenth minute
        {df30, tc(0, 0, 59, 29), tc(0, 9, 0, 2), tc(0, 7, 59, 29)},
        {df60, tc(0, 0, 59, 58), tc(0, 1, 0, 4), tc(0, 0, 0, 2)},    // ;00 to ;03 skipped at 60
        {df30, tc(23, 59, 59, 29), tc(0, 0, 0, 1), tc(0, 0, 0, 2)},  // past midnight
        {ndf25, tc(23, 59, 59, 24), tc(0, 0, 0, 1), tc(0, 0, 0, 2)},
        {half25, tc(23, 59, 59, 24), tc(0, 0, 0, 0, true), tc(0, 0, 0, 1, true)},
        {half25, tc(10, 0, 0, 3, true), tc(10, 0, 1, 0), tc(0, 0, 0, 21, true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        const auto rebase = TimecodeRebase::make(c.counting, c.first, TimecodeValue{});
        ASSERT_TRUE(rebase);
        EXPECT_EQ((*rebase)(c.first), TimecodeValue{});
        EXPECT_EQ((*rebase)(c.value), c.expected);
    }
    // tmcd samples hold frame numbers; a day of drop-frame 29.97 has 2,589,408 of them.
    EXPECT_EQ(rebaseFrame(10, 2589408 - 5, 0, kTimecodeDropFrame | kTimecodeWrapsAt24Hours, 30), 15u);
    EXPECT_EQ(rebaseFrame(100, 40, 0, 0, 30), 60u);
}

// A new timecode track counts at the video's nominal rate, whatever its frame durations.
TEST(Timecode, NominalRateOfAVideoTrack)
{
    struct Case {
        uint32_t timescale, constant, common;
        uint64_t samples, duration;
        TimecodeRate expected;
    } cases[] = {
        {30000, 1001, 0, 30, 30030, {30000, 1001, 30}},        // constant: the track's own
        {90000, 0, 3754, 48, 180180, {24000, 1001, 24}},       // 23.976 as 3753/3754 at 90 kHz
        {90000, 0, 1502, 120, 180180, {60000, 1001, 60}},      // 59.94 as 1501/1502
        {90000, 0, 3600, 25, 88200, {25000, 1000, 25}},        // 25p whose last frame is shorter
        {90000, 0, 3000, 30, 90000 - 100, {30000, 1000, 30}},  // 30p, not 29.97 (half a percent away)
        {90000, 0, 1500, 60, 90000 - 100, {60000, 1000, 60}}, {90000, 0, 3750, 24, 90000 - 100, {24000, 1000, 24}},
        {90000, 0, 0, 60, 180000 + 900, {30000, 1001, 30}},  // a phone's varying rate, near 29.97
        {600, 0, 0, 10, 600 * 10 / 7, {7000, 1000, 7}},      // no common rate: rounded
    };
    for (const Case& c : cases) {
        const auto rate = nominalTimecodeRate(c.timescale, c.constant, c.common, c.samples, c.duration);
        ASSERT_TRUE(rate) << c.timescale << "/" << c.common;
        EXPECT_EQ(std::tuple(rate->timescale, rate->frameDuration, rate->frames),
                  std::tuple(c.expected.timescale, c.expected.frameDuration, c.expected.frames));
    }
    EXPECT_FALSE(nominalTimecodeRate(1000, 1, 0, 10, 10));  // 1000 fps does not fit the 8-bit field
    EXPECT_FALSE(nominalTimecodeRate(30000, 0, 0, 0, 0));
}

// Every sample's rtmd timecode counts on from the first, in the clip's counting (drop-frame, every
// frame of a half-step clip, past midnight); a sample whose header is not recognised keeps its place.
// The first sample that does not count on is named, with what it should and does read.
TEST(RtmdTimecodes, CountOnFromTheFirstOrNameTheJump)
{
    constexpr unsigned kFrames = 20;
    constexpr size_t kSize = kFixtureRtmdSampleSize;
    const SonyTimecode ndf25{25, false, false, {10, 0, 0, 0}};
    struct Case {
        SonyTimecode camera;
        unsigned fps;                     // how rtmd counts
        std::optional<unsigned> unknown;  // a sample whose header the program does not know
        std::optional<unsigned> jumpAt;   // samples from here on count from 09:41:08:02
    } cases[] = {
        {{30, true, false, {0, 0, 59, 20}}, 30, {}, {}},     // ;00 and ;01 skipped at 00:01:00
        {{25, false, true, {10, 0, 0, 20}}, 50, {}, {}},     // 50p counted in pairs, rtmd every frame
        {{25, false, false, {23, 59, 59, 20}}, 25, {}, {}},  // past midnight
        {ndf25, 25, 5, {}},
        {ndf25, 25, {}, 12},
        {ndf25, 25, 12, 13},
    };
    auto movie = parseMovie(sonyRtmdMovie(kFrames));
    ASSERT_FALSE(movie.isError()) << movie.error().localizedDescription;
    for (const Case& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        Bytes samples = sonyRtmdSamples(c.camera, kFrames);
        if (c.jumpAt) {
            const Bytes camera = sonyRtmdSamples({25, false, false, {9, 41, 8, 2}}, kFrames);
            std::copy(camera.begin(), camera.end() - *c.jumpAt * kSize, samples.begin() + *c.jumpAt * kSize);
        }
        if (c.unknown) samples[*c.unknown * kSize] = 0xFF;  // the header's length
        MemorySource file(samples);
        const TimecodeCounting clip{c.camera.fps, c.camera.dropFrame, c.camera.halfStep};
        const auto read = readRtmdTimecodes(*movie, movie->tracks.at(0), file, clip);
        ASSERT_FALSE(read.isError()) << read.error().localizedDescription;
        EXPECT_EQ(read->recognised, kFrames - (c.unknown ? 1 : 0));
        ASSERT_TRUE(read->counting);
        EXPECT_EQ(read->counting->framesPerSecond, c.fps);
        ASSERT_EQ(read->jump.has_value(), c.jumpAt.has_value());
        if (!c.jumpAt) continue;
        EXPECT_EQ(read->jump->frame, *c.jumpAt);
        EXPECT_EQ(read->jump->expected, tc(10, 0, 0, *c.jumpAt));
        EXPECT_EQ(read->jump->found, tc(9, 41, 8, 2));
    }
}

std::string table(const std::string& attributes, const std::string& first, const std::string& last)
{
    return "<NonRealTimeMeta><LtcChangeTable " + attributes + ">\r\n<LtcChange frameCount=\"0\" value=\"" + first +
           "\" status=\"increment\"/>\r\n<LtcChange frameCount=\"9\" value=\"" + last +
           "\" status=\"end\"/></LtcChangeTable><Device modelName=\"ILME-FX3\"/></NonRealTimeMeta>";
}

// Only the digits of the values change; a text this program does not fully understand is left alone.
TEST(CameraXml, RebasesTheLtcChangeTableByATextEdit)
{
    struct Case {
        std::string source, expected;
    } cases[] = {
        {table("tcFps=\"25\" halfStep=\"false\"", "17305719", "21250020"),
         table("tcFps=\"25\" halfStep=\"false\"", "00000000", "04550200")},
        // drop-frame bit kept; 01:29:21;27 + 30 frames
        {table("tcFps=\"30\" halfStep=\"false\"", "67212901", "67222901"),
         table("tcFps=\"30\" halfStep=\"false\"", "40000000", "40010000")},
        // half-step: the second frame of a pair marked in the seconds
        {table("halfStep='true' tcFps='25'", "24595923", "00800000"),
         table("halfStep='true' tcFps='25'", "00000000", "01800000")},
        // colour-frame bit kept, lower-case hex kept
        {table("tcFps=\"25\"", "a0000010", "a1000010"), table("tcFps=\"25\"", "80000000", "81000000")},
        {table("tcFps=\"25\"", "00000000", "05000000"), table("tcFps=\"25\"", "00000000", "05000000")},
        // a table in a comment or a CDATA section is no table
        {"<?xml version=\"1.0\"?><!-- was: " + table("tcFps=\"30\"", "99999999", "21250020") + " -->" +
             table("tcFps=\"25\"", "17305719", "21250020") + "<![CDATA[" + table("tcFps=\"25\"", "1", "2") + "]]>",
         "<?xml version=\"1.0\"?><!-- was: " + table("tcFps=\"30\"", "99999999", "21250020") + " -->" +
             table("tcFps=\"25\"", "00000000", "04550200") + "<![CDATA[" + table("tcFps=\"25\"", "1", "2") + "]]>"},
    };
    for (const Case& c : cases) {
        const auto rebased = rebaseCameraXml(c.source, Timecode{});
        ASSERT_TRUE(rebased) << c.source;
        EXPECT_EQ(rebased->text, c.expected);
        EXPECT_EQ(rebased->changed, c.source != c.expected);
    }

    for (const std::string& refused : {
             std::string("<NonRealTimeMeta/>"),
             table("", "17305719", "21250020"),                             // no rate
             table("tcFps=\"25\"", "1730571", "21250020"),                  // seven digits
             table("tcFps=\"25\"", "17305719", "2125002g"),                 // not hex
             table("tcFps=\"25\"", "17305729", "21250020"),                 // hour 29
             table("tcFps=\"25\"", "17305719", "21250020").substr(0, 120),  // cut short
             table("tcFps=\"25\"", "30305719", "21250020"),                 // frame 30 at 25
             "<!DOCTYPE x [<!ENTITY e \"1\">]>" + table("tcFps=\"25\"", "17305719", "21250020"),
         })
        EXPECT_FALSE(rebaseCameraXml(refused, Timecode{})) << refused;
}

}  // namespace
