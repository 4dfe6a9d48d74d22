#include "support/fault_plan.h"

#include <map>

namespace kelvatta::test {

// The hook runs under the lock of platform/sys, so the plan needs none of its own.
ScopedFaults::ScopedFaults(FaultPlan& plan)
{
    sys::setFaultHook(
        [](sys::Call call, void* context) {
            auto& plan = *static_cast<FaultPlan*>(context);
            if (plan.unsupported == call) return EOPNOTSUPP;
            plan.calls.push_back(call);
            if (plan.only && call != *plan.only) return 0;
            ++plan.seen;
            if (plan.nth <= 0 || plan.seen < plan.nth || (plan.seen > plan.nth && !plan.onward)) return 0;
            const int err = plan.act ? plan.act(call) : plan.err;
            if (err != 0) plan.failedAt.push_back(plan.calls.size() - 1);
            return err;
        },
        &plan);
}

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
