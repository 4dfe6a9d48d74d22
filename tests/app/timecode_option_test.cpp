// --timecode, --show and runs over clips done already, through the built program, over Sony-style
// clips (25p, 29.97 drop-frame, 50p in half steps), a clip with its own timecode track and a Matroska
// clip.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <tuple>

#include "media/base/copy_difference.h"
#include "media/base/media_error.h"
#include "media/boxes/quicktime_meta.h"
#include "media/export/export.h"
#include "media/files/locked_clip.h"
#include "media/sony/camera_xml.h"
#include "media/sony/rtmd.h"
#include "media/survey/timecode_survey.h"
#include "support/box_tree.h"
#include "support/clips.h"
#include "support/process.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

struct TestClip {
    std::string name;
    std::string rate;
    std::optional<SonyTimecode> sony{};  // with rtmd, the camera XML and its sidecar
    std::optional<std::string> tmcd{};   // its own timecode track
    unsigned frames = 0;                 // in its one second
    bool goPro = false;                  // its track described as GoPro's: 29 frames a second at 29.97
    bool trailer = false;                // followed by a record as Insta360's cameras keep one
};

// Random bytes and the 32-byte magic that ends the record an Insta360 camera keeps after moov.
const std::string kInsta360Record = [] {
    std::string bytes;
    uint32_t x = 29;
    for (int i = 0; i < 200000; ++i) bytes += static_cast<char>((x = x * 1664525 + 1013904223) >> 24);
    return bytes + "8db42d694ccc418790edff439fe026bf";
}();

const TestClip kClips[] = {
    {"C0001.MP4", "25", SonyTimecode{25, false, false, {9, 41, 7, 3}}, {}, 25},
    {"C0002.MP4", "30000/1001", SonyTimecode{30, true, false, {14, 2, 55, 17}}, {}, 30},
    {"C0003.MP4", "50", SonyTimecode{25, false, true, {23, 59, 58, 0}}, {}, 50},
    {"own.mov", "30000/1001", {}, "10:00:00:00", 30},
    {"GX010001.MP4", "30000/1001", {}, "10:00:00:00", 30, true},
    {"VID_001.MP4", "30", {}, {}, 30, false, true},
    {"clip.mkv", "25", {}, {}, 25},
};

fs::path sidecarOf(const fs::path& clip) { return clip.parent_path() / (clip.stem().string() + "M01.XML"); }

// The clips (all by default), made once, copied into folder (with their sidecars), dated 2020-01-01.
void placeClips(const fs::path& folder, std::vector<std::string> names = {})
{
    if (names.empty())
        for (const TestClip& clip : kClips) names.push_back(clip.name);
    static const TempDir made;
    static const bool ready = [] {
        for (const TestClip& clip : kClips) {
            const fs::path path = made / clip.name;
            if (clip.name.ends_with(".mkv")) {
                if (!makeMatroska(path)) return false;
                continue;
            }
            if (!makeClip(path, {.timecode = clip.tmcd, .frameRate = clip.rate})) return false;
            if (clip.goPro) {
                std::vector<Node> top = parseFile(readBytes(path));
                Bytes& stsd = trackByHandler(topLevel(top, "moov"), "tmcd")->all("stsd").front()->data;
                stsd.at(40) = 29;  // the number of frames, after the entry's header, reserved bytes, flags and rate
                writeBytes(path, serialize(top));
            }
            if (clip.trailer) writeFile(path, readFile(path) + kInsta360Record);
            if (!clip.sony) continue;
            writeBytes(path, addSonyStructures(readBytes(path), {.timecode = *clip.sony}));
            writeFile(sidecarOf(path), sonyXml(*clip.sony, clip.frames));
        }
        return true;
    }();
    ASSERT_TRUE(ready);
    for (const std::string& name : names) {
        fs::copy_file(made / name, folder / name);
        if (fs::exists(sidecarOf(made / name))) fs::copy_file(sidecarOf(made / name), sidecarOf(folder / name));
        ASSERT_TRUE(setTimes(folder / name, {1577836800, 0}));
    }
}

// The clip exported in-process to start at value, in mode (an index of kModes), a copy going to out
// as to the save-as folder; control, when given, says what the export found.
ErrorOr<void> exportAt(const fs::path& clip, const std::string& value, size_t mode, const fs::path& out,
                       ExportControl* control = nullptr)
{
    ExportJob job{clip,
                  out / clip.filename(),
                  std::string(kFileTypeMPEG4),
                  {MetadataItem::timecode(StartTimecode::parse(value).value())}};
    job.mp4Output = out / (clip.stem().string() + ".mp4");
    job.keepsSource = job.realOutputFolder = mode == 1;
    job.inPlace = mode == 2;
    ExportControl own;
    return runExport(job, control ? *control : own);
}

template <typename T>
bool refusedAs(const ErrorOr<T>& result, ExportErrorCode code)
{
    return result.isError() && isExportError(result.error(), code);
}

}  // namespace

// Each clip in each mode: its result reads 01:00:00:00 for ffprobe (the container's item and every
// stream), in its rtmd samples and its sidecar, and --show finds every place in agreement; a second
// run over them (but in save-as mode) skips them all.
TEST(TimecodeOption, EveryPlaceOfEveryClipStartsThereInEveryMode)
{
    for (const auto& mode : kModes) {
        SCOPED_TRACE(mode.empty() ? "replace" : mode[0]);
        TempDir dir;
        placeClips(dir.path());
        const auto run = runKelvatta(with(mode, {"--timecode", "01:00:00:00", dir.path()}));
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const fs::path results = mode == kModes[1] ? dir / "已修改时间码" : dir.path();
        for (const TestClip& clip : kClips) {
            const fs::path result = results / (clip.name == "clip.mkv" ? "clip.mp4" : clip.name);
            SCOPED_TRACE(result);
            const bool dropFrame = clip.sony && clip.sony->dropFrame;
            EXPECT_EQ(formatTimecode(result), dropFrame ? "01:00:00;00" : "01:00:00:00");  // in the clip's notation
            EXPECT_EQ(streamTimecode(result, "v:0"), dropFrame ? "01:00:00;00" : "01:00:00:00");
            // A clip's own timecode track re-based, none added.
            EXPECT_TRUE(!clip.tmcd || codecTags(result) == "avc1,twos,tmcd") << codecTags(result);
            EXPECT_TRUE(!clip.trailer || readFile(result).ends_with(kInsta360Record)) << "the trailer was not kept";
            if (clip.sony) {
                EXPECT_EQ(streamTimecode(result, "d:0"), "01:00:00:00");  // the rtmd samples
                EXPECT_EQ(cameraXmlStart(readFile(sidecarOf(result))), (Timecode{1, 0, 0, 0}));
            }
            // Every place the survey (--show) finds, per-frame ones to the last frame.
            const auto survey = surveyTimecodes(result);
            ASSERT_FALSE(survey.isError()) << survey.error().localizedDescription;
            for (const TimecodePlace& place : survey->places) {
                EXPECT_TRUE(place.first == "01:00:00;00" || place.first == "01:00:00:00") << place.name;
                EXPECT_TRUE(place.values < 2 || place.values == clip.frames) << place.name;
            }
            EXPECT_EQ(survey->agree(), std::optional<bool>(true));
        }
        // A second run leaves the clips done as they are (bytes, inode, time).
        if (mode == kModes[1]) continue;  // see Rerun
        const Snapshot done = snapshot(dir.path());
        // Read before (access times older than the modification's, which a read would move on).
        const struct timespec readLongAgo[2] = {{1500000000, 0}, {0, UTIME_OMIT}};
        for (const std::string& name : entries(dir.path()))
            ASSERT_EQ(::utimensat(AT_FDCWD, (dir / name).c_str(), readLongAgo, 0), 0);
        const auto again = runKelvatta(with(mode, {"--timecode", "01:00:00:00", dir.path()}));
        EXPECT_EQ(again.status, 0) << again.out;
        for (const std::string& name : entries(dir.path())) {
            struct stat st {};
            EXPECT_TRUE(::stat((dir / name).c_str(), &st) == 0 && st.st_atim.tv_sec == 1500000000) << name;
        }
        EXPECT_EQ(snapshot(dir.path()), done);
        // The same frame asked in the other notation is the same start.
        const auto dropFrame = runKelvatta(with(mode, {"--timecode", "01:00:00;00", dir / "C0002.MP4"}));
        EXPECT_EQ(dropFrame.status, 0) << dropFrame.out;
        EXPECT_EQ(snapshot(dir.path()), done);
    }
}

// A value written wrongly or out of range is a usage error before anything is read; a clip that
// cannot start at a value (frames at or past its rate, a number its drop-frame counting skips, a
// drop-frame value for a clip that does not drop) is refused for that reason, in every mode, its
// bytes and its sidecar's as they were.
TEST(TimecodeOption, ValuesAndClipsThatCannotTakeItChangeNothing)
{
    TempDir dir;
    placeClips(dir.path());
    const Snapshot before = snapshot(dir.path());
    const std::vector<std::string> usage[] = {
        {"--timecode", "25:00:00:00"},
        {"--timecode", "1:00:00:00"},
        {"--timecode=00:60:00:00"},
        {"--timecode", "00:00:60:00"},
        {"--timecode"},
        {"--restore", "--timecode", "01:00:00:00"},
    };
    for (std::vector<std::string> args : usage) {
        args.push_back(dir.path());
        const auto run = runKelvatta(args);
        EXPECT_EQ(run.status, 2) << args[0];
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("kelvatta："), std::string::npos);
    }
    EXPECT_EQ(snapshot(dir.path()), before);

    using K = StartRefusal::Kind;
    const struct {
        size_t mode;  // in kModes
        const char *clip, *value;
        K why;
    } refused[] = {
        {0, "C0001.MP4", "00:00:00:25", K::noSuchFrame},    {2, "C0002.MP4", "00:01:00;00", K::droppedNumber},
        {1, "C0003.MP4", "00:00:00:25", K::noSuchFrame},    {0, "own.mov", "10:00:00:30", K::noSuchFrame},
        {2, "own.mov", "00:10:00:30", K::noSuchFrame},      {0, "clip.mkv", "00:00:00:25", K::noSuchFrame},
        {1, "clip.mkv", "00:00:00;00", K::dropFrameAtRate}, {0, "C0001.MP4", "00:00:00;00", K::notDropFrame},
        {2, "own.mov", "00:00:00;00", K::notDropFrame},
    };
    const TempDir out;
    for (const auto& c : refused) {
        SCOPED_TRACE(std::to_string(c.mode) + " " + c.clip + " " + c.value);
        const auto run = runKelvatta(with(kModes[c.mode], {"--timecode", c.value, dir / c.clip}));
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.says(c.clip)) << run.out;
        const auto refusal = exportAt(dir / c.clip, c.value, c.mode, out.path());
        EXPECT_TRUE(refusal.isError() && startRefusalOf(refusal.error()) == c.why);
        fs::remove(dir / "已修改时间码");  // made empty before the clip was read
        EXPECT_EQ(snapshot(dir.path()), before);
    }
}

// --show names every place of a clip with the camera's start, opening nothing for writing and changing
// no time, as the clip's owner and as another user who may only read it.
TEST(Show, NamesEveryPlaceBeforeAndAfterAndWritesNothing)
{
    TempDir dir;
    placeClips(dir.path(), {"C0002.MP4"});
    const fs::path clip = dir / "C0002.MP4";
    const auto modes = [&](mode_t clipMode) {
        return ::chmod(clip.c_str(), clipMode) == 0 && ::chmod(sidecarOf(clip).c_str(), clipMode) == 0;
    };
    ASSERT_TRUE(::chmod(dir.path().c_str(), 0755) == 0 && modes(0444));
    const struct timespec times[2] = {{1500000000, 0}, {1577836800, 0}};
    // Read before they were last changed: any read that marks them read moves their access time.
    for (const fs::path& file : {clip, sidecarOf(clip)}) ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    const int watch = ::inotify_init1(IN_NONBLOCK);
    const auto changes = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_TO;
    ASSERT_TRUE(watch >= 0 && ::inotify_add_watch(watch, dir.path().c_str(), changes) >= 0);
    const std::vector<std::string> show = {kelvattaPath(), "--show", clip.string()};
    std::vector<std::vector<std::string>> runs = {show};
    if (canBeNobody()) runs.push_back(asNobody(show));
    for (const auto& argv : runs) {
        const auto run = runProgram(argv);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.outLines(), (std::vector<std::string>{
                                      "文件：" + clip.string(),
                                      "  帧率：29.97（时间码每秒 30 帧，丢帧）",
                                      "  “tmcd”轨道：无",
                                      "  元数据项“timecode”：无",
                                      "  “rtmd”（每帧一个）：14:02:55:17 至 14:02:56:16（共 30 帧）",
                                      "  文件内的相机 XML：14:02:55;17",
                                      "  附属 XML 文件 C0002M01.XML：14:02:55;17",
                                      "  一致性：各处一致",
                                  }));
        // The owner reads without marking the files read; another user cannot ask that of the kernel.
        for (const fs::path& file : {clip, sidecarOf(clip)}) {
            struct stat st {};
            ASSERT_EQ(::stat(file.c_str(), &st), 0);
            EXPECT_TRUE(&argv != &runs.front() || st.st_atim.tv_sec == 1500000000) << file << " was marked read";
        }
    }
    char events[4096];
    EXPECT_LT(::read(watch, events, sizeof events), 0) << "something was written, created or dated";
    ::close(watch);

    // A folder; a file that is no clip; a clip another run holds to rewrite it, which may be read half
    // written: busy, not damaged.
    ASSERT_TRUE(modes(0644));
    EXPECT_EQ(runKelvatta({"--show", dir.path()}).status, 0);
    writeFile(dir / "notes.mp4", "not a clip");
    const auto bad = runKelvatta({"--show", (dir / "notes.mp4").string()});
    EXPECT_TRUE(bad.status == 1 && bad.says("notes.mp4")) << bad.out;
    EXPECT_TRUE(refusedAs(surveyTimecodes(dir / "notes.mp4"), ExportErrorCode::unrecognized));
    const auto held = LockedClip::open(clip, ClipUse::rewrite);
    ASSERT_FALSE(held.isError()) << held.error().localizedDescription;
    EXPECT_EQ(runKelvatta({"--show", clip.string()}).status, 1);
    EXPECT_TRUE(refusedAs(surveyTimecodes(clip), ExportErrorCode::busy));
}

namespace {

// Sets the rtmd timecodes of frames [from, to) of a clip whose samples count from `now` to count on
// from `start`.
void setRtmdFrames(const fs::path& clip, const SonyTimecode& now, unsigned from, unsigned to, const SonyTimecode& start)
{
    Bytes bytes = readBytes(clip);
    const Bytes samples = sonyRtmdSamples(now, 25), values = sonyRtmdSamples(start, to - from);
    const auto at = std::search(bytes.begin(), bytes.end(), samples.begin(), samples.end());
    ASSERT_NE(at, bytes.end());
    for (unsigned k = from; k < to; ++k)
        std::copy_n(values.begin() + (k - from) * kFixtureRtmdSampleSize + kRtmdTimecodeAt, kRtmdTimecodeSize,
                    at + k * kFixtureRtmdSampleSize + kRtmdTimecodeAt);
    writeBytes(clip, bytes);
}

}  // namespace

// A clip whose rtmd timecodes jump, as an --in-place run cut short halfway through its patches leaves
// it (frames 0-9 at 00:00:00:00 on, then the camera's 10:00:00:10), is refused by every mode with the
// frame named and not a byte changed, and --show names the jump. So is a clip done already whose
// frames jump.
TEST(TimecodeJump, EveryModeRefusesItAndShowNamesIt)
{
    ASSERT_FALSE(sonyClip().empty());
    TempDir dir;
    const fs::path clip = dir / "C0001.MP4";
    writeBytes(clip, sonyClip());
    const SonyTimecode zero{25, false, false, {0, 0, 0, 0}};
    setRtmdFrames(clip, kSonyClipTimecode, 0, 10, zero);
    const Snapshot before = snapshot(dir.path());
    const TempDir out;
    for (size_t mode = 0; mode < std::size(kModes); ++mode) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(runKelvatta(with(kModes[mode], {clip})).status, 1);
        const auto refused = exportAt(clip, "00:00:00:00", mode, out.path());
        EXPECT_TRUE(refused.isError() && damageOf(refused.error()) == Damage::timecodeJump);
        fs::remove(dir / "已修改时间码");  // made empty before the clip was read
        EXPECT_EQ(snapshot(dir.path()), before);
    }
    // Done, then its frames from 10 on put back to the camera's: every other place reads the start,
    // but a rerun does not pass it as done, nor does --show call its places consistent.
    writeBytes(clip, sonyClip());
    ASSERT_EQ(runKelvatta({clip.string()}).status, 0);
    setRtmdFrames(clip, zero, 10, 25, {25, false, false, {10, 0, 0, 10}});
    const std::string done = readFile(clip);
    EXPECT_EQ(runKelvatta({clip.string()}).status, 1);
    const auto rerun = exportAt(clip, "00:00:00:00", 0, out.path());
    EXPECT_TRUE(rerun.isError() && damageOf(rerun.error()) == Damage::timecodeJump);
    EXPECT_EQ(readFile(clip), done);
    EXPECT_EQ(runKelvatta({"--show", clip.string()}).status, 0);
    const auto survey = surveyTimecodes(clip);
    ASSERT_FALSE(survey.isError());
    const auto rtmd = std::ranges::find_if(survey->places, [](auto& place) { return place.jump.has_value(); });
    ASSERT_NE(rtmd, survey->places.end());
    EXPECT_EQ(
        std::tuple(rtmd->jump->frame, rtmd->first, rtmd->last),
        std::tuple(uint64_t{10}, std::optional<std::string>("00:00:00:00"), std::optional<std::string>("10:00:00:24")));
    EXPECT_EQ(survey->agree(), std::optional<bool>(false));
}

// In save-as mode a second run keeps the copies an earlier run made (a Matroska clip's under its MP4
// name too) and makes the new clip's. A file in the way is kept only where it is this clip's result,
// not where it merely has its length and time: another clip like it, a copy whose tags were edited
// since (exiftool -P keeps the time), whose per-frame timecode or media data changed, a file of the
// user's. Each is refused with what differs, the clip and the file left byte for byte as they were.
TEST(Rerun, KeepsOnlyTheClipsOwnResult)
{
    TempDir dir;
    const fs::path copies = dir / "已修改时间码";
    placeClips(dir.path(), {"C0001.MP4", "C0002.MP4", "clip.mkv"});
    ASSERT_EQ(runKelvatta({"--save-as", "--timecode", "01:00:00:00", dir.path()}).status, 0);
    const Snapshot first = snapshot(copies);
    placeClips(dir.path(), {"C0003.MP4"});
    const auto again = runKelvatta({"--save-as", "--timecode", "01:00:00:00", dir.path()});
    EXPECT_EQ(again.status, 0) << again.out;
    Snapshot now = snapshot(copies);
    EXPECT_EQ(now.size(), first.size() + 2);  // C0003.MP4 and its sidecar
    for (const auto& [name, file] : first) EXPECT_EQ(now.at(name), file) << name;
    EXPECT_EQ(formatTimecode(copies / "C0003.MP4"), "01:00:00:00");

    // Another clip of C0002's length, rate and time (a smaller picture), rewritten apart.
    const TempDir other;
    ASSERT_TRUE(makeClip(other / "C0002.MP4", {.frameRate = "30000/1001", .size = "320x176"}));
    writeBytes(other / "C0002.MP4", addSonyStructures(readBytes(other / "C0002.MP4"), {.timecode = *kClips[1].sony}));
    ASSERT_EQ(runKelvatta({"--save-as", "--timecode", "01:00:00:00", (other / "C0002.MP4").string()}).status, 0);
    const TempDir genuine;
    fs::copy(copies, genuine.path(), fs::copy_options::recursive);

    const auto tagged = [](const fs::path& copy) {
        ASSERT_EQ(shell("exiftool -q -P -overwrite_original -Title=Edited " + shellQuote(copy)).status, 0);
    };
    // One byte of the copy: the frames of the rtmd timecode of frame 4 (track 3), the first byte of
    // the video's last chunk.
    const auto changed = [](const char* handler, uint64_t at, bool lastChunk) {
        return [=](const fs::path& copy) {
            Bytes bytes = readBytes(copy);
            std::vector<Node> top = parseFile(bytes);
            const auto chunks = chunkOffsets(*trackByHandler(topLevel(top, "moov"), handler)->all("stco").front());
            bytes.at(at + (lastChunk ? chunks.back() : chunks.at(1))) ^= 0x01;
            writeBytes(copy, bytes);
        };
    };
    using Kind = CopyDifference::Kind;
    struct Case {
        const char* clip;
        const char* copy;
        std::function<void(const fs::path&)> change;
        std::optional<CopyDifference> refused;
    };
    const Case cases[] = {
        {"C0001.MP4", "C0001.MP4", nullptr, std::nullopt},
        {"clip.mkv", "clip.mp4", nullptr, std::nullopt},
        {"C0002.MP4", "C0002.MP4",
         [&](const fs::path& copy) {
             fs::copy_file(other / "已修改时间码/C0002.MP4", copy, fs::copy_options::overwrite_existing);
         },
         CopyDifference{Kind::trackSamples, 1}},
        {"C0001.MP4", "C0001.MP4", tagged, CopyDifference{Kind::movieMetadata}},
        {"clip.mkv", "clip.mp4", tagged, CopyDifference{Kind::movieMetadata}},
        {"C0001.MP4", "C0001.MP4", changed("meta", kRtmdTimecodeAt + 4, false), CopyDifference{Kind::trackTimecode, 3}},
        {"C0001.MP4", "C0001.MP4", changed("vide", 0, true), CopyDifference{Kind::trackSamples, 1}},
        {"C0003.MP4", "C0003.MP4", [](const fs::path& copy) { writeFile(copy, "mine"); },
         CopyDifference{Kind::notAVideo}},
    };
    for (const Case& c : cases) {
        const fs::path copy = copies / c.copy;
        SCOPED_TRACE(copy);
        if (fs::exists(genuine / c.copy)) fs::copy_file(genuine / c.copy, copy, fs::copy_options::overwrite_existing);
        if (c.change) c.change(copy);
        ASSERT_TRUE(setTimes(copy, {1577836800, 0}));  // the clip's whole-second time, as cards keep it
        const Snapshot before = snapshot(dir.path());
        ExportControl control;
        const auto result = exportAt(dir / c.clip, "01:00:00:00", 1, copies, &control);
        EXPECT_EQ(result.isError() ? copyDifferenceOf(result.error()) : std::nullopt, c.refused)
            << (result.isError() ? result.error().localizedDescription : "kept");
        EXPECT_EQ(control.alreadyDone(), c.refused ? AlreadyDone::no : AlreadyDone::copy);
        EXPECT_EQ(snapshot(dir.path()), before);
    }

    // Through the program (C0002's copy is still the other clip's).
    const Snapshot before = snapshot(dir.path());
    EXPECT_EQ(runKelvatta({"--save-as", "--timecode", "01:00:00:00", (dir / "C0002.MP4").string()}).status, 1);
    EXPECT_EQ(snapshot(dir.path()), before);

    // A clip at the start already whose sidecar is not: a copy, for the sidecar's sake. Both at the
    // start: nothing to copy, and no empty folder left beside them.
    TempDir done;
    placeClips(done.path(), {"C0001.MP4"});
    const std::string camera = readFile(sidecarOf(done / "C0001.MP4"));
    ASSERT_EQ(runKelvatta({(done / "C0001.MP4").string()}).status, 0);
    writeFile(sidecarOf(done / "C0001.MP4"), camera);
    ASSERT_EQ(runKelvatta({"--save-as", (done / "C0001.MP4").string()}).status, 0);
    EXPECT_EQ(cameraXmlStart(readFile(done / "已修改时间码" / "C0001M01.XML")), Timecode{});
    EXPECT_EQ(formatTimecode(done / "已修改时间码" / "C0001.MP4"), "00:00:00:00");
    fs::remove_all(done / "已修改时间码");
    ASSERT_EQ(runKelvatta({(done / "C0001.MP4").string()}).status, 0);
    ASSERT_EQ(runKelvatta({"--save-as", (done / "C0001.MP4").string()}).status, 0);
    EXPECT_FALSE(fs::exists(done / "已修改时间码"));
}
