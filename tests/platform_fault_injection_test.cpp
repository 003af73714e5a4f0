#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/platforms/fault_injection.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using test::TempFolder;

class FaultInjectionTest : public ::testing::Test {
  protected:
    FileHandle OpenExisting(const std::string& path, uint32_t share = kShareRead) {
        FileHandle file = kInvalidFile;
        EXPECT_EQ(
            Os().Open(path.c_str(), kGenericRead, share, kOpenExisting, kAttributeNormal, &file),
            0u);
        return file;
    }

    TempFolder temp;
    FaultInjector injector{NativePlatform()};
};

TEST_F(FaultInjectionTest, ScopedPlatformInstallsAndRestores) {
    ASSERT_EQ(&Os(), &NativePlatform());
    {
        ScopedPlatform scope(injector);
        EXPECT_EQ(&Os(), &injector);
        Platform& outer = injector;
        FaultInjector inner(outer);
        {
            ScopedPlatform nested(inner);
            EXPECT_EQ(&Os(), &inner);
        }
        EXPECT_EQ(&Os(), &injector);
    }
    EXPECT_EQ(&Os(), &NativePlatform());
}

TEST_F(FaultInjectionTest, CountsEveryCallInAllAndByKind) {
    ASSERT_TRUE(test::WriteFile(temp / "f.txt", "abc"));
    ScopedPlatform scope(injector);
    FileHandle file = OpenExisting(temp / "f.txt");
    char buffer[4];
    uint32_t done = 0;
    ASSERT_EQ(Os().Read(file, buffer, 1, &done), 0u);
    ASSERT_EQ(Os().Read(file, buffer, 1, &done), 0u);
    Os().Close(file);
    EXPECT_TRUE(Os().Exists((temp / "f.txt").c_str()));

    EXPECT_EQ(injector.Count(), 5u);
    EXPECT_EQ(injector.Count(Operation::kOpen), 1u);
    EXPECT_EQ(injector.Count(Operation::kRead), 2u);
    EXPECT_EQ(injector.Count(Operation::kClose), 1u);
    EXPECT_EQ(injector.Count(Operation::kExists), 1u);
    EXPECT_EQ(injector.Count(Operation::kWrite), 0u);
    EXPECT_EQ(injector.FaultsTriggered(), 0u);

    injector.Reset();
    EXPECT_EQ(injector.Count(), 0u);
    EXPECT_EQ(injector.Count(Operation::kRead), 0u);
}

TEST_F(FaultInjectionTest, FailsTheKthOperationOfAnyKind) {
    ASSERT_TRUE(test::WriteFile(temp / "f.txt", "abc"));
    injector.FailAt(3, win32err::kReadFault);
    ScopedPlatform scope(injector);
    FileHandle file = OpenExisting(temp / "f.txt");      // 1
    EXPECT_TRUE(Os().Exists((temp / "f.txt").c_str()));  // 2
    char buffer[4] = {};
    uint32_t done = 9;
    EXPECT_EQ(Os().Read(file, buffer, 3, &done), win32err::kReadFault);  // 3
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(Os().Read(file, buffer, 3, &done), 0u);  // 4: the fault fired once
    EXPECT_EQ(std::string(buffer, done), "abc");
    Os().Close(file);
    EXPECT_EQ(injector.FaultsTriggered(), 1u);
}

TEST_F(FaultInjectionTest, FailsTheKthOperationOfOneKind) {
    ASSERT_TRUE(test::WriteFile(temp / "a", "a"));
    ASSERT_TRUE(test::WriteFile(temp / "b", "b"));
    injector.FailAt(2, win32err::kAccessDenied, Operation::kMove);
    injector.FailAt(1, 0, Operation::kExists);
    ScopedPlatform scope(injector);
    EXPECT_FALSE(Os().Exists((temp / "a").c_str()));  // a failing Exists reports missing
    EXPECT_TRUE(Os().Exists((temp / "a").c_str()));
    EXPECT_EQ(Os().Move((temp / "a").c_str(), (temp / "a2").c_str()), 0u);
    EXPECT_EQ(Os().Move((temp / "b").c_str(), (temp / "b2").c_str()), win32err::kAccessDenied);
    EXPECT_TRUE(test::PathExists(temp / "b"));  // the failed call never reached the system
    EXPECT_EQ(Os().Move((temp / "b").c_str(), (temp / "b2").c_str()), 0u);
    EXPECT_EQ(injector.FaultsTriggered(), 2u);
}

TEST_F(FaultInjectionTest, FailFromKeepsFailingAndCodeZeroMakesShortTransfers) {
    injector.FailFrom(2, 0, Operation::kWrite);
    ScopedPlatform scope(injector);
    FileHandle file = kInvalidFile;
    ASSERT_EQ(Os().Open((temp / "out").c_str(), kGenericWrite, kShareNone, kCreateAlways,
                        kAttributeArchive, &file),
              0u);
    uint32_t done = 0;
    EXPECT_EQ(Os().Write(file, "12", 2, &done), 0u);
    EXPECT_EQ(done, 2u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Os().Write(file, "34", 2, &done), 0u);
        EXPECT_EQ(done, 0u);
    }
    Os().Close(file);
    EXPECT_EQ(test::ReadFile(temp / "out"), "12");
    EXPECT_EQ(injector.FaultsTriggered(), 3u);
}

TEST_F(FaultInjectionTest, CloseCannotFailAndOpenFailuresLeaveNoHandle) {
    ASSERT_TRUE(test::WriteFile(temp / "f", "f"));
    injector.FailAt(1, win32err::kInvalidHandle, Operation::kClose);
    injector.FailAt(2, win32err::kSharingViolation, Operation::kOpen);
    ScopedPlatform scope(injector);
    FileHandle file = OpenExisting(temp / "f", kShareNone);
    Os().Close(file);  // released although a fault was planned
    FileHandle again = 12345;
    EXPECT_EQ(Os().Open((temp / "f").c_str(), kGenericRead, kShareNone, kOpenExisting,
                        kAttributeNormal, &again),
              win32err::kSharingViolation);
    EXPECT_EQ(again, kInvalidFile);
    file = OpenExisting(temp / "f", kShareNone);  // proves the first handle was closed
    Os().Close(file);
}

TEST_F(FaultInjectionTest, LookupsFailAsNotFound) {
    injector.FailAt(1, 5, Operation::kIniValue);
    injector.FailAt(1, 5, Operation::kSpecialFolderPath);
    injector.FailAt(1, 5, Operation::kModulePath);
    injector.FailAt(1, 1234, Operation::kRegistryValue);
    injector.FailAt(1, 1234, Operation::kEnumerateProcesses);
    ASSERT_TRUE(test::WriteFile(temp / "x.ini", "[s]\nk=v\n"));
    ScopedPlatform scope(injector);
    char buffer[260] = "stale";
    EXPECT_EQ(Os().IniValue((temp / "x.ini").c_str(), "s", "k", buffer, sizeof buffer), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(Os().IniValue((temp / "x.ini").c_str(), "s", "k", buffer, sizeof buffer), 1u);
    EXPECT_FALSE(Os().SpecialFolderPath(SpecialFolder::kWindows, buffer, sizeof buffer));
    EXPECT_TRUE(Os().SpecialFolderPath(SpecialFolder::kWindows, buffer, sizeof buffer));
    EXPECT_EQ(Os().ModulePath(buffer, sizeof buffer), 0u);
    EXPECT_EQ(Os().RegistryValue(RegistryRoot::kLocalMachine, "k", "v", buffer, sizeof buffer),
              1234u);
    struct Never : ProcessVisitor {
        bool Visit(const char*) override { return visited = true; }
        bool visited = false;
    } visitor;
    EXPECT_EQ(Os().EnumerateProcesses(visitor), 1234u);
    EXPECT_FALSE(visitor.visited);
}

TEST_F(FaultInjectionTest, CountsCallsFromManyThreads) {
    injector.FailAt(1000, 7, Operation::kExists);
    ScopedPlatform scope(injector);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                if (!Os().Exists(temp.path().c_str())) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(injector.Count(Operation::kExists), 2000u);
    EXPECT_EQ(failures.load(), 1);  // exactly one call was the thousandth
}

}  // namespace
}  // namespace pkx
