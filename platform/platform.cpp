#include "platform/platform.h"

#include <atomic>

namespace pkx {

namespace {

// Null while the native platform is in force. Tests install theirs before
// starting threads, so a plain atomic pointer is all the sharing needs.
std::atomic<Platform*> g_installed{nullptr};

}  // namespace

Platform& Os() {
    Platform* bound = ThreadBoundPlatform();
    if (bound != nullptr) return *bound;
    Platform* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : NativePlatform();
}

ThreadPlatform::ThreadPlatform(Platform* platform)
    : bound_(platform != nullptr), previous_(bound_ ? ThreadBoundPlatform() : nullptr) {
    if (bound_) BindThreadPlatform(platform);
}

ThreadPlatform::~ThreadPlatform() {
    if (bound_) BindThreadPlatform(previous_);
}

Platform* SetPlatform(Platform* platform) {
    Platform* previous = g_installed.exchange(platform, std::memory_order_acq_rel);
    return previous != nullptr ? previous : &NativePlatform();
}

}  // namespace pkx
