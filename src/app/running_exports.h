// The export sessions of a run, followed from their making until their export has ended, so that the
// command line can show how far the running ones are and cancel them on an interrupt. It plugs into
// VideoProcessor as its session factory, around the program's own sessions.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "rewrite/video_processor.h"

namespace kelvatta {

class RunningExports : public std::enable_shared_from_this<RunningExports> {
public:
    static std::shared_ptr<RunningExports> create() { return std::shared_ptr<RunningExports>(new RunningExports); }

    // Makes sessions with inner and follows them. Usable from any thread, as long as the registry
    // lives (the factory holds it).
    VideoProcessor::SessionFactory sessionFactory(VideoProcessor::SessionFactory inner = makeExportSession);

    struct Export {
        std::filesystem::path source;
        double progress = 0;  // 0 to 1
    };
    // The exports started and not yet ended, in the order they started.
    std::vector<Export> running() const;

    // The clips whose exports left their rtmd timecodes as the camera wrote them, in the order they
    // ended.
    std::vector<std::filesystem::path> rtmdKept() const;

    // Cancels every session made so far and, from now on, each new one as it is made: no export
    // writes anything after this has returned, apart from the ends of those already running.
    void cancelAll();

private:
    RunningExports() = default;

    struct Entry {
        long id = 0;
        std::filesystem::path source;
        std::weak_ptr<ExportSession> session;
        bool started = false;
    };
    class TrackedSession;

    void markStarted(long id);
    void noteRtmdKept(long id);
    void forget(long id);

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<std::filesystem::path> rtmdKept_;
    long nextId_ = 1;
    bool cancelled_ = false;
};

}  // namespace kelvatta
