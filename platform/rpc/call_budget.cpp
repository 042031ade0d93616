#include "platform/rpc/call_budget.h"

#include "platform/rpc/rpc.h"

#include <algorithm>

namespace platform::rpc {

call_budget& call_budget::shared()
{
    static call_budget budget(kServerCallBudget);
    return budget;
}

void call_budget::join()
{
    std::lock_guard lock(mutex_);
    ++sinks_;
}

void call_budget::leave()
{
    std::lock_guard lock(mutex_);
    if (sinks_ > 0)
        --sinks_;
}

DWORD call_budget::window() const
{
    std::lock_guard lock(mutex_);
    return window_locked();
}

DWORD call_budget::window_locked() const
{
    return std::clamp<DWORD>(limit_ / std::max<DWORD>(sinks_, 1), 1, kSinkWindow);
}

bool call_budget::take(DWORD own, waiter* w)
{
    std::lock_guard lock(mutex_);
    if (own >= window_locked())
        return false;
    // Those in line go first: a free place is theirs, handed over by give_back.
    if (in_use_ < limit_ && line_.empty()) {
        ++in_use_;
        return true;
    }
    if (w && std::find(line_.begin(), line_.end(), w) == line_.end()) {
        w->budget_hold();
        line_.push_back(w);
    }
    return false;
}

call_budget::waiter* call_budget::give_back()
{
    std::lock_guard lock(mutex_);
    if (line_.empty()) {
        if (in_use_ > 0)
            --in_use_;
        return nullptr;
    }
    waiter* w = line_.front();
    line_.pop_front();
    return w;  // the place stays taken: it is w's now
}

void call_budget::hand_over(waiter* w)
{
    while (w) {
        waiter* next = w->budget_granted();
        w->budget_unhold();
        w = next;
    }
}

DWORD call_budget::in_use() const
{
    std::lock_guard lock(mutex_);
    return in_use_;
}

}  // namespace platform::rpc
