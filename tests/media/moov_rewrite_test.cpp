// The moov rewrite on synthetic movies, for what generated clips cannot show: offsets moved past
// 4 GiB (without 4 GiB files), track IDs already past mvhd's next one, samples spread over chunk runs.
#include <gtest/gtest.h>

#include "media/box_reader.h"
#include "media/moov_model.h"
#include "media/moov_rewrite.h"
#include "support/box_tree.h"
#include "support/clips.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

Bytes fullBox(std::initializer_list<uint32_t> words)
{
    Bytes b = fullHeader();
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

// A track of one-sample chunks at these offsets, 100 bytes a sample, 1001/30000 s each.
Node track(uint32_t id, const std::string& handler, const std::vector<uint64_t>& chunks, bool co64 = false)
{
    Bytes tkhd = fullBox({3600000000u, 3600000001u, id, 0, 5000});
    tkhd.resize(84, 0);
    Bytes hdlr = fullBox({0});
    hdlr.insert(hdlr.end(), handler.begin(), handler.end());
    hdlr.resize(hdlr.size() + 13, 0);
    Bytes stsd = fullBox({1, 16});
    stsd.insert(stsd.end(), {'a', 'v', 'c', '1', 0, 0, 0, 0, 0, 0, 0, 1});
    const uint32_t n = static_cast<uint32_t>(chunks.size());
    return container(
        "trak", {leaf("tkhd", tkhd),
                 container("mdia", {leaf("mdhd", fullBox({3600000000u, 3600000001u, 30000, 150150, 0x55c40000})),
                                    leaf("hdlr", hdlr),
                                    container("minf", {container("stbl", {leaf("stsd", stsd), leaf("stts", fullBox({1, n, 1001})),
                                                                          leaf("stsc", fullBox({1, 1, 1, 1})),
                                                                          leaf("stsz", fullBox({100, n})),
                                                                          chunkTable(co64 ? "co64" : "stco", chunks)})})})});
}

Box mdatAt(uint64_t offset, uint64_t size) { return Box{fourcc("mdat"), offset, size, 8}; }

Movie parse(Bytes moov)
{
    auto movie = parseMovie(std::move(moov));
    EXPECT_FALSE(movie.isError()) << movie.error().localizedDescription;
    return movie.isError() ? Movie() : movie.releaseValue();
}

ErrorOr<OutputPlan> plan(const Node& moov, const std::vector<Box>& mdats, const std::vector<MetadataItem>& items)
{
    MemorySource none({});
    return planOutput({parse(serialize(moov)), mdats, none}, items);
}

// The moov a plan writes (after the 24-byte ftyp), as the program reads it.
Movie plannedMovie(const OutputPlan& plan)
{
    const Bytes& head = plan.writes.at(0).bytes;
    return parse(Bytes(head.begin() + 24, head.begin() + 24 + static_cast<long>(plan.moovSize)));
}

}  // namespace

// Data before 4 GiB in the source lands past it in the output (moov moved ahead of it): the table
// becomes co64, which grows moov across an alignment step and moves the data once more.
TEST(MoovRewrite, UpgradesToCo64AndSettlesTheLayout)
{
    const uint64_t a = 32, sizeA = 0xFFFFFF00 - 32;  // mdat A up to just below 4 GiB
    const uint64_t b = a + sizeA, sizeB = 0x10000;   // mdat B: payload starts at 0xFFFFFF08
    Node moov = container("moov", {mvhd(3), track(1, "vide", {a + 8, b + 8 + 100}), track(2, "soun", {a + 5000})});
    // Padded so the new moov (8 more bytes of co64) no longer fits before A's alignment slot.
    moov.children.push_back(leaf("free", Bytes(4092 - serialize(moov).size() - 8, 0)));
    ASSERT_EQ(serialize(moov).size(), 4092u);

    auto planned = plan(moov, {mdatAt(a, sizeA), mdatAt(b, sizeB)}, {});
    ASSERT_FALSE(planned.isError()) << planned.error().localizedDescription;
    ASSERT_EQ(planned->data.size(), 2u);
    const uint64_t outA = planned->data[0].outputOffset, outB = planned->data[1].outputOffset;
    EXPECT_EQ(outA, 8192u + 32);  // 24 + 4100 leaves no room for a free box before 4096 + 32
    EXPECT_EQ(outB, outA + sizeA);
    EXPECT_EQ(planned->moovSize, 4100u);
    EXPECT_EQ(planned->fileSize, outB + sizeB);
    const Movie out = plannedMovie(*planned);
    ASSERT_EQ(out.tracks.size(), 2u);
    EXPECT_TRUE(out.tracks[0].chunks.is64());
    EXPECT_EQ(out.tracks[0].chunks.offsets, (std::vector<uint64_t>{outA + 8, outB + 8 + 100}));
    EXPECT_FALSE(out.tracks[1].chunks.is64());  // still fits
    EXPECT_EQ(out.tracks[1].chunks.offsets, (std::vector<uint64_t>{outA + 5000}));
    // The free box filling the gap before A.
    ASSERT_EQ(planned->writes.size(), 2u);
    EXPECT_EQ(planned->writes[1].offset, 24u + 4100);
    EXPECT_EQ(be32(planned->writes[1].bytes, 0), outA - (24 + 4100));
}

// The new timecode track takes an ID above every one in use, whatever mvhd says, and only the first
// video track refers to it; a movie without video gets none (the metadata item still carries it).
TEST(MoovRewrite, AddsATimecodeTrackForTheFirstVideoWithAFreeID)
{
    Node moov = container("moov", {mvhd(3), track(1, "vide", {1100}), track(2, "soun", {1300}), track(5, "vide", {1200})});
    auto planned = plan(moov, {mdatAt(1000, 1000)}, zeroTimecodeItems());
    ASSERT_FALSE(planned.isError()) << planned.error().localizedDescription;
    const Movie out = plannedMovie(*planned);
    ASSERT_EQ(out.tracks.size(), 4u);
    EXPECT_TRUE(out.tracks[3].isTimecode());
    EXPECT_EQ(out.tracks[3].trackId, 6u);
    EXPECT_EQ(out.nextTrackId, 7u);
    EXPECT_EQ(out.tracks[0].timecodeRefs, (std::vector<uint32_t>{6}));
    EXPECT_TRUE(out.tracks[2].timecodeRefs.empty());

    auto without = plan(container("moov", {mvhd(3), track(2, "soun", {1300})}), {mdatAt(1000, 1000)}, zeroTimecodeItems());
    ASSERT_FALSE(without.isError());
    EXPECT_EQ(plannedMovie(*without).tracks.size(), 1u);
}

// Samples found through stsc runs and stsz sizes: the rtmd and tmcd samples the rewrite patches.
TEST(BoxReader, LocatesSamplesAcrossChunkRuns)
{
    Node moov = container("moov", {mvhd(2), track(1, "tmcd", {100, 200, 300})});
    Node& stbl = *moov.all("stbl").front();
    *stbl.child("stsc") = leaf("stsc", fullBox({2, 1, 2, 1, 3, 1, 1}));  // chunks 1-2: 2 samples, 3: 1
    *stbl.child("stsz") = leaf("stsz", fullBox({0, 5, 4, 8, 4, 4, 6}));
    const Movie movie = parse(serialize(moov));
    auto samples = locateSamples(movie, movie.tracks.at(0), 100);
    ASSERT_FALSE(samples.isError()) << samples.error().localizedDescription;
    std::vector<std::pair<uint64_t, uint32_t>> got;
    for (const SampleRange& s : *samples) got.push_back({s.offset, s.size});
    EXPECT_EQ(got, (std::vector<std::pair<uint64_t, uint32_t>>{{100, 4}, {104, 8}, {200, 4}, {204, 4}, {300, 6}}));
    EXPECT_TRUE(locateSamples(movie, movie.tracks[0], 4).isError());  // more than allowed

    *stbl.child("stsc") = leaf("stsc", fullBox({2, 2, 1, 1, 1, 1, 1}));  // runs out of order
    const Movie broken = parse(serialize(moov));
    EXPECT_TRUE(locateSamples(broken, broken.tracks.at(0), 100).isError());
}
