#include "platform/sys_hooks.h"

#include <atomic>
#include <mutex>

namespace kelvatta {
namespace sys {
namespace {

struct Hook {
    FaultHook hook = nullptr;
    void* context = nullptr;
};

std::mutex hookMutex;
std::atomic<bool> hookSet{false};
Hook currentHook;

ChangeObserver changeObserver = nullptr;
void* changeContext = nullptr;
std::atomic<bool> observerSet{false};

}  // namespace

void observed(const Change& change)
{
    if (!observerSet.load(std::memory_order_acquire)) return;
    std::lock_guard lock(hookMutex);
    if (changeObserver) changeObserver(change, changeContext);
}

int injectedFault(Call call)
{
    if (!hookSet.load(std::memory_order_acquire)) return 0;
    std::lock_guard lock(hookMutex);
    if (!currentHook.hook) return 0;
    return currentHook.hook(call, currentHook.context);
}

const char* callName(Call call)
{
    switch (call) {
    case Call::Open: return "open";
    case Call::Close: return "close";
    case Call::Read: return "read";
    case Call::Write: return "write";
    case Call::CopyFileRange: return "copy_file_range";
    case Call::CloneRange: return "ioctl(FICLONERANGE)";
    case Call::Fsync: return "fsync";
    case Call::Ftruncate: return "ftruncate";
    case Call::Fstat: return "fstat";
    case Call::Stat: return "stat";
    case Call::Rename: return "rename";
    case Call::Mkdir: return "mkdir";
    case Call::Unlink: return "unlink";
    case Call::Fchmod: return "fchmod";
    case Call::Futimens: return "futimens";
    case Call::Fallocate: return "fallocate";
    case Call::Fchown: return "fchown";
    case Call::Xattr: return "xattr";
    case Call::CowExtentSize: return "ioctl(FS_IOC_FSSETXATTR)";
    case Call::Fadvise: return "posix_fadvise";
    case Call::Link: return "linkat";
    case Call::OpenUnnamed: return "open(O_TMPFILE)";
    case Call::Lock: return "fcntl(F_OFD_SETLK)";
    case Call::Dup: return "dup";
    case Call::Statfs: return "fstatfs";
    case Call::LockTest: return "fcntl(F_OFD_GETLK)";
    case Call::Writeback: return "sync_file_range";
    }
    return "?";
}

void setChangeObserver(ChangeObserver observer, void* context)
{
    std::lock_guard lock(hookMutex);
    changeObserver = observer;
    changeContext = context;
    observerSet.store(observer != nullptr, std::memory_order_release);
}

void setFaultHook(FaultHook hook, void* context)
{
    std::lock_guard lock(hookMutex);
    currentHook = Hook{hook, context};
    hookSet.store(hook != nullptr, std::memory_order_release);
}

Error callError(Call call, int err)
{
    return Error{kPosixErrorDomain, err, std::string(callName(call)) + ": " + errnoReason(err)};
}

}  // namespace sys
}  // namespace kelvatta
