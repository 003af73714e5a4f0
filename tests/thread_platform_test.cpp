// A platform bound to one thread, as a run handed a system of its own binds
// it: Os() gives it on that thread only, bindings nest, and the process's
// platform is left as it was. Built for both targets.
#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.h"
#include "tests/platforms/platform_wrapper.h"

namespace pkx {
namespace {

TEST(ThreadPlatformTest, BindsTheCallingThreadOnlyAndNests) {
    Platform& process = Os();
    PlatformWrapper outer(process);
    PlatformWrapper inner(process);
    {
        const ThreadPlatform bindOuter(&outer);
        EXPECT_EQ(&Os(), &outer);
        Platform* otherThread = nullptr;
        std::thread([&] { otherThread = &Os(); }).join();
        EXPECT_EQ(otherThread, &process);
        {
            const ThreadPlatform bindInner(&inner);
            const ThreadPlatform bindNothing(nullptr);
            EXPECT_EQ(&Os(), &inner);
        }
        EXPECT_EQ(&Os(), &outer);
    }
    EXPECT_EQ(&Os(), &process);
}

}  // namespace
}  // namespace pkx
