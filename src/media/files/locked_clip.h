// A clip open for one run of the program, locked so that no other run (another window, a command in
// a terminal, a script, or a second entry of the same clip in this batch) writes it meanwhile. The
// lock is an open file description lock over the whole file: it goes with this object's descriptor,
// not with the process, so two runs in one process keep each other out as two processes do, and
// it goes away with the descriptor when the run ends or is killed.
//
// Every read of the clip goes through this descriptor, from the first to the last, so what a run
// reads and writes is the file it locked, whatever is moved to the clip's name meanwhile.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/error.h"
#include "platform/fd.h"

namespace kelvatta {

// How a run uses its clip, which says the lock it takes.
enum class ClipUse {
    // Read only (a copy is written elsewhere): a shared lock, which keeps out every run that writes
    // the clip and lets other readers in.
    read,
    // Replaced by a new file: an exclusive lock where the clip may be opened for writing; a clip the
    // user may not write (but may replace in a folder they may write) gets a shared one, which
    // still keeps out every run that writes its bytes.
    replace,
    // Its own bytes written (a rewrite in place, a restore): open for writing, an exclusive lock.
    rewrite,
};

class LockedClip {
public:
    // Opens the clip (never through a link: see openClip) and locks it. A clip another process
    // holds fails at once with an export error of kind busy, untouched; one this process holds
    // (the same clip twice in a batch) is waited for, until cancelled says so. Where the file system
    // takes no locks the clip is open all the same and locked() is false: each use says what then
    // guards it.
    static ErrorOr<LockedClip> open(const std::filesystem::path& path, ClipUse use,
                                    const std::function<bool()>& cancelled = {});

    LockedClip(LockedClip&&) noexcept;
    LockedClip& operator=(LockedClip&&) noexcept;
    ~LockedClip();

    const std::filesystem::path& path() const;
    int fd() const;
    // The clip's status when it was opened and locked, or when refresh() read it again.
    const struct stat& status() const;
    // Reads the status again, after the run itself changed the clip.
    ErrorOr<void> refresh();
    ClipUse use() const;
    bool locked() const;
    bool exclusive() const;

    // Locks the finished file that is about to take the clip's name (fd, open for writing, not yet
    // named, so no other run can hold it; status, its identity) for as long as this object lives:
    // after the rename a run that opens the clip's name finds the new file locked until this run has
    // also written the sidecar. Only a clip locked exclusively passes its lock on; elsewhere nothing
    // is done.
    void lockReplacement(int fd, const struct stat& status);

private:
    struct State;
    explicit LockedClip(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;  // held apart: moving the clip moves one pointer
};

}  // namespace kelvatta
