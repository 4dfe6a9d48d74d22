#include "support/fault_plan.h"

#include <algorithm>
#include <map>

namespace kelvatta::test {
namespace {

// The hook runs under the lock of platform/sys, so the plan needs none of its own.
int onCall(sys::Call call, void* context)
{
    auto& plan = *static_cast<FaultPlan*>(context);
    plan.calls.push_back(call);
    if (plan.only && call != *plan.only) return 0;
    ++plan.seen;
    if (plan.nth <= 0 || plan.seen < plan.nth || (plan.seen > plan.nth && !plan.onward)) return 0;
    const int err = plan.act ? plan.act(call) : plan.err;
    if (err != 0) plan.failedAt.push_back(plan.calls.size() - 1);
    return err;
}

}  // namespace

bool FaultPlan::failed(sys::Call call) const
{
    return std::any_of(failedAt.begin(), failedAt.end(), [&](size_t at) { return calls[at] == call; });
}

bool FaultPlan::failedAfterFirstFault(sys::Call call) const
{
    return std::any_of(failedAt.begin(), failedAt.end(),
                       [&](size_t at) { return at > failedAt.front() && calls[at] == call; });
}

ScopedFaults::ScopedFaults(FaultPlan& plan) { sys::setFaultHook(onCall, &plan); }

ScopedFaults::~ScopedFaults() { sys::setFaultHook(nullptr, nullptr); }

std::string callCounts(const std::vector<sys::Call>& calls)
{
    std::map<sys::Call, int> counts;
    for (sys::Call call : calls) ++counts[call];
    std::string text;
    for (const auto& [call, count] : counts)
        text += (text.empty() ? "" : ", ") + std::string(sys::callName(call)) + " " + std::to_string(count);
    return text;
}

}  // namespace kelvatta::test
