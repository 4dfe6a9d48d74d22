// The general export path (libavformat) on sources made here with ffmpeg, which the export sends
// there by their content: Matroska, AVI, fragmented MP4, and what it must refuse. Checked with ffprobe.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "media/export_job.h"
#include "platform/sys.h"
#include "support/clips.h"
#include "support/fault_plan.h"
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
    // B-frames (Matroska stores no decoding times), and metadata of its own that must not survive.
    return made("h264_aac.mkv", kPicture + kSound + "-t 2 -c:v libx264 -bf 2 -g 12 -c:a aac -metadata title=Holiday "
                                                    "-metadata timecode=01:02:03:04 -metadata:s:v timecode=05:06:07:08");
}

// The export as the program runs it: the path is chosen by the source's content.
ErrorOr<void> remux(const fs::path& source, const fs::path& output, ExportControl& control)
{
    return runExport(ExportJob{source, output, std::string(kFileTypeMPEG4), zeroTimecodeItems()}, control);
}

// Each test writes into a folder of its own.
class GeneralRemux : public ::testing::Test {
protected:
    TempDir out;
};

struct Case {
    const char* name;
    fs::path (*source)();
    const char* muxer;  // "mp4" or "mov"
    const char* streams;  // codec names expected in the output, in order, before the timecode track
    const char* maps;  // the streams ffmpeg's own stream copy takes for comparison
    double timecodeRate = 25;  // frames per second the timecode track counts
    const char* leftOut = nullptr;  // the line naming a stream left out
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class GeneralRemuxSources : public GeneralRemux, public ::testing::WithParamInterface<Case> {};

TEST_P(GeneralRemuxSources, CopiesStreamsWithOnlyTheZeroTimecode)
{
    const Case& c = GetParam();
    const fs::path input = c.source();
    const std::string before = readFile(input);
    ASSERT_FALSE(before.empty());
    ::chmod(input.c_str(), 0640);
    const fs::path output = out / "temp_clip";
    ExportControl control;
    LogCapture log;
    auto result = remux(input, output, control);
    ASSERT_FALSE(result.isError()) << result.error().localizedDescription;
    EXPECT_EQ(log.lines(), c.leftOut ? std::vector<std::string>{"略过的流：" + input.string() + c.leftOut}
                                     : std::vector<std::string>{});
    EXPECT_GT(control.progress(), 0.9);
    EXPECT_EQ(readFile(input), before) << "the source changed";

    // Exactly one metadata item (the brand tags come from ftyp) and one timecode track, which the
    // video reads too.
    const std::string brands = c.muxer == std::string("mp4") ? "mp42iso2avc1mp41" : "mp42";
    EXPECT_EQ(probe(output, "-show_entries format_tags -of compact"),
              "format|tag:major_brand=mp42|tag:minor_version=512|tag:compatible_brands=" + brands +
                  "|tag:timecode=00:00:00:00");
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
    shell("ffmpeg -nostdin -v error -i " + shellQuote(input) + " " + c.maps +
          " -c copy -map_metadata -1 -metadata timecode=00:00:00:00 -movflags use_metadata_tags -fflags +bitexact "
          "-brand mp42 -f " + c.muxer + " " + shellQuote(reference));
    const std::string packets = "-show_entries packet=stream_index,pts,dts,duration,size,flags -of csv";
    EXPECT_EQ(probe(output, packets), probe(reference, packets));

    // The display matrix of a rotated clip is kept; the mode and times of the source too.
    const auto rotated = [](const fs::path& f) { return probe(f, "-select_streams v:0 -show_streams").find("rotation=90"); };
    EXPECT_EQ(rotated(output) == std::string::npos, rotated(input) == std::string::npos);
    struct stat in {}, written {};
    ASSERT_EQ(::stat(input.c_str(), &in), 0);
    ASSERT_EQ(::stat(output.c_str(), &written), 0);
    EXPECT_EQ(written.st_mode & 07777, 0640u);
    EXPECT_EQ(std::pair(written.st_mtim.tv_sec, written.st_mtim.tv_nsec), std::pair(in.st_mtim.tv_sec, in.st_mtim.tv_nsec));
}

INSTANTIATE_TEST_SUITE_P(
    Containers, GeneralRemuxSources,
    ::testing::Values(
        Case{"MkvH264Aac", mkvH264Aac, "mp4", "h264,00:00:00:00\naac\n", "-map 0:v -map 0:a"},
        // PCM needs the mov muxer; the SRT subtitle stays behind.
        Case{"MkvH264PcmSrt",
             [] { return made("h264_pcm_srt.mkv", kPicture + kSound + words() + "-t 2 -map 0 -map 1 -map 2 -c:v libx264 "
                                                                               "-c:a pcm_s16le -c:s srt"); },
             "mov", "h264,00:00:00:00\npcm_s16le\n", "-map 0:v -map 0:a", 25, " 中的字幕流（subrip），MP4 文件无法携带"},
        // Named .mp4, it is still AVI: the path goes by the content.
        Case{"AviMjpegPcm", [] { return made("mjpeg_pcm.mp4", kPicture + kSound + "-t 2 -c:v mjpeg -c:a pcm_s16le -f avi"); },
             "mov", "mjpeg,00:00:00:00\npcm_s16le\n", "-map 0:v -map 0:a"},
        // Rotated, with timed text (kept), and a timecode track at 10:00:00:00 and a title of its own.
        Case{"FragmentedMp4",
             [] {
                 const fs::path plain = made("plain.mp4", "-f lavfi -i testsrc2=size=320x240:rate=30000/1001 " + kSound +
                                                              words() + "-t 2 -map 0 -map 1 -map 2 -c:v libx264 -bf 2 "
                                                                       "-c:a aac -c:s mov_text");
                 return made("fragmented.mp4", "-i " + shellQuote(plain) +
                                                   " -map 0 -c copy -metadata:s:v rotate=90 -timecode 10:00:00:00 "
                                                   "-metadata title=Trip -movflags frag_keyframe+empty_moov");
             },
             "mp4", "h264,00:00:00:00\naac\nmov_text\n", "-map 0:v -map 0:a -map 0:s", 30000.0 / 1001},
        // A recorder that dropped every fifth frame: on average 20 frames a second, shot at 25.
        Case{"FragmentedWithDroppedFrames",
             [] {
                 const fs::path gaps = made("gaps.mkv", kPicture + kSound + "-t 2 -vf \"select='not(eq(mod(n\\,5)\\,1))'\" "
                                                                            "-fps_mode passthrough -c:v libx264 -c:a aac");
                 return made("gaps.mp4", "-i " + shellQuote(gaps) + " -c copy -movflags frag_keyframe+empty_moov");
             },
             "mp4", "h264,00:00:00:00\naac\n", "-map 0:v -map 0:a"},
        // A frame stamped with its neighbour's time, which the muxer refuses unless mended.
        Case{"MkvWithRepeatedTime",
             [] {
                 return made("repeated.mkv", kPicture + kSound + "-t 2 -c:v libx264 -bf 0 -c:a aac "
                                                                 "-bsf:v 'setts=ts=if(eq(N\\,10)\\,TS-100\\,TS)'");
             },
             "mp4", "h264,00:00:00:00\naac\n", "-map 0:v -map 0:a"},
        // Times from a recorder's clock: kept as they are, the clip would open on an hour of nothing.
        Case{"MkvStartingLate",
             [] { return made("late.mkv", "-i " + shellQuote(mkvH264Aac()) + " -c copy -output_ts_offset 3600"); }, "mp4",
             "h264,00:00:00:00\naac\n", "-map 0:v -map 0:a"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

struct Refusal {
    const char* name;
    fs::path (*source)();
    const char* description;  // %s stands for the source's name
};
void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class GeneralRemuxRefusals : public GeneralRemux, public ::testing::WithParamInterface<Refusal> {};

// Run from the sources' folder, where a list that names another clip would find it.
TEST_P(GeneralRemuxRefusals, FailWithAClearErrorAndWriteNothing)
{
    const fs::path input = GetParam().source(), output = out / "out.mp4", previous = fs::current_path();
    fs::current_path(fixtures());
    ExportControl control;
    auto result = remux(input, output, control);
    fs::current_path(previous);
    ASSERT_TRUE(result.isError());
    std::string expected = GetParam().description;
    expected.replace(expected.find("%s"), 2, input.filename().string());
    EXPECT_EQ(result.error().localizedDescription, expected);
    EXPECT_FALSE(fs::exists(fs::symlink_status(output)));
}

fs::path written(const std::string& name, const std::string& bytes)
{
    writeFile(fixtures() / name, bytes);
    return fixtures() / name;
}

const char* const kNotVideo = "文件“%s”不是可识别的视频文件";
const char* const kBroken = "文件“%s”已损坏，无法完整读取：文件中有无法解析的数据";  // cut short inside a cluster

INSTANTIATE_TEST_SUITE_P(
    Sources, GeneralRemuxRefusals,
    ::testing::Values(
        Refusal{"Vp8", [] { return made("vp8.mkv", kPicture + "-t 0.4 -c:v libvpx"); },
                "文件“%s”的视频编码 vp8 不能写入 MP4 文件"},
        // mp4 refuses the PCM audio and mov the VP9 video: the video is named.
        Refusal{"Vp9WithPcm", [] { return made("vp9_pcm.mkv", kPicture + kSound + "-t 0.4 -c:v libvpx-vp9 -c:a pcm_s16le"); },
                "文件“%s”的视频编码 vp9 不能写入 MP4 文件"},
        // Audio that starts after the part of the file the probe reads: its parameters stay unknown.
        Refusal{"AudioBeyondTheProbe",
                [] {
                    const fs::path video = made("video.ts", "-f lavfi -i testsrc2=size=640x480:rate=25 -t 12 -c:v libx264 "
                                                            "-preset ultrafast -qp 0");
                    const fs::path both = made("both.ts", kPicture + kSound + "-t 1 -c:v libx264 -c:a aac "
                                                                            "-output_ts_offset 12");
                    return written("late_audio.ts", readFile(video) + readFile(both));
                },
                "无法读取文件“%s”中音频流（aac）的参数"},
        Refusal{"AudioOnly", [] { return made("audio.mkv", kSound + "-t 0.5 -c:a aac"); }, kNotVideo},
        Refusal{"MkvCutShort", [] { const auto b = readFile(mkvH264Aac()); return written("cut.mkv", b.substr(0, b.size() * 3 / 4)); },
                kBroken},
        // Would wait for a writer.
        Refusal{"NamedPipe",
                [] {
                    ::mkfifo((fixtures() / "pipe.mkv").c_str(), 0644);
                    return fixtures() / "pipe.mkv";
                },
                kNotVideo},
        // Would make libavformat listen on the network and wait for a stream.
        Refusal{"NetworkSessionDescription",
                [] {
                    return written("stream.mkv", "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=x\r\nc=IN IP4 127.0.0.1\r\n"
                                                 "t=0 0\r\nm=video 5004 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n");
                },
                kNotVideo},
        // A list naming another clip, which libavformat would resolve against the working folder and
        // export in this one's place.
        Refusal{"ListOfAnotherClip",
                [] { return written("list.mkv", "ffconcat version 1.0\nfile '" + mkvH264Aac().filename().string() + "'\n"); },
                kNotVideo}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// A source that grows while it is read (a clip still being copied in): the export fails saying so,
// and leaves nothing.
TEST_F(GeneralRemux, SourceChangedDuringTheExportFailsIt)
{
    const fs::path input = out / "large.avi", output = out / "temp_large.avi";
    ASSERT_EQ(shell("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=640x480:rate=25 " + kSound +
                    "-t 4 -c:v mjpeg -q:v 2 -c:a pcm_s16le " + shellQuote(input))  // a few MB: several reads
                  .status,
              0);
    FaultPlan append{.only = sys::Call::Read, .nth = 2, .act = [&](sys::Call) {
                         std::ofstream(input, std::ios::app) << "more";
                         return 0;
                     }};
    ExportControl control;
    ErrorOr<void> result;
    {
        ScopedFaults faults(append);
        result = remux(input, output, control);
    }
    ASSERT_TRUE(result.isError());
    EXPECT_EQ(result.error().localizedDescription, "文件“large.avi”在导出过程中被修改");
    EXPECT_FALSE(fs::exists(output));
}

}  // namespace
