// rewrite_driver CLIP: rewrites one clip in replace mode through VideoProcessor and the program's
// export session, as one file of a batch is, and exits 0 on success, 1 on failure (2: usage). The
// crash test kills it at random instants and then looks at what the clip's name holds.
#include <unistd.h>

#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "platform/sys.h"
#include "rewrite/video_processor.h"

int main(int argc, char** argv)
{
    using namespace kelvatta;
    if (argc != 2) {
        const std::string usage = "usage: rewrite_driver CLIP\n";
        (void)sys::writeAll(STDERR_FILENO, usage.data(), usage.size());
        return 2;
    }
    markMainThread();
    std::optional<Result> result;
    VideoProcessor().modifyTimecode(argv[1], false, [&](Result r) { result = std::move(r); });
    MainRunLoop::runUntil([&] { return result.has_value(); });
    return result->isSuccess() ? 0 : 1;
}
