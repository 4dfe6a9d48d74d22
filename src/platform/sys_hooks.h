// What every wrapper of sys.cpp goes through: the fault hook that tests use to make a call fail, and
// the observer told of each change a call makes to a file. For sys.cpp only; the hooks themselves are
// set through sys.h.
#pragma once

#include "platform/error.h"
#include "platform/sys.h"

namespace kelvatta {
namespace sys {

// errno to inject for this call, or 0.
int injectedFault(Call call);
// Tells the observer, if one is set, of a change a call made.
void observed(const Change& change);
// Error{POSIX, err, "<call>: <reason>"}.
Error callError(Call call, int err);

}  // namespace sys
}  // namespace kelvatta

// Returns the injected error from the calling wrapper, where the hook asks for one.
#define KV_FAULT_POINT(call)                                                    \
    do {                                                                        \
        if (int _kv_err = injectedFault(call)) return callError(call, _kv_err); \
    } while (0)
