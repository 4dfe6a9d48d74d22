// The window module's entry (see window_module.h): the program's entry around a run of the window,
// on the module's copy of the core.
#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "app/terminal_status.h"
#include "app/window_module.h"
#include "app/window_shell.h"
#include "media/export/export_session.h"

extern "C" __attribute__((visibility("default"))) int kelvatta_window_main(char* program, const char* const* paths,
                                                                           size_t count)
{
    static_assert(std::is_same_v<decltype(&kelvatta_window_main), kelvatta::WindowEntry>);
    kelvatta::printLogVisibly();
    const int status = kelvatta::runWindow(program, std::vector<std::string>(paths, paths + count));
    // The exports still finishing end soon; the program's exit cuts none of them off.
    kelvatta::joinExportThreads();
    return status;
}
