// The general export path (libavformat) on sources made here with ffmpeg, which the export sends
// there by their content: Matroska, AVI, fragmented MP4, and what it must refuse. Checked with ffprobe.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "media/export_job.h"
#include "media/media_error.h"
#include "support/clips.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

// The folder of the sources, made once per test program: ffmpeg takes most of the time here.
const fs::path& fixtures()
{
    static const TempDir folder;
    return folder.path();
}

// A source made by ffmpeg with arguments (inputs and codecs), once.
fs::path made(const std::string& name, const std::string& arguments)
{
    const fs::path file = fixtures() / name;
    if (!fs::exists(file)) shell("ffmpeg -nostdin -v error -y " + arguments + " " + shellQuote(file));
    return file;
}

const std::string kPicture = "-f lavfi -i testsrc2=size=320x240:rate=25 ";
const std::string kSound = "-f lavfi -i sine=sample_rate=48000 ";
std::string words()
{
    writeFile(fixtures() / "words.srt", "1\n00:00:00,000 --> 00:00:01,000\nhello\n");
    return "-i " + shellQuote(fixtures() / "words.srt") + " ";
}

fs::path mkvH264Aac()
{
    // B-frames (Matroska stores no decoding times), and a timecode of its own that must not survive.
    return made("h264_aac.mkv", kPicture + kSound +
                                    "-t 2 -c:v libx264 -bf 2 -g 12 -c:a aac -metadata title=Holiday "
                                    "-metadata timecode=01:02:03:04 -metadata:s:v timecode=05:06:07:08");
}

// The export as the program runs it: the path is chosen by the source's content.
ErrorOr<void> remux(const fs::path& source, const fs::path& output, ExportControl& control)
{
    return runExport(ExportJob{source, output, std::string(kFileTypeMPEG4), zeroTimecodeItems()}, control);
}

struct Case {
    const char* name;
    fs::path (*source)();
    const char* muxer;         // "mp4" or "mov"
    const char* streams;       // codec names expected in the output, in order, before the timecode track
    const char* maps;          // the streams ffmpeg's own stream copy takes for comparison
    double timecodeRate = 25;  // frames per second the timecode track counts
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class GeneralRemuxSources : public ::testing::TestWithParam<Case> {};

TEST_P(GeneralRemuxSources, CopiesStreamsWithOnlyTheZeroTimecode)
{
    const Case& c = GetParam();
    const TempDir out;
    const fs::path input = c.source();
    const std::string before = readFile(input);
    ASSERT_FALSE(before.empty());
    const fs::path output = out / "temp_clip";
    ExportControl control;
    LogCapture log;
    auto result = remux(input, output, control);
    ASSERT_FALSE(result.isError()) << result.error().localizedDescription;
    EXPECT_EQ(log.lines(), std::vector<std::string>{});
    EXPECT_GT(control.progress(), 0.9);
    EXPECT_EQ(readFile(input), before) << "the source changed";

    // The source's title, the zero timecode (the brand tags come from ftyp) and one timecode track,
    // which the video reads too.
    const std::string brands = c.muxer == std::string("mp4") ? "mp42iso2avc1mp41" : "mp42";
    const std::string title = probe(input, "-show_entries format_tags=title -of csv=p=0");
    EXPECT_EQ(probe(output, "-show_entries format_tags -of compact"),
              "format|tag:major_brand=mp42|tag:minor_version=512|tag:compatible_brands=" + brands +
                  (title.empty() ? "" : "|tag:title=" + title) + "|tag:timecode=00:00:00:00");
    std::string streams = probe(output, "-show_entries stream=codec_name:stream_tags=timecode -of csv=p=0");
    for (size_t at; (at = streams.find(",\n")) != std::string::npos;) streams.erase(at, 1);  // empty side data
    EXPECT_EQ(streams + "\n", std::string(c.streams) + "unknown,00:00:00:00\n");
    // The timecode counts at the video's real rate, not its average over dropped frames.
    const std::string rates = probe(output, "-show_entries stream=codec_tag_string,avg_frame_rate -of csv=p=0");
    const size_t at = rates.find("tmcd,");
    double num = 0, den = 0;
    ASSERT_TRUE(at != std::string::npos && std::sscanf(rates.c_str() + at, "tmcd,%lf/%lf", &num, &den) == 2) << rates;
    EXPECT_NEAR(num / den, c.timecodeRate, 0.001) << rates;

    const std::string hashes = packetHash(input);
    EXPECT_NE(hashes.find(",v,MD5="), std::string::npos);
    EXPECT_NE(hashes.find(",a,MD5="), std::string::npos);
    EXPECT_EQ(packetHash(output), hashes);

    // The timing of FFmpeg's own stream copy into the same muxer.
    const fs::path reference = out / "reference";
    shell("ffmpeg -nostdin -v error -i " + shellQuote(input) + " -c copy " + c.maps +
          " -map_metadata -1 -metadata timecode=00:00:00:00 -movflags use_metadata_tags -fflags +bitexact "
          "-brand mp42 -f " +
          c.muxer + " " + shellQuote(reference));
    const std::string packets = "-show_entries packet=stream_index,pts,dts,duration,size,flags -of csv";
    EXPECT_EQ(probe(output, packets), probe(reference, packets));

    // The display matrix of a rotated clip is kept.
    const auto rotated = [](const fs::path& f) {
        return probe(f, "-show_streams").find("rotation=90") != std::string::npos;
    };
    EXPECT_EQ(rotated(output), rotated(input));
}

INSTANTIATE_TEST_SUITE_P(
    Containers, GeneralRemuxSources,
    ::testing::Values(
        Case{"MkvH264Aac", mkvH264Aac, "mp4", "h264,00:00:00:00\naac\n", "-map 0:v -map 0:a"},
        // PCM needs the mov muxer; the SRT subtitle becomes timed text.
        Case{"MkvH264PcmSrt",
             [] {
                 return made("h264_pcm_srt.mkv", kPicture + kSound + words() +
                                                     "-t 2 -map 0 -map 1 -map 2 -c:v libx264 "
                                                     "-c:a pcm_s16le -c:s srt");
             },
             "mov", "h264,00:00:00:00\npcm_s16le\nmov_text\n", "-map 0:v -map 0:a -map 0:s -c:s mov_text"},
        // Named .mp4, it is still AVI: the path goes by the content.
        Case{"AviMjpegPcm",
             [] { return made("mjpeg_pcm.mp4", kPicture + kSound + "-t 2 -c:v mjpeg -c:a pcm_s16le -f avi"); }, "mov",
             "mjpeg,00:00:00:00\npcm_s16le\n", "-map 0:v -map 0:a"},
        // Rotated, with timed text (kept), and a timecode track at 10:00:00:00 and a title of its own.
        Case{"FragmentedMp4",
             [] {
                 const fs::path plain =
                     made("plain.mp4", "-f lavfi -i testsrc2=size=320x240:rate=30000/1001 " + kSound + words() +
                                           "-t 2 -map 0 -map 1 -map 2 "
                                           "-c:v libx264 -bf 2 -c:a aac -c:s mov_text");
                 return made("fragmented.mp4", "-i " + shellQuote(plain) +
                                                   " -map 0 -c copy -metadata:s:v rotate=90 -timecode 10:00:00:00 "
                                                   "-metadata title=Trip -movflags frag_keyframe+empty_moov");
             },
             "mp4", "h264,00:00:00:00\naac\nmov_text\n", "-map 0:v -map 0:a -map 0:s", 30000.0 / 1001},
        // A recorder that dropped every fifth frame: on average 20 frames a second, shot at 25.
        Case{"FragmentedWithDroppedFrames",
             [] {
                 const fs::path gaps = made("gaps.mkv", kPicture + kSound +
                                                            "-t 2 -vf \"select='not(eq(mod(n\\,5)\\,1))'\" "
                                                            "-fps_mode passthrough -c:v libx264 -c:a aac");
                 return made("gaps.mp4", "-i " + shellQuote(gaps) + " -c copy -movflags frag_keyframe+empty_moov");
             },
             "mp4", "h264,00:00:00:00\naac\n", "-map 0:v -map 0:a"},
        // A frame stamped with its neighbour's time, which the muxer refuses unless mended.
        Case{"MkvWithRepeatedTime",
             [] {
                 return made("repeated.mkv", kPicture + kSound +
                                                 "-t 2 -c:v libx264 -bf 0 -c:a aac "
                                                 "-bsf:v 'setts=ts=if(eq(N\\,10)\\,TS-100\\,TS)'");
             },
             "mp4", "h264,00:00:00:00\naac\n", "-map 0:v -map 0:a"},
        // Times from a recorder's clock: kept as they are, the clip would open on an hour of nothing.
        Case{"MkvStartingLate",
             [] { return made("late.mkv", "-i " + shellQuote(mkvH264Aac()) + " -c copy -output_ts_offset 3600"); },
             "mp4", "h264,00:00:00:00\naac\n", "-map 0:v -map 0:a"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A Matroska clip with what MP4 carries (SubRip text with markup, chapters, a title) and what it
// cannot (styled ASS text, a font, the overlap of two cues): a copy keeps the first and names the
// rest; a replacement is refused.
TEST(GeneralRemux, KeepsWhatMp4CarriesAndNamesOrRefusesTheRest)
{
    writeFile(fixtures() / "marked.srt",
              "1\n00:00:00,500 --> 00:00:01,000\n<i>hello</i> {\\an8}<b>a < b</b>\n\n"
              "2\n00:00:00,800 --> 00:00:01,200\nlate\n\n");
    writeFile(fixtures() / "tags.txt",
              ";FFMETADATA1\ntitle=Holiday\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\n"
              "title=Opening\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Closing\n");
    writeFile(fixtures() / "font.ttf", "glyphs");
    const auto in = [](const char* name) { return shellQuote(fixtures() / name); };
    const std::string maps = " -t 2 -map 0 -map 1 -map 1 -map_metadata 2 -map_chapters 2 -attach " + in("font.ttf");
    const fs::path input =
        made("extras.mkv", kPicture + "-i " + in("marked.srt") + " -i " + in("tags.txt") + maps +
                               " -metadata:s:t mimetype=font/ttf -c:v libx264 -c:s:0 srt -c:s:1 ass");
    const std::string before = readFile(input);
    for (const bool keepsSource : {true, false}) {
        const TempDir out;
        ExportControl control;
        LogCapture log;
        ExportJob job{input, out / "clip.mp4", std::string(kFileTypeMPEG4), zeroTimecodeItems()};
        job.keepsSource = keepsSource;
        const auto result = runExport(job, control);
        EXPECT_EQ(readFile(input), before) << "the source changed";
        if (!keepsSource) {
            ASSERT_TRUE(result.isError());
            EXPECT_EQ(result.error().localizedDescription,
                      "无法保留文件“extras.mkv”中的以下内容，未替换原文件：字幕流（ass）、"
                      "附件（font.ttf）（另存为可保存不含这些内容的副本）");
            EXPECT_FALSE(fs::exists(job.output));
            continue;
        }
        ASSERT_FALSE(result.isError()) << result.error().localizedDescription;
        const std::string left = "略过的流：" + input.string() + " 中的";
        EXPECT_EQ(log.lines(), (std::vector<std::string>{left + "字幕流（ass），MP4 文件无法携带",
                                                         left + "附件（font.ttf），MP4 文件无法携带",
                                                         left + "字幕流（subrip）的重叠部分，MP4 文件无法携带"}));
        // Video, timed text, the chapter track and the timecode track; the title and both chapters.
        EXPECT_EQ(probe(job.output,
                        "-show_entries stream=codec_name:format_tags=title:chapter=start_time:"
                        "chapter_tags=title -of csv=p=0"),
                  "h264\nmov_text\nbin_data\nunknown\n0.000000,Opening\n1.000000,Closing\nHoliday");
        EXPECT_EQ(shell("ffmpeg -nostdin -v error -i " + shellQuote(job.output) + " -map 0:s -f srt -").out,
                  "1\n00:00:00,500 --> 00:00:00,800\nhello a < b\n\n2\n00:00:00,800 --> 00:00:01,200\nlate\n\n");
    }
}

fs::path written(const std::string& name, const std::string& bytes)
{
    writeFile(fixtures() / name, bytes);
    return fixtures() / name;
}

// Sources the general path must refuse with a text naming the file and the reason, writing nothing.
// Run from the sources' folder, where a list that names another clip would find it.
TEST(GeneralRemux, RefusesWhatItCannotCarryWithAClearErrorAndWritesNothing)
{
    const TempDir out;
    const std::string notVideo = "不是可识别的视频文件";
    const std::string cut = readFile(mkvH264Aac());
    mkfifo((fixtures() / "pipe.mkv").c_str(), 0644);
    const std::pair<fs::path, std::string> cases[] = {
        {made("vp8.mkv", kPicture + "-t 0.4 -c:v libvpx"), "的视频编码 vp8 不能写入 MP4 文件"},
        {made("audio.mkv", kSound + "-t 0.5 -c:a aac"), notVideo},
        {written("cut.mkv", cut.substr(0, cut.size() * 3 / 4)), "已损坏，无法完整读取：文件中有无法解析的数据"},
        {fixtures() / "pipe.mkv", notVideo},  // would wait for a writer
        // Would make libavformat listen on the network and wait for a stream.
        {written("stream.mkv",
                 "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=x\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                 "m=video 5004 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"),
         notVideo},
        // A list naming another clip, which libavformat would resolve against the working folder and
        // export in this one's place.
        {written("list.mkv", "ffconcat version 1.0\nfile '" + mkvH264Aac().filename().string() + "'\n"), notVideo},
    };
    const fs::path previous = fs::current_path();
    fs::current_path(fixtures());
    for (const auto& [input, reason] : cases) {
        ExportControl control;
        const auto result = remux(input, out / "out.mp4", control);
        ASSERT_TRUE(result.isError()) << input;
        EXPECT_NE(result.error().localizedDescription.find("“" + input.filename().string() + "”"), std::string::npos);
        EXPECT_TRUE(result.error().localizedDescription.ends_with(reason)) << result.error().localizedDescription;
        EXPECT_FALSE(fs::exists(fs::symlink_status(out / "out.mp4")));
    }
    fs::current_path(previous);
}

// Both paths share one table of codes: a codec MP4 cannot hold is "unsupported", as in the box path.
TEST(GeneralRemux, RefusedCodecHasTheBoxPathsCode)
{
    const TempDir out;
    ExportControl control;
    const auto result = remux(made("vp8.mkv", kPicture + "-t 0.4 -c:v libvpx"), out / "out.mp4", control);
    ASSERT_TRUE(result.isError());
    EXPECT_TRUE(isExportError(result.error(), ExportErrorCode::unsupported)) << result.error().code;
}

}  // namespace
