// Every mode meeting what any other left cut short: each writing mode of the built program killed
// (by strace) before each of its calls that write, flush, rename or date a file, then each mode run on
// what it left. Never an exit 0 over a clip whose places or per-frame timecodes disagree, never a
// refusal that changed a byte, never the way back lost without a line saying so.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "media/boxes/box_reader.h"
#include "media/survey/timecode_survey.h"
#include "support/process.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

const struct timespec kShot = {1577836800, 0};
const char* const kWrites =
    "pwrite64,fsync,ftruncate,fallocate,utimensat,rename,renameat2,linkat,unlink,unlinkat,"
    "mkdir,rmdir,copy_file_range";

// A clip, its sidecar and whatever else is in its folder, as a run left them.
struct Folder {
    std::map<std::string, std::string> files;  // name: bytes
    struct timespec modified {};               // the clip's

    friend bool operator<(const Folder& a, const Folder& b)
    {
        return std::tie(a.files, a.modified.tv_sec, a.modified.tv_nsec) <
               std::tie(b.files, b.modified.tv_sec, b.modified.tv_nsec);
    }
};

Folder read(const fs::path& dir)
{
    Folder folder;
    for (const std::string& name : entries(dir))
        if (fs::is_regular_file(dir / name)) folder.files[name] = readFile(dir / name);
    struct stat st {};
    if (::stat((dir / "C0001.MP4").c_str(), &st) == 0) folder.modified = st.st_mtim;
    return folder;
}

void place(const fs::path& dir, const Folder& folder)
{
    fs::remove_all(dir);
    fs::create_directory(dir);
    for (const auto& [name, bytes] : folder.files) {
        fs::create_directories((dir / name).parent_path());
        writeFile(dir / name, bytes);
    }
    EXPECT_TRUE(!fs::exists(dir / "C0001.MP4") || setTimes(dir / "C0001.MP4", folder.modified));
}

std::vector<std::string> argumentsOf(const std::string& mode, const fs::path& clip)
{
    return mode == "replace" ? std::vector<std::string>{clip} : std::vector<std::string>{"--" + mode, clip};
}

// How many calls of each kind that writes a clean run of the program makes.
std::map<std::string, int> writingCalls(const std::vector<std::string>& arguments, const fs::path& counts)
{
    std::map<std::string, int> calls;
    const std::string trace = std::string("trace=") + kWrites;
    const std::vector<std::string> strace = {"/usr/bin/strace", "-f", "-qq", "-c", "-U", "name,calls", "-o", counts};
    if (runProgram(with(strace, with({"-e", trace, kelvattaPath()}, arguments))).status != 0) return calls;
    std::istringstream table(readFile(counts));
    std::string name, line;
    int n = 0;
    while (std::getline(table, line))
        if (std::istringstream(line) >> name >> n && name != "total" && n > 0) calls[name] = n;
    return calls;
}

// Whether every rtmd frame of the clip counts on from its first (the fixture's 25 frames start on a
// whole second: HH:MM:SS:00 to HH:MM:SS:24).
bool framesCountOn(const TimecodePlace& place)
{
    const std::string first = place.first.value_or("");
    return !place.last ||
           (first.ends_with(":00") && place.last->ends_with(":24") && first.substr(0, 8) == place.last->substr(0, 8));
}

// Why the clip does not read 00:00:00:00 everywhere with every frame counting on from it (what a run
// that exits 0 must leave), or nothing.
std::string notAtStart(const fs::path& clip)
{
    // Nothing left of an append cut short: zeros read as a box of no type.
    const Bytes bytes = readBytes(clip);
    MemorySource file(bytes);
    const auto top = scanTopLevel(file);
    if (top.isError() || std::ranges::any_of(*top, [](const Box& box) { return box.type == 0; }))
        return "a box of no type";
    const auto survey = surveyTimecodes(clip);
    if (survey.isError()) return survey.error().localizedDescription;
    for (const TimecodePlace& place : survey->places) {
        if (place.first && *place.first != "00:00:00:00") return place.name + " " + *place.first;
        if (!framesCountOn(place)) return place.name + " ends at " + *place.last;
    }
    return survey->agree() == std::optional<bool>(true) ? "" : "the places disagree";
}

bool framesJump(const fs::path& clip)
{
    const auto survey = surveyTimecodes(clip);
    return !survey.isError() && std::ranges::any_of(survey->places, [](auto& p) { return !framesCountOn(p); });
}

struct Tally {
    int states = 0, runs = 0;
    std::map<std::string, int> outcomes;
};

// One mode over one state a first run left. original: the camera's clip and sidecar.
void meet(const fs::path& dir, const Folder& state, const std::string& mode, const Folder& original, Tally& tally)
{
    place(dir, state);
    const fs::path clip = dir / "C0001.MP4";
    const auto run = runKelvatta(argumentsOf(mode, clip));
    const Folder after = read(dir);
    ++tally.runs;
    ++tally.outcomes[mode + (run.status == 0 ? " 0" : " refused")];
    std::string problem;
    const bool hadRecord = state.files.at("C0001.MP4").find("KVUNDO02") != std::string::npos;
    if (mode == "show") {
        if (run.status == 0 && run.out.find("各处一致") != std::string::npos && framesJump(clip))
            problem = "--show calls a clip whose frames jump consistent";
        const bool marked = state.files.at("C0001.MP4").find("KVINPLC2") != std::string::npos;
        if (marked && run.out.find("  原地修改：") == std::string::npos) problem = "--show says nothing of its state";
    } else if (mode == "restore") {
        if (run.status == 0 &&
            (after.files.at("C0001.MP4") != original.files.at("C0001.MP4") || after.modified.tv_sec != kShot.tv_sec))
            problem = "restored, but not to the original";
    } else if (run.status == 0) {
        // A copy, or none where the clip reads the start already.
        const fs::path copy = dir / "已修改时间码" / "C0001.MP4";
        const fs::path result = mode == "save-as" && fs::exists(copy) ? copy : clip;
        if (const std::string why = notAtStart(result); !why.empty()) problem = "exit 0 over " + why;
        const bool said = run.out.find("原地修改记录随之删除") != std::string::npos ||
                          run.out.find("已完成此前中断的恢复") != std::string::npos ||
                          run.out.find("已撤销此前中断的原地修改") != std::string::npos;
        if (mode == "replace" && hadRecord && after.files.at("C0001.MP4").find("KVUNDO02") == std::string::npos &&
            !said)
            problem = "the record went without a line: " + run.out;
    } else if (after.files.at("C0001.MP4") != state.files.at("C0001.MP4")) {
        problem = "refused, but changed the clip: " + run.out;
    }
    // The way back: a record the state had is still there to restore from (but after a replace that
    // said it dropped it), or the run gave the original back itself.
    if (problem.empty() && hadRecord && mode != "restore" &&
        after.files.at("C0001.MP4").find("KVUNDO02") != std::string::npos) {
        const auto back = runKelvatta({"--restore", clip.string()});
        if (back.status != 0 || readFile(clip) != original.files.at("C0001.MP4"))
            problem = "the way back is lost: " + back.out;
    }
    if (!problem.empty()) ADD_FAILURE() << mode << ": " << problem;
}

}  // namespace

TEST(ModePairs, EveryModeFinishesOrRefusesWhatAnyOtherLeftCutShort)
{
    ASSERT_FALSE(sonyClip().empty());
    if (runProgram({"/usr/bin/strace", "-qq", "-o", "/dev/null", "/bin/true"}).status != 0)
        GTEST_SKIP() << "strace cannot trace here";
    TempDir dir;
    const fs::path work = dir / "work";
    Folder original;
    original.files["C0001.MP4"] = std::string(sonyClip().begin(), sonyClip().end());
    original.files["C0001M01.XML"] = sonyXml(kSonyClipTimecode, 25);
    original.modified = kShot;
    place(work, original);
    ASSERT_EQ(runKelvatta({"--in-place", (work / "C0001.MP4").string()}).status, 0);
    const Folder rewritten = read(work);

    Tally tally;
    std::set<Folder> states;
    for (const std::string first : {"replace", "save-as", "in-place", "restore"}) {
        const Folder& from = first == "restore" ? rewritten : original;
        place(work, from);
        const auto calls = writingCalls(argumentsOf(first, work / "C0001.MP4"), dir / "counts");
        ASSERT_FALSE(calls.empty()) << first;
        for (const auto& [call, count] : calls) {
            for (int n = 1; n <= count; ++n) {
                place(work, from);
                const std::string inject = "inject=" + call + ":signal=SIGKILL:when=" + std::to_string(n);
                runProgram(with({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e", inject,
                                 kelvattaPath()},
                                argumentsOf(first, work / "C0001.MP4")));
                fs::remove_all(work / "已修改时间码");  // a copy is no state of the clip
                states.insert(read(work));
            }
        }
    }
    for (const Folder& state : states) {
        ++tally.states;
        for (const std::string mode : {"replace", "save-as", "in-place", "restore", "show"}) {
            SCOPED_TRACE("state " + std::to_string(tally.states));
            meet(work, state, mode, original, tally);
        }
    }
    std::cout << "[ FIGURES  ] mode pairs: " << states.size() << " states left by killing replace, save-as, "
              << "in-place and restore before each call that writes; " << tally.runs << " runs over them:";
    for (const auto& [outcome, n] : tally.outcomes) std::cout << " " << outcome << " " << n << ",";
    std::cout << "\n";
}
