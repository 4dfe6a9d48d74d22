#include "timecode/sidecar.h"

#include <fcntl.h>

#include <cerrno>
#include <string>

#include "media/camera_xml.h"
#include "media/fd_source.h"
#include "media/media_error.h"
#include "media/output_file.h"
#include "media/top_level.h"
#include "platform/checked.h"
#include "platform/sys.h"
#include "timecode/replace_file.h"
#include "timecode/video_processor.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

struct SidecarText {
    std::string text;
    struct stat status {};
    Fd fd;
};

// The sidecar's text; nothing when it is too large to be a camera's.
ErrorOr<std::optional<SidecarText>> readSidecar(const fs::path& path)
{
    SidecarText sidecar;
    sidecar.fd = KV_TRY(onFile(sys::open(path.string(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK), "无法打开文件", path));
    sidecar.status = KV_TRY(onFile(sys::fstat(sidecar.fd.get()), "无法读取文件", path));
    const auto size = checkedCast<size_t>(sidecar.status.st_size);
    if (!S_ISREG(sidecar.status.st_mode) || !size || *size > kMaxCameraXmlSize) return std::optional<SidecarText>();
    sidecar.text.resize(*size);
    const size_t n = KV_TRY(onFile(sys::readAt(sidecar.fd.get(), sidecar.text.data(), *size, 0), "无法读取文件", path));
    sidecar.text.resize(n);
    return std::optional<SidecarText>(std::move(sidecar));
}

ErrorOr<void> writeFile(const fs::path& path, const SidecarText& sidecar, bool realFolder)
{
    auto out = KV_TRY(OutputFile::create(path, realFolder));
    KV_TRY(onFile(sys::writeAt(out.fd(), sidecar.text.data(), sidecar.text.size(), 0), "无法写入文件", path));
    return out.commit(sidecar.status, sidecar.fd.get());
}

}  // namespace

ErrorOr<std::optional<fs::path>> restoreSidecar(const fs::path& clip)
{
    const auto sidecar = KV_TRY(findSidecar(clip));
    if (!sidecar) return std::optional<fs::path>();
    const Fd fd = KV_TRY(onFile(sys::open(clip.string(), O_RDONLY | O_NONBLOCK), "无法打开文件", clip));
    const auto status = KV_TRY(onFile(sys::fstat(fd.get()), "无法读取文件", clip));
    FdSource reader(fd.get(), static_cast<uint64_t>(status.st_size), clip);
    const auto start = KV_TRY(cameraXmlStartOf(reader, KV_TRY(scanTopLevel(reader))));
    if (!start) return std::optional<fs::path>();
    return writeRebasedSidecar(*sidecar, std::nullopt, *start);
}

ErrorOr<std::optional<fs::path>> findSidecar(const fs::path& clip)
{
    const std::string stem = clip.stem().string();
    for (const char* suffix : {"M01.XML", "M01.xml"}) {
        const fs::path candidate = clip.parent_path() / (stem + suffix);
        auto status = sys::lstat(candidate.string());
        if (status.isError()) {
            if (errnoOf(status.error()) == ENOENT) continue;
            return fileError("无法读取文件", candidate, errnoOf(status.error()));
        }
        if (S_ISREG(status->st_mode)) return std::optional<fs::path>(candidate);
    }
    return std::optional<fs::path>();
}

ErrorOr<std::optional<fs::path>> writeRebasedSidecar(const fs::path& sidecar,
                                                     const std::optional<fs::path>& destination, const Timecode& start)
{
    auto read = KV_TRY(readSidecar(sidecar));
    if (!read) return std::optional<fs::path>();
    auto rebased = rebaseCameraXml(read->text, start);
    if (!rebased || (!destination && !rebased->changed)) return std::optional<fs::path>();
    read->text = std::move(rebased->text);
    if (destination) {
        KV_TRY(writeFile(*destination, *read, true));
        return std::optional<fs::path>(*destination);
    }
    const fs::path temporary = sidecar.parent_path() / (std::string(kTemporaryPrefix) + sidecar.filename().string());
    KV_TRY(writeFile(temporary, *read, false));
    if (auto replaced = replaceByRename(temporary, sidecar); replaced.isError()) {
        (void)sys::unlink(temporary.string());
        return replaced.releaseError();
    }
    return std::optional<fs::path>(sidecar);
}

}  // namespace kelvatta
