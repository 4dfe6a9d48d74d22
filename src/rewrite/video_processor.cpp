#include "rewrite/video_processor.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <map>
#include <mutex>

#include "media/base/media_error.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/sys.h"
#include "media/files/replace_file.h"
#include "media/counting/timecode.h"
#include "media/inplace/space_advice.h"
#include "media/sony/sidecar.h"
#include "rewrite/rewrite_texts.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

Error processorError(long code, std::string description)
{
    return Error{std::string(kVideoProcessorErrorDomain), code, std::move(description)};
}

// True when any item (file, folder, or a link to one) exists at path.
bool itemExists(const fs::path& path) { return !sys::stat(path.string()).isError(); }

// mkdir -p: made with every missing parent; a folder already there counts as made.
ErrorOr<void> createDirectories(const fs::path& folder)
{
    auto made = sys::mkdir(folder.string(), 0777);
    if (!made.isError()) {
        // The new folder's entry must reach the disk with the files written into it.
        auto synced = sys::fsyncParentDirectory(folder);
        if (synced.isError()) return posixError(errnoOf(synced.error()), rewrite_texts::cannotCreateFolder(folder));
        return {};
    }
    const int err = errnoOf(made.error());
    if (err == EEXIST) {
        auto st = sys::stat(folder.string());
        if (!st.isError() && S_ISDIR(st->st_mode)) return {};
    }
    if (err == ENOENT && folder.has_parent_path() && folder.parent_path() != folder) {
        KV_TRY(createDirectories(folder.parent_path()));
        return createDirectories(folder);
    }
    return posixError(err, rewrite_texts::cannotCreateFolder(folder));
}

// The save-as folders this process made, and how many rewrites use each: one made for clips that
// needed no copy (found done already, or failed) is taken away again once no rewrite of this process
// uses it and nothing was put in it, so that a run leaves no empty folder beside the clips.
class SaveAsFolders {
public:
    // The folder made where it is missing (printed), and counted as used until release.
    ErrorOr<void> use(const fs::path& folder)
    {
        std::lock_guard lock(mutex_);
        Use& use = uses_[folder];
        if (!itemExists(folder)) {
            if (auto created = createDirectories(folder); created.isError()) {
                if (use.rewrites == 0) uses_.erase(folder);
                return created;
            }
            use.made = true;
            printLine(rewrite_texts::folderCreated(folder));
        }
        ++use.rewrites;
        return {};
    }
    // wrote: the rewrite put a file into the folder.
    void release(const fs::path& folder, bool wrote)
    {
        std::lock_guard lock(mutex_);
        auto it = uses_.find(folder);
        if (it == uses_.end()) return;
        it->second.wrote = it->second.wrote || wrote;
        if (--it->second.rewrites > 0) return;
        // Another program may have put something in it meanwhile: only an empty folder goes.
        if (it->second.made && !it->second.wrote) (void)sys::rmdir(folder.string());
        uses_.erase(it);
    }

private:
    struct Use {
        int rewrites = 0;
        bool made = false, wrote = false;
    };
    std::mutex mutex_;
    std::map<fs::path, Use> uses_;
};

SaveAsFolders& saveAsFolders()
{
    static auto* folders = new SaveAsFolders;  // never destroyed: a completion may come late
    return *folders;
}

// A file already at the output was most likely left by this program: say what it may be, that the
// clip is whole, and what to do. It is never deleted for the user. A file by the name of a result
// named apart from its clip (renamed, replace mode: C0001.mp4 for C0001.mkv) is as likely the user's.
Error withAdvice(Error error, bool saveAs, const fs::path& renamed, const fs::path& fileURL)
{
    if (error.domain != kPosixErrorDomain || error.code != EEXIST) return error;
    if (!saveAs && !renamed.empty() && error.localizedDescription.ends_with("：" + renamed.filename().string())) {
        error.localizedDescription += rewrite_texts::renamedTaken(fileURL, renamed);
        return error;
    }
    error.localizedDescription += rewrite_texts::outputTaken(saveAs);
    return error;
}

// Re-bases the camera's XML beside the clip once the clip itself is in place: over itself, or as a
// copy beside the new clip in the save-as folder. Prints the file written, or the sidecar left alone
// and why.
ErrorOr<void> updateSidecar(const fs::path& clip, bool saveAs, const fs::path& outputURL, const StartTimecode& start)
{
    auto outcome = [&]() -> ErrorOr<SidecarOutcome> {
        const auto sidecar = KV_TRY(findSidecar(clip));
        if (!sidecar) return SidecarOutcome{};
        const auto destination = saveAs ? std::optional<fs::path>(outputURL.parent_path() / sidecar->path.filename())
                                        : std::optional<fs::path>();
        return writeRebasedSidecar(*sidecar, destination, start.time);
    }();
    if (outcome.isError()) {
        Error e = outcome.releaseError();
        e.localizedDescription = rewrite_texts::sidecarNotUpdated(clip, e.localizedDescription);
        return e;
    }
    if (outcome->kind == SidecarOutcome::Kind::written) printLine(rewrite_texts::sidecarWritten(outcome->path));
    if (auto line = leftAloneLine(*outcome)) printLine(*line);
    return {};
}

// Says what an export finished first of what an earlier run left cut short.
void reportEarlierInPlace(const ExportSession& session, const fs::path& fileURL)
{
    if (auto line = rewrite_texts::earlierInPlace(session.earlierInPlace(), fileURL)) printLine(*line);
}

// Replacing a clip rewritten in place replaces its record with it: the way back is gone, and said.
void reportRecordDropped(const ExportSession& session, const fs::path& fileURL)
{
    if (auto line = rewrite_texts::recordDropped(session.earlierInPlace(), fileURL)) printLine(*line);
}

}  // namespace

VideoProcessor::VideoProcessor() : VideoProcessor(makeExportSession) {}

VideoProcessor::VideoProcessor(SessionFactory factory) : factory_(std::move(factory)) {}

fs::path VideoProcessor::outputURL(const fs::path& fileURL, bool saveAs)
{
    if (saveAs) return fileURL.parent_path() / fs::path(std::string(kSaveAsFolderName)) / fileURL.filename();
    return temporaryPath(fileURL);
}

std::optional<fs::path> VideoProcessor::mp4OutputURL(const fs::path& fileURL, bool saveAs)
{
    std::string extension = fileURL.extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".mp4" || extension == ".mov" || extension == ".m4v") return std::nullopt;
    fs::path name = fileURL.filename();
    name.replace_extension(".mp4");
    return outputURL(fileURL, saveAs).parent_path() / name;
}

void VideoProcessor::modifyTimecode(const fs::path& fileURL, bool saveAs, Completion completion) const
{
    const fs::path output = outputURL(fileURL, saveAs);
    if (saveAs) {
        const fs::path folder = output.parent_path();
        if (auto used = saveAsFolders().use(folder); used.isError()) {
            printLine(rewrite_texts::folderFailed(used.error().localizedDescription));
            completion(Result::failure(used.releaseError()));
            return;
        }
        completion = [folder, completion = std::move(completion)](Result result) {
            saveAsFolders().release(folder, result.isSuccess() && !result.wasAlreadyDone());
            completion(std::move(result));
        };
    }

    startExport(Request{factory_, timecode_}, fileURL, saveAs, inPlace_ && !saveAs, std::move(completion), true);
}

void VideoProcessor::startExport(const Request& request, const fs::path& fileURL, bool saveAs, bool inPlace,
                                 Completion completion, bool announce)
{
    const SessionFactory& factory = request.factory;
    std::shared_ptr<ExportSession> session = factory ? factory(fileURL, kExportPresetPassthrough) : nullptr;
    if (!session) {
        Error error = processorError(1, rewrite_texts::noSession());
        printLine(rewrite_texts::processFailed(error.localizedDescription));
        completion(Result::failure(std::move(error)));
        return;
    }
    const fs::path output = inPlace ? fileURL : outputURL(fileURL, saveAs);
    session->setOutputURL(output);
    if (!inPlace) session->setMP4OutputURL(mp4OutputURL(fileURL, saveAs).value_or(fs::path()));
    session->setOutputFileType(std::string(kFileTypeMPEG4));
    session->setMetadata({MetadataItem::timecode(request.timecode)});
    session->setRefusesLinkedOutputFolder(saveAs);
    session->setInPlace(inPlace);
    session->setKeepsSource(saveAs);

    if (announce) printLine(rewrite_texts::started(fileURL));
    // The handler only hands over to the main queue; it keeps the session alive until then.
    session->exportAsynchronously(
        [session, completion = std::move(completion), saveAs, inPlace, output, fileURL, request] {
            DispatchQueue::main().async([session, completion, saveAs, inPlace, output, fileURL, request] {
                reportEarlierInPlace(*session, fileURL);
                if (inPlace) handleInPlaceCompletion(session, completion, request, fileURL);
                else if (!finishIfAlreadyDone(*session, completion, request, saveAs, output, fileURL))
                    handleExportCompletion(session, completion, saveAs, output, fileURL, request.timecode,
                                           request.inPlaceTried);
            });
        });
}

bool VideoProcessor::finishIfAlreadyDone(const ExportSession& session, const Completion& completion,
                                         const Request& request, bool saveAs, const fs::path& outputURL,
                                         const fs::path& fileURL)
{
    if (session.error() || session.status() != static_cast<long>(ExportStatus::completed)) return false;
    switch (session.alreadyDone()) {
    case AlreadyDone::no: return false;
    case AlreadyDone::clip:
        printLine(rewrite_texts::alreadyStarts(request.timecode.text(), fileURL));
        // No copy was made: a sidecar copy would have nothing beside it. Replacing, the clip's own
        // sidecar is re-based where it does not agree.
        if (saveAs) {
            printLine(rewrite_texts::succeeded(fileURL));
            completion(Result::success(true));
            return true;
        }
        finishClip(completion, false, fileURL, fileURL, request.timecode, true);
        return true;
    case AlreadyDone::copy: {
        // A Matroska or AVI clip's copy has a name of its own, which only the export knows.
        const fs::path written = session.writtenURL().empty() ? outputURL : session.writtenURL();
        printLine(rewrite_texts::copyKept(written));
        finishClip(completion, true, written, fileURL, request.timecode, true);
        return true;
    }
    }
    return false;
}

bool VideoProcessor::reportUnfinished(const ExportSession& session, const Completion& completion, bool saveAs,
                                      const fs::path& renamed, const fs::path& fileURL,
                                      const std::optional<StartTimecode>& inPlaceStart)
{
    if (auto error = session.error()) {
        *error = withAdvice(std::move(*error), saveAs, renamed, fileURL);
        // A replace short of space: how much it needs and has, and whether --in-place would do.
        if (!saveAs && error->domain == kPosixErrorDomain && (error->code == ENOSPC || error->code == EDQUOT)) {
            if (const std::string advice = spaceAdvice(fileURL, inPlaceStart); !advice.empty())
                error->localizedDescription += rewrite_texts::spaceAdvice(advice);
        }
        printLine(rewrite_texts::exportFailed(error->localizedDescription));
        completion(Result::failure(*error));
        return true;
    }
    if (session.status() != static_cast<long>(ExportStatus::completed)) {
        Error error = processorError(2, rewrite_texts::exportIncomplete(session.status()));
        printLine(rewrite_texts::exportIncompleteLine(error.localizedDescription));
        completion(Result::failure(std::move(error)));
        return true;
    }
    return false;
}

void VideoProcessor::handleInPlaceCompletion(const std::shared_ptr<ExportSession>& session,
                                             const Completion& completion, const Request& request,
                                             const fs::path& fileURL)
{
    if (auto error = session->error(); error && isExportError(*error, ExportErrorCode::notInPlace)) {
        printLine(rewrite_texts::notInPlace(error->localizedDescription));
        Request ordinary = request;
        ordinary.inPlaceTried = true;
        startExport(ordinary, fileURL, false, false, completion, false);
        return;
    }
    if (finishIfAlreadyDone(*session, completion, request, false, fileURL, fileURL)) return;
    if (reportUnfinished(*session, completion, false, {}, fileURL)) return;
    printLine(rewrite_texts::inPlaceDone(fileURL));
    finishClip(completion, false, fileURL, fileURL, request.timecode);
}

void VideoProcessor::handleExportCompletion(const std::shared_ptr<ExportSession>& session, const Completion& completion,
                                            bool saveAs, const fs::path& outputURL, const fs::path& fileURL,
                                            const StartTimecode& timecode, bool inPlaceAsked)
{
    // A Matroska or AVI clip's result has a name of its own, which only the export knows.
    const fs::path written = session->writtenURL();
    const bool renamed = !written.empty() && written != outputURL;
    if (reportUnfinished(*session, completion, saveAs, renamed ? written : fs::path(), fileURL,
                         inPlaceAsked ? std::nullopt : std::optional<StartTimecode>(timecode)))
        return;
    if (!saveAs && renamed) {
        if (!removeReplacedClip(*session, completion, written, fileURL)) return;
    } else if (!saveAs) {
        if (!itemExists(outputURL)) {
            Error error = processorError(4, rewrite_texts::temporaryMissing());
            printLine(rewrite_texts::replaceFailed(error.localizedDescription));
            completion(Result::failure(std::move(error)));
            return;
        }
        auto replaced = replaceByRename(outputURL, fileURL);
        if (replaced.isError()) {
            printLine(rewrite_texts::replaceFailed(replaced.error().localizedDescription));
            completion(Result::failure(replaced.releaseError()));
            return;
        }
        printLine(rewrite_texts::replaced(fileURL));
        reportRecordDropped(*session, fileURL);
    }
    finishClip(completion, saveAs, renamed ? written : outputURL, fileURL, timecode);
}

bool VideoProcessor::removeReplacedClip(const ExportSession& session, const Completion& completion,
                                        const fs::path& result, const fs::path& fileURL)
{
    const auto read = session.sourceStatus();
    auto removed =
        read ? removeReplacedFile(result, fileURL, *read)
             : ErrorOr<void>(exportError(ExportErrorCode::sourceChanged, rewrite_texts::clipUnconfirmed(fileURL)));
    if (removed.isError()) {
        printLine(rewrite_texts::replaceFailed(removed.error().localizedDescription));
        completion(Result::failure(removed.releaseError()));
        return false;
    }
    printLine(rewrite_texts::newFileWritten(result));
    printLine(rewrite_texts::clipRemoved(fileURL));
    return true;
}

void VideoProcessor::finishClip(const Completion& completion, bool saveAs, const fs::path& outputURL,
                                const fs::path& fileURL, const StartTimecode& start, bool alreadyDone)
{
    if (auto sidecar = updateSidecar(fileURL, saveAs, outputURL, start); sidecar.isError()) {
        printLine(rewrite_texts::sidecarFailed(sidecar.error().localizedDescription));
        completion(Result::failure(sidecar.releaseError()));
        return;
    }
    printLine(rewrite_texts::succeeded(fileURL));
    completion(Result::success(alreadyDone));
}

}  // namespace kelvatta
