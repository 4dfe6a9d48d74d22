// The box path end to end: clips made by ffmpeg (with Sony-style structures added), exported as the
// program does, and read back with ffprobe and with the tests' own box reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>
#include <tuple>

#include "media/base/media_error.h"
#include "media/export/export_session.h"
#include "media/files/write_behind.h"
#include "platform/sys.h"
#include "support/address_space.h"
#include "support/box_tree.h"
#include "support/clips.h"
#include "support/fault_plan.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

// Every leaf below node as "path:bytes", chunk tables and tref left out.
std::map<std::string, Bytes> leaves(const Node& node, const std::string& path = "")
{
    std::map<std::string, Bytes> out;
    for (const Node& c : node.children) {
        if (c.type == "stco" || c.type == "co64" || c.type == "tref") continue;
        if (!c.container) out[path + "/" + c.type].insert(out[path + "/" + c.type].end(), c.data.begin(), c.data.end());
        for (auto& [p, bytes] : leaves(c, path + "/" + c.type)) out[p].insert(out[p].end(), bytes.begin(), bytes.end());
    }
    return out;
}

Bytes range(const Bytes& file, uint64_t offset, uint64_t len)
{
    return Bytes(file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + len));
}

std::string xattr(const fs::path& file, const char* name)
{
    char value[256];
    const ssize_t n = ::getxattr(file.c_str(), name, value, sizeof value);
    return n < 0 ? "" : std::string(value, static_cast<size_t>(n));
}

// The rtmd samples where the chunk table says, and the camera's XML in the top-level meta.
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

struct SonyCase {
    const char* name;
    bool moovFirst, co64;
    const char* frameRate;
    SonyTimecode timecode;
    XmlPlace xml;
};

class SonyClipExport : public ::testing::TestWithParam<SonyCase> {};

// A Sony clip rewritten: every place that holds its timecode starts at 00:00:00:00 (a new tmcd track,
// the rtmd samples, the camera's XML), everything else the camera wrote is kept byte for byte with
// the file's owner, mode, times and extended attributes, and a second rewrite changes nothing.
TEST_P(SonyClipExport, RebasesEveryTimecodeAndKeepsTheCamerasBoxes)
{
    const SonyCase& param = GetParam();
    TempDir dir;
    ASSERT_TRUE(makeClip(dir / "plain.mov", {.moovFirst = param.moovFirst, .frameRate = param.frameRate}));
    const SonyStyle style{.xml = param.xml, .co64 = param.co64, .timecode = param.timecode};
    const Bytes sourceBytes = addSonyStructures(readBytes(dir / "plain.mov"), style);
    const fs::path source = dir / "C0001.MP4", output = dir / "temp_C0001.MP4";
    writeBytes(source, sourceBytes);
    ASSERT_EQ(::chmod(source.c_str(), 0640), 0);
    ASSERT_TRUE(setTimes(source, {1577836800, 123456789}));                       // 2020-01-01
    ASSERT_TRUE(::geteuid() != 0 || ::chown(source.c_str(), 65534, 65534) == 0);  // root rewrites a user's clip
    // A file manager's tag and an access list giving one more user read access (in the kernel's
    // little-endian form), kept in extended attributes.
    ASSERT_EQ(::setxattr(source.c_str(), "user.xdg.tags", "keep", 4, 0), 0) << errno;
    std::string acl("\x02\0\0\0", 4);
    // The mask (rw) wider than the group entry (r), which the mode's group bits show.
    for (uint32_t v : {0x60001u, ~0u, 0x40002u, 65533u, 0x40004u, ~0u, 0x60010u, ~0u, 0x20u, ~0u})  // tag|perm, id
        acl.append(reinterpret_cast<const char*>(&v), 4);
    const bool acls = ::setxattr(source.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;

    auto exported = exportClip(source, output);
    ASSERT_FALSE(exported.isError()) << exported.error().localizedDescription;
    EXPECT_EQ(readBytes(source), sourceBytes);
    EXPECT_EQ(xattr(output, "user.xdg.tags"), "keep");
    EXPECT_EQ(xattr(output, "system.posix_acl_access"), acls ? acl : "");
    struct stat st {
    }, in{};
    ASSERT_TRUE(::stat(output.c_str(), &st) == 0 && ::stat(source.c_str(), &in) == 0);
    EXPECT_EQ(std::tuple(st.st_uid, st.st_gid, st.st_mode & 07777),
              std::tuple(in.st_uid, in.st_gid, acls ? 0660u : 0640u));
    EXPECT_EQ(std::pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec), std::pair(1577836800L, 123456789L));

    // What editing programs and players read.
    const bool dropFrame = param.timecode.dropFrame;
    // The item in the clip's notation, as its track and its XML.
    EXPECT_EQ(formatTimecode(output), dropFrame ? "00:00:00;00" : "00:00:00:00");
    EXPECT_EQ(streamTimecode(output, "v:0"), dropFrame ? "00:00:00;00" : "00:00:00:00");
    EXPECT_EQ(streamTimecode(output, "d:0"), "00:00:00:00");  // the rtmd stream
    EXPECT_EQ(codecTags(output), "avc1,twos,rtmd,tmcd");
    EXPECT_EQ(packetHash(output), packetHash(source));

    // Top level: the camera's ftyp and profile box, moov, the camera's XML re-based, then the data.
    const Bytes outBytes = readBytes(output);
    auto outTop = parseFile(outBytes), srcTop = parseFile(sourceBytes);
    std::vector<std::string> head;
    for (const Node& n : outTop)
        if (n.type != "mdat" && n.type != "free") head.push_back(n.type);
    std::vector<std::string> expectedHead = {"ftyp", "uuid", "moov", "meta"};
    if (param.xml == XmlPlace::none) expectedHead.pop_back();
    EXPECT_EQ(head, expectedHead);
    EXPECT_EQ(serialize(outTop.at(0)), serialize(srcTop.at(0)));
    EXPECT_EQ(serialize(outTop.at(1)), serialize(srcTop.at(1)));
    const unsigned frames = be32(trackByHandler(topLevel(srcTop, "moov"), "vide")->all("stts").front()->data, 8);
    SonyTimecode zero = param.timecode;
    zero.start = {0, 0, 0, 0};
    EXPECT_EQ(cameraXml(outTop), param.xml == XmlPlace::none ? "" : sonyXml(zero, frames));

    // moov: the movie-level udta byte for byte, the camera's meta moved out, one meta with the item
    // (which ffprobe read above); every source track byte for byte but its chunk table (and the
    // video's new tref).
    Node &outMoov = topLevel(outTop, "moov"), &srcMoov = topLevel(srcTop, "moov");
    ASSERT_NE(srcMoov.child("udta"), nullptr);
    EXPECT_EQ(serialize(*outMoov.child("udta")), serialize(*srcMoov.child("udta")));
    EXPECT_EQ(outMoov.all("meta").size(), 1u);
    const char* table = style.co64 ? "co64" : "stco";
    for (const char* handler : {"vide", "soun", "meta"}) {
        Node *s = trackByHandler(srcMoov, handler), *o = trackByHandler(outMoov, handler);
        ASSERT_TRUE(s && o) << handler;
        EXPECT_EQ(leaves(*o), leaves(*s)) << handler;
        ASSERT_EQ(o->all(table).size(), 1u) << handler;
        EXPECT_EQ(chunkOffsets(*o->all(table).front()).size(), chunkOffsets(*s->all(table).front()).size());
    }

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
    const Bytes &srcMvhd = srcMoov.child("mvhd")->data, &outMvhd = outMoov.child("mvhd")->data;
    EXPECT_EQ(tmcdId, be32(srcMvhd, srcMvhd.size() - 4));
    EXPECT_EQ(be32(outMvhd, outMvhd.size() - 4), tmcdId + 1);
    EXPECT_EQ(be32(tmcd->all("stsd").front()->data, 8 + 8 + 8 + 4) & 1, dropFrame ? 1u : 0u);
    EXPECT_EQ(range(tkhd, 4, 8), range(trackByHandler(srcMoov, "vide")->child("tkhd")->data, 4, 8));

    // The result reads its start everywhere: exported again, it is found done and nothing is written.
    ASSERT_FALSE(exportClip(output, dir / "again.MP4").isError());
    EXPECT_FALSE(fs::exists(dir / "again.MP4"));
    EXPECT_EQ(readBytes(output), outBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, SonyClipExport,
    ::testing::Values(
        SonyCase{"MoovLast25p", false, false, "25", {25, false, false, {19, 57, 30, 17}}, XmlPlace::topLevel},
        SonyCase{"MoovFirst2997DropFrameXmlInMoov",
                 true,
                 false,
                 "30000/1001",
                 {30, true, false, {1, 28, 59, 28}},
                 XmlPlace::inMoov},
        SonyCase{"MoovLastCo64HalfStep50p", false, true, "50", {25, false, true, {23, 59, 59, 24}}, XmlPlace::topLevel},
        SonyCase{"MoovFirstCo64NoXml", true, true, "30000/1001", {30, false, false, {16, 56, 7, 0}}, XmlPlace::none}),
    [](const auto& info) { return std::string(info.param.name); });

// A link at the output's name is refused and left alone, its target not made (a file there, and a
// save-as folder that is a link: see the command line's tests).
TEST(BoxExport, NeverWritesThroughALinkAtTheOutputsName)
{
    TempDir dir;
    ASSERT_TRUE(makeClip(dir / "C0003.MP4"));
    fs::create_symlink(dir / "target.MP4", dir / "link.MP4");
    auto exported = exportClip(dir / "C0003.MP4", dir / "link.MP4");
    ASSERT_TRUE(exported.isError());
    EXPECT_TRUE(exported.error().domain == kPosixErrorDomain && errnoOf(exported.error()) == EEXIST);
    EXPECT_TRUE(fs::is_symlink(dir / "link.MP4"));
    EXPECT_FALSE(fs::exists(dir / "target.MP4"));
}

// Where the kernel cannot copy between the files (another file system, an old kernel) or cannot
// reserve blocks, the export goes on the next way and writes the same bytes.
TEST(BoxExport, CopyFallbacksGiveTheSameFile)
{
    TempDir dir;
    const fs::path source = dir / "C0004.MP4";
    ASSERT_TRUE(makeClip(source, {.seconds = 2}));
    ASSERT_FALSE(exportClip(source, dir / "reference.MP4").isError());
    for (auto [call, err] : {std::pair{sys::Call::CopyFileRange, EOPNOTSUPP},
                             {sys::Call::CopyFileRange, EXDEV},
                             {sys::Call::CopyFileRange, EINVAL},
                             {sys::Call::CopyFileRange, ENOSYS},
                             {sys::Call::Fallocate, EOPNOTSUPP}}) {
        FaultPlan plan{.only = call, .onward = true, .err = err};
        const std::string name = std::string(sys::callName(*plan.only)) + "_" + std::to_string(plan.err) + ".MP4";
        {
            ScopedFaults faults(plan);
            ASSERT_FALSE(exportClip(source, dir / name).isError()) << name;
        }
        EXPECT_GE(plan.seen, 1) << name;
        EXPECT_EQ(readBytes(dir / name), readBytes(dir / "reference.MP4")) << name;
    }
}

// The disk is asked to write a piece behind the copy once a whole piece waits there. A write it
// reports failed (EIO, ENOSPC) fails the export at once; a file system that cannot be asked is left
// to the flush, and not asked again; without a flush to come, it is never asked.
TEST(WriteBehind, AsksAPieceBehindTheCopyAndStopsWhereItCannot)
{
    TempDir dir;
    const fs::path path = dir / "out.MP4";
    const Fd out(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    constexpr uint64_t kMiB = 1 << 20;
    const struct {
        int err;
        bool durable;
        int asked;   // the calls made over the whole copy
        int failed;  // the errno the copy ends with, 0 if none
    } cases[] = {{0, true, 4, 0},      {EIO, true, 1, EIO},  {ENOSPC, true, 1, ENOSPC},
                 {EINVAL, true, 1, 0}, {ESPIPE, true, 1, 0}, {0, false, 0, 0}};
    for (const auto& c : cases) {
        FaultPlan plan{.only = sys::Call::Writeback, .nth = c.err ? 1 : 0, .onward = true, .err = c.err};
        ScopedFaults faults(plan);
        WriteBehind behind(out.get(), path, c.durable);
        int failed = 0;
        for (uint64_t end = 16 * kMiB; end <= 160 * kMiB && !failed; end += 16 * kMiB) {
            auto asked = behind.reached(end);
            if (asked.isError()) failed = errnoOf(asked.error());
            EXPECT_TRUE(end >= 64 * kMiB || plan.seen == 0) << end;
        }
        EXPECT_EQ(plan.seen, c.asked) << c.err;
        EXPECT_EQ(failed, c.failed) << c.err;
    }
}

// A clip changed while it is rewritten (another take moved over its name, data written into it) is
// left as it now is: the rewrite of what was read is not committed. A link in a clip's place is not read.
TEST(BoxExport, RefusesASourceChangedDuringTheExport)
{
    TempDir dir;
    const fs::path source = dir / "C0005.MP4", output = dir / "out.MP4";
    ASSERT_TRUE(makeClip(source));
    const Bytes original = readBytes(source);
    const std::function<void()> changes[] = {
        [&] { writeBytes(dir / "C0006.MP4", original), fs::rename(dir / "C0006.MP4", source); },
        [&] { std::ofstream(source, std::ios::binary | std::ios::app).put('x'); },
        [&] { std::fstream(source, std::ios::binary | std::ios::in | std::ios::out).put('x'); },
    };
    for (const auto& change : changes) {
        writeBytes(source, original);
        fs::last_write_time(source, fs::last_write_time(source) - std::chrono::hours(1));
        FaultPlan plan{.only = sys::Call::Write, .act = [&](sys::Call) { return change(), 0; }};  // all read by then
        ScopedFaults faults(plan);
        auto exported = exportClip(source, output);
        ASSERT_TRUE(exported.isError()) << plan.seen;
        EXPECT_TRUE(isExportError(exported.error(), ExportErrorCode::sourceChanged));
        EXPECT_FALSE(fs::exists(output));
    }
    fs::create_symlink(source, dir / "C0007.MP4");
    auto linked = exportClip(dir / "C0007.MP4", output);  // a link put in a clip's place after the walk
    ASSERT_TRUE(linked.isError());
    EXPECT_TRUE(linked.error().domain == kPosixErrorDomain && errnoOf(linked.error()) == ELOOP);
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

// Where no thread can be made for it (no address space left for its stack), the export fails at
// once with the system's reason, and its handler is called.
TEST(ExportSessionDeathTest, WithoutAThreadTheExportFailsAtOnce)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve address space of their own";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto session = makeExportSession("/nonexistent/C0001.MP4", kExportPresetPassthrough);
            session->setOutputURL("/nonexistent/temp_C0001.MP4");
            if (!test::leaveLittleAddressSpace()) std::_Exit(3);
            bool handled = false;
            session->exportAsynchronously([&] { handled = true; });
            const auto error = session->error();
            std::_Exit(handled && error && error->domain == kPosixErrorDomain ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
