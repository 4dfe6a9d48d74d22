// The moov rewrite on synthetic movies: offsets moved with their data (past 4 GiB without 4 GiB
// files), the timecode track re-based or added, and the reader's refusals of damaged tables.
#include <gtest/gtest.h>

#include "media/box_reader.h"
#include "media/media_error.h"
#include "media/moov_model.h"
#include "media/moov_rewrite.h"
#include "support/box_tree.h"
#include "support/export_runner.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

Bytes fullBox(std::initializer_list<uint32_t> words)
{
    Bytes b;
    put32(b, 0);  // version and flags
    for (uint32_t w : words) put32(b, w);
    return b;
}

Node mvhd(uint32_t nextTrackId)
{
    Bytes b = fullBox({0, 0, 1000, 5000});
    b.resize(b.size() + 4 + 2 + 10 + 36 + 24, 0);
    put32(b, nextTrackId);
    return leaf("mvhd", b);
}

struct TrackShape {
    uint32_t id = 1;
    std::string handler = "vide";
    std::vector<uint64_t> chunks;
    bool co64 = false;
    std::vector<std::pair<uint32_t, uint32_t>> stts = {{1, 1001}};  // (count, delta)
    uint32_t timescale = 30000;
    uint32_t sampleSize = 100;
    Bytes sampleEntry;  // default: an avc1 header
};

TrackShape trackShape(uint32_t id, std::string handler, std::vector<uint64_t> chunks)
{
    TrackShape shape;
    shape.id = id;
    shape.handler = std::move(handler);
    shape.chunks = std::move(chunks);
    return shape;
}

constexpr uint32_t kCreated = 3600000000u;  // 2018, in seconds since 1904

Node track(const TrackShape& shape)
{
    Bytes tkhd = fullBox({kCreated, kCreated + 1, shape.id, 0, 5000});
    tkhd.resize(84, 0);
    Bytes hdlr = fullBox({0});
    hdlr.insert(hdlr.end(), shape.handler.begin(), shape.handler.end());
    hdlr.resize(hdlr.size() + 13, 0);
    Bytes entry = shape.sampleEntry;
    if (entry.empty()) {
        put32(entry, 16);
        entry.insert(entry.end(), {'a', 'v', 'c', '1', 0, 0, 0, 0, 0, 0, 0, 1});
    }
    Bytes stsd = fullBox({1});
    stsd.insert(stsd.end(), entry.begin(), entry.end());
    Bytes stts = fullBox({static_cast<uint32_t>(shape.stts.size())});
    for (auto [count, delta] : shape.stts) {
        put32(stts, count);
        put32(stts, delta);
    }
    const uint32_t n = static_cast<uint32_t>(shape.chunks.size());
    return container("trak", {leaf("tkhd", tkhd),
                              container("mdia", {leaf("mdhd", fullBox({kCreated, kCreated + 1, shape.timescale, 150150, 0x55c40000})),
                                                 leaf("hdlr", hdlr),
                                                 container("minf", {container("stbl", {
                                                                        leaf("stsd", stsd), leaf("stts", stts),
                                                                        leaf("stsc", fullBox({1, 1, 1, 1})),
                                                                        leaf("stsz", fullBox({shape.sampleSize, n})),
                                                                        chunkTable(shape.co64 ? "co64" : "stco", shape.chunks),
                                                                    })})})});
}

Bytes timecodeEntry(uint32_t flags, uint8_t frames)
{
    Bytes e;
    put32(e, 34);
    e.insert(e.end(), {'t', 'm', 'c', 'd', 0, 0, 0, 0, 0, 0, 0, 1});
    put32(e, 0);
    put32(e, flags);
    put32(e, 30000);
    put32(e, 1001);
    e.push_back(frames);
    e.push_back(0);
    return e;
}

Box mdatAt(uint64_t offset, uint64_t size) { return Box{fourcc("mdat"), offset, size, 8}; }

Movie parse(const Node& moov)
{
    auto movie = parseMovie(serialize(moov));
    EXPECT_FALSE(movie.isError()) << movie.error().localizedDescription;
    return movie.releaseValue();
}

// The moov written by a plan (after the 24-byte ftyp), parsed by the program and by the tests.
Movie plannedMovie(const OutputPlan& plan)
{
    const Bytes& head = plan.writes.at(0).bytes;
    auto movie = parseMovie(Bytes(head.begin() + 24, head.begin() + 24 + static_cast<long>(plan.moovSize)));
    EXPECT_FALSE(movie.isError()) << movie.error().localizedDescription;
    return movie.releaseValue();
}

Node plannedMoovTree(const OutputPlan& plan)
{
    return parseFile(plan.writes.at(0).bytes).at(1);
}

ErrorOr<OutputPlan> plan(const Movie& movie, const std::vector<Box>& mdats, const std::vector<MetadataItem>& items,
                         ByteSpan sourceBytes = {})
{
    MemorySource source(sourceBytes);
    return planOutput({movie, mdats, source}, items);
}

// Data before 4 GiB in the source lands past it in the output (moov moved ahead of it): the
// table becomes co64, which grows moov across an alignment step and moves the data once more.
TEST(MoovRewrite, UpgradesToCo64AndSettlesTheLayout)
{
    const uint64_t a = 32, sizeA = 0xFFFFFF00 - 32;  // mdat A up to just below 4 GiB
    const uint64_t b = a + sizeA, sizeB = 0x10000;   // mdat B: payload starts at 0xFFFFFF08
    TrackShape video = trackShape(1, "vide", {a + 8, b + 8 + 100});
    TrackShape audio = trackShape(2, "soun", {a + 5000});
    Node moov = container("moov", {mvhd(3), track(video), track(audio)});
    // Pad moov so the new one (with 8 more bytes of co64) no longer fits before A's alignment slot.
    const uint64_t bare = serialize(moov).size();
    Bytes pad(4092 - bare - 8, 0);
    moov.children.push_back(leaf("free", pad));
    ASSERT_EQ(serialize(moov).size(), 4092u);

    auto planned = plan(parse(moov), {mdatAt(a, sizeA), mdatAt(b, sizeB)}, {});
    ASSERT_FALSE(planned.isError()) << planned.error().localizedDescription;
    ASSERT_EQ(planned->data.size(), 2u);
    const uint64_t outA = planned->data[0].outputOffset;
    const uint64_t outB = planned->data[1].outputOffset;
    EXPECT_EQ(outA, 8192u + 32);  // 24 + 4100 leaves no room for a free box before 4096 + 32
    EXPECT_EQ(outB, outA + sizeA);
    EXPECT_EQ(planned->moovSize, 4100u);
    EXPECT_EQ(planned->fileSize, outB + sizeB);
    EXPECT_EQ(planned->dataBytes, sizeA + sizeB);

    const Movie out = plannedMovie(*planned);
    ASSERT_EQ(out.tracks.size(), 2u);
    EXPECT_TRUE(out.tracks[0].chunks.is64());
    EXPECT_EQ(out.tracks[0].chunks.offsets, (std::vector<uint64_t>{outA + 8, outB + 8 + 100}));
    EXPECT_FALSE(out.tracks[1].chunks.is64());  // still fits
    EXPECT_EQ(out.tracks[1].chunks.offsets, (std::vector<uint64_t>{outA + 5000}));
    // The free box filling the gap before A, and nothing else in it.
    ASSERT_EQ(planned->writes.size(), 2u);
    EXPECT_EQ(planned->writes[1].offset, 24u + 4100);
    EXPECT_EQ(be32(planned->writes[1].bytes, 0), outA - (24 + 4100));
}

TEST(MoovRewrite, KeepsTracksByteForByteButTheirOffsetsAndDropsMovieMetadata)
{
    TrackShape video = trackShape(1, "vide", {2000, 3000});
    video.co64 = true;
    Node moov = container("moov", {mvhd(2), track(video), container("udta", {leaf("XMP_", Bytes(9, 1))}),
                                   leaf("meta", Bytes(30, 2))});
    auto planned = plan(parse(moov), {mdatAt(1000, 100000)}, {});
    ASSERT_FALSE(planned.isError());
    Node out = plannedMoovTree(*planned);
    ASSERT_EQ(out.children.size(), 2u);  // mvhd and the track; no udta, no meta without items
    Node expected = moov.children[1];
    const uint64_t shift = planned->data[0].outputOffset - 1000;
    *expected.all("co64").front() = chunkTable("co64", {2000 + shift, 3000 + shift});
    EXPECT_EQ(serialize(out.children[1]), serialize(expected));
    EXPECT_EQ(planned->data[0].outputOffset % 4096, 1000u);
}

// The first video track gets the timecode track, at its nominal rate even when its frame durations
// vary, dated as the video track.
TEST(MoovRewrite, AddsATimecodeTrackForTheFirstVideo)
{
    TrackShape variable = trackShape(1, "vide", {1100});
    variable.stts = {{10, 1001}, {1, 2002}};
    TrackShape constant = trackShape(5, "vide", {1200});
    TrackShape sound = trackShape(2, "soun", {1300});
    Node moov = container("moov", {mvhd(3), track(variable), track(sound), track(constant)});
    auto planned = plan(parse(moov), {mdatAt(1000, 1000)}, zeroTimecodeItems());
    ASSERT_FALSE(planned.isError()) << planned.error().localizedDescription;

    const Movie out = plannedMovie(*planned);
    ASSERT_EQ(out.tracks.size(), 4u);
    const Track& tmcd = out.tracks[3];
    EXPECT_TRUE(tmcd.isTimecode());
    EXPECT_EQ(tmcd.trackId, 6u);  // next_track_ID (3) is not above every ID in use (5)
    EXPECT_EQ(out.nextTrackId, 7u);
    EXPECT_EQ(tmcd.timecode->frames, 30);
    EXPECT_EQ(tmcd.timecode->timescale, 30000u);
    EXPECT_EQ(tmcd.timecode->frameDuration, 1001u);
    EXPECT_EQ(tmcd.timecode->flags, 0u);
    EXPECT_EQ(tmcd.mediaTimescale, 30000u);
    EXPECT_EQ(tmcd.mediaDuration, 150150u);
    EXPECT_EQ(tmcd.trackDates.created, kCreated);
    EXPECT_EQ(tmcd.mediaDates.modified, kCreated + 1);
    EXPECT_EQ(out.tracks[0].timecodeRefs, (std::vector<uint32_t>{6}));
    EXPECT_TRUE(out.tracks[2].timecodeRefs.empty());
    // Its one sample, frame 0, in the mdat right after moov.
    const Bytes& head = planned->writes[0].bytes;
    ASSERT_EQ(tmcd.chunks.offsets.size(), 1u);
    EXPECT_EQ(tmcd.chunks.offsets[0], head.size() - 4);
    EXPECT_EQ(std::string(head.end() - 8, head.end() - 4), "mdat");
    EXPECT_EQ(be32(head, head.size() - 4), 0u);

    // No video, no timecode track (the metadata item still carries the timecode).
    Node noVideo = container("moov", {mvhd(3), track(sound)});
    auto without = plan(parse(noVideo), {mdatAt(1000, 1000)}, zeroTimecodeItems());
    ASSERT_FALSE(without.isError());
    EXPECT_EQ(plannedMovie(*without).tracks.size(), 1u);
    EXPECT_NE(plannedMoovTree(*without).child("meta"), nullptr);
}

// The tmcd samples live in the source's media data: the plan writes their new values over the
// output's copy (patches), and reads the source only.
TEST(MoovRewrite, RebasesTimecodeSamplesThroughPatches)
{
    Bytes file(3000, 0);
    set32(file, 2000, 108000);       // 01:00:00:00 at 30 fps
    set32(file, 2004, 108000 + 45);  // a later sample, 45 frames on
    TrackShape tc = trackShape(2, "tmcd", {2000});
    tc.sampleSize = 4;
    tc.stts = {{2, 1001}};
    tc.sampleEntry = timecodeEntry(0, 30);
    Node moov = container("moov", {mvhd(3), track(trackShape(1, "vide", {1100})), track(tc)});
    // Two samples in one chunk.
    set32(moov.children[2].all("stsc").front()->data, 12, 2);
    set32(moov.children[2].all("stsz").front()->data, 8, 2);

    auto planned = plan(parse(moov), {mdatAt(1000, 2000)}, zeroTimecodeItems(), file);
    ASSERT_FALSE(planned.isError()) << planned.error().localizedDescription;
    EXPECT_EQ(plannedMovie(*planned).tracks.size(), 2u);  // re-based, none added
    const uint64_t shift = planned->data[0].outputOffset - 1000;
    ASSERT_EQ(planned->patches.size(), 2u);
    EXPECT_EQ(planned->patches[0].offset, 2000 + shift);
    EXPECT_EQ(loadU32(planned->patches[0].bytes.data()), 0u);
    EXPECT_EQ(planned->patches[1].offset, 2004 + shift);
    EXPECT_EQ(loadU32(planned->patches[1].bytes.data()), 45u);
    EXPECT_EQ(be32(file, 2000), 108000u);
}

TEST(MoovRewrite, RefusesOffsetsOutsideTheMediaData)
{
    Node moov = container("moov", {mvhd(2), track(trackShape(1, "vide", {1004}))});
    auto planned = plan(parse(moov), {mdatAt(1000, 500)}, {});  // 1004 is inside the mdat header
    ASSERT_TRUE(planned.isError());
    EXPECT_EQ(planned.error().localizedDescription, "偏移 1004 处的媒体数据不在任何“mdat”盒子中");
    EXPECT_TRUE(plan(parse(moov), {mdatAt(0, 1004)}, {}).isError());  // just past the end
}

TEST(MoovRewrite, RefusesMetadataItThatCannotBeWritten)
{
    Node moov = container("moov", {mvhd(2), track(trackShape(1, "vide", {1100}))});
    const Movie movie = parse(moov);
    auto items = zeroTimecodeItems();
    items[0].value = "1:00";
    EXPECT_TRUE(isExportError(plan(movie, {mdatAt(1000, 500)}, items).error(), ExportErrorCode::unsupported));
    items = zeroTimecodeItems();
    items[0].identifier = "udta/timecode";
    EXPECT_TRUE(plan(movie, {mdatAt(1000, 500)}, items).isError());
}

// The reader's checks on untrusted bytes.
TEST(BoxReader, HeadersStayInsideTheirParent)
{
    auto header = [](std::initializer_list<uint8_t> bytes, uint64_t limit, bool top) {
        Bytes b(bytes);
        return parseBoxHeader(b, 0, limit, top);
    };
    EXPECT_TRUE(header({0, 0, 0, 7, 'f', 'r', 'e', 'e'}, 100, false).isError());       // smaller than a header
    EXPECT_TRUE(header({0, 0, 0, 101, 'f', 'r', 'e', 'e'}, 100, false).isError());     // past the parent
    EXPECT_TRUE(header({0, 0, 0, 0, 'f', 'r', 'e', 'e'}, 100, false).isError());       // "to the end" inside
    EXPECT_EQ(header({0, 0, 0, 0, 'm', 'd', 'a', 't'}, 100, true)->size, 100u);        // at the top level
    EXPECT_TRUE(header({0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 15}, 100, true).isError());
    EXPECT_TRUE(header({0, 0, 0, 1, 'm', 'd', 'a', 't', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 100, true)
                    .isError());  // a largesize that would wrap
    auto large = header({0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 64}, 100, true);
    ASSERT_FALSE(large.isError());
    EXPECT_EQ(large->headerSize, 16u);
    EXPECT_TRUE(header({0, 0, 0, 20, 'u', 'u', 'i', 'd'}, 100, true).isError());  // uuid needs 24

    // A file cut short: the last box runs past the end; a few stray bytes after the last box do not.
    Bytes file = serialize(std::vector<Node>{leaf("ftyp", Bytes(8, 0)), leaf("mdat", Bytes(100, 0))});
    Bytes cut(file.begin(), file.end() - 1);
    MemorySource cutSource(cut);
    EXPECT_TRUE(scanTopLevel(cutSource).isError());
    file.insert(file.end(), {0, 0, 0});
    MemorySource strayBytes(file);
    EXPECT_EQ(scanTopLevel(strayBytes)->size(), 2u);
}

TEST(BoxReader, TablesAreCheckedAgainstTheirBoxes)
{
    auto refuse = [](Node moov, const std::string& expected) {
        auto movie = parseMovie(serialize(moov));
        ASSERT_TRUE(movie.isError()) << expected;
        EXPECT_EQ(movie.error().localizedDescription, expected);
    };
    Node base = container("moov", {mvhd(2), track(trackShape(1, "vide", {1100, 1200}))});

    Node bigCount = base;
    set32(bigCount.all("stco").front()->data, 4, 0x7FFFFFFF);
    refuse(bigCount, "“stco”表的条目数超出了盒子的大小");
    Node bigStts = base;
    set32(bigStts.all("stts").front()->data, 4, 0x20000000);
    refuse(bigStts, "“stts”表的条目数超出了盒子的大小");
    Node twoTables = base;
    twoTables.all("stbl").front()->children.push_back(chunkTable("co64", {1}));
    refuse(twoTables, "一个轨道中有多个块偏移表");
    Node fragmented = base;
    fragmented.children.push_back(container("mvex", {}));
    auto movie = parseMovie(serialize(fragmented));
    EXPECT_TRUE(isExportError(movie.error(), ExportErrorCode::fragmented));
    Node noHeader = base;
    noHeader.children.erase(noHeader.children.begin());
    refuse(noHeader, "“moov”中缺少“mvhd”盒子");

    // Chunk data in another file cannot move with this one.
    Node external = base;
    Bytes dref = fullBox({1});
    put32(dref, 12);
    dref.insert(dref.end(), {'u', 'r', 'l', ' ', 0, 0, 0, 0});
    external.all("minf").front()->children.push_back(container("dinf", {leaf("dref", dref)}));
    refuse(external, "媒体数据存放在其他文件中（外部数据引用）");

    // Padding after a table's entries is allowed.
    Node padded = base;
    padded.all("stco").front()->data.resize(padded.all("stco").front()->data.size() + 6, 0);
    EXPECT_FALSE(parseMovie(serialize(padded)).isError());
}

TEST(BoxReader, LocatesSamplesAcrossChunkRuns)
{
    TrackShape shape = trackShape(1, "tmcd", {100, 200, 300});
    shape.sampleSize = 0;
    Node moov = container("moov", {mvhd(2), track(shape)});
    Node& stbl = *moov.all("stbl").front();
    *stbl.child("stsc") = leaf("stsc", fullBox({2, 1, 2, 1, 3, 1, 1}));       // chunks 1-2: 2 samples, 3: 1
    *stbl.child("stsz") = leaf("stsz", fullBox({0, 5, 4, 8, 4, 4, 6}));
    const Movie movie = parse(moov);
    auto samples = locateSamples(movie, movie.tracks[0], 100);
    ASSERT_FALSE(samples.isError()) << samples.error().localizedDescription;
    std::vector<std::pair<uint64_t, uint32_t>> got;
    for (const SampleRange& s : *samples) got.push_back({s.offset, s.size});
    EXPECT_EQ(got, (std::vector<std::pair<uint64_t, uint32_t>>{{100, 4}, {104, 8}, {200, 4}, {204, 4}, {300, 6}}));
    EXPECT_TRUE(locateSamples(movie, movie.tracks[0], 4).isError());

    *stbl.child("stsc") = leaf("stsc", fullBox({2, 2, 1, 1, 1, 1, 1}));  // runs out of order
    const Movie broken = parse(moov);
    EXPECT_TRUE(locateSamples(broken, broken.tracks[0], 100).isError());
}

}  // namespace
