// The program. With arguments it runs the command line; the window (which will open when no path is
// given) is not part of it yet.
#include "app/command_line.h"

int main(int argc, char** argv) { return kelvatta::runCommandLine(argc, argv); }
