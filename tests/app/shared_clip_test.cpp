// A clip the program does not have to itself, through the built program in every mode that meets it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "media/base/media_error.h"
#include "media/sony/sidecar.h"
#include "support/box_tree.h"
#include "support/clips.h"
#include "support/mount.h"
#include "support/process.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

const struct timespec kShot = {1577882096, 0};  // 2020-01-01 12:34:56, which exFAT can hold

void writeClip(const fs::path& clip, const Bytes& bytes)
{
    fs::remove(clip);
    writeBytes(clip, bytes);
    ASSERT_TRUE(setTimes(clip, kShot));
}

}  // namespace

// Another run (another window, a script) holding the clip: every mode that would write it, or read
// it while that run writes it, fails at once with the clip and its folder as they were. Copies read
// beside each other. The same clip twice in one run waits for itself.
TEST(SharedClip, AClipAnotherRunHoldsIsRefusedAtOnceAndLeftAsItIs)
{
    ASSERT_FALSE(sonyClip().empty());
    TempDir dir;
    const fs::path clip = dir / "C0001.MP4";
    writeClip(dir / "rewritten.MP4", sonyClip());
    ASSERT_EQ(runKelvatta({"--in-place", (dir / "rewritten.MP4").string()}).status, 0);
    const Bytes rewritten = readBytes(dir / "rewritten.MP4");
    fs::remove(dir / "rewritten.MP4");
    const struct {
        std::vector<std::string> options;
        bool writing;  // the holder: a run writing the clip (else one copying it)
        bool refused;
    } cases[] = {
        {{}, true, true},  {{"--save-as"}, true, true},   {{"--in-place"}, true, true}, {{"--restore"}, true, true},
        {{}, false, true}, {{"--in-place"}, false, true}, {{"--restore"}, false, true}, {{"--save-as"}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.options.empty() ? "replace" : c.options[0]) +
                     (c.writing ? " beside a writer" : " beside a reader"));
        const Bytes& before = c.options == std::vector<std::string>{"--restore"} ? rewritten : sonyClip();
        writeClip(clip, before);
        fs::remove_all(dir / "已修改时间码");
        const int holder = ::open(clip.c_str(), c.writing ? O_RDWR : O_RDONLY);
        struct flock lock {};
        lock.l_type = c.writing ? F_WRLCK : F_RDLCK;
        ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &lock), 0);
        const Snapshot held = snapshot(dir.path());
        const auto run = runKelvatta(with(c.options, {clip}));
        // In this process too, when the holder writes: as busy, not as anything else.
        const auto exported = c.writing ? exportClip(clip, dir / "copy.MP4") : ErrorOr<void>();
        ::close(holder);
        EXPECT_TRUE(!c.writing || (exported.isError() && isExportError(exported.error(), ExportErrorCode::busy)));
        if (c.refused) {
            EXPECT_EQ(run.status, 1) << run.out;
            fs::remove(dir / "已修改时间码");  // made empty before the clip was read
            EXPECT_EQ(snapshot(dir.path()), held);
        } else {
            EXPECT_EQ(run.status, 0) << run.out;
            EXPECT_EQ(formatTimecode(dir / "已修改时间码/C0001.MP4"), "00:00:00:00");
        }
    }
    writeClip(clip, sonyClip());
    // The second waits for the first (else it would fail as busy), then finds the clip done.
    const auto twice = runKelvatta({"--in-place", clip.string(), clip.string()});
    EXPECT_EQ(twice.status, 0) << twice.out;
    EXPECT_EQ(formatTimecode(clip), "00:00:00:00");
}

// A rewrite in place and a restore keep the clip's modification time on a camera card's exFAT
// (FUSE) as on ext4; a user who may write the clip but not set its times gets the ordinary rewrite
// instead of one in place (its new file is theirs to date), and a restore refused before anything
// is written.
TEST(SharedClip, TimesKeptOnExfatAndRefusedBeforeWritingWhereTheyCannotBe)
{
    ASSERT_FALSE(sonyClip().empty());
    TempDir dir;
    {
        const Mount card = Mount::exfat(dir / "card.img", dir / "card", 64);
        if (!card.ok()) {
            std::cout << "[ SKIPPED  ] cannot mount an exFAT image through FUSE here (needs root and exfat-fuse)\n";
        } else {
            const fs::path clip = dir / "card/C0001.MP4";
            writeClip(clip, sonyClip());
            for (const char* option : {"--in-place", "--restore"}) {
                SCOPED_TRACE(option);
                const auto run = runKelvatta({option, clip.string()});
                EXPECT_EQ(run.status, 0) << run.out << run.err;
                EXPECT_TRUE(modifiedAt(clip, kShot));
            }
            EXPECT_TRUE(readBytes(clip) == sonyClip());
        }
    }
    if (!canBeNobody()) GTEST_SKIP() << "needs root and setpriv";
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const auto nobody = [](const std::vector<std::string>& arguments) {
        return runProgram(asNobody(with({kelvattaPath()}, arguments)));
    };
    const fs::path clip = dir / "C0002.MP4";
    writeClip(clip, sonyClip());
    ASSERT_EQ(::chmod(clip.c_str(), 0666), 0);
    const auto rewritten = nobody({"--in-place", clip});
    EXPECT_EQ(rewritten.status, 0) << rewritten.out << rewritten.err;
    struct stat st {};
    ASSERT_EQ(::stat(clip.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u) << "rewritten in place, not as a new file of nobody's";
    EXPECT_EQ(formatTimecode(clip), "00:00:00:00");
    EXPECT_TRUE(modifiedAt(clip, kShot));

    writeClip(clip, sonyClip());
    ASSERT_EQ(runKelvatta({"--in-place", clip.string()}).status, 0);
    ASSERT_EQ(::chmod(clip.c_str(), 0666), 0);
    const Bytes before = readBytes(clip);
    const auto restored = nobody({"--restore", clip});
    EXPECT_TRUE(restored.status == 1 && restored.says("C0002.MP4")) << restored.out;
    EXPECT_TRUE(readBytes(clip) == before);
    EXPECT_TRUE(modifiedAt(clip, kShot));
}

// A file by the sidecar's name that the program does not rewrite is left alone and named in every
// mode: the clip and it may now disagree. It is left as it was.
TEST(SharedClip, ASidecarLeftAloneIsNamedAndKeptAsItWas)
{
    ASSERT_FALSE(sonyClip().empty());
    TempDir dir;
    const fs::path clip = dir / "C0001.MP4", sidecar = dir / "C0001M01.XML";
    const std::string xml = sonyXml(kSonyClipTimecode, 25);
    std::string entity = xml;
    entity.replace(entity.find("tcFps=\"25\""), 10, "tcFps=\"&#50;5\"");
    const TempDir out;
    using Why = SidecarLeftAlone;
    const std::tuple<const char*, Why, std::function<void()>> cases[] = {
        {"link", Why::link, [&] { writeFile(dir / "a.XML", xml), fs::create_symlink(dir / "a.XML", sidecar); }},
        {"folder", Why::folder, [&] { fs::create_directory(sidecar); }},
        {"pipe", Why::notAFile, [&] { ASSERT_EQ(::mkfifo(sidecar.c_str(), 0644), 0); }},
        {"too large", Why::tooLarge, [&] { writeFile(sidecar, xml + std::string(17u << 20, ' ')); }},
        {"a table it does not understand", Why::tableNotUnderstood, [&] { writeFile(sidecar, entity); }},
    };
    for (const auto& [kind, why, make] : cases) {
        for (const auto& mode : kModes) {
            SCOPED_TRACE(std::string(kind) + (mode.empty() ? ", replace" : ", " + mode[0]));
            writeClip(clip, sonyClip());
            fs::remove_all(sidecar);
            fs::remove_all(dir / "已修改时间码");
            make();
            const auto type = fs::symlink_status(sidecar).type();
            const std::string content = fs::is_regular_file(fs::symlink_status(sidecar)) ? readFile(sidecar) : "";
            if (mode.empty()) {  // in this process, written as a copy elsewhere: left alone all the same
                const auto found = findSidecar(clip);
                ASSERT_TRUE(!found.isError() && found->has_value());
                const auto outcome = writeRebasedSidecar(**found, out / "C0001M01.XML");
                EXPECT_TRUE(!outcome.isError() && outcome->kind == SidecarOutcome::Kind::leftAlone &&
                            outcome->why == why);
                EXPECT_FALSE(fs::exists(out / "C0001M01.XML"));
            }
            const auto run = runKelvatta(with(mode, {clip}));
            EXPECT_EQ(run.status, 0) << run.out << run.err;
            EXPECT_TRUE(run.says(sidecar.string())) << run.out;
            EXPECT_EQ(fs::symlink_status(sidecar).type(), type);
            EXPECT_TRUE(content.empty() || readFile(sidecar) == content);
            EXPECT_FALSE(fs::exists(dir / "已修改时间码/C0001M01.XML"));
        }
    }
}
