#include "app/window_module.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "app/app_texts.h"
#include "app/command_line.h"
#include "app/terminal_status.h"

namespace kelvatta {

namespace {

// Where the module lies, as the program's own place says: in the build as installed alike.
std::filesystem::path modulePath()
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return program.parent_path() / KELVATTA_WINDOW_MODULE;
}

int cannotOpen(const std::string& why)
{
    writeErrorLine(app_texts::cannotOpenWindow(why));
    return kExitFailure;
}

}  // namespace

int runWindowModule(char* program, const std::vector<std::string>& paths)
{
    const std::filesystem::path path = modulePath();
    if (path.empty()) return cannotOpen(app_texts::noOwnPath());
    // Loaded for good: the program ends with the window, and its threads run the module's code until then.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* why = ::dlerror();
        return cannotOpen(why ? why : path.string());
    }
    const auto entry = reinterpret_cast<WindowEntry>(::dlsym(module, kWindowEntry));
    if (!entry) return cannotOpen(app_texts::noEntry(path, kWindowEntry));
    std::vector<const char*> list;
    list.reserve(paths.size());
    for (const std::string& item : paths) list.push_back(item.c_str());
    return entry(program, list.data(), list.size());
}

}  // namespace kelvatta
