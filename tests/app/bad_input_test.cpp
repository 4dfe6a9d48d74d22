// Bad inputs through the built program in replace mode: each gives a clear error (exit status 1) or a
// correct result (0), never a crash; a file that failed is left byte for byte as it was, and nothing
// is written beside it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iostream>

#include "media/base/media_error.h"
#include "support/box_tree.h"
#include "support/clips.h"
#include "support/process.h"
#include "support/temp_dir.h"

using namespace kelvatta::test;
using namespace kelvatta;

namespace {

// Checks a run over folder, whose entries were `before`: a failure (the folder as it was, an error
// line naming the file, then the closing line; errno's reason in it, when given), or, when fails is
// false, a correct result in every file. Prints one line of the README's table.
void expectOutcome(const std::string& what, const ProgramRun& run, const fs::path& folder, const Snapshot& before,
                   const std::string& name, bool fails, int err = 0)
{
    SCOPED_TRACE(what);
    EXPECT_EQ(run.status, fails ? 1 : 0) << run.out << run.err;
    const std::string line = run.err.substr(0, run.err.find('\n'));
    if (fails) {
        EXPECT_EQ(snapshot(folder), before);
        EXPECT_TRUE(line.find(name) != line.npos && (!err || line.find(errnoReason(err)) != line.npos)) << line;
        EXPECT_LT(line.size() + 1, run.err.size()) << "no closing line";
    } else {
        EXPECT_EQ(entries(folder).size(), before.size()) << "something was written beside the file";
        for (const auto& [name, file] : before) EXPECT_EQ(formatTimecode(folder / name), "00:00:00:00") << name;
    }
    std::cout << "[ FIGURES  ] bad input | " << what << " | exit " << run.status << " | "
              << (fails ? line : "rewritten correctly") << "\n";
}

// A short camera-like clip, with its moov after the media data or before it, with a tmcd track or none.
const Bytes& clip(bool moovFirst, bool timecode = false)
{
    static Bytes made[2][2];
    if (made[moovFirst][timecode].empty()) {
        TempDir dir;
        const auto start = timecode ? std::optional<std::string>("10:00:00:00") : std::nullopt;
        EXPECT_TRUE(makeClip(dir / "a.mov", {.timecode = start, .moovFirst = moovFirst}));
        made[moovFirst][timecode] = readBytes(dir / "a.mov");
    }
    return made[moovFirst][timecode];
}

// The file offset of a box of the track with this handler.
uint64_t trackBox(const Bytes& file, const std::string& handler, const std::string& type)
{
    auto boxes = parseFile(file);
    return trackByHandler(topLevel(boxes, "moov"), handler)->all(type).front()->offset;
}

Bytes withWord(Bytes bytes, uint64_t at, uint32_t value)
{
    set32(bytes, at, value);
    return bytes;
}

Bytes cut(const Bytes& bytes, uint64_t size) { return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(size)); }

// The moov-last clip (its data first, so no offset moves) with its moov edited.
Bytes withMoov(const std::function<void(Node& moov)>& edit)
{
    auto boxes = parseFile(clip(false));
    edit(topLevel(boxes, "moov"));
    return serialize(boxes);
}

// A chain of boxes `depth` deep, each holding the next, down to a free box: one leaf whose payload
// is the rest of the chain, written flat (the test's box tree would recurse as deep).
Node chain(const std::string& type, uint32_t depth)
{
    Bytes rest;
    for (uint32_t size = 8 * depth; size > 8; size -= 8) rest += words({size}) + Bytes(type.begin(), type.end());
    return leaf(type, rest + words({8, 0x66726565}));  // "free"
}

// A short Matroska clip (the general path): with a font attached, or with 4 KiB zeroed in the middle
// as a bad sector leaves it.
Bytes matroska(bool font)
{
    TempDir dir;
    writeFile(dir / "font.ttf", "glyphs");
    makeMatroska(
        dir / "a.mkv",
        "-t 2" + (font ? " -attach " + shellQuote(dir / "font.ttf") + " -metadata:s:t mimetype=font/ttf" : ""));
    Bytes bytes = readBytes(dir / "a.mkv");
    if (!font) std::fill_n(bytes.begin() + static_cast<long>(bytes.size() / 2), 4096, 0);
    return bytes;
}

// How the export refuses a file: its kind, and for a damaged file what is wrong with it.
Error refused(ExportErrorCode code, Damage damage = Damage::none)
{
    return {kExportErrorDomain, static_cast<long>(code), "", static_cast<int>(damage)};
}
Error damaged(Damage damage) { return refused(ExportErrorCode::damaged, damage); }

struct Input {
    std::string what, name;
    Bytes bytes;
    // Why it fails: the export's refusal, or an errno the program meets before the export (POSIX);
    // no domain for a correct result.
    Error refusal{};
    // For a correct result: the movie's user data kept as it was, which FFmpeg refuses to read in the
    // source and in the result alike, so no reader's timecode can be looked at.
    bool unreadableUserData = false;
};

std::vector<Input> damagedInputs()
{
    const Bytes &last = clip(false), &first = clip(true);
    const auto lastBoxes = parseFile(last), firstBoxes = parseFile(first);
    const Node& lastMoov = topLevel(lastBoxes, "moov");
    const Node &firstMoov = topLevel(firstBoxes, "moov"), &firstMdat = topLevel(firstBoxes, "mdat");
    const uint64_t stsz = trackBox(first, "vide", "stsz"), stco = trackBox(first, "vide", "stco");
    const uint32_t beyond = static_cast<uint32_t>(first.size() + 1000);
    const Error notVideo = refused(ExportErrorCode::unrecognized), unsupported = refused(ExportErrorCode::unsupported);
    const Bytes& tc = clip(true, true);
    std::string longName;  // 253 bytes: with "temp_" in front, longer than a name may be
    for (int i = 0; i < 83; ++i) longName += "长";

    return {
        {"empty file", "empty.mp4", {}, notVideo},
        {"text file named .mp4", "notes.mp4", Bytes{'s', 'h', 'o', 'p', 'p', 'i', 'n', 'g', '\n'}, notVideo},
        {"cut inside moov", "cut_moov.mov", cut(last, lastMoov.offset + lastMoov.size() / 2), damaged(Damage::pastEnd)},
        {"cut inside mdat (moov first)", "cut_mdat.mov", cut(first, firstMdat.offset + firstMdat.size() / 2),
         damaged(Damage::pastEnd)},
        {"no moov", "no_moov.mov", cut(last, lastMoov.offset), damaged(Damage::missingBox)},
        {"a few stray bytes after the last box", "stray.mov", last + Bytes{0, 0, 0}},
        {"top-level box size 0 (moov, not last)", "size0.mov", withWord(first, firstMoov.offset, 0),
         damaged(Damage::sampleOutsideMdat)},
        {"top-level box size 1 (moov)", "size1.mov", withWord(first, firstMoov.offset, 1), damaged(Damage::pastEnd)},
        {"top-level box size 7 (moov)", "size7.mov", withWord(first, firstMoov.offset, 7),
         damaged(Damage::smallerThanHeader)},
        {"nested box size 0 (stsz)", "stsz0.mov", withWord(first, stsz, 0), damaged(Damage::sizeZero)},
        // The 64-bit size that follows reads 0 (the version, flags and sample size of the table).
        {"nested box size 1 (stsz)", "stsz1.mov", withWord(first, stsz, 1), damaged(Damage::smallerThanHeader)},
        {"nested box size 7 (stsz)", "stsz7.mov", withWord(first, stsz, 7), damaged(Damage::smallerThanHeader)},
        {"nested box larger than the file (stsz)", "stsz_big.mov", withWord(first, stsz, beyond),
         damaged(Damage::pastParent)},
        {"mdat size 4 bytes short (its last sample past its end)", "mdat_short.mov",
         withWord(first, firstMdat.offset, uint32_t(firstMdat.size() - 4)), damaged(Damage::sampleOutsideMdat)},
        {"mdat size 0 (to the end) in a file cut by 4 bytes", "cut_size0.mov",
         cut(withWord(first, firstMdat.offset, 0), first.size() - 4), damaged(Damage::sampleOutsideMdat)},
        {"timecode sample lying in an audio sample", "tmcd_in_audio.mov",
         withWord(tc, trackBox(tc, "tmcd", "stco") + 16, be32(tc, trackBox(tc, "soun", "stco") + 16)),
         damaged(Damage::samplesOverlap)},
        {"encrypted video track", "encrypted.mov", withWord(first, trackBox(first, "vide", "stsd") + 20, 0x656e6376),
         unsupported},
        {"chunk table claiming 2^32-1 entries", "stco_count.mov", withWord(first, stco + 12, 0xFFFFFFFF),
         damaged(Damage::tableCountPastBox)},
        {"sample size table claiming 2^32-1 entries", "stsz_count.mov", withWord(first, stsz + 16, 0xFFFFFFFF),
         damaged(Damage::tableCountPastBox)},
        {"constant-size sample table claiming 2^32-1 samples (sound)", "stsz_sound.mov",
         withWord(first, trackBox(first, "soun", "stsz") + 16, 0xFFFFFFFF)},
        {"time table claiming 2^32-1 entries", "stts_count.mov",
         withWord(first, trackBox(first, "vide", "stts") + 12, 0xFFFFFFFF), damaged(Damage::tableCountPastBox)},
        {"two chunk tables in one track", "two_tables.mov", withMoov([](Node& moov) {
             trackByHandler(moov, "vide")->all("stbl")[0]->children.push_back(chunkTable("co64", {1}));
         }),
         damaged(Damage::duplicateBox)},
        {"no movie header", "no_mvhd.mov", withMoov([](Node& moov) { moov.children.erase(moov.children.begin()); }),
         damaged(Damage::missingBox)},
        // Chunk data in another file cannot move with this one.
        {"media data in another file", "external.mov", withWord(first, trackBox(first, "vide", "dref") + 24, 0),
         unsupported},
        {"boxes nested 10000 deep as tracks", "deep_trak.mov",
         withMoov([](Node& moov) { moov.children.push_back(chain("trak", 10000)); }), damaged(Damage::missingBox)},
        {"boxes nested 10000 deep in the movie's user data",
         "deep_udta.mov",
         withMoov([](Node& moov) { moov.children.push_back(chain("udta", 10000)); }),
         {},
         true},
        {"Matroska clip with 4 KiB zeroed in the middle", "zeroed.mkv", matroska(false),
         damaged(Damage::unreadableData)},
        {"Matroska clip with a font attached, which MP4 cannot hold", "font.mkv", matroska(true), unsupported},
        {"name too long for its temporary file", longName + ".MP4", first, {kPosixErrorDomain, ENAMETOOLONG, "", 0}},
        {"name with a line break and an emoji (the folder's has a space and Chinese)", "new\nline 🎬.MOV", first},
    };
}

}  // namespace

TEST(BadInput, DamagedAndHostileFilesGiveAClearErrorOrACorrectResult)
{
    for (const Input& input : damagedInputs()) {
        TempDir dir;
        const fs::path file = dir / input.name;
        writeBytes(file, input.bytes);
        if (!input.unreadableUserData) {
            const Error& why = input.refusal;
            const bool beforeExport = why.domain == kPosixErrorDomain;
            expectOutcome(input.what, runKelvatta({file.string()}), dir.path(), snapshot(dir.path()), input.name,
                          !why.domain.empty(), beforeExport ? errnoOf(why) : 0);
            if (beforeExport) continue;
            const TempDir out;
            const auto exported = exportClip(file, out / input.name);
            const Error found = exported.isError() ? exported.error() : Error{};
            EXPECT_EQ(std::tuple(found.domain, found.code, found.detail), std::tuple(why.domain, why.code, why.detail))
                << input.what << ": " << found.localizedDescription;
            continue;
        }
        // Nothing of the movie is left out: the deep user data stays in its moov as it was, as nothing
        // looks into it (found box by box: the tests' tree reader would descend 10000 deep).
        const auto run = runKelvatta({file.string()});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        const Bytes deep = serialize(chain("udta", 10000)), result = readBytes(file);
        const Node moov = topLevel(parseFileHeaders(file, 0), "moov");  // its payload left in the file
        const auto at = result.begin() + static_cast<long>(moov.offset);
        EXPECT_FALSE(std::ranges::search(at, at + static_cast<long>(moov.size()), deep.begin(), deep.end()).empty());
        std::cout << "[ FIGURES  ] bad input | " << input.what << " | exit " << run.status
                  << " | rewritten, the user data kept as it was\n";
    }
}

// A folder named like a clip, which the walk collects and the export refuses; and a file that cannot
// be read (root reads every file: the program then runs as nobody, in a folder it may write to).
TEST(BadInput, FolderNamedLikeAClipAndFileThatCannotBeRead)
{
    TempDir dir, locked;
    fs::create_directory(dir / "x.mp4");
    writeFile(dir / "x.mp4" / "inside.txt", "keep");
    const Snapshot folder = snapshot(dir.path());
    expectOutcome("a folder named x.mp4 inside a folder", runKelvatta({dir.path().string()}), dir.path(), folder,
                  "x.mp4", true, EISDIR);

    const fs::path file = locked / "locked.MP4";
    ASSERT_TRUE(makeClip(file));
    ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    std::vector<std::string> command = {kelvattaPath(), file.string()};
    if (::geteuid() == 0) {
        if (!canBeNobody()) GTEST_SKIP() << "setpriv is missing";
        ASSERT_EQ(::chmod(locked.path().c_str(), 0777), 0);
    }
    const Snapshot before = snapshot(locked.path());
    const auto run = runProgram(::geteuid() == 0 ? asNobody(command) : command);
    expectOutcome("a file that cannot be read (run as nobody)", run, locked.path(), before, "locked.MP4", true, EACCES);
}
