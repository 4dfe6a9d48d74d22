// Rewriting a Sony clip in place and restoring it: the round trip byte for byte, every system call
// made to fail in turn (each failure undone), and the rewrite stopped dead before every call, as a
// crash would (each state read as the original or the result, completed by the next run and undone
// by a restore). The stops run in a child process; this program starts no threads before them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <iostream>
#include <map>

#include "media/export_session.h"
#include "media/in_place.h"
#include "media/media_error.h"
#include "support/box_tree.h"
#include "support/clips.h"
#include "support/fault_plan.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"
#include "timecode/sidecar.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

const TempDir folder;

// A 1 s 25p Sony clip as a camera writes it: media data first, moov, then the camera's XML.
const Bytes& original()
{
    static const Bytes bytes =
        makeClip(folder / "plain.mov", {.frameRate = "25"})
            ? addSonyStructures(readBytes(folder / "plain.mov"), {.timecode = {25, false, false, {10, 0, 0, 0}}})
            : Bytes();
    return bytes;
}

const struct timespec kShot = {1577836800, 123456789};  // 2020-01-01

// clip holding bytes, dated when the original was shot.
void writeShot(const fs::path& clip, const Bytes& bytes)
{
    writeBytes(clip, bytes);
    const struct timespec times[2] = {kShot, kShot};
    EXPECT_EQ(::utimensat(AT_FDCWD, clip.c_str(), times, 0), 0);
}

// Whether clip still carries that time, to the nanosecond.
bool datedAsShot(const fs::path& clip)
{
    struct stat st {};
    return ::stat(clip.c_str(), &st) == 0 && st.st_mtim.tv_sec == kShot.tv_sec && st.st_mtim.tv_nsec == kShot.tv_nsec;
}

fs::path freshCopy(const std::string& name)
{
    const fs::path clip = folder / name;
    fs::remove(clip);
    writeShot(clip, original());
    return clip;
}

ErrorOr<void> rewrite(const fs::path& clip)
{
    ExportControl control;
    return rewriteInPlace(clip, zeroTimecodeItems(), control);
}

const Bytes& reference()
{
    static const Bytes bytes = [] {
        const fs::path clip = freshCopy("reference.MP4");
        auto done = rewrite(clip);
        EXPECT_FALSE(done.isError()) << done.error().localizedDescription;
        return readBytes(clip);
    }();
    return bytes;
}

TEST(InPlace, RewritesWhatReadersSeeKeepsTheFileAndRestoresItByteForByte)
{
    ASSERT_FALSE(original().empty());
    const fs::path clip = freshCopy("C0001.MP4");
    fs::create_hard_link(clip, folder / "link.MP4");
    ASSERT_EQ(::chmod(clip.c_str(), 0640), 0);
    ASSERT_EQ(::setxattr(clip.c_str(), "user.xdg.tags", "keep", 4, 0), 0);
    struct stat before {};
    ASSERT_EQ(::stat(clip.c_str(), &before), 0);

    const auto done = rewrite(clip);
    ASSERT_FALSE(done.isError()) << done.error().localizedDescription;
    // What readers see: every timecode at zero, every packet as it was.
    EXPECT_EQ(formatTimecode(clip) + streamTimecode(clip, "v:0") + streamTimecode(clip, "d:0"),
              "00:00:00:00"
              "00:00:00:00"
              "00:00:00:00");
    EXPECT_EQ(codecTags(clip), "avc1,twos,rtmd,tmcd");
    EXPECT_EQ(packetHash(clip), packetHash(folder / "plain.mov"));
    const Bytes after = readBytes(clip);
    EXPECT_NE(std::string(after.begin(), after.end()).find("<LtcChange frameCount=\"0\" value=\"00000000\""),
              std::string::npos);
    // Only a few KiB appended; the clip's own bytes where they were.
    EXPECT_LT(after.size() - original().size(), 64u * 1024);

    // The same file: inode, links, owner, bits, attributes and time.
    struct stat st {};
    ASSERT_EQ(::stat(clip.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, before.st_ino);
    EXPECT_EQ(st.st_nlink, 2u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    char tag[8] = {};
    EXPECT_EQ(::getxattr(clip.c_str(), "user.xdg.tags", tag, sizeof tag), 4);
    EXPECT_TRUE(datedAsShot(clip));

    // A second rewrite keeps the first record and changes nothing.
    ASSERT_FALSE(rewrite(clip).isError());
    EXPECT_EQ(readBytes(clip), after);

    // The sidecar, re-based as the clip was, counts from the restored clip's start again.
    const fs::path sidecar = folder / "C0001M01.XML";
    const std::string camera = sonyXml({25, false, false, {10, 0, 0, 0}}, 25);
    writeBytes(sidecar, Bytes(camera.begin(), camera.end()));
    ASSERT_FALSE(writeRebasedSidecar(sidecar, std::nullopt).isError());
    auto restored = restoreInPlace(clip);
    ASSERT_FALSE(restored.isError()) << restored.error().localizedDescription;
    EXPECT_TRUE(*restored);
    EXPECT_EQ(readBytes(clip), original());
    ASSERT_FALSE(restoreSidecar(clip).isError());
    EXPECT_EQ(readBytes(sidecar), Bytes(camera.begin(), camera.end()));
    EXPECT_TRUE(datedAsShot(clip));
    EXPECT_FALSE(*restoreInPlace(clip)) << "nothing left to restore";

    // A layout that does not allow it says why and is not touched.
    const fs::path first = folder / "first.MP4";
    ASSERT_TRUE(makeClip(first, {.moovFirst = true}));
    const Bytes firstBytes = addSonyStructures(readBytes(first), SonyStyle{});
    writeBytes(first, firstBytes);
    auto refused = rewrite(first);
    ASSERT_TRUE(refused.isError());
    EXPECT_TRUE(isExportError(refused.error(), ExportErrorCode::notInPlace));
    EXPECT_EQ(refused.error().localizedDescription, "媒体数据不全在“moov”盒子之前");
    EXPECT_EQ(readBytes(first), firstBytes);
}

// The calls of a clean rewrite, which the sweeps go through.
std::vector<sys::Call> cleanCalls()
{
    const fs::path clip = freshCopy("count.MP4");
    FaultPlan plan{.nth = 0};
    {
        ScopedFaults faults(plan);
        EXPECT_FALSE(rewrite(clip).isError());
    }
    EXPECT_EQ(readBytes(clip), reference());
    return plan.calls;
}

TEST(InPlace, EveryFailedCallIsUndone)
{
    ASSERT_FALSE(reference().empty());
    const int points = static_cast<int>(cleanCalls().size());
    int runs = 0, violations = 0;
    for (int nth = 1; nth <= points; ++nth) {
        for (int err : {EIO, ENOSPC}) {
            for (bool onward : {false, true}) {
                const fs::path clip = freshCopy("sweep.MP4");
                FaultPlan plan{.nth = nth, .onward = onward, .err = err};
                ErrorOr<void> result;
                {
                    ScopedFaults faults(plan);
                    result = rewrite(clip);
                }
                ++runs;
                std::string problem;
                // Advice to the page cache changes only how much is written.
                const bool harmless = plan.calls[size_t(nth) - 1] == sys::Call::Fadvise && !onward;
                if (!result.isError()) {
                    if (!harmless) problem = "success after a fault";
                    else if (readBytes(clip) != reference()) problem = "not the result";
                } else if (result.error().localizedDescription.find(errnoReason(err)) == std::string::npos) {
                    problem = "the error does not say the reason: " + result.error().localizedDescription;
                }
                // Undone at once; where undoing was made to fail as well, a restore finishes it.
                if (result.isError() && readBytes(clip) != original()) {
                    auto restored = restoreInPlace(clip);
                    if (!onward) problem = "a failure was not undone";
                    else if (restored.isError() || readBytes(clip) != original()) problem = "a restore did not undo it";
                }
                if (!datedAsShot(clip) && !onward) problem = "the clip's time changed";
                if (!problem.empty()) {
                    ++violations;
                    ADD_FAILURE() << "call " << nth << " (" << sys::callName(plan.calls[size_t(nth) - 1]) << ") "
                                  << (onward ? "and after" : "alone") << ", " << errnoReason(err) << ": " << problem;
                }
            }
        }
    }
    std::cout << "[ FIGURES  ] in-place fault sweep: " << points << " fault points, " << runs << " runs, " << violations
              << " violations\n";
}

// The file after a rewrite stopped dead just before its nth system call.
Bytes stoppedBefore(int nth, const fs::path& clip)
{
    const pid_t child = ::fork();
    if (child == 0) {
        FaultPlan plan{.nth = nth, .act = [](sys::Call) -> int { ::_exit(0); }};
        ScopedFaults faults(plan);
        (void)rewrite(clip);
        ::_exit(1);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    return readBytes(clip);
}

TEST(InPlace, ARewriteStoppedAnywhereIsReadableAndCompletedOrRestored)
{
    ASSERT_FALSE(reference().empty());
    const std::vector<sys::Call> calls = cleanCalls();
    const std::string sourcePackets = packetHash(folder / "plain.mov");
    std::map<std::string, int> states;
    int points = 0;
    for (int nth = 1; nth <= static_cast<int>(calls.size()); ++nth) {
        // Stopping before a call that changes nothing leaves what stopping before the next one does.
        const sys::Call call = calls[size_t(nth) - 1];
        if (call != sys::Call::Write && call != sys::Call::Fsync && call != sys::Call::Ftruncate &&
            call != sys::Call::Futimens)
            continue;
        ++points;
        SCOPED_TRACE("stopped before call " + std::to_string(nth) + " (" + sys::callName(call) + ")");
        const fs::path clip = freshCopy("stopped.MP4");
        const Bytes stopped = stoppedBefore(nth, clip);
        ++states[stopped == original() ? "original" : stopped == reference() ? "result" : "between"];
        // Readers open it and find every packet, whatever instant it stopped at.
        EXPECT_EQ(packetHash(clip), sourcePackets);
        const std::string start = streamTimecode(clip, "d:0");
        EXPECT_TRUE(start == "10:00:00:00" || start == "00:00:00:00") << start;

        auto restored = restoreInPlace(clip);
        ASSERT_FALSE(restored.isError()) << restored.error().localizedDescription;
        EXPECT_EQ(readBytes(clip), original());

        writeShot(clip, stopped);
        auto completed = rewrite(clip);
        ASSERT_FALSE(completed.isError()) << completed.error().localizedDescription;
        EXPECT_EQ(readBytes(clip), reference());
    }
    std::cout << "[ FIGURES  ] in-place stopped before each of " << points << " calls that write:";
    for (const auto& [state, count] : states) std::cout << " " << state << " " << count;
    std::cout << "\n";
}

}  // namespace
