// Every system call of one rewrite made to fail in turn, with EIO, ENOSPC and EFBIG, alone or with
// every later call. One clip is rewritten through VideoProcessor, the program's export session and the
// main run loop, as the batch does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <map>
#include <optional>
#include <set>

#include "platform/dispatch.h"
#include "support/box_tree.h"
#include "support/clips.h"
#include "support/fault_plan.h"
#include "support/log_capture.h"
#include "support/sony_clip.h"
#include "support/temp_dir.h"
#include "rewrite/video_processor.h"

using namespace kelvatta;
using namespace kelvatta::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const TempDir fixtures;

fs::path boxClip()
{
    static const bool made = makeClip(fixtures / "source.MP4");
    return made ? fixtures / "source.MP4" : fs::path();
}

// The general (libavformat) path: a small Matroska clip.
fs::path matroskaClip()
{
    static const bool made = makeMatroska(fixtures / "source.mkv", "-t 0.5 -s 160x120");
    return made ? fixtures / "source.mkv" : fs::path();
}

struct Mode {
    const char* name;
    fs::path (*source)();
    const char* clipName;
    bool saveAs;
    const char* sidecarName;  // the camera's XML beside the clip, or nullptr
    bool named = false;       // on a file system without unnamed files (exFAT): written as temp_ first
    // The result's own name (an MP4 file made from a Matroska clip), or nullptr: the clip's. Replacing
    // the clip then writes the result beside it and removes the clip.
    const char* resultName = nullptr;

    std::string result() const { return resultName ? resultName : clipName; }
    // Where the result goes: replacing the clip, temp_ + its name or the result's own; else into the
    // save-as folder.
    std::string output() const
    {
        if (saveAs) return std::string(kSaveAsFolderName) + "/" + result();
        return resultName ? result() : std::string(kTemporaryPrefix) + clipName;
    }
    bool removesClip() const { return resultName && !saveAs; }
};

const std::string& sidecarText()
{
    static const std::string text = sonyXml(SonyTimecode{}, 30);
    return text;
}
void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.name; }

// What one rewrite did: its completions, printed lines, and the files of the clip's folder after it.
struct Trial {
    int completions = 0;
    std::optional<Result> result;
    std::vector<std::string> lines;
    std::map<std::string, Bytes> files;  // relative path → bytes; folders end in '/'
};

Trial rewrite(const Mode& mode, const fs::path& folder, FaultPlan& plan)
{
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path clip = folder / mode.clipName;
    fs::copy_file(mode.source(), clip);
    if (mode.named) plan.unsupported = sys::Call::OpenUnnamed;
    if (mode.sidecarName) writeBytes(folder / mode.sidecarName, Bytes(sidecarText().begin(), sidecarText().end()));

    Trial trial;
    {
        LogCapture log;
        ScopedFaults faults(plan);
        VideoProcessor processor;
        processor.modifyTimecode(clip, mode.saveAs, [&](Result result) {
            ++trial.completions;
            trial.result = std::move(result);
        });
        MainRunLoop::runUntil([&] { return trial.completions > 0; }, 60s);
        MainRunLoop::drain();  // a second completion would come now
        trial.lines = log.lines();
    }
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(entry.path(), folder).string();
        if (entry.is_directory()) trial.files[name + "/"];
        else trial.files[name] = readBytes(entry.path());
    }
    return trial;
}

// Faults that may end in success: the save-as folder's existence test (failing it makes the rewrite
// create the folder, which succeeds when it exists), the copy of extended attributes (a refusal
// costs the attribute, never the rewrite) and the lock of the finished file before it takes the
// clip's name (without it the checks just before the rename guard the name, as they always do). The
// result is still checked to be complete.
bool harmless(const Mode& mode, const FaultPlan& plan)
{
    if (mode.saveAs && plan.failedAt == std::vector<size_t>{0} && plan.calls[0] == sys::Call::Stat) return true;
    const auto clipLocked = [&](size_t i) {
        return std::count(plan.calls.begin(), plan.calls.begin() + long(i), sys::Call::Lock) > 0;
    };
    return !plan.failedAt.empty() && std::all_of(plan.failedAt.begin(), plan.failedAt.end(), [&](size_t i) {
        const sys::Call call = plan.calls[i];
        return call == sys::Call::Xattr || call == sys::Call::Dup || (call == sys::Call::Lock && clipLocked(i));
    });
}

// How a trial ended: "处理成功", or the label of its last line ("导出失败", "替换原文件失败",
// "创建文件夹失败", "写入附属 XML 文件失败"), or "临时文件不存在" (printed as "替换原文件失败").
std::string outcomeOf(const Trial& trial)
{
    if (!trial.result) return "no completion";
    if (trial.result->isSuccess()) return "处理成功";
    if (trial.result->error().domain == kVideoProcessorErrorDomain) return trial.result->error().localizedDescription;
    const std::string last = trial.lines.empty() ? "" : trial.lines.back();
    return last.substr(0, last.find("："));
}

// The clean run's files: the rewritten clip and the camera XML beside it (empty without one).
struct Reference {
    Bytes clip;
    Bytes sidecar;
};

// Everything wrong with one trial, each as one sentence.
std::vector<std::string> problems(const Mode& mode, const fs::path& folder, const FaultPlan& plan, const Trial& trial,
                                  const Bytes& original, const Reference& ref)
{
    const Bytes& reference = ref.clip;
    std::vector<std::string> found;
    const auto problem = [&](const std::string& what) { found.push_back(what); };
    if (trial.completions != 1) problem("completion called " + std::to_string(trial.completions) + " times");
    if (!trial.result) return found;

    const Result& result = *trial.result;
    const bool faulted = !plan.failedAt.empty();
    if (result.isSuccess() && faulted && !harmless(mode, plan)) problem("success after a fault");
    if (result.isFailure() && !faulted) problem("failure without a fault: " + result.error().localizedDescription);

    const std::string clipName = mode.clipName;
    const std::string outputName = mode.output();
    const auto file = [&](const std::string& name) -> const Bytes* {
        auto it = trial.files.find(name);
        return it == trial.files.end() ? nullptr : &it->second;
    };
    const Bytes* clip = file(clipName);
    const Bytes* output = file(outputName);
    // A failed export removes what it wrote, unless the removal itself was made to fail (its test
    // of the file, or the unlink).
    const bool cleanupFailed = plan.failed(sys::Call::Unlink, true) || plan.failed(sys::Call::Stat, true);
    const std::string sidecarName = mode.sidecarName ? mode.sidecarName : "";
    const std::string sidecarCopy = std::string(kSaveAsFolderName) + "/" + sidecarName;
    const std::string sidecarTemporary = std::string(kTemporaryPrefix) + sidecarName;
    const auto staged = [&](const std::string& name) {
        return mode.saveAs ? std::string(kSaveAsFolderName) + "/" + std::string(kTemporaryPrefix) + name : "";
    };
    for (const auto& [name, bytes] : trial.files) {
        const bool sidecarFile =
            mode.sidecarName && (name == sidecarName || name == sidecarCopy ||
                                 ((name == sidecarTemporary || name == staged(sidecarName)) && cleanupFailed));
        const bool partial = name == staged(mode.result()) && cleanupFailed;
        if (name != clipName && name != outputName && name != std::string(kSaveAsFolderName) + "/" && !sidecarFile &&
            !partial)
            problem("left beside the clip: " + name);
    }
    // A clip replaced by a result of its own name is removed once the result is in place.
    const bool clipRemoved = !clip && mode.removesClip() && output && *output == reference;
    if (!clip && !clipRemoved) {
        problem("the clip's name is missing");
        return found;
    }
    // The camera's XML: in place, the original or the complete re-based text; a save-as copy only
    // complete (or partial where its removal was made to fail).
    const Bytes sidecarOriginal(sidecarText().begin(), sidecarText().end());
    const Bytes* sidecar = mode.sidecarName ? file(sidecarName) : nullptr;
    const Bytes* copy = mode.sidecarName ? file(sidecarCopy) : nullptr;
    if (mode.sidecarName) {
        if (!sidecar) problem("the camera XML beside the clip is missing");
        else if (*sidecar != sidecarOriginal && (mode.saveAs || *sidecar != ref.sidecar))
            problem("the camera XML beside the clip is neither its original nor the re-based text");
        if (copy && *copy != ref.sidecar && !cleanupFailed) problem("a partial save-as copy of the camera XML");
    }

    // The printed lines: the start, then what happened.
    const std::string path = (folder / clipName).string();
    std::vector<std::string> expected;
    if (mode.saveAs && !trial.lines.empty() && trial.lines[0].starts_with("已创建文件夹："))
        expected.push_back("已创建文件夹：" + (folder / kSaveAsFolderName).string());
    // The lines of a clip put in place.
    const auto replaced = [&] {
        if (mode.removesClip()) {
            expected.push_back("已写入新文件：" + (folder / outputName).string());
            expected.push_back("已删除原文件：" + path);
        } else if (!mode.saveAs) {
            expected.push_back("已替换原文件：" + path);
        }
    };
    if (result.isSuccess()) {
        expected.push_back("开始处理文件：" + path);
        replaced();
        if (mode.sidecarName)
            expected.push_back("已写入附属 XML 文件：" + (folder / (mode.saveAs ? sidecarCopy : sidecarName)).string());
        expected.push_back("处理成功：" + path);
        if (trial.lines != expected) problem("printed lines of a success differ");
        if (mode.sidecarName && *(mode.saveAs ? copy : sidecar) != ref.sidecar)
            problem("the camera XML is not what a success leaves");
        if (mode.removesClip() ? !clipRemoved : *clip != (mode.saveAs ? original : reference))
            problem("the clip is not what a success leaves");
        if (mode.saveAs || mode.removesClip() ? !output || *output != reference : output != nullptr)
            problem("the output is not what a success leaves");
        return found;
    }

    const Error& error = result.error();
    const bool missingTemporary = error.domain == kVideoProcessorErrorDomain && error.code == 4;
    if (!missingTemporary && error.localizedDescription.find(errnoReason(plan.err)) == std::string::npos)
        problem("the error does not say the reason: " + error.localizedDescription);
    const std::string last = trial.lines.empty() ? "" : trial.lines.back();
    if (last == "创建文件夹失败：" + error.localizedDescription) {
        expected.push_back(last);
        if (!clip || *clip != original || output) problem("folder creation failed but files changed");
    } else {
        expected.push_back("开始处理文件：" + path);
        if (missingTemporary) {
            // The test for the temporary file failed: "临时文件不存在", printed as a failed
            // replacement, the complete temporary file and the clip left as they are.
            expected.push_back("替换原文件失败：" + error.localizedDescription);
            if (!plan.failed(sys::Call::Stat)) problem("temporary file reported missing without a fault in its test");
            if (!clip || *clip != original || !output || *output != reference)
                problem("missing temporary file: files changed");
        } else if (last == "写入附属 XML 文件失败：" + error.localizedDescription) {
            // The clip is done; only its XML failed.
            replaced();
            expected.push_back(last);
            const bool clipDone = mode.removesClip() ? clipRemoved
                                  : mode.saveAs      ? *clip == original && output && *output == reference
                                                     : *clip == reference;
            if (!clipDone) problem("the camera XML failed but the clip is not the complete result");
        } else if (last == "替换原文件失败：" + error.localizedDescription) {
            expected.push_back(last);
            // Either the rename (or the removal of a clip whose result has a name of its own) failed:
            // clip as it was, complete result beside it; or it was done and could not be made
            // durable: the clip holds the complete result, or is gone beside it.
            const bool renameFailed = clip && *clip == original && output && *output == reference;
            const bool syncFailed = mode.removesClip() ? clipRemoved : clip && *clip == reference && !output;
            if (!renameFailed && !syncFailed) problem("failed replacement left the wrong files");
        } else {
            expected.push_back("导出失败：" + error.localizedDescription);
            if (!clip || *clip != original) problem("failed export changed the clip");
            if (output && !cleanupFailed) problem("failed export left its output");
        }
    }
    if (trial.lines != expected) problem("printed lines differ: " + (last.empty() ? "(none)" : last));
    return found;
}

class FaultSweep : public ::testing::TestWithParam<Mode> {};

TEST_P(FaultSweep, NoFaultLosesTheClipOrPassesForSuccess)
{
    markMainThread();
    const Mode& mode = GetParam();
    ASSERT_FALSE(mode.source().empty());
    const Bytes original = readBytes(mode.source());
    const fs::path folder = fixtures / mode.name;

    // The clean run: its calls are the fault points, its output the reference.
    FaultPlan clean{.nth = 0};
    const Trial first = rewrite(mode, folder, clean);
    ASSERT_TRUE(first.result && first.result->isSuccess())
        << (first.result ? first.result->error().localizedDescription : "no completion");
    const std::string referenceName = mode.saveAs || mode.removesClip() ? mode.output() : std::string(mode.clipName);
    Reference reference;
    reference.clip = first.files.at(referenceName);
    ASSERT_NE(reference.clip, original);
    if (mode.sidecarName) {
        reference.sidecar = first.files.at(mode.saveAs ? std::string(kSaveAsFolderName) + "/" + mode.sidecarName
                                                       : std::string(mode.sidecarName));
        const std::string text(reference.sidecar.begin(), reference.sidecar.end());
        EXPECT_NE(text.find("value=\"00000000\""), std::string::npos) << text;
    }
    // A valid result: the zero start timecode and every packet of the source.
    EXPECT_EQ(formatTimecode(folder / referenceName), "00:00:00:00");
    EXPECT_EQ(packetHash(folder / referenceName), packetHash(mode.source()));
    const int points = static_cast<int>(clean.calls.size());
    ASSERT_GT(points, 10);
    // Each file put in place by a rename reaches the disk first, its data and its name (the file and
    // its folder synced), and its new name after (the folder synced again): a crash or a power cut
    // then leaves the clip or the complete result, never an empty file under the clip's name.
    for (size_t r = 0; r < clean.calls.size(); ++r) {
        // A new file's name (no clip replaced): the file synced before, its folder after.
        const bool link = clean.calls[r] == sys::Call::Link || mode.saveAs;
        if (clean.calls[r] != sys::Call::Rename && clean.calls[r] != sys::Call::Link) continue;
        size_t written = r;
        while (written > 0 && !std::set{sys::Call::Write, sys::Call::CopyFileRange, sys::Call::CloneRange}.contains(
                                  clean.calls[written - 1]))
            --written;
        const auto at = [&](size_t i) { return clean.calls.begin() + static_cast<long>(i); };
        EXPECT_GE(std::count(at(written), at(r), sys::Call::Fsync), link ? 1 : 2) << "syncs before call " << r + 1;
        EXPECT_NE(std::find(at(r), clean.calls.end(), sys::Call::Fsync), clean.calls.end()) << "after call " << r + 1;
    }
    // A clip replaced by a result of its own name is removed only once the result's name is on the
    // disk (its folder synced after the link), and its removal is synced in turn.
    if (mode.removesClip()) {
        const auto link = std::find(clean.calls.begin(), clean.calls.end(), sys::Call::Link);
        const auto unlink = std::find(link, clean.calls.end(), sys::Call::Unlink);
        ASSERT_NE(unlink, clean.calls.end());
        EXPECT_NE(std::find(link, unlink, sys::Call::Fsync), unlink) << "no sync between the link and the removal";
        EXPECT_NE(std::find(unlink, clean.calls.end(), sys::Call::Fsync), clean.calls.end()) << "no sync after it";
    }

    int runs = 0, injected = 0, violations = 0;
    std::map<std::string, int> outcomes;
    for (int nth = 1; nth <= points; ++nth) {
        for (int err : {EIO, ENOSPC, EFBIG}) {
            for (bool onward : {false, true}) {
                FaultPlan plan{.nth = nth, .onward = onward, .err = err};
                const Trial trial = rewrite(mode, folder, plan);
                ++runs;
                ++outcomes[outcomeOf(trial)];
                if (!plan.failedAt.empty()) ++injected;
                const auto found = problems(mode, folder, plan, trial, original, reference);
                violations += found.empty() ? 0 : 1;
                for (const auto& what : found)
                    ADD_FAILURE() << "call " << nth << " (" << sys::callName(clean.calls[size_t(nth) - 1]) << ") "
                                  << (onward ? "and after" : "alone") << ", " << errnoReason(err) << ": " << what;
            }
        }
    }
    fs::remove_all(folder);
    EXPECT_EQ(injected, runs) << "every call of the clean run is made again and fails";
    // The figures of the README's reliability section.
    std::string ends;
    for (const auto& [outcome, n] : outcomes) ends += (ends.empty() ? "" : ", ") + outcome + " " + std::to_string(n);
    std::cout << "[ FIGURES  ] fault sweep, " << mode.name << ": " << points << " fault points ("
              << callCounts(clean.calls) << "), " << runs << " runs (" << ends << "), " << violations
              << " violations\n";
    RecordProperty("fault_points", points);
    RecordProperty("runs", runs);
    RecordProperty("violations", violations);
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultSweep,
                         ::testing::Values(Mode{"replace", boxClip, "C0001.MP4", false, "C0001M01.XML"},
                                           Mode{"save_as", boxClip, "C0001.MP4", true, "C0001M01.XML"},
                                           Mode{"save_as_named", boxClip, "C0001.MP4", true, "C0001M01.XML", true},
                                           Mode{"replace_mkv", matroskaClip, "clip.mkv", false, nullptr, false,
                                                "clip.mp4"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
