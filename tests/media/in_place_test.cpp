// Rewriting a Sony clip in place and restoring it, through faults, crashes, a second run and traces
// damaged or forged. The stops and the first of two runs run in child processes; this program starts
// no threads before.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

extern "C" {
#include <libavutil/mem.h>
}

#include <climits>
#include <iostream>
#include <map>
#include <variant>

#include "media/boxes/box_probe.h"
#include "media/base/media_error.h"
#include "media/files/fd_source.h"
#include "media/inplace/in_place.h"
#include "media/inplace/in_place_proof.h"
#include "media/inplace/undo_record.h"
#include "support/clips.h"
#include "support/fault_plan.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

const TempDir folder;

const Bytes& original() { return sonyClip(); }

const struct timespec kShot = {1577836800, 123456789};  // 2020-01-01

// clip holding bytes, dated when the original was shot.
void writeShot(const fs::path& clip, const Bytes& bytes)
{
    writeBytes(clip, bytes);
    EXPECT_TRUE(setTimes(clip, kShot));
}
bool datedAsShot(const fs::path& clip) { return modifiedAt(clip, kShot); }

fs::path freshCopy(const std::string& name, const Bytes& bytes = original())
{
    const fs::path clip = folder / name;
    fs::remove(clip);
    writeShot(clip, bytes);
    return clip;
}

ErrorOr<void> rewrite(const fs::path& clip) { return rewriteClipInPlace(clip); }
ErrorOr<bool> restore(const fs::path& clip) { return restoreClip(clip); }

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

// What the reference says of its rewrite.
InPlaceTrace traceOf(const Bytes& file)
{
    MemorySource source(file);
    auto top = scanTopLevel(source);
    auto trace = top.isError() ? std::optional<InPlaceTrace>() : findInPlaceTrace(source, *top).releaseValue();
    EXPECT_TRUE(trace && trace->record);
    return trace.value_or(InPlaceTrace{});
}

void setType(Bytes& file, uint64_t boxOffset, const char (&type)[5]) { storeU32(&file[boxOffset + 4], fourcc(type)); }

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
    // What readers see: every timecode at zero, every packet as it was; a few KiB appended.
    EXPECT_EQ(formatTimecode(clip) + " " + streamTimecode(clip, "v:0") + " " + streamTimecode(clip, "d:0") + " " +
                  codecTags(clip),
              "00:00:00:00 00:00:00:00 00:00:00:00 avc1,twos,rtmd,tmcd");
    EXPECT_EQ(packetHash(clip), packetHash(freshCopy("source.MP4")));
    const Bytes after = readBytes(clip);
    EXPECT_LT(after.size() - original().size(), 64u * 1024);
    // The same file: inode, links, bits, attributes and time.
    struct stat st {};
    ASSERT_EQ(::stat(clip.c_str(), &st), 0);
    EXPECT_EQ(std::tuple(st.st_ino, st.st_nlink, st.st_mode & 07777), std::tuple(before.st_ino, 2ul, 0640u));
    EXPECT_EQ(::getxattr(clip.c_str(), "user.xdg.tags", nullptr, 0), 4);
    EXPECT_TRUE(datedAsShot(clip));

    // The sidecar, re-based as the clip was, counts from the restored clip's start again.
    const fs::path sidecar = folder / "C0001M01.XML";
    const std::string camera = sonyXml(kSonyClipTimecode, 25);
    writeFile(sidecar, camera);
    ASSERT_FALSE(writeRebasedSidecar({sidecar, {}}, std::nullopt).isError());
    auto restored = restore(clip);
    ASSERT_FALSE(restored.isError()) << restored.error().localizedDescription;
    EXPECT_TRUE(*restored);
    EXPECT_EQ(readBytes(clip), original());
    EXPECT_EQ(readFile(sidecar), camera);
    EXPECT_TRUE(datedAsShot(clip));
    EXPECT_FALSE(*restore(clip)) << "nothing left to restore";

    // A layout that does not allow it says why and is not touched.
    const fs::path first = folder / "first.MP4";
    ASSERT_TRUE(makeClip(first, {.moovFirst = true}));
    const Bytes firstBytes = addSonyStructures(readBytes(first), SonyStyle{});
    writeBytes(first, firstBytes);
    auto refused = rewrite(first);
    ASSERT_TRUE(refused.isError());
    EXPECT_EQ(notInPlaceKindOf(refused.error()), NotInPlace::Kind::mediaAfterMoov);
    EXPECT_EQ(readBytes(first), firstBytes);

    // Where the file system takes no locks nothing keeps a second run out: the clip is rewritten
    // the ordinary way, which checks before its rename that the clip is what it read, and a restore
    // is refused.
    FaultPlan noLocks{.only = sys::Call::Lock, .onward = true, .err = ENOLCK};
    ScopedFaults faults(noLocks);
    writeShot(clip, after);
    refused = rewrite(clip);
    ASSERT_TRUE(refused.isError());
    EXPECT_TRUE(isExportError(refused.error(), ExportErrorCode::notInPlace)) << refused.error().localizedDescription;
    const auto unlocked = restore(clip);
    ASSERT_TRUE(unlocked.isError());
    EXPECT_TRUE(isExportError(unlocked.error(), ExportErrorCode::unsupported));
    EXPECT_NE(unlocked.error().localizedDescription.find(quotedName(clip)), std::string::npos);
    EXPECT_EQ(readBytes(clip), after);
}

// The calls of a clean run of op on a copy of `from`, which the sweeps go through.
template <typename Op>
std::vector<sys::Call> cleanCalls(Op op, const Bytes& from)
{
    const fs::path clip = freshCopy("count.MP4", from);
    FaultPlan plan{.nth = 0};
    {
        ScopedFaults faults(plan);
        EXPECT_FALSE(op(clip).isError());
    }
    return plan.calls;
}

TEST(InPlace, EveryFailedCallIsUndone)
{
    ASSERT_FALSE(reference().empty());
    const int points = static_cast<int>(cleanCalls(rewrite, original()).size());
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
                    auto restored = restore(clip);
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

// A child process running op on clip, made to act at its nth system call; its exit status says
// whether op succeeded.
template <typename Op>
pid_t runChild(Op op, const fs::path& clip, int nth, std::function<int(sys::Call)> act)
{
    const pid_t child = ::fork();
    if (child == 0) {
        FaultPlan plan{.nth = nth, .act = std::move(act)};
        ScopedFaults faults(plan);
        ::_exit(op(clip).isError() ? 1 : 0);
    }
    return child;
}

int exitStatus(pid_t child)
{
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(InPlace, ARewriteStoppedAnywhereIsReadableAndCompletedOrRestored)
{
    ASSERT_FALSE(reference().empty());
    const std::vector<sys::Call> calls = cleanCalls(rewrite, original());
    const std::string sourcePackets = packetHash(freshCopy("source.MP4"));
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
        exitStatus(runChild(rewrite, clip, nth, [](sys::Call) -> int { ::_exit(0); }));
        const Bytes stopped = readBytes(clip);
        ++states[stopped == original() ? "original" : stopped == reference() ? "result" : "between"];
        // Readers open it and find every packet, whatever instant it stopped at.
        EXPECT_EQ(packetHash(clip), sourcePackets);
        const std::string start = streamTimecode(clip, "d:0");
        EXPECT_TRUE(start == "10:00:00:00" || start == "00:00:00:00") << start;

        auto restored = restore(clip);
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

// One run paused at each of its steps once it holds the clip (in another process, as a second
// window or command would be): a rewrite and a restore started meanwhile are refused at once and
// change nothing, and the first run then ends as if alone.
TEST(InPlace, ASecondRunMeetingTheFirstAtAnyStepIsRefusedAndChangesNothing)
{
    ASSERT_FALSE(reference().empty());
    const auto restoreOp = [](const fs::path& clip) -> ErrorOr<void> {
        auto restored = restore(clip);
        return restored.isError() ? restored.releaseError() : ErrorOr<void>();
    };
    const struct {
        const char* first;
        std::function<ErrorOr<void>(const fs::path&)> op;
        const Bytes& from;
        const Bytes& to;
    } firsts[] = {{"rewrite", rewrite, original(), reference()}, {"restore", restoreOp, reference(), original()}};
    int pauses = 0, refused = 0;
    for (const auto& first : firsts) {
        const std::vector<sys::Call> calls = cleanCalls(first.op, first.from);
        const auto locked = std::ranges::find(calls, sys::Call::Lock);
        ASSERT_NE(locked, calls.end());
        for (int nth = static_cast<int>(locked - calls.begin()) + 2; nth <= static_cast<int>(calls.size()); ++nth) {
            SCOPED_TRACE(std::string(first.first) + " paused before call " + std::to_string(nth) + " (" +
                         sys::callName(calls[size_t(nth) - 1]) + ")");
            const fs::path clip = freshCopy("paused.MP4", first.from);
            int paused[2], resume[2];
            ASSERT_TRUE(::pipe(paused) == 0 && ::pipe(resume) == 0);
            const pid_t child = runChild(first.op, clip, nth, [&](sys::Call) -> int {
                char byte = 0;
                (void)!::write(paused[1], &byte, 1);
                (void)!::read(resume[0], &byte, 1);
                return 0;
            });
            char byte = 0;
            ASSERT_EQ(::read(paused[0], &byte, 1), 1);
            ++pauses;
            const Bytes meanwhile = readBytes(clip);
            const auto busy = [](const auto& outcome) {
                return outcome.isError() && isExportError(outcome.error(), ExportErrorCode::busy);
            };
            const bool rewriteRefused = busy(rewrite(clip)), restoreRefused = busy(restore(clip));
            EXPECT_TRUE(rewriteRefused && restoreRefused);
            refused += rewriteRefused + restoreRefused;
            EXPECT_EQ(readBytes(clip), meanwhile);
            ASSERT_EQ(::write(resume[1], &byte, 1), 1);
            EXPECT_EQ(exitStatus(child), 0);
            EXPECT_EQ(readBytes(clip), first.to);
            EXPECT_TRUE(datedAsShot(clip));
            for (int fd : {paused[0], paused[1], resume[0], resume[1]}) ::close(fd);
        }
    }
    std::cout << "[ FIGURES  ] a rewrite and a restore started at each of " << pauses
              << " steps of a rewrite or restore in another process: " << refused << " of " << 2 * pauses
              << " refused at once, the clip unchanged\n";
}

// A forged record in place of the reference's: its own hash made again, so only what it says is wrong.
Bytes forged(const std::function<void(UndoRecord&)>& change)
{
    Bytes file = reference();
    const InPlaceTrace trace = traceOf(file);
    UndoRecord record = *trace.record;
    change(record);
    const Bytes box = buildUndoRecord(record).releaseValue();
    EXPECT_EQ(box.size(), trace.recordEnd - trace.recordOffset);
    std::copy(box.begin(), box.end(), file.begin() + static_cast<std::ptrdiff_t>(trace.recordOffset));
    return file;
}

// The clip as the program's previous version left it, with a shorter marker and a record without
// the hash of the appended part: rewritten (complete), or stopped while appending (marker, zeros).
Bytes previousVersion(bool complete)
{
    const Bytes& clip = original();
    const uint64_t length = clip.size();
    Bytes file = clip;
    ByteWriter w(file);
    w.open(fourcc("free"));
    w.text("KVINPLC1");
    w.u64(length);
    w.u64(static_cast<uint64_t>(kShot.tv_sec));
    w.u32(static_cast<uint32_t>(kShot.tv_nsec));
    w.close();
    if (!complete) {
        w.zeros(5000);
        return file;
    }
    MemorySource source(clip);
    const auto content = probeBoxContent(source).releaseValue().value();
    auto planned = planInPlace({content.movie, content.topLevel, source}, zeroTimecodeItems(), file.size());
    const InPlacePlan plan = std::get<InPlacePlan>(planned.releaseValue());
    w.bytes(plan.appended);
    Bytes body;
    ByteWriter r(body);
    r.text("KVUNDO01");
    r.u64(length);
    r.u64(static_cast<uint64_t>(kShot.tv_sec));
    r.u32(static_cast<uint32_t>(kShot.tv_nsec));
    r.u64(plan.oldMoov.offset);
    r.u64(plan.newMoovOffset);
    r.bytes(hashTouchedBytes(source, length, plan.patches, plan.oldMoov.offset, true).releaseValue());
    r.u32(static_cast<uint32_t>(plan.patches.size()));
    for (const Patch& patch : plan.patches) {
        r.u64(patch.offset);
        r.u8(patch.size);
        r.bytes(patch.originalSpan());
        r.bytes(patch.span());
    }
    r.bytes(sha256Of(body).releaseValue());
    w.u32(static_cast<uint32_t>(8 + body.size()));
    w.type(fourcc("free"));
    w.bytes(body);
    for (const Patch& patch : plan.patches)
        std::ranges::copy(patch.span(), file.begin() + static_cast<long>(patch.offset));
    setType(file, plan.newMoovOffset, "moov");
    setType(file, plan.oldMoov.offset, "free");
    return file;
}

// Every trace a clip may carry, left by a run, damaged since or forged, met by a restore and by a
// second rewrite: each either refuses with the clip byte for byte as it was, or gives the original
// back (a restore), or the result (a rewrite), or leaves a complete result as it is.
TEST(InPlace, TracesDamagedOrForgedAreRefusedUnchangedAndTheRestProven)
{
    ASSERT_FALSE(reference().empty());
    const InPlaceTrace trace = traceOf(reference());
    const UndoRecord& record = *trace.record;
    const uint64_t length = original().size();
    // No record is built whose check could not be made (it would never verify).
    av_max_alloc(1);
    const bool builtWithoutHasher = !buildUndoRecord(record).isError();
    av_max_alloc(INT_MAX);
    EXPECT_FALSE(builtWithoutHasher);
    const auto appended = [](Bytes file, ByteSpan tail) {
        file.insert(file.end(), tail.begin(), tail.end());
        return file;
    };
    const uint8_t freeBox[16] = {0, 0, 0, 16, 'f', 'r', 'e', 'e', 'e', 'x', 'i', 'f', 't', 'o', 'o', 'l'};
    const Bytes zeros(4096, 0);
    const auto flipped = [](Bytes file, uint64_t at) {
        file[at] ^= 0x20;
        return file;
    };
    // Patched, the new moov not yet switched on; appended and read back, not yet committed.
    Bytes between = reference();
    setType(between, record.oldMoovOffset, "moov");
    setType(between, record.newMoovOffset, "free");
    Bytes uncommitted = original();
    uncommitted.insert(uncommitted.end(), reference().begin() + static_cast<long>(length), reference().end());
    std::fill_n(uncommitted.begin() + static_cast<long>(length + kUndoCommitAt), kUndoCommitSize, 0);
    setType(uncommitted, record.newMoovOffset, "free");
    const std::string text(reference().begin(), reference().end());
    const uint64_t xmlDate = text.find("CreationDate value=\"2024") + 21;
    Bytes otherRtmd = reference();
    otherRtmd[record.patches.front().offset] ^= 0x40;

    // What a run does with the clip: gives back the original, or the result, or leaves it as it is; or
    // refuses it for a reason of its record.
    enum Outcome { originalBack, result, unchanged };
    using Expected = std::variant<Outcome, RecordMismatch::Kind>;
    using K = RecordMismatch::Kind;
    const struct {
        const char* trace;
        Bytes clip;
        Expected restore, rewrite;
    } cases[] = {
        {"rewritten", reference(), originalBack, unchanged},
        {"rewritten, then a box appended by another program", appended(reference(), freeBox), K::appendedSince,
         unchanged},
        {"rewritten, then the file grown by 4 KiB", appended(reference(), zeros), K::appendedSince, unchanged},
        {"rewritten, then a byte of the record flipped", flipped(reference(), reference().size() - 40),
         K::recordDamaged, K::recordDamaged},
        {"rewritten, then a byte of the new moov flipped", flipped(reference(), record.newMoovOffset + 200),
         originalBack, K::newMoovChanged},
        {"rewritten, then a re-based rtmd timecode changed", otherRtmd, K::bytesOfNeither, K::bytesOfNeither},
        {"rewritten, then the camera XML's date changed", flipped(reference(), xmlDate), K::hashDiffers,
         K::hashDiffers},
        {"stopped before the switch", between, originalBack, result},
        {"stopped before the switch, then a byte of the record flipped", flipped(between, between.size() - 40),
         K::recordDamaged, K::recordDamaged},
        {"stopped before committing", uncommitted, originalBack, result},
        {"stopped before committing, then a box appended", appended(uncommitted, freeBox), K::appendedAfterCut,
         K::appendedAfterCut},
        {"stopped before committing, then its new moov switched on",
         [&] {
             Bytes file = uncommitted;
             setType(file, record.newMoovOffset, "moov");
             return file;
         }(),
         K::newMoovOnRecordDamaged, K::newMoovOnRecordDamaged},
        {"forged: the old moov in the media data",
         forged([](UndoRecord& r) { r.oldMoovOffset = r.patches.front().offset - 13; }), K::oldMoovMissing,
         K::oldMoovMissing},
        {"forged: a patch moved to offset 1000", forged([](UndoRecord& r) { r.patches.front().offset = 1000; }),
         K::patchOffTimecodes, K::patchOffTimecodes},
        {"forged: the new moov at the old one's place",
         forged([](UndoRecord& r) { r.newMoovOffset = r.oldMoovOffset; }), K::recordDamaged, K::recordDamaged},
        {"forged: a patch's original bytes", forged([](UndoRecord& r) { r.patches.front().original[0] ^= 1; }),
         K::hashDiffers, K::hashDiffers},
        {"rewritten by the previous version", previousVersion(true), originalBack, unchanged},
        {"stopped while appending, by the previous version", previousVersion(false), originalBack, result},
    };
    for (const auto& c : cases) {
        for (const bool restoring : {true, false}) {
            SCOPED_TRACE(std::string(c.trace) + (restoring ? ", restored" : ", rewritten again"));
            const fs::path clip = freshCopy("traced.MP4", c.clip);
            ErrorOr<void> outcome;
            if (restoring) {
                auto restored = restore(clip);
                if (restored.isError()) outcome = restored.releaseError();
                else EXPECT_TRUE(*restored);
            } else {
                outcome = rewrite(clip);
            }
            const Expected& expected = restoring ? c.restore : c.rewrite;
            if (const auto* why = std::get_if<RecordMismatch::Kind>(&expected)) {
                ASSERT_TRUE(outcome.isError());
                EXPECT_EQ(recordMismatchOf(outcome.error()), *why) << outcome.error().localizedDescription;
            } else {
                ASSERT_FALSE(outcome.isError()) << outcome.error().localizedDescription;
            }
            const Outcome* done = std::get_if<Outcome>(&expected);
            const Bytes& want = !done || *done == unchanged ? c.clip : *done == originalBack ? original() : reference();
            EXPECT_TRUE(readBytes(clip) == want);
            EXPECT_TRUE(datedAsShot(clip));
        }
    }
}

}  // namespace
