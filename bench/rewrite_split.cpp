// Replaces one clip as the program does (VideoProcessor: the export session, then the rename over the
// clip) and says where the time went, for bench/replace.sh:
//   kelvatta_rewrite_split CLIP
// Every system call the rewrite makes passes sys's fault hook, which here only notes the time: the
// time from one call to the next goes to the first one's part. Reading the clip (the plan, until the
// output is made), copying (the media data and every write), the check (reading the output back),
// the flushes (fsync of the output and of its folder), and the rest (names, times, locks, the
// work between calls). Prints one line of seconds.
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>

#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/sys.h"
#include "rewrite/video_processor.h"

using namespace kelvatta;
using Clock = std::chrono::steady_clock;

namespace {

enum class Part { reading, copying, checking, flushing, rest };

class Split {
public:
    static int hook(sys::Call call, void* context)
    {
        static_cast<Split*>(context)->note(call);
        return 0;
    }

    void finish() { close(Clock::now()); }

    double seconds(Part part) const
    {
        auto found = parts_.find(part);
        return found == parts_.end() ? 0.0 : std::chrono::duration<double>(found->second).count();
    }

private:
    void note(sys::Call call)
    {
        std::lock_guard lock(mutex_);
        close(Clock::now());
        if (call == sys::Call::OpenUnnamed) written_ = true;
        current_ = partOf(call);
    }

    Part partOf(sys::Call call) const
    {
        switch (call) {
        case sys::Call::Read:
        case sys::Call::Fadvise: return written_ ? Part::checking : Part::reading;
        case sys::Call::Write:
        case sys::Call::CopyFileRange:
        case sys::Call::CloneRange:
        case sys::Call::Fallocate:
        case sys::Call::CowExtentSize: return Part::copying;
        case sys::Call::Fsync:
        case sys::Call::Writeback: return Part::flushing;
        default: return written_ ? Part::rest : Part::reading;
        }
    }

    void close(Clock::time_point now)
    {
        parts_[current_] += now - since_;
        since_ = now;
    }

    std::mutex mutex_;
    std::map<Part, Clock::duration> parts_;
    Part current_ = Part::reading;
    Clock::time_point since_ = Clock::now();
    bool written_ = false;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kelvatta_rewrite_split CLIP\n");
        return 1;
    }
    setLogSink([](std::string_view) {});
    markMainThread();
    Split split;
    sys::setFaultHook(&Split::hook, &split);
    std::optional<Result> result;
    VideoProcessor processor;
    processor.modifyTimecode(argv[1], false, [&](Result done) { result = std::move(done); });
    MainRunLoop::runUntil([&] { return result.has_value(); });
    split.finish();
    sys::setFaultHook(nullptr, nullptr);
    if (!result->isSuccess()) {
        std::fprintf(stderr, "%s\n", result->error().localizedDescription.c_str());
        return 1;
    }
    std::printf("reading %.3f copying %.3f checking %.3f flushing %.3f rest %.3f\n", split.seconds(Part::reading),
                split.seconds(Part::copying), split.seconds(Part::checking), split.seconds(Part::flushing),
                split.seconds(Part::rest));
    return 0;
}
