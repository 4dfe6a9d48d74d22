// The program's log: whole lines on standard output, flushed as they are printed.
#pragma once

#include <functional>
#include <string_view>

namespace kelvatta {

// Prints text and a newline to standard output with one write, so lines from several threads never mix
// mid-line and a reader at the other end of a pipe sees each line at once.
void printLine(std::string_view text);

// While a sink is installed, lines go to it instead of standard output (tests read the log this way).
// The sink is called under the log's lock, one line at a time.
using LogSink = std::function<void(std::string_view)>;
void setLogSink(LogSink sink);

}  // namespace kelvatta
