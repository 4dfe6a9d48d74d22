// A power cut at any instant of a rewrite in place or a restore, in a strict model of the disk: the
// run's writes, size changes and time sets are recorded (sys's change observer), and every state a
// cut can leave is made and met by a restore and a rewrite in place. Until a flush returns, any of
// the changes since the last one may be lost, in any combination, and a write may reach the disk in
// part: some of its 512-byte sectors and not the others. Then the torn patch itself: each patch of a
// rewrite torn at every byte, both ways.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <random>

#include "media/files/fd_source.h"
#include "media/inplace/clip_state.h"
#include "media/inplace/in_place.h"
#include "media/inplace/undo_record.h"
#include "support/clips.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

constexpr uint64_t kSector = 512;
const struct timespec kShot = {1577836800, 123456789};
// The time a cut leaves where a change reached the disk after the last time set: the run's, not the
// clip's.
const struct timespec kCutTime = {1893456000, 0};

// A file as the strict model holds it: bytes and a modification time.
struct FileState {
    Bytes bytes;
    struct timespec modified {};

    friend bool operator==(const FileState& a, const FileState& b)
    {
        return a.bytes == b.bytes && a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
    }
};

struct Change {
    sys::Call call = sys::Call::Write;
    uint64_t offset = 0, length = 0;
    Bytes data;
    struct timespec modified {};
};

void record(const sys::Change& change, void* context)
{
    const auto* bytes = static_cast<const uint8_t*>(change.data);
    static_cast<std::vector<Change>*>(context)->push_back(
        {change.call, change.offset, change.length,
         change.call == sys::Call::Write ? Bytes(bytes, bytes + change.length) : Bytes(),
         change.call == sys::Call::Futimens ? change.times[1] : timespec{}});
}

// Applies a change, of a write only the sectors that mask keeps (bit k: the k-th sector it touches).
void apply(FileState& file, const Change& change, uint64_t mask = ~uint64_t{0})
{
    const sys::Call call = change.call;
    if (call == sys::Call::Futimens) file.modified = change.modified;
    if (call != sys::Call::Write && call != sys::Call::Ftruncate && call != sys::Call::Fallocate) return;
    file.modified = kCutTime;
    if (call == sys::Call::Ftruncate) file.bytes.resize(change.offset, 0);
    else if (file.bytes.size() < change.offset + change.length) file.bytes.resize(change.offset + change.length, 0);
    for (uint64_t i = 0; call == sys::Call::Write && i < change.length; ++i) {
        const uint64_t at = change.offset + i;
        if (mask >> std::min<uint64_t>(63, at / kSector - change.offset / kSector) & 1) file.bytes[at] = change.data[i];
    }
}

uint64_t sectorsOf(const Change& change)
{
    if (change.call != sys::Call::Write || change.length == 0) return 1;
    return (change.offset + change.length - 1) / kSector - change.offset / kSector + 1;
}

fs::path materialise(const TempDir& dir, const std::string& name, const FileState& state)
{
    const fs::path clip = dir / name;
    fs::remove(clip);
    writeBytes(clip, state.bytes);
    EXPECT_TRUE(setTimes(clip, state.modified));
    return clip;
}

FileState stateOf(const fs::path& clip)
{
    struct stat st {};
    EXPECT_EQ(::stat(clip.c_str(), &st), 0);
    return FileState{readBytes(clip), st.st_mtim};
}

// The changes a run (rewriteClipInPlace, restoreClip) makes to a clip that starts as `from`, and what
// it leaves.
template <typename Run>
std::vector<Change> recordRun(const TempDir& dir, const FileState& from, Run run, FileState& to)
{
    const fs::path clip = materialise(dir, "recorded.MP4", from);
    std::vector<Change> changes;
    sys::setChangeObserver(record, &changes);
    const auto outcome = run(clip);
    sys::setChangeObserver(nullptr, nullptr);
    EXPECT_FALSE(outcome.isError()) << outcome.error().localizedDescription;
    to = stateOf(clip);
    return changes;
}

struct Tally {
    int states = 0, safe = 0, timeOfCut = 0;
    std::map<std::string, int> read;
};

// In the order of InPlaceState.
const char* stateName(InPlaceState state)
{
    static const char* const names[] = {"none",      "complete",       "not committed", "cut short",
                                        "restoring", "record damaged", "changed since"};
    static_assert(std::size(names) == static_cast<size_t>(InPlaceState::changedSince) + 1);
    return names[static_cast<size_t>(state)];
}

// The result of a clip whose time is the cut's (its marker and record keep that time).
const FileState& resultDatedAtCut(const TempDir& dir, const FileState& clip)
{
    static const FileState result = [&] {
        FileState done;
        recordRun(dir, clip, rewriteClipInPlace, done);
        return done;
    }();
    return result;
}

// One state a cut left: read as a state the program knows; a restore gives the original back (bytes
// and time) and a rewrite in place the result. The one state a restore cannot give the time back
// from is the original's bytes with the time of the cut: its cut reached the disk and the time set
// after it did not.
void check(const TempDir& dir, const FileState& cut, const FileState& original, const FileState& result, Tally& tally,
           const std::string& where)
{
    ++tally.states;
    const fs::path clip = materialise(dir, "cut.MP4", cut);
    std::string problem;
    {
        MemorySource source(cut.bytes);
        struct stat status {};
        status.st_mtim = cut.modified;
        auto reading = readClipState(source, status, clip);
        if (reading.isError()) problem = "unreadable: " + reading.error().localizedDescription;
        else {
            ++tally.read[stateName(reading->state)];
            if (reading->state == InPlaceState::recordDamaged || reading->state == InPlaceState::changedSince)
                problem = std::string("read as ") + stateName(reading->state);
        }
    }
    const bool timeOfCut = cut.bytes == original.bytes && !(cut == original);
    tally.timeOfCut += timeOfCut;
    if (problem.empty()) {
        if (auto restored = restoreClip(clip); restored.isError())
            problem = "restore: " + restored.error().localizedDescription;
        else if (!(stateOf(clip) == original) && !(timeOfCut && stateOf(clip).bytes == original.bytes))
            problem = "the restore is not the original";
    }
    if (problem.empty()) {
        materialise(dir, "cut.MP4", cut);
        if (auto rewritten = rewriteClipInPlace(clip); rewritten.isError())
            problem = "rewrite: " + rewritten.error().localizedDescription;
        else if (!(stateOf(clip) == (timeOfCut ? resultDatedAtCut(dir, cut) : result)))
            problem = "the rewrite is not the result";
    }
    if (problem.empty()) ++tally.safe;
    else ADD_FAILURE() << where << ": " << problem;
}

// Every state a cut of the run recorded as changes can leave, from `from`, at most `perCut` drawn at
// random (the same each time) where a cut leaves more.
void sweep(const TempDir& dir, const FileState& from, const std::vector<Change>& changes, const FileState& original,
           const FileState& result, int perCut, Tally& tally)
{
    std::mt19937_64 random(20261208);
    FileState durable = from;
    size_t flushed = 0;  // changes before this index are on the disk
    for (size_t cut = 0; cut <= changes.size(); ++cut) {
        if (cut > 0 && changes[cut - 1].call == sys::Call::Fsync) {
            for (size_t i = flushed; i < cut; ++i) apply(durable, changes[i]);
            flushed = cut;
        }
        // Changes since the last flush: each lost or kept, a kept write in all or some of its sectors.
        std::vector<size_t> pending;
        for (size_t i = flushed; i < cut; ++i)
            if (changes[i].call != sys::Call::Fsync) pending.push_back(i);
        if (pending.empty()) {
            if (cut == 0 || changes[cut - 1].call == sys::Call::Fsync)
                check(dir, durable, original, result, tally, "cut " + std::to_string(cut));
            continue;
        }
        // Each choice: per pending change, kept or not, and for a write which of its sectors.
        uint64_t choices = 1;
        for (size_t i : pending) {
            const uint64_t ways = sectorsOf(changes[i]) >= 63 ? UINT64_MAX : (uint64_t{1} << sectorsOf(changes[i]));
            choices = ways == UINT64_MAX || choices > UINT64_MAX / ways ? UINT64_MAX : choices * ways;
        }
        const bool all = choices <= static_cast<uint64_t>(perCut);
        for (uint64_t n = 0; n < (all ? choices : static_cast<uint64_t>(perCut)); ++n) {
            FileState state = durable;
            uint64_t pick = all ? n : random();
            for (size_t i : pending) {
                const uint64_t sectors = std::min<uint64_t>(63, sectorsOf(changes[i]));
                const uint64_t mask = all ? pick & ((uint64_t{1} << sectors) - 1) : random();
                if (all) pick >>= sectors;
                if (changes[i].call == sys::Call::Write) {
                    if (mask != 0) apply(state, changes[i], mask);
                } else if (mask & 1) {
                    apply(state, changes[i]);
                }
            }
            check(dir, state, original, result, tally, "cut " + std::to_string(cut) + ", choice " + std::to_string(n));
        }
    }
}

int statesPerCut()
{
    const char* asked = std::getenv("KELVATTA_POWER_CUT_STATES");
    return asked ? std::max(1, std::atoi(asked)) : 64;
}

TEST(PowerCut, EveryStateARewriteInPlaceOrARestoreLeavesIsFinishedOrUndone)
{
    ASSERT_FALSE(sonyClip().empty());
    TempDir dir;
    const FileState original{sonyClip(), kShot};
    FileState result, restored;
    const std::vector<Change> rewriting = recordRun(dir, original, rewriteClipInPlace, result);
    const std::vector<Change> restoring = recordRun(dir, result, restoreClip, restored);
    ASSERT_TRUE(restored == original);
    Tally tally;
    sweep(dir, original, rewriting, original, result, statesPerCut(), tally);
    const int rewriteStates = tally.states;
    sweep(dir, result, restoring, original, result, statesPerCut(), tally);
    std::cout << "[ FIGURES  ] power cuts (strict model, writes torn at 512-byte sectors): " << rewriteStates
              << " states of a rewrite in place, " << tally.states - rewriteStates << " of a restore; " << tally.safe
              << " of " << tally.states << " safe (" << tally.timeOfCut
              << " the original's bytes dated at the cut); read as:";
    for (const auto& [state, count] : tally.read) std::cout << " " << state << " " << count;
    std::cout << "\n";
}

// A patch torn at every byte, both ways (its first bytes new and the rest original, and the other
// way round), as a power cut leaves one that spans two sectors: a restore gives the original, a
// rewrite in place the result.
TEST(PowerCut, APatchTornAtAnyByteIsFinishedEitherWay)
{
    ASSERT_FALSE(sonyClip().empty());
    TempDir dir;
    const FileState original{sonyClip(), kShot};
    FileState result;
    recordRun(dir, original, rewriteClipInPlace, result);
    MemorySource source(result.bytes);
    const auto top = scanTopLevel(source);
    ASSERT_FALSE(top.isError());
    const auto trace = findInPlaceTrace(source, *top);
    ASSERT_TRUE(!trace.isError() && *trace && (*trace)->record);
    const UndoRecord& undo = *(*trace)->record;
    // Cut short between its patches and the switch: the new moov off, the old one on.
    FileState patched = result;
    storeU32(&patched.bytes[undo.oldMoovOffset + 4], fourcc("moov"));
    storeU32(&patched.bytes[undo.newMoovOffset + 4], fourcc("free"));
    Tally tally;
    for (const Patch& patch : undo.patches) {
        for (uint8_t at = 1; at < patch.size; ++at) {
            for (const bool newFirst : {true, false}) {
                FileState torn = patched;
                for (uint8_t k = 0; k < patch.size; ++k)
                    torn.bytes[patch.offset + k] = (k < at) == newFirst ? patch.bytes[k] : patch.original[k];
                check(dir, torn, original, result, tally,
                      "patch at " + std::to_string(patch.offset) + " torn at byte " + std::to_string(at));
            }
        }
    }
    std::cout << "[ FIGURES  ] " << undo.patches.size() << " patches torn at every byte both ways: " << tally.safe
              << " of " << tally.states << " states finished\n";
}

}  // namespace
