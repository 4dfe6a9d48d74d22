// The box path end to end: clips made by ffmpeg (with Sony-style structures added), exported through
// the export session, and read back with ffprobe and with the tests' own box reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <map>

#include "media/box_export.h"
#include "media/export_session.h"
#include "media/output_file.h"
#include "platform/sys.h"
#include "support/box_tree.h"
#include "support/sony_clip.h"
#include "support/clip_fixtures.h"
#include "support/command.h"
#include "support/export_runner.h"
#include "support/fault_plan.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;
namespace fs = std::filesystem;

namespace {

// moov/meta exactly as readers were seen to accept it (hdlr mdta, keys, ilst, no version field).
const char* const kTimecodeMetaHex =
    "00000074" "6d657461"
    "00000021" "68646c72" "00000000" "00000000" "6d647461" "000000000000000000000000" "00"
    "00000020" "6b657973" "00000000" "00000001"
    "00000010" "6d647461" "74696d65636f6465"
    "0000002b" "696c7374"
    "00000023" "00000001"
    "0000001b" "64617461" "00000001" "00000000" "30303a30303a30303a3030";

Bytes fromHex(const std::string& hex)
{
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
}

Node& moovOf(std::vector<Node>& top)
{
    return *std::find_if(top.begin(), top.end(), [](const Node& n) { return n.type == "moov"; });
}

// Every leaf below node as "path:bytes", chunk tables and tref left out.
void leaves(const Node& node, const std::string& path, std::map<std::string, Bytes>& out)
{
    for (const Node& c : node.children) {
        const std::string p = path + "/" + c.type;
        if (c.type == "stco" || c.type == "co64" || c.type == "tref") continue;
        if (c.container) leaves(c, p, out);
        else out[p].insert(out[p].end(), c.data.begin(), c.data.end());  // same-named siblings in order
    }
}

Bytes range(const Bytes& file, uint64_t offset, uint64_t len)
{
    return Bytes(file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + len));
}

void setModeAndTime(const fs::path& file, mode_t mode, time_t mtime)
{
    ASSERT_EQ(::chmod(file.c_str(), mode), 0);
    const struct timespec times[2] = {{mtime, 0}, {mtime, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

std::string xattr(const fs::path& file, const char* name)
{
    char value[256];
    const ssize_t n = ::getxattr(file.c_str(), name, value, sizeof value);
    return n < 0 ? "" : std::string(value, static_cast<size_t>(n));
}

// An access list giving one more user read access (rw- r-- r-- otherwise): the kernel's xattr form.
std::string posixAcl(uint32_t user)
{
    std::string acl;
    const auto le = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) acl.push_back(static_cast<char>(v >> (8 * i)));
    };
    le(2, 4);  // version
    const uint32_t entries[][3] = {{0x01, 6, 0xFFFFFFFF}, {0x02, 4, user}, {0x04, 4, 0xFFFFFFFF},
                                   {0x10, 4, 0xFFFFFFFF}, {0x20, 0, 0xFFFFFFFF}};
    for (const auto& e : entries) {
        le(e[0], 2);
        le(e[1], 2);
        le(e[2], 4);
    }
    return acl;
}

struct SonyCase {
    const char* name;
    bool moovFirst;
    bool co64;
    const char* frameRate;
    SonyTimecode timecode;
    XmlPlace xml;
};

class SonyClipExport : public ::testing::TestWithParam<SonyCase> {};

// The rtmd samples where the table says, and the camera's XML as its top-level meta (nothing when none).
Bytes rtmdData(const Bytes& file, Node& moov, const char* table, unsigned frames)
{
    const auto chunks = chunkOffsets(*trackByHandler(moov, "meta")->all(table).front());
    return range(file, chunks.at(0), uint64_t(frames) * kFixtureRtmdSampleSize);
}

std::string cameraXml(const std::vector<Node>& top)
{
    for (const Node& n : top) {
        if (n.type != "meta") continue;
        const Node xml = parseFile(Bytes(n.data.begin() + 4, n.data.end())).at(1);  // after version/flags: hdlr, xml
        return std::string(xml.data.begin() + 4, xml.data.end());
    }
    return {};
}

// A Sony clip rewritten: every place that holds its timecode starts at 00:00:00:00 (the tmcd track,
// the rtmd samples, the camera's XML), everything else the camera wrote is kept byte for byte, and a
// second rewrite changes nothing a reader sees.
TEST_P(SonyClipExport, RebasesEveryTimecodeAndKeepsTheCamerasBoxes)
{
    const SonyCase& param = GetParam();
    TempDir dir;
    ClipOptions options;
    options.moovFirst = param.moovFirst;
    options.frameRate = param.frameRate;
    const fs::path plain = makeClip(dir / "plain.mov", options);
    ASSERT_FALSE(plain.empty());
    SonyStyle style;
    style.co64 = param.co64;
    style.timecode = param.timecode;
    style.xml = param.xml;
    const Bytes sourceBytes = addSonyStructures(readBytes(plain), style);
    const fs::path source = dir / "C0001.MP4";
    writeBytes(source, sourceBytes);
    setModeAndTime(source, 0640, 1577836800);  // 2020-01-01
    // Root rewriting another user's clip gives the result to that user.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(source.c_str(), 65534, 65534), 0);
    }
    const fs::path output = dir / "temp_C0001.MP4";
    // A file manager's tag and an access list, kept in extended attributes.
    const std::string tag = "keep", acl = posixAcl(65533);
    ASSERT_EQ(::setxattr(source.c_str(), "user.xdg.tags", tag.data(), tag.size(), 0), 0) << errno;
    const bool acls = ::setxattr(source.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;

    const ExportOutcome outcome = exportThroughSession(source, output);
    ASSERT_TRUE(outcome.completed()) << (outcome.error ? outcome.error->localizedDescription : "");
    EXPECT_EQ(outcome.progress, 1.0);
    EXPECT_EQ(readBytes(source), sourceBytes);
    EXPECT_EQ(xattr(output, "user.xdg.tags"), tag);
    if (acls) {
        EXPECT_EQ(xattr(output, "system.posix_acl_access"), acl);
    }

    // What editing programs and players read.
    const bool dropFrame = param.timecode.dropFrame;
    EXPECT_EQ(probeFormatTag(output, "timecode"), "00:00:00:00");
    EXPECT_EQ(probeStreamTag(output, "v:0", "timecode"), dropFrame ? "00:00:00;00" : "00:00:00:00");
    EXPECT_EQ(probeStreamTag(output, "d:0", "timecode"), "00:00:00:00");  // the rtmd stream
    EXPECT_EQ(probeCodecTags(output), "avc1,twos,rtmd,tmcd");
    EXPECT_EQ(packetHash(output), packetHash(source));

    // Top level: the camera's ftyp and profile box, moov, the camera's XML re-based, then the data at
    // its offset modulo 4096.
    const Bytes outBytes = readBytes(output);
    auto outTop = parseFile(outBytes);
    auto srcTop = parseFile(sourceBytes);
    std::vector<std::string> head;
    for (const Node& n : outTop)
        if (n.type != "mdat" && n.type != "free") head.push_back(n.type);
    const std::vector<std::string> expectedHead =
        param.xml == XmlPlace::none ? std::vector<std::string>{"ftyp", "uuid", "moov"}
                                    : std::vector<std::string>{"ftyp", "uuid", "moov", "meta"};
    EXPECT_EQ(head, expectedHead);
    EXPECT_EQ(serialize(outTop.at(0)), serialize(srcTop.at(0)));
    EXPECT_EQ(serialize(outTop.at(1)), serialize(srcTop.at(1)));
    const unsigned frames = be32(trackByHandler(moovOf(srcTop), "vide")->all("stts").front()->data, 8);
    SonyTimecode zero = param.timecode;
    zero.start = {0, 0, 0, 0};
    EXPECT_EQ(cameraXml(outTop), param.xml == XmlPlace::none ? "" : sonyXml(zero, frames));
    std::vector<uint64_t> srcData, outData;
    for (const Node& n : srcTop)
        if (n.type == "mdat") srcData.push_back(n.offset);
    for (const Node& n : outTop)
        if (n.type == "mdat" && n.data.size() != 4) outData.push_back(n.offset);  // not the timecode sample's
    ASSERT_EQ(outData.size(), srcData.size());
    for (size_t i = 0; i < srcData.size(); ++i) EXPECT_EQ(outData[i] % 4096, srcData[i] % 4096);

    // moov: movie-level udta and the camera's meta gone, one QuickTime-style meta with the item.
    Node& outMoov = moovOf(outTop);
    Node& srcMoov = moovOf(srcTop);
    EXPECT_EQ(outMoov.child("udta"), nullptr);
    ASSERT_EQ(outMoov.all("meta").size(), 1u);
    EXPECT_EQ(serialize(*outMoov.child("meta")), fromHex(kTimecodeMetaHex));

    // Every source track byte for byte but its chunk table (and the video's new tref).
    const char* table = style.co64 ? "co64" : "stco";
    for (const char* handler : {"vide", "soun", "meta"}) {
        Node* s = trackByHandler(srcMoov, handler);
        Node* o = trackByHandler(outMoov, handler);
        ASSERT_TRUE(s && o) << handler;
        std::map<std::string, Bytes> srcLeaves, outLeaves;
        leaves(*s, "", srcLeaves);
        leaves(*o, "", outLeaves);
        EXPECT_EQ(outLeaves, srcLeaves) << handler;
        ASSERT_EQ(o->all(table).size(), 1u) << handler;
        EXPECT_EQ(chunkOffsets(*o->all(table).front()).size(), chunkOffsets(*s->all(table).front()).size());
    }
    EXPECT_EQ(be32(trackByHandler(outMoov, "vide")->all("stsd").front()->data, 4), 2u);  // both avc1 kept

    // The rtmd samples (Sony's gyro data) unchanged but for each frame's timecode, counted from 0.
    EXPECT_EQ(rtmdData(outBytes, outMoov, table, frames), sonyRtmdSamples(zero, frames));
    EXPECT_EQ(rtmdData(sourceBytes, srcMoov, table, frames), sonyRtmdSamples(param.timecode, frames));

    // The added timecode track, referred to by the video track, its ID taken from mvhd, drop-frame
    // as the camera counted, dated as the video track.
    Node* tmcd = trackByHandler(outMoov, "tmcd");
    ASSERT_NE(tmcd, nullptr);
    const Bytes& tkhd = tmcd->child("tkhd")->data;
    const uint32_t tmcdId = be32(tkhd, 12);
    Node* tref = trackByHandler(outMoov, "vide")->child("tref");
    ASSERT_TRUE(tref && tref->child("tmcd"));
    EXPECT_EQ(be32(tref->child("tmcd")->data, 0), tmcdId);
    const Bytes& srcMvhd = srcMoov.child("mvhd")->data;
    const Bytes& outMvhd = outMoov.child("mvhd")->data;
    EXPECT_EQ(tmcdId, be32(srcMvhd, srcMvhd.size() - 4));
    EXPECT_EQ(be32(outMvhd, outMvhd.size() - 4), tmcdId + 1);
    EXPECT_EQ(be32(tmcd->all("stsd").front()->data, 8 + 8 + 8 + 4) & 1, dropFrame ? 1u : 0u);
    EXPECT_EQ(range(tkhd, 4, 8), range(trackByHandler(srcMoov, "vide")->child("tkhd")->data, 4, 8));

    // The clip's owner, permission bits and modification time.
    struct stat st {}, in {};
    ASSERT_EQ(::stat(output.c_str(), &st), 0);
    ASSERT_EQ(::stat(source.c_str(), &in), 0);
    EXPECT_EQ(st.st_uid, in.st_uid);
    EXPECT_EQ(st.st_gid, in.st_gid);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1577836800);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);

    // Rewriting the result again changes nothing a reader sees.
    const fs::path again = dir / "again.MP4";
    ASSERT_TRUE(exportThroughSession(output, again).completed());
    const Bytes againBytes = readBytes(again);
    auto againTop = parseFile(againBytes);
    std::map<std::string, Bytes> outLeaves, againLeaves;
    leaves(outMoov, "", outLeaves);
    leaves(moovOf(againTop), "", againLeaves);
    EXPECT_EQ(againLeaves, outLeaves);
    EXPECT_EQ(cameraXml(againTop), cameraXml(outTop));
    EXPECT_EQ(rtmdData(againBytes, moovOf(againTop), table, frames), sonyRtmdSamples(zero, frames));
    EXPECT_EQ(packetHash(again), packetHash(source));
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, SonyClipExport,
    ::testing::Values(SonyCase{"MoovLast25p", false, false, "25", {25, false, false, {19, 57, 30, 17}}, XmlPlace::topLevel},
                      SonyCase{"MoovFirst2997DropFrameXmlInMoov", true, false, "30000/1001",
                               {30, true, false, {1, 29, 59, 28}}, XmlPlace::inMoov},
                      SonyCase{"MoovLastCo64HalfStep50p", false, true, "50", {25, false, true, {23, 59, 59, 24}},
                               XmlPlace::topLevel},
                      SonyCase{"MoovFirstCo64NoXml", true, true, "30000/1001", {30, false, false, {16, 56, 7, 0}},
                               XmlPlace::none}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoxExport, RebasesTheSourceTimecodeTrackInTheCopyOnly)
{
    TempDir dir;
    ClipOptions options;
    options.timecode = "01:02:03:04";
    const fs::path source = makeClip(dir / "C0002.MOV", options);
    ASSERT_FALSE(source.empty());
    ASSERT_EQ(probeStreamTag(source, "v:0", "timecode"), "01:02:03:04");
    const Bytes before = readBytes(source);
    const fs::path output = dir / "temp_C0002.MOV";

    const ExportOutcome outcome = exportThroughSession(source, output);
    ASSERT_TRUE(outcome.completed()) << (outcome.error ? outcome.error->localizedDescription : "");
    EXPECT_EQ(probeStreamTag(output, "v:0", "timecode"), "00:00:00:00");
    EXPECT_EQ(probeStreamTag(output, "d:0", "timecode"), "00:00:00:00");
    EXPECT_EQ(probeFormatTag(output, "timecode"), "00:00:00:00");
    EXPECT_EQ(probeCodecTags(output), "avc1,twos,tmcd");  // the track re-based, not a second one added
    EXPECT_EQ(packetHash(output), packetHash(source));
    EXPECT_EQ(readBytes(source), before);
}

TEST(BoxExport, NeverTouchesWhatIsAlreadyAtTheOutputPath)
{
    TempDir dir;
    const fs::path source = makeClip(dir / "C0003.MP4");
    ASSERT_FALSE(source.empty());

    const fs::path existing = dir / "temp_C0003.MP4";
    writeBytes(existing, Bytes{'k', 'e', 'e', 'p'});
    ExportOutcome outcome = exportThroughSession(source, existing);
    EXPECT_EQ(outcome.status, static_cast<long>(ExportStatus::failed));
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->localizedDescription, "目标文件已存在：temp_C0003.MP4");
    EXPECT_EQ(readBytes(existing), (Bytes{'k', 'e', 'e', 'p'}));

    // A link is refused, not followed: its target is not created, the link stays.
    const fs::path link = dir / "link.MP4";
    fs::create_symlink(dir / "target.MP4", link);
    outcome = exportThroughSession(source, link);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->localizedDescription, "目标文件已存在：link.MP4");
    EXPECT_FALSE(fs::exists(dir / "target.MP4"));
    EXPECT_TRUE(fs::is_symlink(link));

    // A save-as folder that is a link to elsewhere is not written through.
    fs::create_directory(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", dir / "已修改时间码");
    auto throughLink = OutputFile::create(dir / "已修改时间码" / "C0003.MP4", true);
    ASSERT_TRUE(throughLink.isError());
    EXPECT_EQ(throughLink.error().localizedDescription,
              "文件夹“已修改时间码”不是真正的文件夹（可能是指向其他位置的链接），为安全起见不写入其中");
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

// A failed export removes the file it created, and only that: if another program put a file at the
// path meanwhile, that file stays.
TEST(OutputFileTest, RemovesOnlyTheFileItCreated)
{
    TempDir dir;
    const fs::path path = dir / "temp_C0006.MP4";
    {
        auto out = OutputFile::create(path);
        ASSERT_FALSE(out.isError());
        EXPECT_TRUE(fs::exists(path));
    }
    EXPECT_FALSE(fs::exists(path));
    {
        auto out = OutputFile::create(path);
        ASSERT_FALSE(out.isError());
        writeBytes(dir / "other", Bytes{'o'});
        fs::rename(dir / "other", path);
    }
    EXPECT_EQ(readBytes(path), Bytes{'o'});
}

// Sources the box path must refuse with a text naming the file and the reason, leaving no output.
TEST(BoxExport, RefusesBrokenSourcesWithAClearReasonAndNoOutput)
{
    TempDir dir;
    const fs::path clip = makeClip(dir / "good.mov");
    ASSERT_FALSE(clip.empty());
    const Bytes good = readBytes(clip);
    auto top = parseFile(good);
    const Node& mdat = *std::find_if(top.begin(), top.end(), [](const Node& n) { return n.type == "mdat"; });

    struct Case {
        std::string name;
        Bytes bytes;
        std::string expected;
    };
    std::vector<Case> cases;
    cases.push_back({"cut.mov", range(good, 0, mdat.offset + mdat.size() / 2),
                     "文件“cut.mov”已损坏：“mdat”盒子超出了文件末尾（文件可能不完整）"});
    cases.push_back({"nomoov.mov", range(good, 0, mdat.offset + mdat.size()),
                     "文件“nomoov.mov”已损坏：缺少“moov”盒子（文件可能没有完整写入）"});
    {
        auto edited = parseFile(good);
        Node& moov = moovOf(edited);
        Node* stco = trackByHandler(moov, "vide")->all("stco").front();
        auto offsets = chunkOffsets(*stco);
        offsets.back() = good.size() + 100;
        *stco = chunkTable("stco", offsets);
        cases.push_back({"offset.mov", serialize(edited),
                         "文件“offset.mov”已损坏：偏移 " + std::to_string(good.size() + 100) +
                             " 处的媒体数据不在任何“mdat”盒子中"});
    }
    {
        auto edited = parseFile(good);
        Node* stsz = trackByHandler(moovOf(edited), "vide")->all("stsz").front();
        set32(stsz->data, 8, 0x40000000);  // far more sizes than the box holds
        cases.push_back({"count.mov", serialize(edited), "文件“count.mov”已损坏：“stsz”表的条目数超出了盒子的大小"});
    }

    for (const Case& c : cases) {
        const fs::path source = dir / c.name;
        writeBytes(source, c.bytes);
        const fs::path output = dir / ("temp_" + c.name);
        const ExportOutcome outcome = exportThroughSession(source, output);
        EXPECT_EQ(outcome.status, static_cast<long>(ExportStatus::failed)) << c.name;
        ASSERT_TRUE(outcome.error) << c.name;
        EXPECT_EQ(outcome.error->localizedDescription, c.expected);
        EXPECT_FALSE(fs::exists(output)) << c.name;
    }

    const ExportOutcome missing = exportThroughSession(dir / "missing.mp4", dir / "temp_missing.mp4");
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->localizedDescription, "无法打开文件“missing.mp4”：文件或文件夹不存在");
    EXPECT_FALSE(fs::exists(dir / "temp_missing.mp4"));
}

// moov is read into memory only up to a cap; beyond it the export says why (a sparse file: the
// header claims 600 MiB without using the disk).
TEST(BoxExport, RefusesAMoovBeyondTheMemoryCap)
{
    TempDir dir;
    Bytes head = serialize(std::vector<Node>{leaf("ftyp", fromHex("6d703432000000006d703432"))});
    put32(head, 600u << 20);
    head.insert(head.end(), {'m', 'o', 'o', 'v'});
    const fs::path source = dir / "huge.MP4";
    writeBytes(source, head);
    fs::resize_file(source, head.size() - 8 + (600u << 20));
    const ExportOutcome outcome = exportThroughSession(source, dir / "temp_huge.MP4");
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->localizedDescription, "无法导出文件“huge.MP4”：“moov”盒子过大（600 MiB，上限 512 MiB）");
    EXPECT_FALSE(fs::exists(dir / "temp_huge.MP4"));
}

// The path is chosen by content: fragmented MP4, Matroska, AVI and text go to libavformat, whatever
// their names say.
TEST(BoxExport, LeavesOtherContainersToTheGeneralPath)
{
    TempDir dir;
    const std::string input = "-f lavfi -i testsrc2=s=64x64:r=10:d=0.5 -c:v mpeg4";
    struct Case {
        const char* name;
        std::string args;
    };
    for (const Case& c : {Case{"frag.MP4", " -f mp4 -movflags frag_keyframe+empty_moov"}, Case{"clip.mov", " -f matroska"},
                          Case{"clip.mp4", " -f avi"}}) {
        ASSERT_EQ(runCommand("ffmpeg -nostdin -v error -y " + input + c.args + " " + shellQuote(dir / c.name)).status, 0);
        auto probed = probeBoxSource(dir / c.name);
        ASSERT_FALSE(probed.isError()) << c.name << ": " << probed.error().localizedDescription;
        EXPECT_FALSE(probed->has_value()) << c.name;
    }
    writeBytes(dir / "notes.mp4", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'});
    auto text = probeBoxSource(dir / "notes.mp4");
    ASSERT_FALSE(text.isError());
    EXPECT_FALSE(text->has_value());

    const ExportOutcome folder = exportThroughSession(dir.path(), dir / "temp_folder.mp4");
    ASSERT_TRUE(folder.error);
    EXPECT_NE(folder.error->localizedDescription.find("这是一个文件夹"), std::string::npos);
}

class BoxExportFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        ClipOptions options;
        options.seconds = 2;
        clip_ = makeClip(*dir_ / "C0004.MP4", options);
        reference_ = *dir_ / "reference.MP4";
        ASSERT_TRUE(exportThroughSession(clip_, reference_).completed());
    }
    static void TearDownTestSuite() { delete dir_; }

    static TempDir* dir_;
    static fs::path clip_;
    static fs::path reference_;
};

TempDir* BoxExportFaults::dir_ = nullptr;
fs::path BoxExportFaults::clip_;
fs::path BoxExportFaults::reference_;

TEST_F(BoxExportFaults, EachCopyFallbackGivesTheSameFile)
{
    // copy_file_range unsupported (across file systems, old kernels...), and a file system that
    // cannot reserve blocks: the export goes on by the next way and writes the same bytes.
    std::vector<FaultPlan> plans;
    for (int err : {EOPNOTSUPP, EXDEV, EINVAL, ENOSYS})
        plans.push_back(FaultPlan{.only = sys::Call::CopyFileRange, .onward = true, .err = err});
    plans.push_back(FaultPlan{.only = sys::Call::Fallocate, .onward = true, .err = EOPNOTSUPP});
    for (FaultPlan& plan : plans) {
        const std::string name = std::string(sys::callName(*plan.only)) + "_" + std::to_string(plan.err);
        const fs::path output = *dir_ / ("fallback_" + name + ".MP4");
        {
            ScopedFaults faults(plan);
            ASSERT_TRUE(exportThroughSession(clip_, output).completed()) << name;
        }
        EXPECT_GE(plan.seen, 1) << name;
        EXPECT_EQ(readBytes(output), readBytes(reference_)) << name;
    }
}

TEST_F(BoxExportFaults, DiskFullSaysSoAndLeavesNothing)
{
    // Fallocate: blocks for the whole output are reserved before the copying starts.
    for (sys::Call call : {sys::Call::Fallocate, sys::Call::Write, sys::Call::CopyFileRange, sys::Call::Fsync}) {
        FaultPlan plan{.only = call, .err = ENOSPC};
        ScopedFaults faults(plan);
        const fs::path output = *dir_ / "temp_full.MP4";
        const ExportOutcome outcome = exportThroughSession(clip_, output);
        ASSERT_TRUE(outcome.error) << sys::callName(call);
        EXPECT_EQ(outcome.status, static_cast<long>(ExportStatus::failed));
        EXPECT_NE(outcome.error->localizedDescription.find("“temp_full.MP4”：磁盘空间不足"), std::string::npos)
            << outcome.error->localizedDescription;
        EXPECT_FALSE(fs::exists(output));
    }
}

// Any one failing system call fails the export cleanly: an error, no output, the source unchanged.
TEST_F(BoxExportFaults, EverySingleFaultFailsCleanly)
{
    const Bytes source = readBytes(clip_);
    int injected = 0;
    for (int call = 0; call <= static_cast<int>(sys::Call::Fallocate); ++call) {
        for (int nth = 1; nth <= 3; ++nth) {
            FaultPlan plan{.only = static_cast<sys::Call>(call), .nth = nth};
            const fs::path output = *dir_ / "temp_fault.MP4";
            ExportOutcome outcome;
            {
                ScopedFaults faults(plan);
                outcome = exportThroughSession(clip_, output);
            }
            if (!plan.reached()) {
                EXPECT_TRUE(outcome.completed());  // the call was not made that often: no fault
                fs::remove(output);
                break;
            }
            SCOPED_TRACE(std::string(sys::callName(*plan.only)) + " #" + std::to_string(nth));
            ++injected;
            ASSERT_TRUE(outcome.error);
            EXPECT_EQ(outcome.status, static_cast<long>(ExportStatus::failed));
            EXPECT_FALSE(fs::exists(output));
        }
    }
    EXPECT_GE(injected, 20);  // open, read, write, copy, fsync, fstat, fchmod, futimens, close...
    EXPECT_EQ(readBytes(clip_), source);
}

TEST_F(BoxExportFaults, CancelledExportEndsWithoutErrorAndRemovesItsOutput)
{
    auto session = makeExportSession(clip_, kExportPresetPassthrough);
    const fs::path output = *dir_ / "temp_cancel.MP4";
    session->setOutputURL(output);
    session->setOutputFileType(std::string(kFileTypeMPEG4));
    session->setMetadata(zeroTimecodeItems());
    // Cancel at the first data copy, as a user would while the bar moves.
    FaultPlan plan{.onward = true, .act = [&](sys::Call call) {
                       if (call == sys::Call::CopyFileRange || call == sys::Call::CloneRange) session->cancelExport();
                       return 0;
                   }};
    {
        ScopedFaults faults(plan);
        std::promise<void> ended;
        session->exportAsynchronously([&] { ended.set_value(); });
        ended.get_future().wait();
    }
    EXPECT_EQ(session->status(), static_cast<long>(ExportStatus::cancelled));
    EXPECT_FALSE(session->error());
    EXPECT_FALSE(fs::exists(output));
}

// The program joins the export threads before it returns from main: joining waits until every
// export, its handler included, has ended.
TEST(ExportSession, JoiningTheExportThreadsWaitsForTheirEnd)
{
    std::atomic<bool> handled{false};
    auto session = makeExportSession("/nonexistent/C0001.MP4", kExportPresetPassthrough);
    session->setOutputURL("/nonexistent/temp_C0001.MP4");
    session->setOutputFileType(std::string(kFileTypeMPEG4));
    session->exportAsynchronously([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        handled = true;
    });
    session.reset();
    joinExportThreads();
    EXPECT_TRUE(handled);
}

}  // namespace
