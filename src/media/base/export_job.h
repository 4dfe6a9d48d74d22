// One export's work, shared by the session (which runs it on its own thread) and the paths that
// write the output.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "media/base/metadata_item.h"
#include "platform/error.h"

namespace kelvatta {

struct ExportJob {
    std::filesystem::path source;
    std::filesystem::path output;
    std::string fileType;
    std::vector<MetadataItem> metadata;
    // The output's folder must be a folder, not a link to one.
    bool realOutputFolder = false;
    // Rewrite the source itself (see in_place.h); output is not written.
    bool inPlace = false;
    // The source stays beside the output (save-as). Otherwise the output is to replace it, and a
    // source with something the output cannot carry (an attachment, a bitmap subtitle) is refused.
    bool keepsSource = false;
    // Flush the output to disk before reporting it complete. Only benchmarks turn this off, to
    // compare with tools that do not flush.
    bool durable = true;
    // Where the output goes instead when the source is in a container other than MPEG-4 or
    // QuickTime (Matroska, AVI): its result is an MP4 file, and is named as one. Empty: output,
    // whatever the source.
    std::filesystem::path mp4Output{};
};

// What an export found done already, and so left as it was.
enum class AlreadyDone {
    no,
    clip,  // every place of the clip reads the start already: nothing was written
    copy,  // save-as: the file at the output is the result of an earlier export of the clip, kept
};

// What an export found of an earlier rewrite in place of its clip, and did with it first.
enum class EarlierInPlace {
    none,       // no trace of one, or nothing to finish
    complete,   // a complete rewrite in place, with the record that gives the original back
    completed,  // one cut short after it began changing the clip: completed by its record
    undone,     // one cut short before it changed anything of the clip: what it appended cut off
    restored,   // a restore cut short: finished, the original back
    notProven,  // a record that does not hold (damaged, or the clip changed since)
};

// Progress and the output's place reported by the export, and cancellation asked of it, across
// threads.
class ExportControl {
public:
    // Where the export writes its output: set by the general path once it has chosen between the
    // job's output and its mp4Output, before it makes the file; empty otherwise (the job's output).
    std::filesystem::path output() const
    {
        std::lock_guard lock(mutex_);
        return output_;
    }
    void setOutput(std::filesystem::path output)
    {
        std::lock_guard lock(mutex_);
        output_ = std::move(output);
    }

    bool isCancelled() const { return cancelled_.load(std::memory_order_relaxed); }
    void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    double progress() const { return progress_.load(std::memory_order_relaxed); }
    void setProgress(double value) { progress_.store(value, std::memory_order_relaxed); }
    // The export left a clip's rtmd timecodes as the camera wrote them, not recognising them.
    bool rtmdKept() const { return rtmdKept_.load(std::memory_order_relaxed); }
    void setRtmdKept() { rtmdKept_.store(true, std::memory_order_relaxed); }
    AlreadyDone alreadyDone() const { return alreadyDone_.load(std::memory_order_relaxed); }
    void setAlreadyDone(AlreadyDone done) { alreadyDone_.store(done, std::memory_order_relaxed); }
    EarlierInPlace earlierInPlace() const { return earlierInPlace_.load(std::memory_order_relaxed); }
    void setEarlierInPlace(EarlierInPlace earlier) { earlierInPlace_.store(earlier, std::memory_order_relaxed); }

private:
    mutable std::mutex mutex_;
    std::filesystem::path output_;
    std::atomic<bool> cancelled_{false};
    std::atomic<double> progress_{0.0};
    std::atomic<bool> rtmdKept_{false};
    std::atomic<AlreadyDone> alreadyDone_{AlreadyDone::no};
    std::atomic<EarlierInPlace> earlierInPlace_{EarlierInPlace::none};
};

}  // namespace kelvatta
