#include "media/inplace/clip_state.h"

#include "media/base/media_error.h"
#include "media/boxes/box_reader.h"
#include "media/inplace/in_place_texts.h"

namespace kelvatta {
namespace {

bool sameTime(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether a proven record's every step is done: each patch written, the new moov on, the old one
// off and the original's time set.
ErrorOr<bool> isComplete(ByteSource& file, const struct stat& status, const UndoRecord& record,
                         const RecordProof& proof)
{
    if (!proof.all(PatchHolds::rewritten)) return false;
    const auto typeAt = [&](uint64_t box) -> ErrorOr<uint32_t> {
        uint8_t type[4];
        if (KV_TRY(file.readAt(type, 4, box + 4)) != 4)
            return damaged(Damage::recordDamaged, in_place_texts::recordShort());
        return loadU32(type);
    };
    if (KV_TRY(typeAt(record.newMoovOffset)) != fourcc("moov")) return false;
    if (KV_TRY(typeAt(record.oldMoovOffset)) != fourcc("free")) return false;
    return sameTime(status.st_mtim, record.modified);
}

// The reading of a proof that failed: a mismatch is the state changedSince; any other error (the clip
// cannot be read) stops the reading.
ErrorOr<ClipStateReading> unproven(Error error, ClipStateReading reading)
{
    if (!isExportError(error, ExportErrorCode::recordMismatch)) return error;
    reading.state = InPlaceState::changedSince;
    reading.mismatch = std::move(error);
    return reading;
}

}  // namespace

ErrorOr<ClipStateReading> readClipState(ByteSource& file, const struct stat& status, const std::filesystem::path& path)
{
    ClipStateReading reading;
    auto scanned = scanTopLevel(file);
    if (scanned.isError()) return inSourceFile(scanned.releaseError(), path);
    reading.topLevel = scanned.releaseValue();
    auto trace = findInPlaceTrace(file, reading.topLevel);
    if (trace.isError()) {
        // A marker that does not read whole, or not where it says: what the record says can no longer
        // be proven of the clip.
        switch (damageOf(trace.error())) {
        case Damage::recordDamaged: reading.state = InPlaceState::recordDamaged; return reading;
        case Damage::markerMoved:
            return unproven(recordMismatch(path, {RecordMismatch::Kind::markerMoved}), std::move(reading));
        default: return inSourceFile(trace.releaseError(), path);
        }
    }
    reading.trace = trace.releaseValue();
    if (!reading.trace) return reading;
    const InPlaceTrace& found = *reading.trace;
    switch (traceState(found)) {
    case TraceState::damaged: reading.state = InPlaceState::recordDamaged; return reading;
    case TraceState::cutShort:
        if (auto proven = proveCutShort(file, reading.topLevel, found, path); proven.isError())
            return unproven(proven.releaseError(), std::move(reading));
        reading.state = InPlaceState::notCommitted;
        return reading;
    case TraceState::recorded:
    case TraceState::restoring: break;
    }
    auto proof = proveRecord(file, reading.topLevel, found, path);
    if (proof.isError()) return unproven(proof.releaseError(), std::move(reading));
    reading.proof = proof.releaseValue();
    if (traceState(found) == TraceState::restoring) reading.state = InPlaceState::restoring;
    else if (KV_TRY(isComplete(file, status, *found.record, *reading.proof))) reading.state = InPlaceState::complete;
    else reading.state = InPlaceState::cutShort;
    return reading;
}

bool needsFinishing(InPlaceState state)
{
    return state == InPlaceState::notCommitted || state == InPlaceState::cutShort || state == InPlaceState::restoring;
}

}  // namespace kelvatta
