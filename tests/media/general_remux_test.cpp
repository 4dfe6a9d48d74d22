// The general export path on sources made here with ffmpeg, checked with ffprobe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "media/export_session.h"
#include "media/general_remux.h"
#include "platform/sys.h"

using namespace kelvatta;
namespace fs = std::filesystem;

namespace {

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs a shell command and returns its standard output; fails the test when it exits non-zero.
std::string run(const std::string& command)
{
    std::string out;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return out;
    }
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
    int status = pclose(pipe);
    EXPECT_EQ(status, 0) << command;
    return out;
}

void ffmpeg(const std::string& arguments) { run("ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments); }

std::string probe(const fs::path& file, const std::string& entries)
{
    return run("ffprobe -v error -show_entries " + entries + " -of compact " + shellQuote(file.string()));
}

// Hashes of the packet data of every audio and video stream, as ffmpeg's stream copy reads them.
std::string streamHashes(const fs::path& file)
{
    return run("ffmpeg -nostdin -v error -i " + shellQuote(file.string()) +
               " -map 0:v -map 0:a? -c copy -f streamhash -hash md5 -");
}

// Pts, dts, duration, size and flags of every packet.
std::string packetTimes(const fs::path& file)
{
    return probe(file, "packet=stream_index,pts,dts,duration,size,flags");
}

std::string readFile(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

constexpr const char* kTestSrc = "-f lavfi -i testsrc2=size=320x240:rate=25 ";
constexpr const char* kSine = "-f lavfi -i sine=sample_rate=48000 ";

// Sources are made once for all tests: ffmpeg takes most of the time here.
class Fixtures {
public:
    static Fixtures& get()
    {
        static Fixtures fixtures;
        return fixtures;
    }
    ~Fixtures() { fs::remove_all(dir); }

    fs::path dir;
    fs::path subtitles;

private:
    Fixtures()
    {
        char pattern[] = "/tmp/kelvatta-general-remux-XXXXXX";
        dir = mkdtemp(pattern);
        subtitles = dir / "words.srt";
        writeFile(subtitles, "1\n00:00:00,000 --> 00:00:01,000\nhello\n");
    }
};

// A fixture made by ffmpeg, once, under the fixtures folder.
fs::path source(const std::string& name, const std::string& arguments)
{
    fs::path file = Fixtures::get().dir / name;
    if (!fs::exists(file)) ffmpeg(arguments + " " + shellQuote(file.string()));
    return file;
}

ExportJob jobFor(const fs::path& source, const fs::path& output)
{
    ExportJob job;
    job.source = source;
    job.output = output;
    job.fileType = std::string(kFileTypeMPEG4);
    job.metadata = {{MetadataItem::identifierForKey("timecode", kMetadataKeySpaceQuickTimeMetadata), "00:00:00:00",
                     std::string(kMetadataDataTypeString)}};
    return job;
}

// A folder of its own for each test's outputs.
class GeneralRemux : public ::testing::Test {
protected:
    void SetUp() override
    {
        out = Fixtures::get().dir / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(out);
        fs::create_directories(out);
    }
    void TearDown() override
    {
        sys::setFaultHook(nullptr, nullptr);
        fs::remove_all(out);
    }

    // A clip of a few megabytes, so reads and writes take several system calls.
    static fs::path largeClip()
    {
        return source("large.avi", std::string("-f lavfi -i testsrc2=size=640x480:rate=25 ") + kSine +
                                       "-t 4 -c:v mjpeg -q:v 2 -c:a pcm_s16le");
    }

    fs::path out;
};

struct Case {
    const char* name;
    std::string (*make)();
    const char* muxer;  // "mp4" or "mov"
    std::vector<std::string> streams;  // codec names expected in the output, in order
    const char* referenceMaps;  // the streams ffmpeg's own stream copy takes for comparison
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string mkvH264Aac()
{
    // B-frames (Matroska stores no decoding times), and metadata of its own that must not survive.
    return source("h264_aac.mkv", std::string(kTestSrc) + kSine +
                                      "-t 2 -c:v libx264 -bf 2 -g 12 -c:a aac -metadata title=Holiday "
                                      "-metadata timecode=01:02:03:04 -metadata:s:v timecode=05:06:07:08")
        .string();
}

std::string mkvH264PcmSrt()
{
    return source("h264_pcm_srt.mkv", std::string(kTestSrc) + kSine + "-i " +
                                          shellQuote(Fixtures::get().subtitles.string()) +
                                          " -t 2 -map 0 -map 1 -map 2 -c:v libx264 -c:a pcm_s16le -c:s srt")
        .string();
}

std::string aviMjpegPcm()
{
    return source("mjpeg_pcm.avi", std::string(kTestSrc) + kSine + "-t 2 -c:v mjpeg -c:a pcm_s16le").string();
}

std::string fragmentedMp4()
{
    // Rotated, with timed text, a timecode track of its own at 10:00:00:00 and a title.
    fs::path plain = source("plain.mp4", std::string("-f lavfi -i testsrc2=size=320x240:rate=30000/1001 ") +
                                             "-f lavfi -i sine=sample_rate=44100 -i " +
                                             shellQuote(Fixtures::get().subtitles.string()) +
                                             " -t 2 -map 0 -map 1 -map 2 -c:v libx264 -bf 2 -c:a aac -c:s mov_text");
    return source("fragmented.mp4", "-i " + shellQuote(plain.string()) +
                                        " -map 0 -c copy -metadata:s:v rotate=90 -timecode 10:00:00:00 "
                                        "-metadata title=Trip -movflags frag_keyframe+empty_moov")
        .string();
}

class GeneralRemuxSources : public GeneralRemux, public ::testing::WithParamInterface<Case> {};

TEST_P(GeneralRemuxSources, CopiesStreamsWithOnlyTheZeroTimecode)
{
    const Case& c = GetParam();
    const fs::path input = c.make();
    const std::string before = readFile(input);
    ASSERT_FALSE(before.empty());
    chmod(input.c_str(), 0640);
    const fs::path output = out / "temp_clip";
    ExportControl control;

    auto result = remuxGeneral(jobFor(input, output), control);

    ASSERT_FALSE(result.isError()) << result.error().localizedDescription;
    EXPECT_GT(control.progress(), 0.9);
    EXPECT_EQ(readFile(input), before) << "the source changed";

    // Exactly one metadata item; the brand tags come from ftyp.
    std::string brand = c.muxer == std::string("mp4") ? "mp42iso2avc1mp41" : "mp42";
    EXPECT_EQ(probe(output, "format_tags"), "format|tag:major_brand=mp42|tag:minor_version=512|tag:compatible_brands=" +
                                                brand + "|tag:timecode=00:00:00:00\n");

    // The copied streams in source order, then one timecode track; the video reads 00:00:00:00.
    std::string expected;
    for (const std::string& codec : c.streams) {
        expected += "stream|codec_name=" + codec;
        if (codec == "h264" || codec == "mjpeg") expected += "|tag:timecode=00:00:00:00";
        expected += "\n";
    }
    expected += "stream|codec_name=unknown|tag:timecode=00:00:00:00\n";
    std::string streams = probe(output, "stream=codec_name:stream_tags=timecode");
    for (size_t at; (at = streams.find("|side_data|")) != std::string::npos;) streams.erase(at, 11);
    EXPECT_EQ(streams, expected);

    const std::string hashes = streamHashes(input);
    EXPECT_NE(hashes.find(",v,MD5="), std::string::npos);
    EXPECT_NE(hashes.find(",a,MD5="), std::string::npos);
    EXPECT_EQ(streamHashes(output), hashes);

    // The same timing as FFmpeg's own stream copy into the same muxer.
    const fs::path reference = out / "reference";
    ffmpeg("-i " + shellQuote(input.string()) + " " + c.referenceMaps +
           " -c copy -map_metadata -1 -metadata timecode=00:00:00:00 -movflags use_metadata_tags -fflags +bitexact "
           "-brand mp42 -f " + c.muxer + " " + shellQuote(reference.string()));
    EXPECT_EQ(packetTimes(output), packetTimes(reference));

    struct stat in {}, made {};
    ASSERT_EQ(stat(input.c_str(), &in), 0);
    ASSERT_EQ(stat(output.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0640u);
    EXPECT_EQ(made.st_mtim.tv_sec, in.st_mtim.tv_sec);
    EXPECT_EQ(made.st_mtim.tv_nsec, in.st_mtim.tv_nsec);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, GeneralRemuxSources,
    ::testing::Values(Case{"MkvH264Aac", mkvH264Aac, "mp4", {"h264", "aac"}, "-map 0:v -map 0:a"},
                      // PCM needs the mov muxer; the SRT subtitle stays behind.
                      Case{"MkvH264PcmSrt", mkvH264PcmSrt, "mov", {"h264", "pcm_s16le"}, "-map 0:v -map 0:a"},
                      Case{"AviMjpegPcm", aviMjpegPcm, "mov", {"mjpeg", "pcm_s16le"}, "-map 0:v -map 0:a"},
                      // Its own timecode track stays behind, its timed text is kept.
                      Case{"FragmentedMp4", fragmentedMp4, "mp4", {"h264", "aac", "mov_text"},
                           "-map 0:v -map 0:a -map 0:s"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST_F(GeneralRemux, KeepsTheDisplayRotation)
{
    const fs::path output = out / "rotated.mp4";
    ExportControl control;
    auto result = remuxGeneral(jobFor(fragmentedMp4(), output), control);
    ASSERT_FALSE(result.isError()) << result.error().localizedDescription;
    EXPECT_NE(run("ffprobe -v error -select_streams v:0 -show_streams " + shellQuote(output.string())).find("rotation=90"),
              std::string::npos);
}

TEST_F(GeneralRemux, StartsAtZeroWhereTheSourceClockStartsLate)
{
    // Times carried over from a recorder's clock: kept as they are, the clip would open on an
    // hour of nothing.
    const fs::path late = source("late.mkv", "-i " + shellQuote(mkvH264Aac()) + " -c copy -output_ts_offset 3600");
    const fs::path output = out / "late.mp4";
    ExportControl control;
    auto result = remuxGeneral(jobFor(late, output), control);
    ASSERT_FALSE(result.isError()) << result.error().localizedDescription;
    const double duration = std::stod(run("ffprobe -v error -show_entries format=duration -of csv=p=0 " +
                                          shellQuote(output.string())));
    EXPECT_GT(duration, 1.9);
    EXPECT_LT(duration, 2.2);
}

struct Refusal {
    const char* name;
    std::string (*make)();
    const char* description;  // with the source's file name in place of %s
};
void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

std::string vp8()
{
    return source("vp8.mkv", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 0.4 -c:v libvpx").string();
}

std::string vp9WithPcm()
{
    // mp4 refuses the PCM audio and mov the VP9 video: the video is named.
    return source("vp9_pcm.mkv",
                  std::string("-f lavfi -i testsrc2=size=160x120:rate=25 ") + kSine + "-t 0.4 -c:v libvpx-vp9 -c:a pcm_s16le")
        .string();
}

std::string audioOnly() { return source("audio.mkv", std::string(kSine) + "-t 0.5 -c:a aac").string(); }

std::string textFile()
{
    fs::path file = Fixtures::get().dir / "notes.mp4";
    writeFile(file, "shopping list\n");
    return file.string();
}

std::string namedPipe()
{
    fs::path file = Fixtures::get().dir / "pipe.mkv";
    if (!fs::exists(file)) mkfifo(file.c_str(), 0644);
    return file.string();
}

std::string sessionDescription()
{
    // Would make libavformat listen on the network and wait for a stream.
    fs::path file = Fixtures::get().dir / "stream.mkv";
    writeFile(file, "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=x\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                    "m=video 5004 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n");
    return file.string();
}

class GeneralRemuxRefusals : public GeneralRemux, public ::testing::WithParamInterface<Refusal> {};

TEST_P(GeneralRemuxRefusals, FailsWithAClearErrorAndWritesNothing)
{
    const Refusal& r = GetParam();
    const fs::path input = r.make();
    const fs::path output = out / "out.mp4";
    ExportControl control;
    auto result = remuxGeneral(jobFor(input, output), control);
    ASSERT_TRUE(result.isError());
    std::string expected = r.description;
    expected.replace(expected.find("%s"), 2, input.filename().string());
    EXPECT_EQ(result.error().localizedDescription, expected);
    EXPECT_FALSE(fs::exists(fs::symlink_status(output)));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, GeneralRemuxRefusals,
    ::testing::Values(Refusal{"Vp8", vp8, "文件“%s”的视频编码 vp8 不能写入 MP4 文件"},
                      Refusal{"Vp9WithPcm", vp9WithPcm, "文件“%s”的视频编码 vp9 不能写入 MP4 文件"},
                      Refusal{"TextFile", textFile, "文件“%s”不是可识别的视频文件"},
                      Refusal{"AudioOnly", audioOnly, "文件“%s”不是可识别的视频文件"},
                      Refusal{"NamedPipe", namedPipe, "文件“%s”不是可识别的视频文件"},
                      Refusal{"NetworkSessionDescription", sessionDescription, "文件“%s”不是可识别的视频文件"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(GeneralRemux, ListOfAnotherClipIsNotFollowed)
{
    // libavformat resolves the names in a list opened without a name of its own against the
    // working folder. Following them would export that clip in this one's place.
    const fs::path clip = mkvH264Aac();
    const fs::path list = out / "list.mkv";
    writeFile(list, "ffconcat version 1.0\nfile '" + clip.filename().string() + "'\n");
    const fs::path previous = fs::current_path();
    fs::current_path(clip.parent_path());
    ExportControl control;
    auto result = remuxGeneral(jobFor(list, out / "out.mp4"), control);
    fs::current_path(previous);
    ASSERT_TRUE(result.isError());
    EXPECT_EQ(result.error().localizedDescription, "文件“list.mkv”不是可识别的视频文件");
    EXPECT_FALSE(fs::exists(out / "out.mp4"));
}

TEST_F(GeneralRemux, MissingSourceIsReportedByName)
{
    ExportControl control;
    auto result = remuxGeneral(jobFor(out / "gone.mkv", out / "out.mp4"), control);
    ASSERT_TRUE(result.isError());
    EXPECT_EQ(result.error().localizedDescription, "无法打开文件“gone.mkv”：文件或文件夹不存在");
    EXPECT_FALSE(fs::exists(out / "out.mp4"));
}

TEST_F(GeneralRemux, ExistingOutputIsRefusedAndLeftAlone)
{
    const fs::path output = out / "temp_clip.mkv";
    writeFile(output, "someone else's file");
    fs::create_symlink(output, out / "link.mp4");
    ExportControl control;

    for (const fs::path& target : {output, out / "link.mp4"}) {
        auto result = remuxGeneral(jobFor(mkvH264Aac(), target), control);
        ASSERT_TRUE(result.isError());
        EXPECT_EQ(result.error().localizedDescription, "目标文件已存在：" + target.filename().string());
    }
    EXPECT_EQ(readFile(output), "someone else's file");
    EXPECT_TRUE(fs::is_symlink(out / "link.mp4"));
}

// The fault hook calls this on every system call the export makes.
struct CallPlan {
    CallPlan(sys::Call call, int nth, int (*act)(CallPlan&)) : call(call), nth(nth), act(act) {}

    sys::Call call;
    int nth;
    int (*act)(CallPlan&);  // returns the errno to inject, or 0
    int seen = 0;
    ExportControl* control = nullptr;
    fs::path output;
    fs::path source;
    bool outputExisted = false;
};

int onCall(sys::Call call, void* context)
{
    auto* plan = static_cast<CallPlan*>(context);
    if (call != plan->call || ++plan->seen != plan->nth) return 0;
    return plan->act(*plan);
}

TEST_F(GeneralRemux, CancelledExportRemovesItsPartialOutput)
{
    const fs::path input = largeClip();
    const fs::path output = out / "temp_large.avi";
    ExportControl control;
    CallPlan plan{sys::Call::Write, 2, [](CallPlan& p) {
                      p.outputExisted = fs::file_size(p.output) > 0;
                      p.control->cancel();
                      return 0;
                  }};
    plan.control = &control;
    plan.output = output;
    sys::setFaultHook(onCall, &plan);
    auto result = remuxGeneral(jobFor(input, output), control);
    sys::setFaultHook(nullptr, nullptr);

    ASSERT_TRUE(result.isError());
    EXPECT_EQ(result.error().localizedDescription, "导出已取消");
    EXPECT_TRUE(plan.outputExisted);
    EXPECT_FALSE(fs::exists(output));

    // Cancelled before it starts: nothing is opened or made.
    ExportControl early;
    early.cancel();
    EXPECT_TRUE(remuxGeneral(jobFor(input, output), early).isError());
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(GeneralRemux, SourceChangedDuringTheExportIsNotCommitted)
{
    // A clip still being copied in: the output would hold only the part read so far.
    const fs::path input = out / "growing.avi";
    fs::copy_file(largeClip(), input);
    const fs::path output = out / "temp_growing.avi";
    CallPlan plan{sys::Call::Read, 2, [](CallPlan& p) {
                      int fd = ::open(p.source.c_str(), O_WRONLY | O_APPEND);
                      EXPECT_EQ(::write(fd, "more", 4), 4);
                      ::close(fd);
                      return 0;
                  }};
    plan.source = input;
    sys::setFaultHook(onCall, &plan);
    ExportControl control;
    auto result = remuxGeneral(jobFor(input, output), control);
    sys::setFaultHook(nullptr, nullptr);

    ASSERT_TRUE(result.isError());
    EXPECT_EQ(result.error().localizedDescription, "文件“growing.avi”在导出过程中被修改");
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(GeneralRemux, SystemCallErrorsNameTheFileAndReason)
{
    const fs::path input = largeClip();
    const fs::path output = out / "temp_large.avi";
    struct Fault {
        sys::Call call;
        int nth;
        int err;
        std::string description;
    };
    const Fault faults[] = {
        {sys::Call::Write, 2, ENOSPC, "无法写入文件“temp_large.avi”：磁盘空间不足"},
        // Later reads fail under the demuxer, which would otherwise take them for the end of the file.
        {sys::Call::Read, 3, EIO, "无法读取文件“large.avi”：输入/输出错误"},
        {sys::Call::Fsync, 1, EIO, "无法写入文件“temp_large.avi”：输入/输出错误"},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.description);
        static int injected;
        injected = fault.err;
        CallPlan plan{fault.call, fault.nth, [](CallPlan&) { return injected; }};
        sys::setFaultHook(onCall, &plan);
        ExportControl control;
        auto result = remuxGeneral(jobFor(input, output), control);
        sys::setFaultHook(nullptr, nullptr);
        ASSERT_TRUE(result.isError());
        EXPECT_EQ(result.error().localizedDescription, fault.description);
        EXPECT_FALSE(fs::exists(output));
    }
}

// Every system call of an export failing in turn: each run either fails and leaves nothing, or
// the fault never came.
TEST_F(GeneralRemux, AnyFailedSystemCallFailsTheExportAndLeavesNothing)
{
    const fs::path input = source("short.avi", std::string(kTestSrc) + kSine + "-t 0.5 -c:v mjpeg -c:a pcm_s16le");
    const fs::path output = out / "temp_short.avi";
    struct Any {
        int nth;
        int seen = 0;
    };
    auto failNth = [](sys::Call, void* context) {
        auto* any = static_cast<Any*>(context);
        return ++any->seen == any->nth ? EIO : 0;
    };
    for (int nth = 1;; ++nth) {
        SCOPED_TRACE("call " + std::to_string(nth));
        Any any{nth};
        sys::setFaultHook(failNth, &any);
        ExportControl control;
        auto result = remuxGeneral(jobFor(input, output), control);
        sys::setFaultHook(nullptr, nullptr);
        if (any.seen < nth) {
            ASSERT_FALSE(result.isError()) << result.error().localizedDescription;
            EXPECT_TRUE(fs::exists(output));
            EXPECT_GT(nth, 5);
            break;
        }
        ASSERT_TRUE(result.isError()) << "a failed call went unnoticed";
        EXPECT_FALSE(result.error().localizedDescription.empty());
        EXPECT_FALSE(fs::exists(output));
        ASSERT_LT(nth, 200);
    }
}

}  // namespace
