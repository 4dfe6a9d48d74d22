// The moov rewrite on a synthetic movie, for what generated clips cannot show: offsets moved past
// 4 GiB, without 4 GiB files.
#include <gtest/gtest.h>

#include "media/base/media_error.h"
#include "media/boxes/box_reader.h"
#include "media/boxes/moov_model.h"
#include "media/boxes/timecode_track.h"
#include "media/plan/moov_rewrite.h"
#include "support/box_tree.h"
#include "support/clips.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

// A track of one-sample chunks at these offsets, 100 bytes a sample, 1001/30000 s each.
Node track(uint32_t id, uint32_t handler, const std::vector<uint64_t>& chunks)
{
    Bytes tkhd = words({0, 3600000000u, 3600000001u, id, 0, 5000});
    tkhd.resize(84, 0);
    const uint32_t n = static_cast<uint32_t>(chunks.size());
    const Node stbl = container("stbl", {leaf("stsd", words({0, 1, 16, 0x61766331, 0, 1})),  // avc1
                                         leaf("stts", words({0, 1, n, 1001})), leaf("stsc", words({0, 1, 1, 1, 1})),
                                         leaf("stsz", words({0, 100, n})), chunkTable("stco", chunks)});
    const Node mdhd = leaf("mdhd", words({0, 3600000000u, 3600000001u, 30000, 150150, 0x55c40000}));
    const Node hdlr = leaf("hdlr", words({0, 0, handler, 0, 0, 0}) + Bytes{0});
    return container("trak", {leaf("tkhd", tkhd), container("mdia", {mdhd, hdlr, container("minf", {stbl})})});
}

constexpr uint32_t kVideo = 0x76696465, kSound = 0x736f756e;  // "vide", "soun"

Box mdatAt(uint64_t offset, uint64_t size) { return Box{fourcc("mdat"), offset, size, 8}; }

Movie parse(Bytes moov)
{
    auto movie = parseMovie(std::move(moov));
    EXPECT_FALSE(movie.isError()) << movie.error().localizedDescription;
    return movie.isError() ? Movie() : movie.releaseValue();
}

// The moov a plan writes (after the 24-byte ftyp), as the program reads it.
Movie plannedMovie(const OutputPlan& plan)
{
    const Bytes& head = plan.writes.at(0).bytes;
    return parse(Bytes(head.begin() + 24, head.begin() + 24 + static_cast<long>(plan.moovSize)));
}

std::vector<uint64_t> offsetsOf(const Track& track)
{
    return std::vector<uint64_t>(track.chunks.offsets.begin(), track.chunks.offsets.end());
}

}  // namespace

// Data before 4 GiB in the source lands past it in the output (moov moved ahead of it): the table
// becomes co64, which grows moov across an alignment step and moves the data once more.
TEST(MoovRewrite, UpgradesToCo64AndSettlesTheLayout)
{
    const uint64_t a = 32, sizeA = 0xFFFFFF00 - 32;  // mdat A up to just below 4 GiB
    const uint64_t b = a + sizeA, sizeB = 0x10000;   // mdat B: payload starts at 0xFFFFFF08
    Node moov =
        container("moov", {movieHeader(3), track(1, kVideo, {a + 8, b + 8 + 100}), track(2, kSound, {a + 5000})});
    // Padded so the new moov (8 more bytes of co64) no longer fits before A's alignment slot.
    moov.children.push_back(leaf("free", Bytes(4092 - serialize(moov).size() - 8, 0)));
    ASSERT_EQ(serialize(moov).size(), 4092u);

    MemorySource none({});
    auto planned = planOutput({parse(serialize(moov)), {mdatAt(a, sizeA), mdatAt(b, sizeB)}, none}, {});
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
    EXPECT_EQ(offsetsOf(out.tracks[0]), (std::vector<uint64_t>{outA + 8, outB + 8 + 100}));
    EXPECT_FALSE(out.tracks[1].chunks.is64());  // still fits
    EXPECT_EQ(offsetsOf(out.tracks[1]), (std::vector<uint64_t>{outA + 5000}));
    // The free box filling the gap before A.
    ASSERT_EQ(planned->writes.size(), 2u);
    EXPECT_EQ(planned->writes[1].offset, 24u + 4100);
    EXPECT_EQ(be32(planned->writes[1].bytes, 0), outA - (24 + 4100));
}

// A timecode track of several samples (discontinuities, as QuickTime marks them): each must hold the
// first's frame number plus the frames since the first sample. One that does not is a jump, and the
// rewrite is refused rather than re-basing the others from the first.
TEST(MoovRewrite, RefusesATimecodeTrackWhoseSamplesJump)
{
    // Three samples at frames 0, 100 and 250 (25 fps), in an mdat at 0.
    const Node stsd = leaf("stsd", words({0, 1, 34, 0x746d6364, 0, 1, 0, 0, 25, 1}) + Bytes{25, 0});  // tmcd
    const Node stbl = container(
        "stbl", {stsd, leaf("stts", words({0, 3, 1, 100, 1, 150, 1, 50})), leaf("stsc", words({0, 1, 1, 3, 1})),
                 leaf("stsz", words({0, 4, 3})), chunkTable("stco", {8})});
    Bytes tkhd = words({0, 0, 0, 1, 0, 300});
    tkhd.resize(84, 0);
    const Node mdia =
        container("mdia", {leaf("mdhd", words({0, 0, 0, 25, 300, 0x55c40000})),
                           leaf("hdlr", words({0, 0, 0x746d6364, 0, 0, 0}) + Bytes{0}), container("minf", {stbl})});
    const Node moov = container("moov", {movieHeader(2), container("trak", {leaf("tkhd", tkhd), mdia})});
    for (const uint32_t third : {1250u, 1260u}) {
        const Bytes file = words({20, fourcc("mdat"), 1000, 1100, third});
        MemorySource source(file);
        const Movie movie = parse(serialize(moov));
        const auto read = readTimecodeSamples(movie, movie.tracks.at(0), source);
        ASSERT_FALSE(read.isError()) << read.error().localizedDescription;
        const auto planned = planOutput({parse(serialize(moov)), {mdatAt(0, 20)}, source}, zeroTimecodeItems());
        if (third == 1250) {
            EXPECT_FALSE(read->jump);
            EXPECT_FALSE(planned.isError()) << planned.error().localizedDescription;
            continue;
        }
        ASSERT_TRUE(read->jump);
        EXPECT_EQ(read->jump->frame, 250u);
        EXPECT_EQ(read->jump->expected.time, (Timecode{0, 0, 50, 0}));  // frame 1250 at 25
        EXPECT_EQ(read->jump->found.time, (Timecode{0, 0, 50, 10}));
        ASSERT_TRUE(planned.isError());
        EXPECT_EQ(damageOf(planned.error()), Damage::timecodeJump);
    }
}
