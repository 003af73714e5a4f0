// The one way the engine reads the Cancel flag.
//
// Every place that polls `cancelRequested` goes through CancelRequested, so a
// test can stop a run at an exact poll (the n-th read) instead of guessing
// which event precedes it.
#pragma once

#include "core/apply_context.h"

namespace pkx {

// Called before each read of the flag; may set it. Null in product runs.
using CancelPollHook = void (*)(ApplyContext& context, void* data);

struct CancelPollHookSlot {
    CancelPollHook hook = nullptr;
    void* data = nullptr;
};

inline CancelPollHookSlot& CancelPollHookState() {
    static CancelPollHookSlot slot;
    return slot;
}

// Installs `hook` (null removes it) for every later poll; tests only.
inline void SetCancelPollHook(CancelPollHook hook, void* data) {
    CancelPollHookState() = CancelPollHookSlot{hook, data};
}

// True once the user-interface thread has asked the run to stop.
inline bool CancelRequested(ApplyContext& context) {
    const CancelPollHookSlot& slot = CancelPollHookState();
    if (slot.hook != nullptr) slot.hook(context, slot.data);
    return context.cancelRequested.load(std::memory_order_relaxed) == 1;
}

}  // namespace pkx
