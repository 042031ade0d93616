// The server's budget of notification calls awaiting their answers, shared by every sink
// proxy of the process.
//
// The bus daemon lets one connection have only so many method calls awaiting replies
// (max_replies_per_connection, 128 by default for both the session and the system bus,
// and not something a client can ask the daemon for); a call beyond it fails at once,
// for whichever client it was meant. So the server keeps its own bound below that:
// kServerCallBudget calls on the way at once, all sinks together. Each sink's window is
// an equal part of it, kServerCallBudget / (sinks advised), at least 1 and at most
// kSinkWindow: a few sinks that never answer hold at most their parts, and every other
// sink keeps its own. When the whole budget is taken (more sinks than places, or sinks
// just advised while older ones still hold the larger parts they took before), a sink
// that has a call to send waits in line, and each answer hands its place to the first
// sink in line before its own sink may send again, so no sink waits for good while
// another refills its window.
//
// The budget counts notifications only. Introspection after an Advise and OnRequestEdit
// (one per setter in progress) stay outside it, in the margin between the budget and the
// daemon's limit.
#pragma once

#include "platform/base/types.h"

#include <deque>
#include <mutex>

namespace platform::rpc {

// Calls on the way for all sinks together; well below the daemon's default 128.
inline constexpr DWORD kServerCallBudget = 96;

class call_budget {
public:
    // One that waits in line for a place. It is kept alive (hold/unhold) while in line.
    class waiter {
    public:
        // A place was handed over: send one call with it, or give it back with
        // give_back() and return what that returned.
        virtual waiter* budget_granted() = 0;
        virtual void budget_hold() = 0;
        virtual void budget_unhold() = 0;

    protected:
        ~waiter() = default;
    };

    explicit call_budget(DWORD limit) : limit_(limit) {}
    // The budget of every sink proxy in this process.
    static call_budget& shared();

    // A sink is advised (its proxy is made) or gone (its proxy is destroyed).
    void join();
    void leave();
    // The window of each sink now.
    DWORD window() const;

    // Asks for a place for one more call of a sink that has own calls on the way. True:
    // the place is taken. False: the sink's window is full (its own answers will let it
    // send again), or the budget is and w waits in line (once) for budget_granted.
    bool take(DWORD own, waiter* w);
    // An answer arrived: its place goes to the first one in line, if any, which is
    // returned (held) for the caller to call budget_granted and budget_unhold on outside
    // its own locks; otherwise the place is free again and nullptr is returned.
    waiter* give_back();

    // Hands a place returned by give_back (or budget_granted) on until it is used.
    static void hand_over(waiter* w);

    DWORD in_use() const;

    // A sink's seat in the shared budget, for as long as its proxy lives.
    class seat {
    public:
        seat() { shared().join(); }
        ~seat() { shared().leave(); }
        seat(const seat&) = delete;
        seat& operator=(const seat&) = delete;
    };

private:
    DWORD window_locked() const;

    const DWORD limit_;
    mutable std::mutex mutex_;
    DWORD sinks_ = 0;
    DWORD in_use_ = 0;
    std::deque<waiter*> line_;
};

}  // namespace platform::rpc
