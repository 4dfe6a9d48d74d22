#include "media/inplace/space_advice.h"

#include <fcntl.h>
#include <sys/statfs.h>

#include <cstdio>
#include <variant>

#include "media/boxes/box_probe.h"
#include "media/files/fd_source.h"
#include "media/inplace/undo_record.h"
#include "media/plan/moov_rewrite.h"
#include "media/inplace/in_place_texts.h"
#include "platform/checked.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

// "2.1 GB", "250 KB": decimal units, as file managers show free space.
std::string amount(uint64_t bytes)
{
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1000 && unit + 1 < std::size(units)) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 || value >= 100 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

// Whether a rewrite in place of the clip read through file would take it (its layout allows one).
bool layoutAllowsInPlace(ByteSource& file, const StartTimecode& start)
{
    auto probed = probeBoxContent(file);
    if (probed.isError() || !*probed) return false;
    const BoxContent& content = **probed;
    const auto appendAt = checkedAdd<uint64_t>(file.size(), kUndoMarkerSize);
    if (!appendAt) return false;
    auto planned = planInPlace({content.movie, content.topLevel, file}, {MetadataItem::timecode(start)}, *appendAt);
    return !planned.isError() && std::holds_alternative<InPlacePlan>(*planned);
}

}  // namespace

std::string spaceAdvice(const std::filesystem::path& clip, const std::optional<StartTimecode>& inPlaceStart)
{
    auto fd = openClip(clip, O_RDONLY);
    if (fd.isError()) return {};
    const auto status = sys::fstat(fd->get());
    const auto filesystem = sys::fstatfs(fd->get());
    if (status.isError() || filesystem.isError()) return {};
    const auto available = checkedMul<uint64_t>(filesystem->f_bavail, static_cast<uint64_t>(filesystem->f_frsize));
    if (!available) return {};
    const auto size = static_cast<uint64_t>(status->st_size);
    FdSource file(fd->get(), size, clip);
    return in_place_texts::replaceSpace(amount(size), amount(*available),
                                        inPlaceStart && layoutAllowsInPlace(file, *inPlaceStart));
}

}  // namespace kelvatta
