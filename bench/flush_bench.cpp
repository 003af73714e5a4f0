// What making an update durable costs: the typescript 5.3.3 -> 5.4.5 update
// (31 MB, 47 files changed) applied by the worker in this process, in turns
//   - as the updater does it: the journal and each new file flushed before
//     what depends on them, the new files' writing begun at their closing and
//     waited for once, at the commit;
//   - without any flush (the durability calls return at once);
//   - with each new file flushed on its own as it is closed.
// Each run starts from a fresh copy of the old tree, after a sync, so that no
// run waits for another's writing. The ratios to the run without flushes are
// the cost. The tree pair comes from `npm pack` (the cache of
// scripts/bench_pairs.py, or PKX_BENCH_NPM), in a temporary folder on the
// disk that holds the system's temporary folder.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "builder/manifest.h"
#include "builder/plan.h"
#include "core/apply_context.h"
#include "engine/backups.h"
#include "engine/journal.h"
#include "engine/worker.h"
#include "package/writer/package_writer.h"
#include "tests/platforms/platform_wrapper.h"
#include "texts/text_table.h"

namespace pkx {
namespace {

namespace fs = std::filesystem;

fs::path PairFolder(const char* version) {
    const char* cache = std::getenv("PKX_BENCH_NPM");
    const fs::path root =
        cache != nullptr
            ? fs::path(cache)
            : fs::path(std::getenv("HOME") ? std::getenv("HOME") : "") / ".cache/pkx-bench/npm";
    return root / (std::string("typescript-") + version) / "package";
}

// The durability calls return at once.
class NoFlush final : public PlatformWrapper {
  public:
    using PlatformWrapper::PlatformWrapper;
    uint32_t Flush(FileHandle) override { return 0; }
    uint32_t StartFlush(FileHandle) override { return 0; }
    uint32_t FlushFolder(const char*) override { return 0; }
};

// Every new file waits for the disk as it is closed.
class FlushEachFile final : public PlatformWrapper {
  public:
    using PlatformWrapper::PlatformWrapper;
    uint32_t StartFlush(FileHandle file) override { return inner().Flush(file); }
};

class QuietUi final : public EventSink, public Prompter {
  public:
    void Send(uint32_t, intptr_t) override {}
    void Post(uint32_t, intptr_t) override {}
    bool Confirm(const char*, const char*) override { return true; }
    int AskPassword(ApplyContext&) override { return 1; }
    int AskTargetFolder(ApplyContext&) override { return 1; }
    void ShowNotice(ApplyContext&, const char*) override {}
    void CreateUiFont(ApplyContext&, bool) override {}
};

class Fixture {
  public:
    Fixture()
        : folder_(fs::temp_directory_path() / ("pkx-flush-bench-" + std::to_string(getpid()))) {
        if (!fs::is_directory(PairFolder("5.3.3")) || !fs::is_directory(PairFolder("5.4.5"))) {
            error_ = "typescript 5.3.3 and 5.4.5 not found: npm pack them into " +
                     PairFolder("5.3.3").parent_path().parent_path().string();
            return;
        }
        fs::create_directories(folder_);
        builder::Manifest manifest;
        const std::string text =
            "title = \"TypeScript\"\nold_version = \"5.3.3\"\n"
            "new_version = \"5.4.5\"\n[[folder_source]]\nkind = \"path\"\n"
            "path = '" +
            Installation() + "'\n";
        builder::BuildRequest request;
        request.oldFolders.push_back(PairFolder("5.3.3").string());
        request.newFolder = PairFolder("5.4.5").string();
        builder::BuildResult built;
        packwriter::Bytes program;
        if (!builder::ParseManifest(text, "bench.toml", &manifest, &error_)) return;
        request.manifest = manifest;
        if (!builder::BuildPayload(request, nullptr, &built, &error_)) return;
        if (!packwriter::BuildSelfExtracting({'M', 'Z'}, built.payload, &program, &error_) ||
            packwriter::WriteFileBytes(Program().c_str(), program) != 0) {
            error_ = error_.empty() ? "cannot write the updater" : error_;
            return;
        }
        ready_ = true;
    }
    ~Fixture() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    const std::string& error() const { return error_; }
    bool ready() const { return ready_; }
    std::string Installation() const { return (folder_ / "app").string(); }
    std::string Program() const { return (folder_ / "update").string(); }

    // A fresh old tree, its writing finished.
    void Reinstall() const {
        std::error_code ignored;
        fs::remove_all(Installation(), ignored);
        fs::copy(PairFolder("5.3.3"), Installation(), fs::copy_options::recursive);
        sync();
    }

    // One unattended run, closed with the backups deleted; its seconds.
    double Update(Platform& platform) const {
        auto context = std::make_unique<ApplyContext>();
        QuietUi ui;
        context->events = &ui;
        context->prompts = &ui;
        context->autoFinish = 1;
        LoadDefaultTexts(*context);
        std::strcpy(context->programPath, Program().c_str());
        std::strcpy(context->programFolder, (folder_.string() + "/").c_str());
        Platform* previous = SetPlatform(&platform);
        const auto start = std::chrono::steady_clock::now();
        RunWorker(context.get());
        DeleteBackups(*context);
        EndJournal(*context);
        const auto end = std::chrono::steady_clock::now();
        SetPlatform(previous);
        if (context->result != result::kSuccess) return -1;
        return std::chrono::duration<double>(end - start).count();
    }

  private:
    fs::path folder_;
    std::string error_;
    bool ready_ = false;
};

void BM_TypescriptUpdate(benchmark::State& state) {
    static Fixture fixture;
    if (!fixture.ready()) return state.SkipWithError(fixture.error().c_str());
    NoFlush none(NativePlatform());
    FlushEachFile eachFile(NativePlatform());
    Platform* const platforms[] = {&NativePlatform(), &none, &eachFile};
    double seconds[3] = {};
    for (auto _ : state) {
        for (int i = 0; i < 3; ++i) {
            fixture.Reinstall();
            const double took = fixture.Update(*platforms[i]);
            if (took < 0) return state.SkipWithError("the update failed");
            seconds[i] += took;
        }
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["flushed_ms"] = seconds[0] / runs * 1000;
    state.counters["unflushed_ms"] = seconds[1] / runs * 1000;
    state.counters["each_file_ms"] = seconds[2] / runs * 1000;
    state.counters["flushed_ratio"] = seconds[0] / seconds[1];
    state.counters["each_file_ratio"] = seconds[2] / seconds[1];
}
BENCHMARK(BM_TypescriptUpdate)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(12);

}  // namespace
}  // namespace pkx

BENCHMARK_MAIN();
