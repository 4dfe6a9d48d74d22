// The general export path (libavformat) on sources made here with ffmpeg, which the export sends
// there by their content: Matroska, AVI, fragmented MP4, and what it must refuse. Checked with ffprobe.
#include <gtest/gtest.h>
#include <sys/stat.h>

extern "C" {
#include <libavutil/mem.h>
}

#include <algorithm>
#include <climits>
#include <cctype>
#include <set>
#include <tuple>
#include <sstream>

#include "media/export/export.h"
#include "media/general/libav_io.h"
#include "media/base/media_error.h"
#include "support/box_tree.h"
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

// What of the timecode track the video's rate and length are checked by: its sample description's
// rate (timescale/frame duration) and frames per second, as its bytes give them, and its duration
// and the video's, as ffprobe reads them.
struct TimecodeTrack {
    std::string rate;
    int frames = 0;
    std::string duration, videoDuration;
};

TimecodeTrack timecodeTrack(const fs::path& file)
{
    TimecodeTrack track;
    for (Node& box : parseFile(readBytes(file))) {
        Node* trak = box.type == "moov" ? trackByHandler(box, "tmcd") : nullptr;
        const auto stsd = trak ? trak->all("stsd") : std::vector<Node*>();
        if (stsd.size() != 1 || stsd[0]->data.size() < 41) continue;
        // The entry after the table's version and count: its header, 6 reserved bytes, the data
        // reference, 4 reserved bytes and the flags, then the rate.
        const Bytes& entry = stsd[0]->data;
        track.rate = std::to_string(be32(entry, 32)) + "/" + std::to_string(be32(entry, 36));
        track.frames = entry[40];
    }
    // "video,avc1,2.002000", followed by a field for side data where the stream has some.
    std::istringstream lines(probe(file, "-show_entries stream=codec_type,codec_tag_string,duration -of csv=p=0"));
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(',', line.find(',') + 1) + 1;
        const std::string duration = line.substr(at, line.find(',', at) - at);
        if (line.starts_with("video,") && track.videoDuration.empty()) track.videoDuration = duration;
        if (line.starts_with("data,tmcd,")) track.duration = duration;
    }
    return track;
}

// A file's container tags as ffprobe reads them, "key=value" each, the key in lower case.
std::set<std::string> formatTags(const fs::path& file)
{
    std::set<std::string> tags;
    std::istringstream lines(probe(file, "-show_entries format_tags -of default=nw=1"));
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("TAG:")) continue;
        line.erase(0, 4);
        std::transform(line.begin(), line.begin() + static_cast<long>(line.find('=')), line.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        tags.insert(line);
    }
    return tags;
}

// A file's iTunes-style items and QuickTime keys as exiftool reads them, "-ItemList:Title=Trip" each.
std::set<std::string> itemsAndKeys(const fs::path& file)
{
    std::set<std::string> tags;
    std::istringstream lines(shell("exiftool -a -G1 -n -args -ItemList:all -Keys:all " + shellQuote(file)).out);
    for (std::string line; std::getline(lines, line);) tags.insert(line);
    return tags;
}

// The export as the program runs it: the path is chosen by the source's content.
ErrorOr<void> remux(const fs::path& source, const fs::path& output, ExportControl& control)
{
    return runExport(ExportJob{source, output, std::string(kFileTypeMPEG4), zeroTimecodeItems()}, control);
}

struct Case {
    const char* name;
    fs::path (*source)();
    const char* muxer;                  // "mp4" or "mov"
    const char* streams;                // codec names expected in the output, in order, before the timecode track
    const char* maps;                   // the streams ffmpeg's own stream copy takes for comparison
    const char* timecodeRate = "25/1";  // the timecode track's
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

    // Every tag of the source (its encoder also read from the user data's ©swr, with its language,
    // unless the source keeps it as an item; a day without a creation time also as one, at its start
    // in local time), the zero timecode in place of its own, the output's brands (from ftyp), and one
    // timecode track, which the video reads too. iTunes-style items stay items and keys stay keys.
    std::set<std::string> items = itemsAndKeys(input);
    std::set<std::string> expected = {
        "major_brand=mp42", "minor_version=512", "timecode=00:00:00:00",
        std::string("compatible_brands=") + (c.muxer == std::string("mp4") ? "mp42iso2avc1mp41" : "mp42")};
    for (const std::string& tag : formatTags(input)) {
        const std::string key = tag.substr(0, tag.find('='));
        if (key == "major_brand" || key == "minor_version" || key == "compatible_brands" || key == "timecode") continue;
        expected.insert(tag);
        if (key == "encoder" && !items.contains("-ItemList:Encoder" + tag.substr(key.size())))
            expected.insert("encoder-eng" + tag.substr(key.size()));
    }
    if (!items.empty()) {
        items.insert("-Keys:Timecode=00:00:00:00");
        EXPECT_EQ(itemsAndKeys(output), items);
    }
    std::set<std::string> tags = formatTags(output);
    if (expected.contains("date=2024-05-06")) {
        const auto created = std::find_if(tags.begin(), tags.end(), [](const std::string& tag) {
            return tag.starts_with("creation_time=2024-05-0") && tag.ends_with(":00:00.000000Z");
        });
        ASSERT_NE(created, tags.end());
        tags.erase(created);
    }
    EXPECT_EQ(tags, expected);
    std::string streams = probe(output, "-show_entries stream=codec_name:stream_tags=timecode -of csv=p=0");
    for (size_t at; (at = streams.find(",\n")) != std::string::npos;) streams.erase(at, 1);  // empty side data
    EXPECT_EQ(streams + "\n", std::string(c.streams) + "unknown,00:00:00:00\n");
    // The timecode counts at the video's real rate, not its average over dropped frames, as long as
    // the video lasts.
    const TimecodeTrack timecode = timecodeTrack(output);
    EXPECT_EQ(timecode.rate, c.timecodeRate);
    EXPECT_EQ(timecode.duration, timecode.videoDuration);

    const std::string hashes = packetHash(input);
    EXPECT_TRUE(hashes.find(",v,MD5=") != std::string::npos && hashes.find(",a,MD5=") != std::string::npos);
    EXPECT_EQ(packetHash(output), hashes);

    // The timing of FFmpeg's own stream copy into the same muxer, but for the last sample of an
    // MP4's fragments, which FFmpeg makes a whole frame: each audio and video track lasts as long
    // as the source's (its samples' durations are the steps of their times but the last's).
    const bool mp4 = probe(input, "-show_entries format=format_name -of default=nw=1:nk=1").starts_with("mov,mp4");
    const auto lengths = [](const fs::path& f) {
        const std::string all = probe(f, "-show_entries stream=codec_type,duration_ts -of csv=p=0");
        std::string kept;
        std::istringstream lines(all);
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with("audio,") || line.starts_with("video,")) kept += line + "\n";
        return kept;
    };
    if (mp4) {
        EXPECT_EQ(lengths(output), lengths(input));
    }
    const fs::path reference = out / "reference";
    shell("ffmpeg -nostdin -v error -i " + shellQuote(input) + " -c copy " + c.maps +
          " -map_metadata -1 -metadata timecode=00:00:00:00 -movflags use_metadata_tags -fflags +bitexact "
          "-brand mp42 -f " +
          c.muxer + " " + shellQuote(reference));
    const std::string packets =
        std::string("-show_entries packet=stream_index,pts,dts,") + (mp4 ? "" : "duration,") + "size,flags -of csv";
    EXPECT_EQ(probe(output, packets), probe(reference, packets));

    // The display matrix of a rotated clip is kept.
    const auto rotated = [](const fs::path& f) { return probe(f, "-show_streams").find("rotation=90"); };
    EXPECT_EQ(rotated(output) == std::string::npos, rotated(input) == std::string::npos);
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
        // Named .mp4, it is still AVI: the path goes by the content. Its date is a day (ICRD).
        Case{"AviMjpegPcm",
             [] {
                 return made("mjpeg_pcm.mp4",
                             kPicture + kSound + "-t 2 -c:v mjpeg -c:a pcm_s16le -metadata date=2024-05-06 -f avi");
             },
             "mov", "mjpeg,00:00:00:00\npcm_s16le\n", "-map 0:v -map 0:a"},
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
             "mp4", "h264,00:00:00:00\naac\nmov_text\n", "-map 0:v -map 0:a -map 0:s", "30000/1001"},
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

fs::path written(const std::string& name, const std::string& bytes)
{
    writeFile(fixtures() / name, bytes);
    return fixtures() / name;
}

// A Matroska clip at rate whose frames' times jitter (+3 and -2 ms every three frames, on a clock of
// milliseconds) and say nothing else of the rate: its DefaultDuration made a Void element of the
// same size, and no rate in its H.264 stream at 59.94 (nor a common one in libavformat's reading).
fs::path jittered(const std::string& rate)
{
    std::string name = "jittered_" + rate + ".mkv";
    std::replace(name.begin(), name.end(), '/', '_');
    const fs::path file =
        made("with_rate_" + name,
             "-f lavfi -i testsrc2=size=160x120:rate=" + rate + " -t 3 -vf \"settb=1/1000,setpts='N/(" + rate +
                 ")/TB+if(eq(mod(N\\,3)\\,1)\\,3\\,if(eq(mod(N\\,3)\\,2)\\,-2\\,0))'\" "
                 "-fps_mode passthrough -enc_time_base 1/1000 -c:v libx264 -preset ultrafast -bf 0");
    std::string bytes = readFile(file);
    const size_t at = bytes.find("\x23\xE3\x83");
    EXPECT_NE(at, std::string::npos) << "no DefaultDuration";
    if (at == std::string::npos) return file;
    const size_t size = 4 + (static_cast<uint8_t>(bytes[at + 3]) & 0x7F);
    bytes.replace(at, size, std::string{'\xEC', static_cast<char>(0x80 | (size - 2))} + std::string(size - 2, '\0'));
    return written(name, bytes);
}

// The timecode track counts at the common rate of the video's frames, exactly (the muxer's own
// track gave 16000/534 for 30 fps in Matroska, 15360/513 for a fragmented 30 fps MP4 and
// 1000000/33367 for a 30.000 fps AVI, and none for a 59.94 Matroska clip that declares no rate),
// and as long as the video.
TEST(GeneralRemux, TimecodeCountsAtTheVideosCommonRate)
{
    const struct {
        fs::path source;
        std::string rate;
        int frames;  // per second, as the timecode counts
    } cases[] = {
        {jittered("30"), "30/1", 30},
        {jittered("30000/1001"), "30000/1001", 30},
        {jittered("60000/1001"), "60000/1001", 60},
        {made("30fps.avi", "-f lavfi -i testsrc2=size=160x120:rate=1000000/33333 -t 3 -c:v mjpeg -f avi"), "30/1", 30},
        {made("fragmented_30fps.mp4",
              "-f lavfi -i testsrc2=size=160x120:rate=30 -t 3 -c:v libx264 -bf 2 "
              "-movflags frag_keyframe+empty_moov"),
         "30/1", 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source.filename().string());
        const TempDir out;
        ExportControl control;
        const auto result = remux(c.source, out / "clip.mp4", control);
        ASSERT_FALSE(result.isError()) << result.error().localizedDescription;
        const TimecodeTrack timecode = timecodeTrack(out / "clip.mp4");
        EXPECT_EQ(timecode.rate, c.rate);
        EXPECT_EQ(timecode.frames, c.frames);
        EXPECT_EQ(timecode.duration, timecode.videoDuration);
        EXPECT_FALSE(timecode.duration.empty());
    }
}

// A Matroska clip with what MP4 carries (SubRip text with markup, chapters, tags, stream titles and
// languages) and what it cannot (styled ASS text, a font, the overlap of two cues, a stream's
// comment): a copy keeps the first, where ffprobe and exiftool read them, and names the rest. (A
// replacement is refused: BadInput's font.mkv.)
TEST(GeneralRemux, KeepsWhatMp4CarriesAndNamesTheRest)
{
    writeFile(fixtures() / "marked.srt",
              "1\n00:00:00,500 --> 00:00:01,000\n<i>hello</i> {\\an8}<b>a < b</b>\n\n"
              "2\n00:00:00,800 --> 00:00:01,200\nlate\n\n");
    writeFile(fixtures() / "tags.txt",
              ";FFMETADATA1\ntitle=Holiday\ncomment=A note\nartist=Ann\ndate=2024-05-06T07:08:09Z\n"
              "location=+48.8577+002.2950/\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\n"
              "title=Opening\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Closing\n");
    writeFile(fixtures() / "font.ttf", "glyphs");
    const auto in = [](const char* name) { return shellQuote(fixtures() / name); };
    const fs::path input =
        made("extras.mkv", kPicture + "-i " + in("marked.srt") + " -i " + in("tags.txt") +
                               " -t 2 -map 0 -map 1 -map 1 -map_metadata 2 -map_chapters 2 -attach " + in("font.ttf") +
                               " -metadata:s:v title=Camera -metadata:s:v language=fra -metadata:s:v comment=Wobbly"
                               " -metadata:s:s:0 title=Words -metadata:s:s:0 language=deu"
                               " -metadata:s:t mimetype=font/ttf -c:v libx264 -c:s:0 srt -c:s:1 ass");
    const TempDir out;
    const fs::path output = out / "clip.mp4";
    ExportControl control;
    LogCapture log;
    ExportJob job{input, output, std::string(kFileTypeMPEG4), zeroTimecodeItems()};
    job.keepsSource = true;
    const auto result = runExport(job, control);
    ASSERT_FALSE(result.isError()) << result.error().localizedDescription;
    const std::string left = "略过的流：" + input.string() + " 中的";
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  left + "视频流（h264）的标签“COMMENT”，MP4 文件无法携带", left + "字幕流（ass），MP4 文件无法携带",
                  left + "附件（font.ttf），MP4 文件无法携带", left + "字幕流（subrip）的重叠部分，MP4 文件无法携带"}));
    // Video, timed text, the chapter track and the timecode track; the title and both chapters.
    EXPECT_EQ(probe(output,
                    "-show_entries stream=codec_name:format_tags=title:chapter=start_time:chapter_tags=title "
                    "-of csv=p=0"),
              "h264\nmov_text\nbin_data\nunknown\n0.000000,Opening\n1.000000,Closing\nHoliday");
    EXPECT_EQ(shell("ffmpeg -nostdin -v error -i " + shellQuote(output) + " -map 0:s -f srt -").out,
              "1\n00:00:00,500 --> 00:00:00,800\nhello a < b\n\n2\n00:00:00,800 --> 00:00:01,200\nlate\n\n");
    // The tags, the date as the creation time, the location also as ©xyz; the streams' titles and
    // languages.
    const std::string encoder = probe(input, "-show_entries format_tags=encoder -of csv=p=0");
    const std::set<std::string> tags = formatTags(output);
    for (const std::string& tag : std::initializer_list<std::string>{
             "title=Holiday", "comment=A note", "artist=Ann", "date=2024-05-06T07:08:09Z",
             "creation_time=2024-05-06T07:08:09.000000Z", "location=+48.8577+002.2950/", "encoder=" + encoder})
        EXPECT_TRUE(tags.contains(tag)) << tag;
    EXPECT_EQ(probe(output, "-show_entries stream=codec_name:stream_tags=language,handler_name -of csv=p=0"),
              "h264,fra,Camera\nmov_text,deu,Words\nbin_data,eng,SubtitleHandler\nunknown,eng,Camera");
    const std::string exif = shell("exiftool -a -G1 -n -args " + shellQuote(output)).out;
    for (const std::string& tag : std::initializer_list<std::string>{
             "-Keys:Title=Holiday", "-Keys:COMMENT=A note", "-Keys:ARTIST=Ann",
             "-QuickTime:CreateDate=2024:05:06 07:08:09", "-UserData:GPSCoordinates=48.8577 2.295",
             "-Track1:Track1Name=Camera", "-Track1:MediaLanguageCode=fra", "-Track2:Track2Name=Words",
             "-Track2:MediaLanguageCode=deu", "-UserData:SoftwareVersion=" + encoder})
        EXPECT_TRUE(exif.find(tag + "\n") != std::string::npos) << tag;
}

// Sources the general path must refuse with an error of their kind naming the file (a damaged one's
// Damage too), writing nothing; its codes are the box path's (a codec MP4 cannot hold: unsupported).
// Run from the sources' folder, where a list that names another clip would find it.
TEST(GeneralRemux, RefusesWhatItCannotCarryWithAClearErrorAndWritesNothing)
{
    const TempDir out;
    const auto notVideo = ExportErrorCode::unrecognized;
    const std::string cut = readFile(mkvH264Aac());
    mkfifo((fixtures() / "pipe.mkv").c_str(), 0644);
    const std::tuple<fs::path, ExportErrorCode, Damage> cases[] = {
        {made("vp8.mkv", kPicture + "-t 0.4 -c:v libvpx"), ExportErrorCode::unsupported, Damage::none},
        {made("audio.mkv", kSound + "-t 0.5 -c:a aac"), notVideo, Damage::none},
        {written("cut.mkv", cut.substr(0, cut.size() * 3 / 4)), ExportErrorCode::damaged, Damage::unreadableData},
        {fixtures() / "pipe.mkv", notVideo, Damage::none},  // would wait for a writer
        // Would make libavformat listen on the network and wait for a stream.
        {written("stream.mkv",
                 "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=x\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                 "m=video 5004 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"),
         notVideo, Damage::none},
        // A list naming another clip, which libavformat would resolve against the working folder and
        // export in this one's place.
        {written("list.mkv", "ffconcat version 1.0\nfile '" + mkvH264Aac().filename().string() + "'\n"), notVideo,
         Damage::none},
    };
    const fs::path previous = fs::current_path();
    fs::current_path(fixtures());
    for (const auto& [input, code, damage] : cases) {
        ExportControl control;
        const auto result = remux(input, out / "out.mp4", control);
        ASSERT_TRUE(result.isError()) << input;
        EXPECT_NE(result.error().localizedDescription.find("“" + input.filename().string() + "”"), std::string::npos);
        EXPECT_TRUE(isExportError(result.error(), code)) << result.error().localizedDescription;
        EXPECT_EQ(damageOf(result.error()), damage) << result.error().localizedDescription;
        EXPECT_FALSE(fs::exists(fs::symlink_status(out / "out.mp4")));
    }
    fs::current_path(previous);
    // An option libavutil could not store (the protocol whitelist, say) is a failure, never an
    // option silently missing.
    av_max_alloc(1);
    AvOptions options;
    const bool stored = options.set("protocol_whitelist", "none");
    av_max_alloc(INT_MAX);
    EXPECT_FALSE(stored);
}

}  // namespace
