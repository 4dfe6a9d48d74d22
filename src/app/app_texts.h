// The sentences of the program itself: the usage, the command line's errors, what a restore and
// `--show` print, the last line of a batch, and why the window cannot open. Qt-free, as the command
// line is. Made here only; the window's own texts are in state/texts.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "media/inplace/clip_state.h"
#include "media/survey/timecode_survey.h"

namespace kelvatta::app_texts {

// What --help prints and a usage error ends with.
const char* usageText();
// A line of the program's own on standard error: "kelvatta：" and what.
std::string programLine(const std::string& what);

// The command line's usage errors.
enum class Misuse {
    timecodeMissing,    // --timecode at the end
    showWithRestore,    // two actions
    windowWithOptions,  // --window with anything but paths
    noPaths,
    inPlaceWithSaveAs,
    restoreWithOptions,  // --restore with --save-as, --in-place or --timecode
    showWithOptions,     // --show likewise
};
std::string misuse(Misuse what);
std::string unknownOption(const std::string& option);
// What is wrong with the value of --timecode: its form, or the field out of range.
enum class TimecodeFault { form, hours, minutes, seconds };
std::string badTimecode(const std::string& value, TimecodeFault fault);
std::string cannotReach(const std::string& path, const std::string& reason);
std::string noWindowBuilt();

// A batch stopped by a signal, while its line is shown, and before it started.
std::string cancelling();
std::string interruptedBeforeStart();
// The last line of a batch that had files the camera's rtmd timecodes were kept in, all done.
std::string allDone(int64_t total);
// The last line of a failed or interrupted batch, up to the files not started.
std::string notAllDone(bool interrupted, int64_t rewritten, const std::vector<std::filesystem::path>& failed,
                       int64_t cancelled);
// "；未开始 5 个：a、b、c 及另外 2 个" (the first named of left), "；未开始 0 个".
std::string notStarted(const std::vector<std::filesystem::path>& left, size_t named);
// "；其中 N 个文件的“rtmd”时间码保留了相机写入的值：a、b", nothing when there are none.
std::string rtmdKept(const std::vector<std::filesystem::path>& files);

// --restore.
std::string restoreFailed(const std::string& reason);
std::string noRecord(const std::filesystem::path& clip);
std::string restored(const std::filesystem::path& clip);
std::string sidecarRestored(const std::filesystem::path& sidecar);
std::string restoreInterrupted(int restored);
std::string noneRestored();

// --show: a clip's lines.
std::string fileLine(const std::filesystem::path& clip);
std::string readerLine(const std::string& reader);
// What a clip says of an earlier rewrite in place, and what finishes it; nothing where it says nothing.
std::optional<std::string> inPlaceLine(InPlaceState state);
std::string rateLine(const std::string& rate, const std::string& counting);
std::string placeLine(const TimecodePlace& place);
// A place's jump as the consistency line names it, after those before it (first: none before).
std::string jumpPart(const TimecodePlace& place, bool first);
std::string notUnderstoodLine(const std::string& name);
// Whether the places agree (nothing where it cannot be told), the jumps (jumpPart) and the places
// that could not be compared.
std::string consistencyLine(std::optional<bool> agree, const std::string& jumps,
                            const std::vector<std::string>& uncompared);
std::string unreadableLine(const std::string& reason);

// The window.
std::string cannotOpenWindow(const std::string& reason);
// What the program does without a window, after cannotOpenWindow.
std::string withoutWindow();
std::string noDisplayServer(const std::string& named);  // named: the display variables set, or empty
std::string noDisplaySet();
std::string platformsWithoutDisplay(const std::string& platforms);
std::string noOwnPath();
std::string noEntry(const std::filesystem::path& module, const char* entry);

}  // namespace kelvatta::app_texts
