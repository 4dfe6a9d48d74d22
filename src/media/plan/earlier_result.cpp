#include "media/plan/earlier_result.h"

#include <fcntl.h>

#include <cerrno>
#include <optional>

#include "media/boxes/box_probe.h"
#include "media/files/fd_source.h"
#include "media/plan/moov_rewrite.h"
#include "platform/sys.h"

namespace kelvatta {

std::vector<TrackLength> trackLengths(const Movie& movie)
{
    std::vector<TrackLength> lengths;
    for (const Track& track : movie.tracks)
        lengths.push_back({track.handler, track.sampleCount, track.sampleDuration, track.mediaTimescale});
    return lengths;
}

bool sameTracks(const std::vector<TrackLength>& clip, const std::vector<TrackLength>& copy)
{
    if (copy.size() < clip.size()) return false;
    for (size_t i = 0; i < copy.size(); ++i) {
        if (i < clip.size() ? copy[i] != clip[i] : copy[i].handler != fourcc("tmcd")) return false;
    }
    return true;
}

namespace {

// A status, nothing where there is no such file; an error for any other failure (what cannot be read
// is not taken for a copy, nor for the absence of one).
ErrorOr<std::optional<struct stat>> statusOf(const std::filesystem::path& path)
{
    auto status = sys::lstat(path.string());
    if (!status.isError()) return std::optional<struct stat>(*status);
    if (errnoOf(status.error()) == ENOENT) return std::optional<struct stat>();
    return fileError("无法读取文件", path, errnoOf(status.error()));
}

// What was read of a file: a file that is not a box file this program reads is not a copy it made;
// a read that failed is an error.
template <typename T>
bool unreadable(const ErrorOr<T>& read)
{
    return read.isError() && read.error().domain == kExportErrorDomain;
}

}  // namespace

ErrorOr<bool> isEarlierResult(const ExportJob& job, const std::filesystem::path& output, const LockedClip& clip,
                              const std::function<bool(const std::vector<TrackLength>&)>& tracksMatch)
{
    if (job.realOutputFolder) {
        const auto folder = KV_TRY(statusOf(output.parent_path()));
        if (!folder || !S_ISDIR(folder->st_mode)) return false;
    }
    const auto named = KV_TRY(statusOf(output));
    if (!named || !S_ISREG(named->st_mode) || !sameModificationTime(*named, clip.status())) return false;
    const Fd fd = KV_TRY(openClip(output, O_RDONLY));
    const auto status = KV_TRY(onFile(sys::fstat(fd.get()), "无法读取文件", output));
    if (!sameFile(status, *named)) return false;
    FdSource reader(fd.get(), static_cast<uint64_t>(status.st_size), output);
    auto content = probeBoxContent(reader);
    if (content.isError()) return unreadable(content) ? ErrorOr<bool>(false) : content.releaseError();
    if (!*content) return false;
    const Movie& movie = (*content)->movie;
    auto plan = planOutput({movie, (*content)->topLevel, reader}, job.metadata);
    if (plan.isError()) return unreadable(plan) ? ErrorOr<bool>(false) : plan.releaseError();
    return plan->readsStart && tracksMatch(trackLengths(movie));
}

}  // namespace kelvatta
