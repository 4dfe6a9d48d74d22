#include "media/inplace/in_place.h"

#include <fcntl.h>

#include <algorithm>

#include "media/boxes/box_probe.h"
#include "media/boxes/quicktime_meta.h"
#include "media/plan/left_alone.h"
#include "media/files/fd_source.h"
#include "media/inplace/in_place_proof.h"
#include "media/base/media_error.h"
#include "media/plan/moov_rewrite.h"
#include "media/inplace/undo_record.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

Error notInPlace(std::string reason) { return exportError(ExportErrorCode::notInPlace, std::move(reason)); }

// The locked clip, read and written through its descriptor, with its status as it is now.
class Clip {
public:
    explicit Clip(const LockedClip& locked) : locked_(locked)
    {
        // Pages cached in large folios (ext4 and XFS read ahead into them) are written back whole
        // when one byte of them changes: a few bytes per frame would cost the whole rtmd data. The
        // clip's cached pages are dropped and it is read without read-ahead, one page at a time, so
        // each patch dirties one page. Either failing costs only bytes written.
        (void)sys::fadvise(fd(), 0, 0, POSIX_FADV_DONTNEED);
        (void)sys::fadvise(fd(), 0, 0, POSIX_FADV_RANDOM);
    }

    const fs::path& path() const { return locked_.path(); }
    int fd() const { return locked_.fd(); }
    const struct stat& status() const { return status_; }
    uint64_t size() const { return static_cast<uint64_t>(status_.st_size); }
    FdSource reader() const { return FdSource(fd(), size(), path()); }

    ErrorOr<void> refresh()
    {
        status_ = KV_TRY(onFile(sys::fstat(fd()), "无法读取文件", path()));
        return {};
    }

    ErrorOr<void> write(ByteSpan bytes, uint64_t offset) const
    {
        return onFile(sys::writeAt(fd(), bytes.data(), bytes.size(), offset), "无法写入文件", path());
    }

    ErrorOr<Bytes> read(uint64_t offset, size_t length) const
    {
        Bytes bytes(length);
        if (KV_TRY(onFile(sys::readAt(fd(), bytes.data(), length, offset), "无法读取文件", path())) != length)
            return damaged(Damage::recordDamaged, "文件比原地修改的记录短");
        return bytes;
    }

    ErrorOr<void> setType(uint64_t boxOffset, uint32_t type) const
    {
        uint8_t bytes[4];
        storeU32(bytes, type);
        return write(ByteSpan(bytes, 4), boxOffset + 4);
    }

    ErrorOr<uint32_t> typeAt(uint64_t boxOffset) const { return loadU32(KV_TRY(read(boxOffset + 4, 4)).data()); }

    ErrorOr<void> flush() const { return onFile(sys::fsync(fd()), "无法写入文件", path()); }

    ErrorOr<void> resize(uint64_t length)
    {
        KV_TRY(onFile(sys::ftruncate(fd(), length), "无法写入文件", path()));
        return refresh();
    }

    // Whether this user may set the clip's times (its owner, or root): tried by setting them to what
    // they are, before anything is written, since a rewrite that could not give the clip its time
    // back would leave it dated now.
    ErrorOr<bool> maySetTimes()
    {
        KV_TRY(refresh());
        const struct timespec times[2] = {status_.st_atim, status_.st_mtim};
        auto set = sys::futimens(fd(), times);
        if (set.isError() && (errnoOf(set.error()) == EPERM || errnoOf(set.error()) == EACCES)) return false;
        KV_TRY(onFile(std::move(set), "无法设置文件时间", path()));
        return true;
    }

    // The modification time, which file browsers sort clips by, set after the last write and its
    // flush. Both times are given: some FUSE file systems (exFAT's) take a time left out as "now".
    ErrorOr<void> setModified(const struct timespec& modified)
    {
        KV_TRY(flush());
        KV_TRY(refresh());
        const struct timespec times[2] = {status_.st_atim, modified};
        KV_TRY(onFile(sys::futimens(fd(), times), "无法设置文件时间", path()));
        KV_TRY(flush());
        return refresh();
    }

    // Checked just before the first write: the clip's name still names this file, with the size and
    // time it had when it was read.
    ErrorOr<void> checkUnchanged() const { return checkSourceUnchanged(path(), fd(), status_); }

private:
    const LockedClip& locked_;
    struct stat status_ {};
};

// Writes each patch's new side (forward) or original where the clip does not hold it already: as
// rewritten says, or read first where that is not known; flushes.
ErrorOr<void> applyPatches(const Clip& clip, const std::vector<Patch>& patches, bool forward,
                           const std::vector<bool>* rewritten)
{
    for (size_t i = 0; i < patches.size(); ++i) {
        const Patch& patch = patches[i];
        const ByteSpan want = forward ? patch.span() : patch.originalSpan();
        const bool holds = rewritten ? (*rewritten)[i] == forward
                                     : std::ranges::equal(KV_TRY(clip.read(patch.offset, patch.size)), want);
        if (!holds) KV_TRY(clip.write(want, patch.offset));
    }
    return clip.flush();
}

ErrorOr<void> setTypeIfNot(const Clip& clip, uint64_t boxOffset, uint32_t type)
{
    if (KV_TRY(clip.typeAt(boxOffset)) == type) return {};
    KV_TRY(clip.setType(boxOffset, type));
    return clip.flush();
}

// From a committed record on: the patches, read back, the new moov on, the old one off, the
// original's times. Each step is skipped where it is done already.
ErrorOr<void> complete(Clip& clip, const UndoRecord& record, const std::vector<bool>& rewritten)
{
    KV_TRY(applyPatches(clip, record.patches, true, &rewritten));
    for (const Patch& patch : record.patches) {
        if (!std::ranges::equal(KV_TRY(clip.read(patch.offset, patch.size)), patch.span()))
            return exportError(ExportErrorCode::verifyFailed, "原地写入的时间码读回时与预期不符");
    }
    KV_TRY(setTypeIfNot(clip, record.newMoovOffset, fourcc("moov")));
    KV_TRY(setTypeIfNot(clip, record.oldMoovOffset, fourcc("free")));
    return clip.setModified(record.modified);
}

// Back to a clip cut short: what was appended cut off, the original's time.
ErrorOr<void> cut(Clip& clip, uint64_t originalLength, const struct timespec& modified)
{
    KV_TRY(clip.resize(originalLength));
    return clip.setModified(modified);
}

// Back to the original from a committed record: the old moov on, the new one off, the patches
// reverted (as rewritten says, or as read) and the result checked against the record's hash,
// everything appended cut off, the original's times.
ErrorOr<void> revert(Clip& clip, const UndoRecord& record, const std::vector<bool>* rewritten)
{
    KV_TRY(setTypeIfNot(clip, record.oldMoovOffset, fourcc("moov")));
    KV_TRY(setTypeIfNot(clip, record.newMoovOffset, fourcc("free")));
    KV_TRY(applyPatches(clip, record.patches, false, rewritten));
    FdSource reader = clip.reader();
    if (KV_TRY(hashTouchedBytes(reader, record.originalLength, record.patches, record.oldMoovOffset)) !=
        record.originalHash)
        return exportError(ExportErrorCode::verifyFailed,
                           "文件" + quotedName(clip.path()) + "恢复后的内容与原地修改的记录不符");
    return cut(clip, record.originalLength, record.modified);
}

// The appended part as written: read back piece by piece and compared.
ErrorOr<void> checkWritten(const Clip& clip, ByteSpan written, uint64_t at)
{
    constexpr size_t kPiece = 1u << 20;
    for (size_t done = 0; done < written.size(); done += kPiece) {
        const ByteSpan piece = written.subspan(done, std::min(kPiece, written.size() - done));
        if (!std::ranges::equal(KV_TRY(clip.read(at + done, piece.size())), piece))
            return exportError(ExportErrorCode::verifyFailed, "追加的盒子读回时与预期不符");
    }
    return {};
}

// A first rewrite in place: what the plan says, appended, committed and then applied.
ErrorOr<void> rewriteFresh(Clip& clip, const std::vector<MetadataItem>& items, ExportControl& control)
{
    const uint64_t length = clip.size();
    InPlacePlan plan;
    {
        FdSource reader = clip.reader();
        auto probed = probeBoxContent(reader);
        if (probed.isError()) return inSourceFile(probed.releaseError(), clip.path());
        if (!*probed) return notInPlace("不是可以原地修改的 MP4/MOV 文件（可能是分段的 MP4）");
        const BoxContent& content = **probed;
        auto planned = planInPlace({content.movie, content.topLevel, reader}, items, length + kUndoMarkerSize);
        if (planned.isError()) return inSourceFile(planned.releaseError(), clip.path());
        if (auto* reason = std::get_if<std::string>(&*planned)) return notInPlace(*reason);
        plan = std::move(std::get<InPlacePlan>(*planned));
    }
    if (plan.readsStart) {
        control.setAlreadyDone(AlreadyDone::clip);
        return {};
    }
    reportLeftAlone(clip.path(), plan.rtmdKept, plan.timecodesLeftAlone, control);

    UndoRecord record;
    record.originalLength = length;
    record.modified = clip.status().st_mtim;
    record.oldMoovOffset = plan.oldMoov.offset;
    record.newMoovOffset = plan.newMoovOffset;
    record.patches = std::move(plan.patches);
    FdSource reader = clip.reader();
    record.originalHash = KV_TRY(hashTouchedBytes(reader, length, record.patches, record.oldMoovOffset, true));
    MemorySource appended(plan.appended);
    record.appendedHash = KV_TRY(hashAppended(appended, 0, plan.appended.size(), plan.newMoovOffset - plan.appendAt));
    const Bytes recordBox = buildUndoRecord(record);
    const uint64_t recordAt = plan.appendAt + plan.appended.size();
    const uint64_t end = recordAt + recordBox.size();
    const Bytes marker = buildUndoMarker(length, clip.status(), end);
    if (control.isCancelled()) return cancelledError();
    if (!KV_TRY(clip.maySetTimes())) return notInPlace("只有文件的所有者才能保留其修改时间");
    // What was planned from must be the clip as it is: not changed while it was read, nor replaced.
    KV_TRY(clip.checkUnchanged());
    control.setProgress(0.2);

    // The marker first, flushed, so that whatever follows can be found and cut off again; then the
    // room for the rest, flushed: zeros read as one box running to the end, so the file stays
    // readable however little of what follows reaches the disk. Then the rest, read back, and the
    // marker committed: from then on the record says what to undo.
    auto appendAndCommit = [&]() -> ErrorOr<void> {
        KV_TRY(clip.write(marker, length));
        KV_TRY(clip.flush());
        KV_TRY(clip.resize(end));
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

    const std::vector<bool> nothingRewritten(record.patches.size(), false);
    if (auto r = catchingAllocation([&] { return complete(clip, record, nothingRewritten); }); r.isError()) {
        (void)catchingAllocation([&] { return revert(clip, record, nullptr); });
        return r.releaseError();
    }
    return {};
}

// The clip's top level and what it says of an earlier rewrite in place; errors name the clip.
struct Traced {
    std::vector<Box> topLevel;
    std::optional<InPlaceTrace> trace;
};

ErrorOr<Traced> traceOf(ByteSource& file, const fs::path& path)
{
    Traced traced;
    auto scanned = scanTopLevel(file);
    if (scanned.isError()) return inSourceFile(scanned.releaseError(), path);
    traced.topLevel = scanned.releaseValue();
    auto trace = findInPlaceTrace(file, traced.topLevel);
    if (trace.isError()) return inSourceFile(trace.releaseError(), path);
    traced.trace = trace.releaseValue();
    return traced;
}

Error damagedRecord(const fs::path& path) { return recordMismatch(path, "记录已损坏，无法确认文件被改过哪些字节"); }

// The start a recorded rewrite gives the clip: the "timecode" item of its new moov, as typed moov or
// free; nothing when it holds none.
ErrorOr<std::optional<std::string>> recordedStart(const Clip& clip, const UndoRecord& record)
{
    const Bytes header = KV_TRY(clip.read(record.newMoovOffset, 8));
    const uint64_t size = loadU32(header.data());
    if (size < 8 || size > kMaxMoovSize || record.newMoovOffset + size > clip.size()) return damagedRecord(clip.path());
    Bytes bytes = KV_TRY(clip.read(record.newMoovOffset, static_cast<size_t>(size)));
    storeU32(&bytes[4], fourcc("moov"));
    auto movie = parseMovie(std::move(bytes));
    if (movie.isError()) return damagedRecord(clip.path());
    for (const Box& meta : movie->metas) {
        if (auto value = KV_TRY(quickTimeItemValue(movie->moov, meta, "timecode"))) return value;
    }
    return std::optional<std::string>();
}

// Whether every step of a recorded rewrite is done: each patch written, the new moov on, the old one
// off and the original's time set.
ErrorOr<bool> isComplete(const Clip& clip, const UndoRecord& record, const RecordProof& proof)
{
    if (std::ranges::find(proof.rewritten, false) != proof.rewritten.end()) return false;
    if (KV_TRY(clip.typeAt(record.newMoovOffset)) != fourcc("moov")) return false;
    if (KV_TRY(clip.typeAt(record.oldMoovOffset)) != fourcc("free")) return false;
    return clip.status().st_mtim.tv_sec == record.modified.tv_sec &&
           clip.status().st_mtim.tv_nsec == record.modified.tv_nsec;
}

}  // namespace

ErrorOr<void> rewriteInPlace(LockedClip& locked, const std::vector<MetadataItem>& items, ExportControl& control)
{
    if (control.isCancelled()) return cancelledError();
    // Without a lock nothing keeps a second run from writing the same bytes: the ordinary rewrite,
    // which checks just before its rename that the clip is the file it read, is the safe one.
    if (!locked.locked()) return notInPlace("文件所在的文件系统不支持文件锁，无法确保没有其他进程同时改写它");
    Clip clip(locked);
    KV_TRY(clip.refresh());
    FdSource reader = clip.reader();
    // A Matroska or AVI clip has no boxes to look for a trace among: it is rewritten the ordinary way.
    uint8_t first[8];
    if (KV_TRY(reader.readAt(first, sizeof first, 0)) < sizeof first || !looksLikeBoxFile(first))
        return notInPlace("不是可以原地修改的 MP4/MOV 文件");
    const Traced traced = KV_TRY(traceOf(reader, clip.path()));
    if (traced.trace) {
        const InPlaceTrace& trace = *traced.trace;
        switch (traceState(trace)) {
        case TraceState::damaged: return damagedRecord(clip.path());
        case TraceState::recorded: {
            // Rewritten in place before: the first record stays, and a run cut short is completed.
            const RecordProof proof =
                KV_TRY(proveRecord(reader, traced.topLevel, trace, ProofFor::completion, clip.path()));
            // The first record stays, so this run can only take the clip where that rewrite took it.
            const auto recorded = KV_TRY(recordedStart(clip, *trace.record));
            if (const auto asked = timecodeItemValue(items); asked && recorded != asked) {
                return exportError(ExportErrorCode::unsupported,
                                   "文件" + quotedName(clip.path()) + "已原地修改为从 " + recorded.value_or("?") +
                                       " 开始，无法再原地改为从 " + *asked +
                                       " 开始；请先用 --restore 恢复原片再处理，本次未做任何改动");
            }
            if (KV_TRY(isComplete(clip, *trace.record, proof))) {
                control.setAlreadyDone(AlreadyDone::clip);
                control.setProgress(1.0);
                return {};
            }
            if (!KV_TRY(clip.maySetTimes())) return notInPlace("只有文件的所有者才能保留其修改时间");
            KV_TRY(clip.checkUnchanged());
            KV_TRY(catchingAllocation([&] { return complete(clip, *trace.record, proof.rewritten); }));
            control.setProgress(1.0);
            return {};
        }
        case TraceState::cutShort:
            // An append that stopped before its record was committed: no byte of the clip was changed.
            KV_TRY(proveCutShort(reader, traced.topLevel, trace, clip.path()));
            if (!KV_TRY(clip.maySetTimes())) return notInPlace("只有文件的所有者才能保留其修改时间");
            KV_TRY(clip.checkUnchanged());
            KV_TRY(cut(clip, trace.originalLength, trace.modified));
            break;
        }
    }
    KV_TRY(catchingAllocation([&] { return rewriteFresh(clip, items, control); }));
    control.setProgress(1.0);
    return {};
}

ErrorOr<bool> carriesInPlaceMarker(const fs::path& path)
{
    const Fd fd = KV_TRY(openClip(path, O_RDONLY));
    const auto status = KV_TRY(onFile(sys::fstat(fd.get()), "无法读取文件", path));
    if (!S_ISREG(status.st_mode)) return false;
    FdSource reader(fd.get(), static_cast<uint64_t>(status.st_size), path);
    uint8_t first[8];
    if (KV_TRY(reader.readAt(first, sizeof first, 0)) < sizeof first || !looksLikeBoxFile(first)) return false;
    return KV_TRY(traceOf(reader, path)).trace.has_value();
}

ErrorOr<bool> restoreInPlace(LockedClip& locked)
{
    if (!locked.locked()) {
        return Error{kExportErrorDomain, static_cast<long>(ExportErrorCode::unsupported),
                     "无法锁定文件" + quotedName(locked.path()) +
                         "：它所在的文件系统不支持文件锁，无法确保没有其他进程同时改写它，因此未做恢复"
                         "（可先把它复制到本机磁盘上再恢复）"};
    }
    Clip clip(locked);
    KV_TRY(clip.refresh());
    FdSource reader = clip.reader();
    uint8_t first[8];
    if (KV_TRY(reader.readAt(first, sizeof first, 0)) < sizeof first || !looksLikeBoxFile(first)) return false;
    const Traced traced = KV_TRY(traceOf(reader, clip.path()));
    if (!traced.trace) return false;
    const InPlaceTrace& trace = *traced.trace;
    const auto mayWrite = [&]() -> ErrorOr<void> {
        if (!KV_TRY(clip.maySetTimes())) {
            return Error{kPosixErrorDomain, EPERM,
                         "文件" + quotedName(clip.path()) +
                             "只有其所有者才能设置修改时间，恢复后无法保留它原来的修改时间，因此未做恢复"};
        }
        return clip.checkUnchanged();
    };
    switch (traceState(trace)) {
    case TraceState::damaged: return damagedRecord(clip.path());
    case TraceState::recorded: {
        const RecordProof proof = KV_TRY(proveRecord(reader, traced.topLevel, trace, ProofFor::restore, clip.path()));
        // The original ends where its rewrite began: what another program appended after the
        // rewrite's part would be cut with it.
        if (proof.end < clip.size())
            return recordMismatch(clip.path(), "原地修改之后又有其他程序在文件末尾追加了数据，恢复会将其一并删去");
        KV_TRY(mayWrite());
        KV_TRY(catchingAllocation([&] { return revert(clip, *trace.record, &proof.rewritten); }));
        return true;
    }
    case TraceState::cutShort:
        KV_TRY(proveCutShort(reader, traced.topLevel, trace, clip.path()));
        KV_TRY(mayWrite());
        KV_TRY(cut(clip, trace.originalLength, trace.modified));
        return true;
    }
    return false;
}

}  // namespace kelvatta
