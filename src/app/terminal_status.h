// One line at the bottom of the terminal that the command line rewrites in place while a batch runs.
// Shown only when standard error is a terminal. The log keeps standard output to itself: when both go
// to the same terminal, each log line is written with the status line taken away and put back, so the
// two never mix on screen.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace kelvatta {

class TerminalStatus {
public:
    TerminalStatus();
    // Takes the line away and gives the log back to printLogVisibly.
    ~TerminalStatus();
    TerminalStatus(const TerminalStatus&) = delete;
    TerminalStatus& operator=(const TerminalStatus&) = delete;

    // Shows text (cut to the terminal's width) in place of what the line showed.
    void show(std::string_view text);
    // Takes the line away.
    void clear();

private:
    void writeLine();  // caller holds mutex_
    void eraseLine();  // caller holds mutex_

    bool enabled_ = false;
    bool ownsLog_ = false;
    std::mutex mutex_;
    std::string shown_;
};

// visibleText(text) cut so that it takes fewer than columns cells of a terminal (East Asian wide
// characters take two).
std::string fitToColumns(std::string_view text, int columns);

// text as it may be printed: every control character a file name may hold (a line break that would
// forge a log line, an escape sequence a terminal would obey) and every byte that is not UTF-8 shown
// as \xHH, the rest (Chinese names included) as it is. Applied whether or not the output is a
// terminal: a log read later with cat or less reaches one as well.
std::string visibleText(std::string_view text);

// Has the program's log print every line through visibleText (see platform/log.h).
void printLogVisibly();

// text and a line break on standard error, as it is (what it quotes made visible, where it quotes any,
// by the caller).
void writeErrorLine(const std::string& text);

}  // namespace kelvatta
