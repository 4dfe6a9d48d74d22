// The program: without arguments, or with --window and the paths a menu entry's "Open with" hands
// over, it opens its window; with paths (or any other argument) it runs the command line, which needs
// no display. Built without the window, it is the command line only.
#include <malloc.h>
#include <unistd.h>

#include <string>

#include "app/command_line.h"
#include "app/terminal_status.h"
#include "media/export/export_session.h"
#include "platform/standard_streams.h"
#include "platform/sys.h"
#ifdef KELVATTA_WITH_WINDOW
#include "app/window_module.h"
#endif

int main(int argc, char** argv)
{
    // One malloc arena for all threads: the program has a handful, and each further arena reserves
    // 64 MiB of address space (twice that while it is made), which under a limit on it (ulimit -v)
    // left no room for the next thread's stack, at random.
    (void)::mallopt(M_ARENA_MAX, 1);
    if (auto opened = kelvatta::openClosedStandardStreams(); opened.isError()) {
        // Whatever of standard error is open; nothing is run with a descriptor a file could take.
        const std::string line = "kelvatta：" + opened.error().localizedDescription + "\n";
        (void)kelvatta::sys::writeAll(STDERR_FILENO, line.data(), line.size());
        return kelvatta::kExitUsage;
    }
    // Names of files print with their control characters shown, never obeyed by a terminal.
    kelvatta::printLogVisibly();
#ifdef KELVATTA_WITH_WINDOW
    const auto window = kelvatta::windowPaths(argc, argv);
    const int status = window ? kelvatta::runWindowModule(argv[0], *window) : kelvatta::runCommandLine(argc, argv);
#else
    const int status = kelvatta::runCommandLine(argc, argv);
#endif
    // Both return once their batch has ended or been cancelled: the exports still finishing end soon,
    // and the program's exit cuts none of them off in the middle of a file.
    kelvatta::joinExportThreads();
    return status;
}
