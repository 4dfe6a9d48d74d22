#include "media/inplace/in_place.h"

#include <fcntl.h>

#include <algorithm>

#include "media/base/media_error.h"
#include "media/boxes/box_probe.h"
#include "media/boxes/quicktime_meta.h"
#include "media/inplace/clip_state.h"
#include "media/inplace/in_place_clip.h"
#include "media/inplace/in_place_proof.h"
#include "media/inplace/undo_record.h"
#include "media/plan/left_alone.h"
#include "media/plan/moov_rewrite.h"
#include "media/plan/rebase.h"
#include "media/inplace/in_place_texts.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

Error notInPlace(NotInPlace::Kind kind) { return notInPlaceError(NotInPlace{kind}); }

// An error met after the clip's own bytes began to change, with what finishes it: the clip is then
// neither the original nor the result, and every mode of a later run reads it as such.
Error midway(Error error, const fs::path& path, bool restoring)
{
    error.localizedDescription += in_place_texts::midway(path, restoring);
    return error;
}

// Every offset a rewrite writes within the clip's original bytes: the old moov's type and each patch
// (its first and last byte).
std::vector<uint64_t> originalOverwrites(const UndoRecord& record)
{
    std::vector<uint64_t> offsets{record.oldMoovOffset + 4};
    for (const Patch& patch : record.patches) {
        offsets.push_back(patch.offset);
        offsets.push_back(patch.offset + patch.size - 1);
    }
    return offsets;
}

// Every offset a run over a recorded rewrite may write: those, the marker's commitment and the new
// moov's type.
std::vector<uint64_t> overwrites(const InPlaceTrace& trace, const UndoRecord& record)
{
    std::vector<uint64_t> offsets = originalOverwrites(record);
    offsets.push_back(trace.originalLength + kUndoCommitAt);
    offsets.push_back(record.newMoovOffset + 4);
    return offsets;
}

// Writes each patch's new side (forward) or original where the clip does not hold it already (as
// holds says, or as read where that is not known); flushes.
ErrorOr<void> applyPatches(const InPlaceClip& clip, const std::vector<Patch>& patches, bool forward,
                           const std::vector<PatchHolds>* holds)
{
    for (size_t i = 0; i < patches.size(); ++i) {
        const Patch& patch = patches[i];
        const ByteSpan want = forward ? patch.span() : patch.originalSpan();
        const bool there = holds ? (*holds)[i] == (forward ? PatchHolds::rewritten : PatchHolds::original)
                                 : std::ranges::equal(KV_TRY(clip.read(patch.offset, patch.size)), want);
        if (!there) KV_TRY(clip.write(want, patch.offset));
    }
    return clip.flush();
}

// From a committed record on: the patches, read back, the new moov on, the old one off, the
// original's times. Each step is skipped where it is done already.
ErrorOr<void> complete(InPlaceClip& clip, const UndoRecord& record, const std::vector<PatchHolds>& holds)
{
    KV_TRY(applyPatches(clip, record.patches, true, &holds));
    for (const Patch& patch : record.patches) {
        if (!std::ranges::equal(KV_TRY(clip.read(patch.offset, patch.size)), patch.span()))
            return exportError(ExportErrorCode::verifyFailed, in_place_texts::timecodesReadBack());
    }
    KV_TRY(clip.setTypeIfNot(record.newMoovOffset, fourcc("moov")));
    KV_TRY(clip.setTypeIfNot(record.oldMoovOffset, fourcc("free")));
    return clip.setModified(record.modified);
}

// Back to a clip cut short: what was appended cut off, the original's time. The cut is the last
// change to the clip's bytes, and takes the marker with it.
ErrorOr<void> cut(InPlaceClip& clip, uint64_t originalLength, const struct timespec& modified)
{
    KV_TRY(clip.resize(originalLength));
    return clip.setModified(modified);
}

// Back to the original from a committed record: first the marker says a restore has begun (so that a
// run meeting the clip cut short finishes the restore rather than the rewrite), then the old moov on,
// the new one off, the patches reverted (as holds says, or as read), the result checked against the
// record's hash, the sidecar counted from the clip's own start again where withSidecar says; only
// then, everything flushed, what was appended is cut off with the marker and the record, and the
// original's time set.
ErrorOr<std::optional<SidecarOutcome>> revert(InPlaceClip& clip, const InPlaceTrace& trace,
                                              const std::vector<PatchHolds>* holds, bool withSidecar)
{
    const UndoRecord& record = *trace.record;
    if (trace.commitment != InPlaceTrace::Commitment::restoring &&
        trace.commitment != InPlaceTrace::Commitment::unknown) {
        KV_TRY(clip.write(undoRestoring(), trace.originalLength + kUndoCommitAt));
        KV_TRY(clip.flush());
    }
    KV_TRY(clip.setTypeIfNot(record.oldMoovOffset, fourcc("moov")));
    KV_TRY(clip.setTypeIfNot(record.newMoovOffset, fourcc("free")));
    KV_TRY(applyPatches(clip, record.patches, false, holds));
    FdSource reader = clip.reader();
    if (KV_TRY(hashTouchedBytes(reader, record.originalLength, record.patches, record.oldMoovOffset)) !=
        record.originalHash)
        return exportError(ExportErrorCode::verifyFailed, in_place_texts::restoredDiffers(clip.path()));
    std::optional<SidecarOutcome> sidecar;
    if (withSidecar) sidecar = KV_TRY(restoreSidecar(clip.locked()));
    KV_TRY(cut(clip, record.originalLength, record.modified));
    return sidecar;
}

// The appended part as written: read back piece by piece and compared.
ErrorOr<void> checkWritten(const InPlaceClip& clip, ByteSpan written, uint64_t at)
{
    constexpr size_t kPiece = 1u << 20;
    for (size_t done = 0; done < written.size(); done += kPiece) {
        const ByteSpan piece = written.subspan(done, std::min(kPiece, written.size() - done));
        if (!std::ranges::equal(KV_TRY(clip.read(at + done, piece.size())), piece))
            return exportError(ExportErrorCode::verifyFailed, in_place_texts::appendedReadBack());
    }
    return {};
}

// A first rewrite in place: what the plan says, appended, committed and then applied.
ErrorOr<void> rewriteFresh(InPlaceClip& clip, const std::vector<MetadataItem>& items, ExportControl& control)
{
    const uint64_t length = clip.size();
    InPlacePlan plan;
    {
        FdSource reader = clip.reader();
        auto probed = probeBoxContent(reader);
        if (probed.isError()) return inSourceFile(probed.releaseError(), clip.path());
        if (!*probed) return notInPlace(NotInPlace::Kind::notAMovie);
        const BoxContent& content = **probed;
        auto planned = planInPlace({content.movie, content.topLevel, reader}, items, length + kUndoMarkerSize);
        if (planned.isError()) return inSourceFile(planned.releaseError(), clip.path());
        if (auto* reason = std::get_if<NotInPlace>(&*planned)) return notInPlaceError(*reason);
        plan = std::move(std::get<InPlacePlan>(*planned));
    }
    if (plan.readsStart) {
        control.setAlreadyDone(AlreadyDone::clip);
        return {};
    }
    reportLeftAlone(clip.path(), plan.rtmdKept, plan.timecodesLeftAlone, control);

    InPlaceTrace trace;
    trace.originalLength = length;
    trace.markerSize = kUndoMarkerSize;
    trace.commitment = InPlaceTrace::Commitment::made;
    UndoRecord& record = trace.record.emplace();
    record.originalLength = length;
    record.modified = clip.status().st_mtim;
    record.oldMoovOffset = plan.oldMoov.offset;
    record.newMoovOffset = plan.newMoovOffset;
    record.patches = std::move(plan.patches);
    FdSource reader = clip.reader();
    record.originalHash = KV_TRY(hashTouchedBytes(reader, length, record.patches, record.oldMoovOffset, true));
    MemorySource appended(plan.appended);
    record.appendedHash = KV_TRY(hashAppended(appended, 0, plan.appended.size(), plan.newMoovOffset - plan.appendAt));
    const Bytes recordBox = KV_TRY(buildUndoRecord(record));
    const uint64_t recordAt = plan.appendAt + plan.appended.size();
    const uint64_t end = recordAt + recordBox.size();
    const Bytes marker = buildUndoMarker(length, clip.status(), end);
    if (control.isCancelled()) return cancelledError();
    if (!KV_TRY(clip.maySetTimes())) return notInPlace(NotInPlace::Kind::notOwner);
    // What was planned from must be the clip as it is: not changed while it was read, nor replaced.
    KV_TRY(clip.checkUnchanged());
    // Every block the patches and the switch write must be writable before the first write: one a
    // snapshot or a reflinked copy shares needs a new one.
    KV_TRY(clip.reserveOverwrites(originalOverwrites(record)));
    control.setProgress(0.2);

    // The marker first, flushed, so that whatever follows can be found and cut off again; then the
    // room for the rest, reserved and flushed: zeros read as one box running to the end, so the file
    // stays readable however little of what follows reaches the disk. Then the rest, read back, and
    // the marker committed: from then on the record says what to undo.
    auto appendAndCommit = [&]() -> ErrorOr<void> {
        KV_TRY(clip.write(marker, length));
        KV_TRY(clip.flush());
        KV_TRY(clip.grow(length + marker.size(), end));
        KV_TRY(clip.flush());
        KV_TRY(clip.write(plan.appended, plan.appendAt));
        KV_TRY(clip.write(recordBox, recordAt));
        KV_TRY(clip.flush());
        KV_TRY(checkWritten(clip, plan.appended, plan.appendAt));
        KV_TRY(checkWritten(clip, recordBox, recordAt));
        FdSource written = clip.reader();
        const Box newMoov{fourcc("free"), plan.newMoovOffset, plan.newMoovSize, 8};
        KV_TRY(checkNewMoov(written, newMoov, plan.mdats));
        if (control.isCancelled()) return cancelledError();
        KV_TRY(clip.write(undoCommitment(), length + kUndoCommitAt));
        return clip.flush();
    };
    if (auto r = catchingAllocation(appendAndCommit); r.isError()) {
        (void)cut(clip, length, record.modified);
        return r.releaseError();
    }
    control.setProgress(0.5);

    const std::vector<PatchHolds> nothingRewritten(record.patches.size(), PatchHolds::original);
    if (auto r = catchingAllocation([&] { return complete(clip, record, nothingRewritten); }); r.isError()) {
        // Undone as a restore would: one that fails as well leaves a clip the next run finishes.
        auto undone = catchingAllocation([&] { return revert(clip, trace, nullptr, false); });
        return undone.isError() ? midway(r.releaseError(), clip.path(), true) : r.releaseError();
    }
    return {};
}

Error damagedRecord(const fs::path& path) { return recordMismatch(path, {RecordMismatch::Kind::recordDamaged}); }

// The state as a refusal of a run that cannot act on it, or nothing where it can.
std::optional<Error> refusalOf(const ClipStateReading& reading, const fs::path& path)
{
    switch (reading.state) {
    case InPlaceState::recordDamaged: return damagedRecord(path);
    case InPlaceState::changedSince: return reading.mismatch;
    default: return std::nullopt;
    }
}

// The start a recorded rewrite gives the clip: the "timecode" item of its new moov (as typed moov or
// free), and how the clip counts as its timecode track says; nothing when it holds no item.
struct RecordedStart {
    std::string text;
    std::optional<Timecode> time;
    TimecodeCounting counting;
};

ErrorOr<std::optional<RecordedStart>> recordedStart(const InPlaceClip& clip, const UndoRecord& record)
{
    const Bytes header = KV_TRY(clip.read(record.newMoovOffset, 8));
    const uint64_t size = loadU32(header.data());
    if (size < 8 || size > kMaxMoovSize || record.newMoovOffset + size > clip.size()) return damagedRecord(clip.path());
    Bytes bytes = KV_TRY(clip.read(record.newMoovOffset, static_cast<size_t>(size)));
    storeU32(&bytes[4], fourcc("moov"));
    auto movie = parseMovie(std::move(bytes));
    if (movie.isError()) return damagedRecord(clip.path());
    for (const Box& meta : movie->metas) {
        if (auto value = KV_TRY(quickTimeItemValue(movie->moov, meta, "timecode")))
            return std::optional<RecordedStart>({*value, Timecode::parse(*value), clipCounting(*movie, {})});
    }
    return std::optional<RecordedStart>();
}

// Whether the clip's first bytes are those of a box file, where a trace could be.
ErrorOr<bool> isBoxFile(ByteSource& file)
{
    uint8_t first[8];
    return KV_TRY(file.readAt(first, sizeof first, 0)) == sizeof first && looksLikeBoxFile(first);
}

// Finishes what an earlier run left cut short, as its record proves: a rewrite in place completed
// (proving first that what it switches on is what it wrote), one not yet committed cut off, a
// restore finished (its sidecar included). The clip open for writing, its time settable, and the
// same as it was read. What it did, or none where there was nothing to finish.
ErrorOr<EarlierInPlace> finish(InPlaceClip& clip, const ClipStateReading& reading)
{
    const InPlaceTrace& trace = *reading.trace;
    switch (reading.state) {
    case InPlaceState::notCommitted:
        KV_TRY(cut(clip, trace.originalLength, trace.modified));
        return EarlierInPlace::undone;
    case InPlaceState::cutShort: {
        FdSource reader = clip.reader();
        KV_TRY(proveAppended(reader, reading.topLevel, trace, clip.path()));
        KV_TRY(clip.reserveOverwrites(overwrites(trace, *trace.record)));
        auto completed = catchingAllocation([&] { return complete(clip, *trace.record, reading.proof->patches); });
        if (completed.isError()) return midway(completed.releaseError(), clip.path(), false);
        return EarlierInPlace::completed;
    }
    case InPlaceState::restoring: {
        KV_TRY(clip.reserveOverwrites(overwrites(trace, *trace.record)));
        auto reverted = catchingAllocation([&] { return revert(clip, trace, &reading.proof->patches, true); });
        if (reverted.isError()) return midway(reverted.releaseError(), clip.path(), true);
        return EarlierInPlace::restored;
    }
    default: return EarlierInPlace::none;
    }
}

// What a run may write before it finishes an earlier one: the clip locked for writing, its times
// settable, and as it was read. why: the refusal, naming the state and what to run instead.
ErrorOr<void> mayFinish(InPlaceClip& clip, const std::string& why)
{
    if (!KV_TRY(clip.maySetTimes())) {
        return exportError(ExportErrorCode::unsupported, in_place_texts::notOwnerRefusal(why));
    }
    return clip.checkUnchanged();
}

}  // namespace

ErrorOr<void> rewriteInPlace(LockedClip& locked, const std::vector<MetadataItem>& items, ExportControl& control)
{
    if (control.isCancelled()) return cancelledError();
    // Without a lock nothing keeps a second run from writing the same bytes: the ordinary rewrite,
    // which checks just before its rename that the clip is the file it read, is the safe one.
    if (!locked.locked()) return notInPlace(NotInPlace::Kind::noLocks);
    InPlaceClip clip(locked);
    KV_TRY(clip.refresh());
    FdSource reader = clip.reader();
    // A Matroska or AVI clip has no boxes to look for a trace among: it is rewritten the ordinary way.
    if (!KV_TRY(isBoxFile(reader))) return notInPlace(NotInPlace::Kind::notABoxFile);
    const ClipStateReading reading = KV_TRY(readClipState(reader, clip.status(), clip.path()));
    if (auto refusal = refusalOf(reading, clip.path())) {
        refusal->localizedDescription += in_place_texts::withoutInPlace();
        return *refusal;
    }
    if (reading.state == InPlaceState::complete || reading.state == InPlaceState::cutShort) {
        // Rewritten in place before: the first record stays, so this run can only take the clip where
        // that rewrite took it, completing it where it was cut short.
        const auto recorded = KV_TRY(recordedStart(clip, *reading.trace->record));
        // Compared as the frame it stands for in the clip's counting, whatever its separator.
        if (const auto asked = requestedStart(items)) {
            if (recorded && recorded->counting.valid())
                if (auto why = recorded->counting.refusal(*asked))
                    return inSourceFile(startRefused(*asked, *why), clip.path());
            if (!recorded || recorded->time != asked->time)
                return exportError(
                    ExportErrorCode::unsupported,
                    in_place_texts::otherStart(clip.path(), recorded ? recorded->text : "?", asked->text()));
        }
        if (reading.state == InPlaceState::complete) {
            // Done, unless what it switched on has changed since: then the clip is not this run's to say so.
            KV_TRY(proveAppended(reader, reading.topLevel, *reading.trace, clip.path()));
            control.setAlreadyDone(AlreadyDone::clip);
            control.setProgress(1.0);
            return {};
        }
    }
    if (reading.state != InPlaceState::none) {
        if (!KV_TRY(clip.maySetTimes())) return notInPlace(NotInPlace::Kind::notOwner);
        KV_TRY(clip.checkUnchanged());
        const EarlierInPlace finished = KV_TRY(finish(clip, reading));
        if (finished == EarlierInPlace::completed) {
            control.setProgress(1.0);
            return {};
        }
        control.setEarlierInPlace(finished);
    }
    KV_TRY(catchingAllocation([&] { return rewriteFresh(clip, items, control); }));
    control.setProgress(1.0);
    return {};
}

namespace {

// The state of a clip as held, read through its descriptor as the run will read it: nothing to read
// in a file that is not a box file.
ErrorOr<ClipStateReading> stateOf(const LockedClip& locked)
{
    FdSource reader(locked.fd(), static_cast<uint64_t>(locked.status().st_size), locked.path());
    if (!KV_TRY(isBoxFile(reader))) return ClipStateReading{};
    return readClipState(reader, locked.status(), locked.path());
}

}  // namespace

ErrorOr<bool> leftToFinish(const LockedClip& clip) { return needsFinishing(KV_TRY(stateOf(clip)).state); }

ErrorOr<EarlierInPlace> settleEarlierInPlace(LockedClip& locked)
{
    // Only a clip to finish is prepared for writing (its cached pages dropped, read-ahead off).
    const ClipStateReading reading = KV_TRY(stateOf(locked));
    switch (reading.state) {
    case InPlaceState::none: return EarlierInPlace::none;
    case InPlaceState::complete: return EarlierInPlace::complete;
    case InPlaceState::recordDamaged:
    case InPlaceState::changedSince: return EarlierInPlace::notProven;
    default: break;
    }
    const std::string why = in_place_texts::stateAdvice(reading.state, locked.path());
    // Only a run that holds the clip for writing finishes it; any other refuses and says what to run.
    if (!locked.locked() || !locked.exclusive() || locked.use() == ClipUse::read)
        return exportError(ExportErrorCode::unsupported, in_place_texts::nothingDone(why));
    InPlaceClip clip(locked);
    KV_TRY(mayFinish(clip, why));
    const EarlierInPlace finished = KV_TRY(finish(clip, reading));
    KV_TRY(locked.refresh());
    return finished;
}

ErrorOr<bool> carriesInPlaceMarker(const fs::path& path)
{
    const Fd fd = KV_TRY(openClip(path, O_RDONLY));
    const auto status = KV_TRY(onFile(sys::fstat(fd.get()), FileAction::read, path));
    if (!S_ISREG(status.st_mode)) return false;
    FdSource reader(fd.get(), static_cast<uint64_t>(status.st_size), path);
    if (!KV_TRY(isBoxFile(reader))) return false;
    const auto top = scanTopLevel(reader);
    if (top.isError()) return inSourceFile(top.error(), path);
    const auto trace = findInPlaceTrace(reader, *top);
    // A marker that does not hold is one to say so of, under the lock.
    if (trace.isError() &&
        (damageOf(trace.error()) == Damage::recordDamaged || damageOf(trace.error()) == Damage::markerMoved))
        return true;
    if (trace.isError()) return inSourceFile(trace.error(), path);
    return trace->has_value();
}

ErrorOr<std::optional<Restored>> restoreInPlace(LockedClip& locked)
{
    if (!locked.locked()) {
        return Error{kExportErrorDomain, static_cast<long>(ExportErrorCode::unsupported),
                     in_place_texts::restoreWithoutLocks(locked.path())};
    }
    InPlaceClip clip(locked);
    KV_TRY(clip.refresh());
    FdSource reader = clip.reader();
    if (!KV_TRY(isBoxFile(reader))) return std::optional<Restored>();
    const ClipStateReading reading = KV_TRY(readClipState(reader, clip.status(), clip.path()));
    if (reading.state == InPlaceState::none) return std::optional<Restored>();
    if (auto refusal = refusalOf(reading, clip.path())) return *refusal;
    const InPlaceTrace& trace = *reading.trace;
    // The original ends where its rewrite began: what another program appended after the rewrite's
    // part would be cut with it.
    if (reading.proof && reading.proof->end < clip.size())
        return recordMismatch(clip.path(), {RecordMismatch::Kind::appendedSince});
    if (!KV_TRY(clip.maySetTimes())) {
        return Error{kPosixErrorDomain, EPERM, in_place_texts::restoreNotOwner(clip.path())};
    }
    KV_TRY(clip.checkUnchanged());
    Restored restored;
    if (reading.state == InPlaceState::notCommitted) {
        KV_TRY(cut(clip, trace.originalLength, trace.modified));
        return std::optional<Restored>(restored);
    }
    KV_TRY(clip.reserveOverwrites(overwrites(trace, *trace.record)));
    auto reverted = catchingAllocation([&] { return revert(clip, trace, &reading.proof->patches, true); });
    if (reverted.isError()) return midway(reverted.releaseError(), clip.path(), true);
    restored.sidecar = reverted->value_or(SidecarOutcome{});
    return std::optional<Restored>(restored);
}

}  // namespace kelvatta
