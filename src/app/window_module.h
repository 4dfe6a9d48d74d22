// The window is a module of its own (kelvatta-window.so, beside the program in lib/kelvatta/), loaded
// only when the program opens its window: Qt's Widgets, Gui and DBus and what they bring took most of
// the start of every command line run, which needs none of them. The module holds its own copy of the
// core, used by the window's batches only, and does what the program's entry does around a run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kelvatta {

// The name of the module's entry, which has the type WindowEntry: it runs the window with the paths
// as opened with it and returns the program's exit status once every export has ended.
inline constexpr const char* kWindowEntry = "kelvatta_window_main";
using WindowEntry = int (*)(char* program, const char* const* paths, size_t count);

// Loads the module and runs its entry. Where it cannot be loaded, says why on standard error and
// returns kExitFailure.
int runWindowModule(char* program, const std::vector<std::string>& paths);

}  // namespace kelvatta
