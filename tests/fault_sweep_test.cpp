// Every platform operation of a representative run made to fail in turn, and
// a Cancel at every point the engine looks for one: the installation ends
// exactly old (after the rollback) or exactly new, and the run says which.
// Then the run cut short at every operation (a kill, a power cut): the next
// start restores exactly the old version, or keeps the new one.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/platforms/fault_injection.h"
#include "tests/platforms/power_loss.h"
#include "tests/worker_fixtures.h"

namespace pkx::test {
namespace {

using packwriter::PackageModel;

const std::string kApp1 = Pattern(1200, 301);
const std::string kApp2 = Edited(kApp1, 300, 100, 302);
const std::string kApp3 = Edited(kApp2, 1000, 150, 303) + "more";
const std::string kCore1 = Pattern(700, 304);
const std::string kCore2 = Edited(kCore1, 0, 70, 305);
const std::string kOldText = Pattern(200, 306);
const std::string kConfigOld = "[old]\r\n";
const std::string kConfigNew = "[new]\r\nkey=value\r\n";
const std::string kAdded = Pattern(1500, 307);  // two copy chunks
const std::string kTextAgain = "back under the old name";

const Files kBefore = {{"app.exe", kApp1},
                       {"lib\\core.dll", kCore1},
                       {"old.txt", kOldText},
                       {"config.ini", kConfigOld},
                       {"readme.txt", "unchanged"}};
const Files kAfter = {{"app.exe", kApp3},       {"lib\\core.dll", kCore2},
                      {"sub\\new.txt", kAdded}, {"config.ini", kConfigNew},
                      {"old.txt", kTextAgain},  {"readme.txt", "unchanged"}};

// The files and, with a trailing separator, every folder that holds one.
Tree WithFolders(const Files& files) {
    Tree tree(files.begin(), files.end());
    for (const auto& [name, content] : files) {
        for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1)) {
            tree[name.substr(0, at + 1)] = "";
        }
    }
    return tree;
}

const Tree kBeforeTree = WithFolders(kBefore);
const Tree kAfterTree = WithFolders(kAfter);

// Two packages: 1 to 2 updates, adds into a new folder and deletes; 2 to 3,
// checking by date and size, updates the same file again, overwrites an
// existing file and adds a file under the name that 1 to 2 deleted. The
// last one says to delete the backups. Both are of format `version`.
Bytes SweepPayload(const std::string& folder, uint16_t version) {
    PackageModel first = FixedFolderModel(folder, "1", "2");
    first.version = version;
    first.runningCheck = {2, "", "", "pkx-sweep-not-running.exe", 0};
    first.updates.push_back(UpdateRecord("app.exe", kApp1, kApp2));
    first.updates.push_back(UpdateRecord("lib\\core.dll", kCore1, kCore2));
    first.adds.push_back(AddRecord("sub\\new.txt", kAdded));
    first.deletes.push_back(DeleteRecord("old.txt", kOldText));
    // The second package knows app.exe by the write time the first one gave it.
    PackageModel second = FixedFolderModel(folder, "2", "3");
    second.version = version;
    second.hasNewCheckValues = 0;
    second.overwriteExistingAdds = 1;
    second.checkMode = 1;
    second.updates.push_back(UpdateRecord("app.exe", kApp2, kApp3));
    second.updates.back().oldCheckValue =
        packwriter::DateSizeCheckValue(kNewWriteTime, static_cast<uint32_t>(kApp2.size()));
    second.adds.push_back(AddRecord("config.ini", kConfigNew));
    second.adds.push_back(AddRecord("old.txt", kTextAgain));
    second.deleteBackupsDefault = 1;
    return ContainerOf({BuildOrFail(first), BuildOrFail(second)});
}

// One program file for all runs, of the format version the parameter names;
// each run gets a fresh installation.
class SweepTest : public ::testing::TestWithParam<uint16_t> {
  protected:
    void SetUp() override {
        program_ = program / "update.exe";
        NewRun()->WriteProgram(SweepPayload(installation.path(), GetParam()));
    }

    // The installation laid out as `tree` (files and folders).
    void Lay(const Tree& tree) {
        const std::filesystem::path root = NativePath(installation.path());
        for (const auto& entry : std::filesystem::directory_iterator(root)) {
            std::filesystem::remove_all(entry.path());
        }
        for (const auto& [name, content] : tree) {
            ASSERT_TRUE(name.back() == '\\' ? MakeFolders(installation / name)
                                            : WriteFile(installation / name, content));
        }
    }
    void Reinstall() { Lay(kBefore); }

    std::unique_ptr<WorkerRun> NewRun() {
        auto run = std::make_unique<WorkerRun>(program.path(), program_);
        run->context->autoFinish = 1;
        return run;
    }

    // A fresh installation and one run, through `platform` when given.
    std::unique_ptr<WorkerRun> RunOnce(Platform* platform, ResultCode* r) {
        Reinstall();
        auto run = NewRun();
        std::unique_ptr<PlatformScope> scope;
        if (platform != nullptr) scope = std::make_unique<PlatformScope>(*platform);
        *r = run->Run();
        return run;
    }

    // One final event, posted last, matching the result; then exactly the new
    // installation once its backups are deleted, or exactly the old one, its
    // files and folders, after the rollback.
    void ExpectEnd(WorkerRun& run, ResultCode r, bool successAllowed, const std::string& what) {
        EXPECT_EQ(run.PostedCount(), 1u) << what;
        ASSERT_NE(run.Final(), nullptr) << what;
        const uint32_t final = r == 0   ? EV_FINISHED
                               : r == 1 ? EV_CANCELLED
                               : r == 2 ? EV_PROGRAM_RUNNING
                                        : EV_FAILED;
        EXPECT_EQ(run.Final()->code, final) << what;
        if (r == result::kSuccess) {
            EXPECT_TRUE(successAllowed) << what << " was not reported";
            run.RemoveBackups();
            EXPECT_EQ(ListTree(installation.path()), kAfterTree) << what;
            return;
        }
        run.Restore();
        EXPECT_EQ(ListTree(installation.path()), kBeforeTree) << what << " (result " << r << ")";
    }

    TempFolder program;
    TempFolder installation;
    std::string program_;
};

// Notes the byte count of every read and write: a transfer of zero bytes
// cannot come up short.
class SizeRecorder final : public FaultInjector {
  public:
    using FaultInjector::FaultInjector;

    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override {
        reads.push_back(count);
        return FaultInjector::Read(file, buffer, count, done);
    }
    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        writes.push_back(count);
        return FaultInjector::Write(file, buffer, count, done);
    }

    std::vector<uint32_t> reads;
    std::vector<uint32_t> writes;
};

struct KindPlan {
    Operation kind;
    const char* name;
    // The Win32 code; 0 for a read or write that succeeds short.
    uint32_t code;
    // A success is right only when the failure can be absorbed: the write
    // time, the current folder, a text or folder lookup, or a "not found"
    // answer about a file that is indeed absent.
    bool successAllowed;
};

const KindPlan kPlans[] = {
    {Operation::kOpen, "Open", 5, false},
    {Operation::kRead, "Read", 30, false},
    {Operation::kRead, "Read (short)", 0, false},
    {Operation::kWrite, "Write", 112, false},
    {Operation::kWrite, "Write (short)", 0, false},
    {Operation::kSeek, "Seek", 87, false},
    {Operation::kSize, "Size", 5, false},
    {Operation::kGetWriteTime, "GetWriteTime", 5, false},
    {Operation::kSetWriteTime, "SetWriteTime", 5, true},
    {Operation::kExists, "Exists", 0, true},
    {Operation::kMove, "Move", 5, false},
    {Operation::kDelete, "Delete", 5, false},
    {Operation::kCreateFolder, "CreateFolder", 5, false},
    {Operation::kSetCurrentFolder, "SetCurrentFolder", 3, true},
    {Operation::kLoadText, "LoadText", 0, true},
    {Operation::kSpecialFolderPath, "SpecialFolderPath", 0, true},
    {Operation::kEnumerateProcesses, "EnumerateProcesses", 8, false},
    {Operation::kRegistryValue, "RegistryValue", 2, false},
    {Operation::kIniValue, "IniValue", 0, false},
    {Operation::kFindTopWindow, "FindTopWindow", 0, true},
    {Operation::kCopyAccessMode, "CopyAccessMode", 5, true},
    {Operation::kFlush, "Flush", 5, false},
    {Operation::kStartFlush, "StartFlush", 5, false},
    {Operation::kFlushFolder, "FlushFolder", 5, false},
    {Operation::kNameExists, "NameExists", 0, true},
    {Operation::kOpenFolder, "OpenFolder", 5, true},  // a link check's failure is no link
};

TEST_P(SweepTest, EveryFailingOperationLeavesTheOldOrTheNewInstallation) {
    // The clean run, counted, on a disk that never waits for flushes.
    PowerLossPlatform quickDisk(NativePlatform());
    SizeRecorder counter(quickDisk);
    ResultCode r = 0;
    ExpectEnd(*RunOnce(&counter, &r), r, true, "clean run");
    ASSERT_EQ(r, result::kSuccess);

    uint64_t covered = 0;
    for (const KindPlan& plan : kPlans) {
        const uint64_t total = counter.Count(plan.kind);
        const bool isShort =
            plan.code == 0 && (plan.kind == Operation::kRead || plan.kind == Operation::kWrite);
        const std::vector<uint32_t>& sizes =
            plan.kind == Operation::kRead ? counter.reads : counter.writes;
        for (uint64_t k = 1; k <= total; ++k) {
            if (isShort && sizes.at(k - 1) == 0) continue;
            const std::string what =
                std::string(plan.name) + " #" + std::to_string(k) + " of " + std::to_string(total);
            PowerLossPlatform disk(NativePlatform());
            FaultInjector injector(disk);
            injector.FailAt(k, plan.code, plan.kind);
            auto run = RunOnce(&injector, &r);
            ++covered;
            ASSERT_EQ(injector.FaultsTriggered(), 1u) << what << ": the run took another path";
            EXPECT_NE(r, result::kCancelled) << what;
            ExpectEnd(*run, r, plan.successAllowed, what);
            if (HasFatalFailure()) return;
        }
    }
    RecordProperty("failure_points", static_cast<int>(covered));
    EXPECT_GT(covered, 100u);
}

TEST_P(SweepTest, CancelAtEveryPollIsHonouredAndRolledBack) {
    CancelAtPoll clean;
    ResultCode r = 0;
    {
        CancelHookScope hook(&clean);
        RunOnce(nullptr, &r);
    }
    ASSERT_EQ(r, result::kSuccess);
    ASSERT_GT(clean.polls, 10u);
    for (uint64_t j = 1; j <= clean.polls; ++j) {
        const std::string what = "cancel at poll " + std::to_string(j);
        CancelAtPoll counter;
        counter.at = j;
        std::unique_ptr<WorkerRun> run;
        {
            CancelHookScope hook(&counter);
            run = RunOnce(nullptr, &r);
        }
        EXPECT_EQ(r, result::kCancelled) << what;
        ExpectEnd(*run, r, false, what);
        if (HasFatalFailure()) return;
    }
    RecordProperty("cancel_polls", static_cast<int>(clean.polls));
}

TEST_P(SweepTest, CancelAfterEveryEventEndsCancelledOrComplete) {
    ResultCode r = 0;
    // The posted event cannot be answered.
    const size_t events = RunOnce(nullptr, &r)->events.events.size() - 1;
    ASSERT_EQ(r, result::kSuccess);
    size_t completed = 0;
    for (size_t e = 1; e <= events; ++e) {
        const std::string what = "cancel after event " + std::to_string(e);
        Reinstall();
        auto run = NewRun();
        WorkerRun* self = run.get();
        run->afterEvent = [self, e](const RecordedEvent&) {
            if (self->events.events.size() == e) self->context->cancelRequested = 1;
        };
        r = run->Run();
        // A success only after the last poll: the rest of the run cannot be stopped.
        completed += r == result::kSuccess ? 1 : 0;
        EXPECT_TRUE(r == result::kSuccess || r == result::kCancelled) << what << ": " << r;
        ExpectEnd(*run, r, true, what);
        if (HasFatalFailure()) return;
    }
    EXPECT_LT(completed, events / 4) << "most events are followed by a poll";
}

// --- Runs cut short

enum class Cut { kKill, kPowerLoss };

const char* NameOf(Cut cut) { return cut == Cut::kKill ? "kill" : "power loss"; }

class CrashSweepTest : public SweepTest {
  protected:
    // One start of the updater on a disk that never waits for flushes, and
    // after a success its backups deleted as the package says; `stopAt` > 0
    // stops it for good at that operation, and a power cut then takes back
    // what it had not made durable, keeping half the last write at every
    // other operation. Returns the operations made.
    uint64_t Start(uint64_t stopAt, Cut cut, uint64_t* atReady = nullptr) {
        PowerLossPlatform disk(NativePlatform());
        FaultInjector injector(disk);
        if (stopAt > 0) injector.FailAllFrom(stopAt, win32err::kAccessDenied);
        {
            auto run = NewRun();
            run->afterEvent = [&](const RecordedEvent& event) {
                if (event.code == EV_READY && atReady != nullptr && *atReady == 0) {
                    *atReady = injector.Count();
                }
            };
            PlatformScope scope(injector);
            if (run->Run() == result::kSuccess) run->RemoveBackups();
        }  // the process is gone: its handles are closed
        if (stopAt > 0 && cut == Cut::kPowerLoss) disk.CutPower(stopAt % 2 == 1);
        return injector.Count();
    }

    // The next start, not cut short, found exactly the old files and folders
    // or the new ones, their backups deleted as the package said, once it had
    // dealt with any journal (at its first EV_READY), and left the new version
    // without a journal. True for new.
    bool StartAgainFindsOldOrNew(const std::string& what) {
        PowerLossPlatform disk(NativePlatform());
        auto run = NewRun();
        Tree found;
        bool ready = false;
        bool recovered = false;
        run->afterEvent = [&](const RecordedEvent& event) {
            if (event.code == EV_RECOVERY_FOUND) recovered = true;
            if (event.code == EV_READY && !ready) {
                ready = true;
                found = ListTree(installation.path());
            }
        };
        ResultCode r = 0;
        {
            PlatformScope scope(disk);
            r = run->Run();
            run->RemoveBackups();
        }
        recoveries += recovered ? 1 : 0;
        const bool isNew = found == kAfterTree;
        EXPECT_TRUE(isNew || found == kBeforeTree)
            << what << ": found " << Difference(FilesOf(found), kBefore);
        EXPECT_EQ(r, result::kSuccess) << what;
        EXPECT_EQ(ListTree(installation.path()), kAfterTree) << what;
        return isNew;
    }

    uint64_t recoveries = 0;
};

TEST_P(CrashSweepTest, CutShortAtEveryOperationTheNextStartEndsOldOrNew) {
    for (const Cut cut : {Cut::kKill, Cut::kPowerLoss}) {
        Reinstall();
        const uint64_t total = Start(0, cut);
        recoveries = 0;
        uint64_t firstNew = 0;
        for (uint64_t k = 1; k <= total; ++k) {
            const std::string what =
                std::string(NameOf(cut)) + " at operation " + std::to_string(k);
            Reinstall();
            Start(k, cut);
            const bool isNew = StartAgainFindsOldOrNew(what);
            // Old up to the commit, new from there on: one switch, never back.
            if (isNew && firstNew == 0) firstNew = k;
            EXPECT_TRUE(isNew || firstNew == 0) << what << ": old again after new at " << firstNew;
            if (HasFailure()) return;
        }
        EXPECT_GT(recoveries, total / 2) << NameOf(cut);
        // Cut at its very last operation, the run had made everything durable.
        EXPECT_GT(firstNew, total / 2) << NameOf(cut);
        EXPECT_TRUE(firstNew > 0 && firstNew <= total) << NameOf(cut);
        RecordProperty(cut == Cut::kKill ? "kill_points" : "power_loss_points",
                       static_cast<int>(total));
    }
}

// A recovery cut short in its turn leaves a journal that the start after
// completes. The update is cut where its journal is longest (just before the
// commit) and where the first package is half done.
TEST_P(CrashSweepTest, RecoveryCutShortIsCompletedByTheStartAfter) {
    Reinstall();
    const uint64_t total = Start(0, Cut::kKill);
    uint64_t lastOld = total;
    for (; lastOld > 0; --lastOld) {
        Reinstall();
        Start(lastOld, Cut::kKill);
        if (!StartAgainFindsOldOrNew("probe")) break;
    }
    ASSERT_GT(lastOld, 0u);
    uint64_t cuts = 0;
    for (const Cut cut : {Cut::kKill, Cut::kPowerLoss}) {
        for (const uint64_t k : {lastOld, lastOld / 2}) {
            Reinstall();
            Start(k, cut);
            const Tree mixed = ListTree(installation.path());
            ASSERT_TRUE(mixed.count(kJournalName) == 1) << "no journal after a cut at " << k;
            uint64_t recovery = 0;
            Start(0, cut, &recovery);
            ASSERT_GT(recovery, 10u);
            for (uint64_t j = 1; j < recovery; ++j) {
                const std::string what = std::string(NameOf(cut)) + " at operation " +
                                         std::to_string(k) + ", then at " + std::to_string(j);
                Lay(mixed);
                Start(j, cut);
                EXPECT_FALSE(StartAgainFindsOldOrNew(what)) << what;
                ++cuts;
                if (HasFailure()) return;
            }
        }
    }
    RecordProperty("recovery_cuts", static_cast<int>(cuts));
}

INSTANTIATE_TEST_SUITE_P(Formats, SweepTest, ::testing::Values(150, gate::kCompressedData));
INSTANTIATE_TEST_SUITE_P(Formats, CrashSweepTest, ::testing::Values(150, gate::kCompressedData));

}  // namespace
}  // namespace pkx::test
