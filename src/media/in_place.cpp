#include "media/in_place.h"

#include <fcntl.h>

#include <algorithm>

#include "media/box_export.h"
#include "media/fd_source.h"
#include "media/media_error.h"
#include "media/moov_rewrite.h"
#include "media/output_file.h"
#include "media/undo_record.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

Error notInPlace(std::string reason) { return exportError(ExportErrorCode::notInPlace, std::move(reason)); }

// The clip open for reading and writing, as it is now.
class Clip {
public:
    static ErrorOr<Clip> open(const fs::path& path)
    {
        Clip clip(path, KV_TRY(openClip(path, O_RDWR)));
        KV_TRY(clip.refresh());
        // Pages cached in large folios (ext4 and XFS read ahead into them) are written back whole
        // when one byte of them changes: a few bytes per frame would cost the whole rtmd data. The
        // clip's cached pages are dropped and it is read without read-ahead, one page at a time, so
        // each patch dirties one page. Either failing costs only bytes written.
        (void)sys::fadvise(clip.fd(), 0, 0, POSIX_FADV_DONTNEED);
        (void)sys::fadvise(clip.fd(), 0, 0, POSIX_FADV_RANDOM);
        if (S_ISDIR(clip.status_.st_mode)) return fileError("无法打开文件", path, EISDIR);
        if (!S_ISREG(clip.status_.st_mode)) return unrecognizedFile(path);
        return clip;
    }

    const fs::path& path() const { return path_; }
    int fd() const { return fd_.get(); }
    const struct stat& status() const { return status_; }
    uint64_t size() const { return static_cast<uint64_t>(status_.st_size); }
    FdSource reader() const { return FdSource(fd_.get(), size(), path_); }

    ErrorOr<void> refresh()
    {
        status_ = KV_TRY(onFile(sys::fstat(fd_.get()), "无法读取文件", path_));
        return {};
    }

    ErrorOr<std::vector<Box>> topLevel() const
    {
        FdSource source = reader();
        return scanTopLevel(source);
    }

    ErrorOr<void> write(ByteSpan bytes, uint64_t offset) const
    {
        return onFile(sys::writeAt(fd_.get(), bytes.data(), bytes.size(), offset), "无法写入文件", path_);
    }

    ErrorOr<Bytes> read(uint64_t offset, size_t length) const
    {
        Bytes bytes(length);
        if (KV_TRY(onFile(sys::readAt(fd_.get(), bytes.data(), length, offset), "无法读取文件", path_)) != length)
            return damaged("文件比原地修改的记录短");
        return bytes;
    }

    ErrorOr<void> setType(uint64_t boxOffset, uint32_t type) const
    {
        uint8_t bytes[4];
        storeU32(bytes, type);
        return write(ByteSpan(bytes, 4), boxOffset + 4);
    }

    ErrorOr<uint32_t> typeAt(uint64_t boxOffset) const { return loadU32(KV_TRY(read(boxOffset + 4, 4)).data()); }

    ErrorOr<void> flush() const { return onFile(sys::fsync(fd_.get()), "无法写入文件", path_); }

    ErrorOr<void> resize(uint64_t length)
    {
        KV_TRY(onFile(sys::ftruncate(fd_.get(), length), "无法写入文件", path_));
        return refresh();
    }

    // The modification time, which file browsers sort clips by; the access time is left as reading it made it.
    ErrorOr<void> setModified(const struct timespec& modified)
    {
        const struct timespec times[2] = {{0, UTIME_OMIT}, modified};
        KV_TRY(onFile(sys::futimens(fd_.get(), times), "无法设置文件时间", path_));
        KV_TRY(flush());
        return refresh();
    }

private:
    Clip(fs::path path, Fd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

    fs::path path_;
    Fd fd_;
    struct stat status_ {};
};

// Writes each patch's side (rewritten or original) where it differs from the file (everywhere,
// unread, when the file is known to hold the other side); flushes.
ErrorOr<void> applyPatches(const Clip& clip, const std::vector<UndoPatch>& patches, bool forward, bool known = false)
{
    for (const UndoPatch& patch : patches) {
        const Bytes& want = forward ? patch.rewritten : patch.original;
        if (known || KV_TRY(clip.read(patch.offset, want.size())) != want) KV_TRY(clip.write(want, patch.offset));
    }
    return clip.flush();
}

ErrorOr<void> setTypeIfNot(const Clip& clip, uint64_t boxOffset, uint32_t type)
{
    if (KV_TRY(clip.typeAt(boxOffset)) == type) return {};
    KV_TRY(clip.setType(boxOffset, type));
    return clip.flush();
}

// From a durable record on: the patches, the new moov on, the old one off, the original's times.
// Each step is skipped where it is done already, so a run cut short is completed by the next
// (fresh: the clip is known to hold every patch's original).
ErrorOr<void> finish(Clip& clip, const UndoRecord& record, bool fresh = false)
{
    KV_TRY(applyPatches(clip, record.patches, true, fresh));
    for (const UndoPatch& patch : record.patches) {
        if (KV_TRY(clip.read(patch.offset, patch.rewritten.size())) != patch.rewritten)
            return exportError(ExportErrorCode::verifyFailed, "原地写入的时间码读回时与预期不符");
    }
    KV_TRY(setTypeIfNot(clip, record.newMoovOffset, fourcc("moov")));
    KV_TRY(setTypeIfNot(clip, record.oldMoovOffset, fourcc("free")));
    return clip.setModified(record.modified);
}

// Back to the original: the old moov on, the new one off, the patches reverted and checked against
// the record's hash, everything appended cut off, the original's times.
ErrorOr<void> undo(Clip& clip, const InPlaceTrace& trace)
{
    if (trace.record) {
        const UndoRecord& record = *trace.record;
        KV_TRY(setTypeIfNot(clip, record.oldMoovOffset, fourcc("moov")));
        if (record.newMoovOffset + 8 <= clip.size()) KV_TRY(setTypeIfNot(clip, record.newMoovOffset, fourcc("free")));
        KV_TRY(applyPatches(clip, record.patches, false));
        FdSource reader = clip.reader();
        const Sha256 hash =
            KV_TRY(hashTouchedBytes(reader, record.originalLength, record.patches, record.oldMoovOffset));
        if (hash != record.originalHash)
            return exportError(ExportErrorCode::verifyFailed,
                               "文件" + quotedName(clip.path()) +
                                   "恢复后的内容与原地修改的记录不符（文件可能在修改后被其他程序改动过）");
    }
    // Whatever the size seems to be: a failed fstat may have left it unknown.
    KV_TRY(clip.resize(trace.originalLength));
    KV_TRY(clip.flush());
    return clip.setModified(trace.modified);
}

// The new moov as appended (typed free) must parse, and every chunk must lie in the media data.
ErrorOr<void> checkAppended(const Clip& clip, const InPlacePlan& plan, const Bytes& appended, uint64_t appendAt)
{
    const Bytes back = KV_TRY(clip.read(appendAt, appended.size()));
    if (back != appended) return exportError(ExportErrorCode::verifyFailed, "追加的盒子读回时与预期不符");
    Bytes moov(back.begin() + static_cast<std::ptrdiff_t>(plan.newMoovOffset - appendAt),
               back.begin() + static_cast<std::ptrdiff_t>(plan.newMoovOffset - appendAt + plan.newMoovSize));
    storeU32(&moov[4], fourcc("moov"));
    const Movie movie = KV_TRY(parseMovie(std::move(moov)));
    std::vector<DataPlacement> data;
    for (const Box& box : plan.mdats) data.push_back({box, box.offset});
    const DataMap map(data);
    for (const Track& track : movie.tracks)
        for (uint64_t offset : track.chunks.offsets) KV_TRY(map.map(offset));
    return {};
}

// A first rewrite in place: what the plan says, appended and then applied.
ErrorOr<void> rewriteFresh(Clip& clip, const std::vector<MetadataItem>& items, ExportControl& control)
{
    auto probed = KV_TRY(probeBoxSource(clip.path()));
    if (!probed) return notInPlace("不是可以原地修改的 MP4/MOV 文件（可能是分段的 MP4）");
    if (probed->stat.st_dev != clip.status().st_dev || probed->stat.st_ino != clip.status().st_ino)
        return damaged("文件" + quotedName(clip.path()) + "在处理时被替换");
    const uint64_t length = clip.size();
    FdSource reader = clip.reader();
    auto planned =
        KV_TRY(planInPlace({probed->content.movie, probed->content.topLevel, reader}, items, length + kUndoMarkerSize));
    if (auto* reason = std::get_if<std::string>(&planned)) return notInPlace(*reason);
    const InPlacePlan& plan = std::get<InPlacePlan>(planned);

    UndoRecord record;
    record.originalLength = length;
    record.modified = clip.status().st_mtim;
    record.oldMoovOffset = plan.oldMoov.offset;
    record.newMoovOffset = plan.newMoovOffset;
    for (const Patch& patch : plan.patches) {
        const ByteSpan original = patch.originalSpan(), rewritten = patch.span();
        record.patches.push_back(
            {patch.offset, Bytes(original.begin(), original.end()), Bytes(rewritten.begin(), rewritten.end())});
    }
    record.originalHash = KV_TRY(hashTouchedBytes(reader, length, record.patches, record.oldMoovOffset, true));
    const Bytes marker = buildUndoMarker(length, clip.status());
    Bytes appended = plan.appended;
    const Bytes recordBox = buildUndoRecord(record);
    appended.insert(appended.end(), recordBox.begin(), recordBox.end());
    // What was planned from must be the clip as it is: not changed while it was read, nor replaced.
    KV_TRY(checkSourceUnchanged(clip.path(), clip.fd(), clip.status()));
    if (control.isCancelled()) return cancelledError();
    control.setProgress(0.2);

    // The marker first, flushed, so that whatever follows can be found and cut off again; then the
    // room for the rest, flushed: zeros read as one box running to the end, so the file stays
    // readable however little of what follows reaches the disk.
    const InPlaceTrace trace{length, record.modified, std::nullopt};
    auto appendAndCheck = [&]() -> ErrorOr<void> {
        KV_TRY(clip.write(marker, length));
        KV_TRY(clip.flush());
        KV_TRY(clip.resize(plan.appendAt + appended.size()));
        KV_TRY(clip.flush());
        KV_TRY(clip.write(appended, plan.appendAt));
        KV_TRY(clip.flush());
        return checkAppended(clip, plan, appended, plan.appendAt);
    };
    if (auto r = appendAndCheck(); r.isError() || control.isCancelled()) {
        (void)undo(clip, trace);
        return r.isError() ? r.releaseError() : cancelledError();
    }
    control.setProgress(0.5);

    const InPlaceTrace recorded{length, record.modified, record};
    if (auto r = finish(clip, record, true); r.isError()) {
        (void)undo(clip, recorded);
        return r.releaseError();
    }
    return {};
}

}  // namespace

ErrorOr<void> rewriteInPlace(const fs::path& path, const std::vector<MetadataItem>& items, ExportControl& control)
{
    if (control.isCancelled()) return cancelledError();
    Clip clip = KV_TRY(Clip::open(path));
    FdSource reader = clip.reader();
    auto scanned = scanTopLevel(reader);
    if (scanned.isError()) return inSourceFile(scanned.releaseError(), path);
    const auto trace = KV_TRY(findInPlaceTrace(reader, *scanned));
    if (trace && trace->record) {
        // Rewritten in place before: the first record stays, and a run cut short is completed.
        KV_TRY(finish(clip, *trace->record));
        control.setProgress(1.0);
        return {};
    }
    // An append cut short (what follows the marker was checked to be ours): no byte of the clip
    // was changed yet.
    if (trace) KV_TRY(undo(clip, *trace));
    KV_TRY(rewriteFresh(clip, items, control));
    control.setProgress(1.0);
    return {};
}

ErrorOr<bool> restoreInPlace(const fs::path& path)
{
    Clip clip = KV_TRY(Clip::open(path));
    FdSource reader = clip.reader();
    uint8_t first[8];
    if (KV_TRY(reader.readAt(first, sizeof first, 0)) < sizeof first || !looksLikeBoxFile(first)) return false;
    auto scanned = scanTopLevel(reader);
    if (scanned.isError()) return inSourceFile(scanned.releaseError(), path);
    const auto trace = KV_TRY(findInPlaceTrace(reader, *scanned));
    if (!trace) return false;
    KV_TRY(undo(clip, *trace));
    return true;
}

}  // namespace kelvatta
