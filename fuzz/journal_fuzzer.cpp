// Any journal a start finds, followed by the recovery: no change reaches past
// the installation (a link in it included); a journal not followed is refused
// before any change; one followed only moves and deletes what was there.
// Input: a mode byte (bit 1: version 1; bit 2: one byte changed, at
// (mode >> 3) / 32 of the journal), then entries, each a kind, a payload
// length byte and the payload, which get their checks so that mutations reach
// past them; bytes left over end the journal as a torn tail.
#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "engine/recovery.h"
#include "fuzz/fuzz_files.h"
#include "fuzz/journal_bytes.h"
#include "tests/platforms/platform_wrapper.h"

namespace pkx {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;  // name (a folder's with "/") to content

using fuzz::Check;

// The installation the seeds' journals name; "link" in it leads outside.
const Tree kInstallation = {{"a.txt", "new a"},          {"a.txt.1.0.old", "old a"},
                            {"sub/b.txt", "new b"},      {"sub/b.txt.1.0.old", "old b"},
                            {"sub/c.txt", "added"},      {"made/", ""},
                            {"gone.txt.1.0.old", "gone"}};
const Tree kOutside = {{"v1", "1"}, {"secret", "s"}, {"a.txt", "outside a"}};

Tree ListTree(const fs::path& root) {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        const std::string name = it->path().lexically_relative(root).generic_string();
        if (it->is_directory()) {  // a link leading to one too: it is not entered
            tree[name + "/"] = "";
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            tree[name] = std::string(std::istreambuf_iterator<char>(in), {});
        }
    }
    return tree;
}

void Lay(const fs::path& root, const Tree& tree) {
    fs::remove_all(root);
    for (const auto& [name, content] : tree) {
        fs::create_directories((root / name).parent_path());
        if (name.back() != '/') std::ofstream(root / name, std::ios::binary) << content;
    }
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// Counts the changes (the recovery makes them in opened folders), and aborts
// on one in a folder that really lies outside the installation.
class Confinement final : public PlatformWrapper {
  public:
    explicit Confinement(const std::string& root)
        : PlatformWrapper(NativePlatform()), root_(RealPath(root)) {}

    uint32_t MoveIn(FolderHandle folder, const char* from, const char* to,
                    FileHandle* opened) override {
        Inside(folder);
        return PlatformWrapper::MoveIn(folder, from, to, opened);
    }
    uint32_t DeleteIn(FolderHandle folder, const char* name) override {
        Inside(folder);
        return PlatformWrapper::DeleteIn(folder, name);
    }
    uint32_t RemoveFolderIn(FolderHandle folder, const char* name) override {
        Inside(folder);
        return PlatformWrapper::RemoveFolderIn(folder, name);
    }
    int changes = 0;

  private:
    void Inside(FolderHandle folder) {
        ++changes;
        const std::string real = RealPath("/proc/self/fd/" + std::to_string(folder));
        Check(real == root_ || real.rfind(root_ + "/", 0) == 0);
    }

    std::string root_;
};

std::string JournalOf(const uint8_t* data, size_t size) {
    const uint8_t mode = size > 0 ? data[0] : 0;
    test::JournalBytes journal((mode & 2) != 0 ? 1 : 2);
    size_t at = 1;
    for (; at + 2 <= size && at + 2 + data[at + 1] <= size; at += 2 + data[at + 1]) {
        journal.Entry(static_cast<char>(data[at]),
                      std::string(reinterpret_cast<const char*>(data) + at + 2, data[at + 1]));
    }
    std::string bytes = journal.bytes();
    if (at < size) bytes.append(reinterpret_cast<const char*>(data) + at, size - at);
    if ((mode & 4) != 0) bytes[(mode >> 3) * bytes.size() / 32] ^= 0x20;
    return bytes;
}

}  // namespace
}  // namespace pkx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pkx;
    static fuzz::Folder sandbox("pkx-journal-fuzz-");
    static const std::string app = sandbox.File("app");
    static const std::string outside = sandbox.File("outside");
    static bool changed = true;  // the installation is laid out again
    if (changed) {
        Lay(outside, kOutside);
        Lay(app, kInstallation);
        fs::create_symlink(outside, fs::path(app) / "link");
        changed = false;
    }
    const std::string journal = JournalOf(data, size);
    std::ofstream(app + "/" + kJournalName, std::ios::binary) << journal;

    // No program folder: the recovery would make it current, and libFuzzer
    // reads its inputs by relative paths. No events either.
    auto context = std::make_unique<ApplyContext>();
    std::snprintf(context->targetFolder, kPathBufferSize, "%s/", app.c_str());
    Confinement confinement(app);
    const ResultCode r = [&] {
        PlatformScope scope(confinement);
        return RecoverInterruptedUpdate(*context);
    }();
    Check(r == result::kSuccess || r == result::kJournal || r == result::kRecoveryIncomplete);
    if (r == result::kJournal) {
        Check(confinement.changes == 0);
        return 0;
    }
    changed = true;
    Check(ListTree(outside) == kOutside);
    // Every file holds what some file held; the journal goes once undone.
    std::set<std::string> contents;
    for (const auto& [name, content] : kInstallation) contents.insert(content);
    Tree after = ListTree(app);
    Check((after.erase(kJournalName) == 1) == (r != result::kSuccess));
    for (const auto& [name, content] : after) Check(contents.count(content) == 1);
    return 0;
}
