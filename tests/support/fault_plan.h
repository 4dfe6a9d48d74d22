// System-call faults for tests, made through the fault hook of platform/sys: a plan says which calls
// fail (or run an action) and records every call it sees.
#pragma once

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/sys.h"

namespace kelvatta::test {

struct FaultPlan {
    std::optional<sys::Call> only{};  // the calls counted: every kind when empty, else this kind only
    int nth = 1;                      // the first counted call to fail (1-based); 0 fails none
    bool onward = false;              // fail every counted call from nth on, not only the nth
    int err = EIO;                    // the errno injected
    // When set, run at the calls chosen above instead; it returns the errno to inject (0: none).
    std::function<int(sys::Call)> act{};
    // Calls of this kind always fail with EOPNOTSUPP, unseen by the plan: a file system without them.
    std::optional<sys::Call> unsupported{};

    // What happened (read once the calls have ended): counted calls, every call, and the indices into
    // calls of those made to fail.
    int seen = 0;
    std::vector<sys::Call> calls{};
    std::vector<size_t> failedAt{};

    // Whether a call of this kind failed (after the first failure: in the clean-up of a failed export).
    bool failed(sys::Call call, bool afterFirstFault = false) const
    {
        return std::any_of(failedAt.begin() + (afterFirstFault && !failedAt.empty()), failedAt.end(),
                           [&](size_t at) { return calls[at] == call; });
    }
};

// Installs plan as the fault hook while alive.
class ScopedFaults {
public:
    explicit ScopedFaults(FaultPlan& plan);
    ~ScopedFaults() { sys::setFaultHook(nullptr, nullptr); }
    ScopedFaults(const ScopedFaults&) = delete;
    ScopedFaults& operator=(const ScopedFaults&) = delete;
};

// "open 3, read 9, write 4": how many calls of each kind, in the order of sys::Call.
std::string callCounts(const std::vector<sys::Call>& calls);

}  // namespace kelvatta::test
