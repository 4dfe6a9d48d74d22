#include "media/sony/sidecar.h"

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <variant>

#include "media/sony/camera_xml.h"
#include "media/files/fd_source.h"
#include "media/base/media_error.h"
#include "media/files/output_file.h"
#include "media/sony/sony_texts.h"
#include "media/sony/top_level.h"
#include "platform/checked.h"
#include "platform/sys.h"
#include "media/files/replace_file.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

// Why a file by the sidecar's name is not read, from its type; none for a regular file.
SidecarLeftAlone notReadBecause(mode_t mode)
{
    if (S_ISREG(mode)) return SidecarLeftAlone::none;
    if (S_ISLNK(mode)) return SidecarLeftAlone::link;
    if (S_ISDIR(mode)) return SidecarLeftAlone::folder;
    return SidecarLeftAlone::notAFile;
}

SidecarOutcome leftAlone(const fs::path& path, SidecarLeftAlone why)
{
    return SidecarOutcome{SidecarOutcome::Kind::leftAlone, path, why};
}

struct SidecarText {
    std::string text;
    struct stat status {};
    Fd fd;
};

// The sidecar's text, or why it is left alone.
ErrorOr<std::variant<SidecarText, SidecarLeftAlone>> readSidecar(const fs::path& path)
{
    using Read = std::variant<SidecarText, SidecarLeftAlone>;
    SidecarText sidecar;
    // Read without marking it read, where this user may (its owner).
    auto fd = sys::open(path.string(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOATIME);
    if (fd.isError() && errnoOf(fd.error()) == EPERM) fd = sys::open(path.string(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd.isError() && errnoOf(fd.error()) == ELOOP) return Read(notReadBecause(S_IFLNK));
    sidecar.fd = KV_TRY(onFile(std::move(fd), FileAction::open, path));
    sidecar.status = KV_TRY(onFile(sys::fstat(sidecar.fd.get()), FileAction::read, path));
    if (auto why = notReadBecause(sidecar.status.st_mode); why != SidecarLeftAlone::none) return Read(why);
    const auto size = checkedCast<size_t>(sidecar.status.st_size);
    if (size == 0u) return Read(SidecarLeftAlone::empty);
    if (!size || *size > kMaxCameraXmlSize) return Read(SidecarLeftAlone::tooLarge);
    sidecar.text.resize(*size);
    const size_t n =
        KV_TRY(onFile(sys::readAt(sidecar.fd.get(), sidecar.text.data(), *size, 0), FileAction::read, path));
    sidecar.text.resize(n);
    return Read(std::move(sidecar));
}

ErrorOr<void> writeFile(const fs::path& path, const SidecarText& sidecar, bool realFolder)
{
    auto out = KV_TRY(OutputFile::create(path, realFolder));
    KV_TRY(onFile(sys::writeAt(out.fd(), sidecar.text.data(), sidecar.text.size(), 0), FileAction::write, path));
    return out.commit(sidecar.status, sidecar.fd.get());
}

// The error of a sidecar whose table never shows start.
Error refusedBy(const fs::path& sidecar, const Timecode& start, const StartRefusal& why)
{
    Error error = startRefused(start, why);
    error.localizedDescription = sony_texts::inSidecar(sidecar, error.localizedDescription);
    return error;
}

// Whether a regular file at destination, in a real folder, already holds text: a copy written by an
// earlier run, left as it is.
ErrorOr<bool> alreadyHolds(const fs::path& destination, const std::string& text)
{
    const auto folder = KV_TRY(
        onFile(sys::lstat(destination.parent_path().string()), FileAction::readFolder, destination.parent_path()));
    if (!S_ISDIR(folder.st_mode)) return false;
    auto status = sys::lstat(destination.string());
    if (status.isError() && errnoOf(status.error()) == ENOENT) return false;
    if (!S_ISREG(KV_TRY(onFile(std::move(status), FileAction::read, destination)).st_mode)) return false;
    auto read = KV_TRY(readSidecar(destination));
    const auto* held = std::get_if<SidecarText>(&read);
    return held && held->text == text;
}

// A temporary sidecar that a run of this program was killed with (before or after naming it, before
// its rename), holding what this one is about to write or the start of it: removed, since it is
// written again whole. Anything else by that name is left, and refused when the file is made.
ErrorOr<void> removeOwnLeftover(const fs::path& temporary, const std::string& text)
{
    auto status = sys::lstat(temporary.string());
    if (status.isError() && errnoOf(status.error()) == ENOENT) return {};
    const auto found = KV_TRY(onFile(std::move(status), FileAction::read, temporary));
    if (!S_ISREG(found.st_mode) || static_cast<uint64_t>(found.st_size) > text.size()) return {};
    auto read = KV_TRY(readSidecar(temporary));
    const auto* left = std::get_if<SidecarText>(&read);
    const bool empty = std::holds_alternative<SidecarLeftAlone>(read) && found.st_size == 0;
    if (!empty && !(left && text.starts_with(left->text))) return {};
    return onFile(sys::unlink(temporary.string()), FileAction::remove, temporary);
}

}  // namespace

ErrorOr<std::variant<std::string, SidecarOutcome>> readSidecarText(const Sidecar& sidecar)
{
    using Read = std::variant<std::string, SidecarOutcome>;
    if (sidecar.leftAlone != SidecarLeftAlone::none) return Read(leftAlone(sidecar.path, sidecar.leftAlone));
    auto read = KV_TRY(readSidecar(sidecar.path));
    if (auto* why = std::get_if<SidecarLeftAlone>(&read)) return Read(leftAlone(sidecar.path, *why));
    return Read(std::move(std::get<SidecarText>(read).text));
}

ErrorOr<void> checkSidecarStart(const fs::path& clip, const Timecode& start)
{
    // Every counting shows 00:00:00:00: nothing to read for it.
    if (start == Timecode{}) return {};
    const auto sidecar = KV_TRY(findSidecar(clip));
    if (!sidecar || sidecar->leftAlone != SidecarLeftAlone::none) return {};
    auto read = KV_TRY(readSidecar(sidecar->path));
    const auto* text = std::get_if<SidecarText>(&read);
    if (!text) return {};
    std::optional<StartRefusal> refusal;
    (void)rebaseCameraXml(text->text, start, &refusal);
    if (refusal) return refusedBy(sidecar->path, start, *refusal);
    return {};
}

ErrorOr<bool> sidecarReadsStart(const fs::path& clip, const Timecode& start)
{
    const auto sidecar = KV_TRY(findSidecar(clip));
    if (!sidecar || sidecar->leftAlone != SidecarLeftAlone::none) return true;
    auto read = KV_TRY(readSidecar(sidecar->path));
    const auto* text = std::get_if<SidecarText>(&read);
    if (!text) return true;
    const auto rebased = rebaseCameraXml(text->text, start);
    return !rebased || !rebased->changed;
}

std::optional<std::string> leftAloneLine(const SidecarOutcome& outcome)
{
    if (outcome.kind != SidecarOutcome::Kind::leftAlone) return std::nullopt;
    return sony_texts::leftAloneLine(outcome.path, outcome.why);
}

ErrorOr<SidecarOutcome> restoreSidecar(const LockedClip& clip)
{
    const auto sidecar = KV_TRY(findSidecar(clip.path()));
    if (!sidecar) return SidecarOutcome{};
    // The clip as it is now, restored: read through the descriptor that holds its lock.
    const auto status = KV_TRY(onFile(sys::fstat(clip.fd()), FileAction::read, clip.path()));
    FdSource reader(clip.fd(), static_cast<uint64_t>(status.st_size), clip.path());
    const auto start = KV_TRY(cameraXmlStartOf(reader, KV_TRY(scanTopLevel(reader))));
    if (!start) return SidecarOutcome{};
    return writeRebasedSidecar(*sidecar, std::nullopt, *start);
}

ErrorOr<std::optional<Sidecar>> findSidecar(const fs::path& clip)
{
    const std::string stem = clip.stem().string();
    std::optional<Sidecar> found;
    for (const char* suffix : {"M01.XML", "M01.xml"}) {
        const fs::path candidate = clip.parent_path() / (stem + suffix);
        auto status = sys::lstat(candidate.string());
        if (status.isError()) {
            if (errnoOf(status.error()) == ENOENT) continue;
            return fileError(FileAction::read, candidate, errnoOf(status.error()));
        }
        // A regular file under either spelling is the sidecar; else the first thing by its name.
        Sidecar sidecar{candidate, notReadBecause(status->st_mode)};
        if (sidecar.leftAlone == SidecarLeftAlone::none) return std::optional<Sidecar>(std::move(sidecar));
        if (!found) found = std::move(sidecar);
    }
    return found;
}

ErrorOr<SidecarOutcome> writeRebasedSidecar(const Sidecar& sidecar, const std::optional<fs::path>& destination,
                                            const Timecode& start)
{
    if (sidecar.leftAlone != SidecarLeftAlone::none) return leftAlone(sidecar.path, sidecar.leftAlone);
    auto read = KV_TRY(readSidecar(sidecar.path));
    if (auto* why = std::get_if<SidecarLeftAlone>(&read)) return leftAlone(sidecar.path, *why);
    SidecarText& text = std::get<SidecarText>(read);
    std::optional<StartRefusal> refusal;
    auto rebased = rebaseCameraXml(text.text, start, &refusal);
    if (refusal) return refusedBy(sidecar.path, start, *refusal);
    if (!rebased) return leftAlone(sidecar.path, SidecarLeftAlone::tableNotUnderstood);
    if (!destination && !rebased->changed) return SidecarOutcome{SidecarOutcome::Kind::unchanged, sidecar.path, {}};
    text.text = std::move(rebased->text);
    if (destination && KV_TRY(alreadyHolds(*destination, text.text)))
        return SidecarOutcome{SidecarOutcome::Kind::unchanged, *destination, {}};
    if (destination) {
        KV_TRY(writeFile(*destination, text, true));
        return SidecarOutcome{SidecarOutcome::Kind::written, *destination, {}};
    }
    const fs::path temporary = temporaryPath(sidecar.path);
    KV_TRY(removeOwnLeftover(temporary, text.text));
    KV_TRY(writeFile(temporary, text, false));
    if (auto replaced = replaceByRename(temporary, sidecar.path); replaced.isError()) {
        (void)sys::unlink(temporary.string());
        return replaced.releaseError();
    }
    return SidecarOutcome{SidecarOutcome::Kind::written, sidecar.path, {}};
}

}  // namespace kelvatta
