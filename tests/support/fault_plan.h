// System-call faults for tests, made through the fault hook of platform/sys: a plan says which calls
// fail (or run an action) and records every call it sees.
#pragma once

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/sys.h"

namespace kelvatta::test {

struct FaultPlan {
    // The calls the plan counts: every kind when empty, else this kind only.
    std::optional<sys::Call> only{};
    // The first counted call to fail (1-based); 0 fails none.
    int nth = 1;
    // Fail every counted call from nth on, not only the nth.
    bool onward = false;
    // The errno injected.
    int err = EIO;
    // When set, run at the calls chosen above instead; it returns the errno to inject (0: none).
    std::function<int(sys::Call)> act{};

    // What happened, in call order (read once the calls have ended, e.g. after the ScopedFaults).
    int seen = 0;                        // counted calls
    std::vector<sys::Call> calls{};      // every call, counted or not
    std::vector<size_t> failedAt{};      // indices into calls of the calls made to fail

    // Whether the run reached the nth counted call.
    bool reached() const { return nth > 0 && seen >= nth; }
    bool failed(sys::Call call) const;
    // Whether a call of this kind failed after the first failure (the clean-up of a failed export).
    bool failedAfterFirstFault(sys::Call call) const;
};

// Installs plan as the fault hook while alive.
class ScopedFaults {
public:
    explicit ScopedFaults(FaultPlan& plan);
    ~ScopedFaults();
    ScopedFaults(const ScopedFaults&) = delete;
    ScopedFaults& operator=(const ScopedFaults&) = delete;
};

// "open 3, read 9, write 4": how many calls of each kind, in the order of sys::Call.
std::string callCounts(const std::vector<sys::Call>& calls);

}  // namespace kelvatta::test
