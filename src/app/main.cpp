// The program: without arguments it opens its window; with paths (or any other argument) it runs
// the command line, which needs no display. Built without the window, it is the command line only.
#include "app/command_line.h"
#ifdef KELVATTA_WITH_WINDOW
#include "app/window_shell.h"
#endif

int main(int argc, char** argv)
{
#ifdef KELVATTA_WITH_WINDOW
    if (argc <= 1) return kelvatta::runWindow(argc, argv);
#endif
    return kelvatta::runCommandLine(argc, argv);
}
