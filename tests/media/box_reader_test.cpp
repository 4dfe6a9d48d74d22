// The box reader on its own: headers of every size form, the walk over a box's children, full boxes
// of a version it does not know; and where the movie's tables put each sample and chunk.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <variant>

#include "media/base/media_error.h"
#include "media/boxes/box_probe.h"
#include "media/boxes/box_reader.h"
#include "support/box_tree.h"
#include "support/clips.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

// Big-endian bytes from hex, spaces ignored.
Bytes hex(const std::string& text)
{
    Bytes bytes;
    std::string digits = text;
    std::erase(digits, ' ');
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

struct Header {
    uint64_t size;
    uint32_t headerSize;
};
using Outcome = std::variant<Header, Damage>;

Outcome outcomeOf(const ErrorOr<Box>& box)
{
    if (box.isError()) return damageOf(box.error());
    return Header{box->size, box->headerSize};
}

TEST(BoxReader, HeadersOfEverySizeFormCheckedAgainstTheirRoom)
{
    const struct {
        const char* what;
        std::string head;
        uint64_t room;
        bool topLevel;
        Outcome expected;
    } cases[] = {
        {"32-bit size", "00000010 66726565", 16, false, Header{16, 8}},
        {"64-bit size", "00000001 6d646174 0000000000000020", 32, false, Header{32, 16}},
        {"to the end, at the top level", "00000000 6d646174", 4096, true, Header{4096, 8}},
        {"uuid: its 16-byte type in the header", "00000020 75756964", 32, false, Header{32, 24}},
        {"64-bit size smaller than its header", "00000001 6d646174 0000000000000008", 32, false,
         Damage::smallerThanHeader},
        {"64-bit size past the file's end", "00000001 6d646174 ffffffffffffffff", 1u << 30, true, Damage::pastEnd},
        {"header cut short", "00000010 6672", 16, false, Damage::headerCut},
        {"64-bit header cut short", "00000001 6d646174 0000", 12, false, Damage::headerCut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes head = hex(c.head);
        const Outcome got = outcomeOf(parseBoxHeader(head, 100, 100 + c.room, c.topLevel));
        ASSERT_EQ(got.index(), c.expected.index());
        if (const auto* header = std::get_if<Header>(&got)) {
            EXPECT_EQ(header->size, std::get<Header>(c.expected).size);
            EXPECT_EQ(header->headerSize, std::get<Header>(c.expected).headerSize);
        } else {
            EXPECT_EQ(std::get<Damage>(got), std::get<Damage>(c.expected));
        }
    }
}

TEST(BoxReader, ChildWalkAndFullBoxVersions)
{
    // moov { mvhd (version 1), free, trak { } }, then the same with its last child cut short.
    const Bytes moov =
        hex("00000034 6d6f6f76  00000014 6d766864 01000000 0000000000000000"
            "00000010 66726565 0000000000000000  00000008 7472616b");
    const Box parent{fourcc("moov"), 0, moov.size(), 8};
    const auto children = childBoxes(moov, parent);
    ASSERT_FALSE(children.isError());
    ASSERT_EQ(children->size(), 3u);
    EXPECT_EQ((*children)[0].type, fourcc("mvhd"));
    EXPECT_EQ((*children)[1].offset, 28u);
    EXPECT_EQ((*children)[2].end(), moov.size());
    Box cut = parent;
    cut.size -= 4;
    EXPECT_EQ(damageOf(childBoxes(moov, cut).error()), Damage::headerCut);

    // A version is read up to the newest the reader knows, never as an older one past it.
    const Box& mvhd = (*children)[0];
    const auto v1 = readFullBox(moov, mvhd, 1);
    ASSERT_FALSE(v1.isError());
    EXPECT_EQ(v1->version, 1);
    EXPECT_EQ(v1->body.size(), 8u);
    EXPECT_EQ(damageOf(readFullBox(moov, mvhd, 0).error()), Damage::unknownVersion);
}

// Every video sample lies where ffprobe finds its packet (stsc's runs, stsz, the chunk offsets read
// in step), and every track's chunks hold its samples' bytes back to back.
TEST(BoxReader, SamplesAndChunksLieWhereFfprobeFindsThePackets)
{
    const TempDir dir;
    const fs::path clip = dir / "C0001.MOV";
    ASSERT_TRUE(makeClip(clip, {.timecode = "10:00:00:00", .seconds = 2}));
    const Bytes bytes = readBytes(clip);
    MemorySource source(bytes);
    auto content = probeBoxContent(source);
    ASSERT_TRUE(!content.isError() && *content);
    const Movie& movie = (*content)->movie;
    std::vector<std::string> located;
    for (size_t i = 0; i < movie.tracks.size(); ++i) {
        const Track& track = movie.tracks[i];
        uint64_t sampleBytes = 0, chunkBytes = 0;
        ASSERT_FALSE(visitSamples(movie, track, 1u << 20, [&](const SampleRange& sample) -> ErrorOr<void> {
                         located.push_back(std::to_string(i) + "," + std::to_string(sample.offset) + "," +
                                           std::to_string(sample.size));
                         sampleBytes += sample.size;
                         return {};
                     }).isError());
        ASSERT_FALSE(visitChunks(movie, track, [&](const ChunkRange& chunk) -> ErrorOr<void> {
                         chunkBytes += chunk.size;
                         return {};
                     }).isError());
        EXPECT_EQ(chunkBytes, sampleBytes) << "track " << i;
    }
    std::vector<std::string> probed;
    std::istringstream lines(probe(clip, "-show_entries packet=stream_index,pos,size -of csv=p=0"));
    for (std::string line; std::getline(lines, line);) {
        // ffprobe prints index, size, pos; the list above index, pos, size.
        const size_t a = line.find(','), b = line.find(',', a + 1);
        probed.push_back(line.substr(0, a) + "," + line.substr(b + 1) + "," + line.substr(a + 1, b - a - 1));
    }
    // The video's: ffprobe reads PCM audio a chunk at a time, and gives the timecode track no packets.
    const auto notVideo = [](const std::string& line) { return !line.starts_with("0,"); };
    std::erase_if(located, notVideo);
    std::erase_if(probed, notVideo);
    std::ranges::sort(located);
    std::ranges::sort(probed);
    EXPECT_EQ(located.size(), 60u);
    EXPECT_EQ(located, probed);
}

}  // namespace
