// Any journal a start finds in an installation, followed as the recovery
// follows it (or as the rollback of a run that completed). Whatever it says,
// no change reaches past the installation, a link in it included, and nothing
// outside it changes; a journal that is not followed is refused before any
// change; one that is followed only moves and deletes what was there, and
// goes once it is undone.
//
// Input: a mode byte (bit 0: the rollback; bit 1: version 1; bit 2: one byte
// of the journal changed), then entries, each a kind, a payload length (one
// byte) and the payload; the journal gets them with their checks, so that
// mutations reach past the checks. Bytes left that do not make an entry end
// the journal as they are, a torn tail.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
using Tree = std::map<std::string, std::string>;

void CheckAt(bool condition, int line) {
    if (condition) return;
    std::fprintf(stderr, "journal_fuzzer: check at line %d failed\n", line);
    std::abort();
}
#define Check(condition) CheckAt((condition), __LINE__)

// What an installation holds, as the seeds' journals name it; beside it the
// folder "outside", which "link" in the installation leads to.
const Tree kInstallation = {
    {"a.txt", "new a"},     {"a.txt.1.0.old", "old a"},     {"sub/", ""},
    {"sub/b.txt", "new b"}, {"sub/b.txt.1.0.old", "old b"}, {"sub/c.txt", "added"},
    {"made/", ""},          {"gone.txt.1.0.old", "gone"},
};
const Tree kOutside = {{"v1", "1"}, {"secret", "s"}, {"a.txt", "outside a"}};

Tree ListTree(const fs::path& root) {
    Tree tree;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string name = it->path().lexically_relative(root).generic_string();
        if (it->is_symlink()) {
            tree[name] = "-> " + fs::read_symlink(it->path(), error).string();
        } else if (it->is_directory()) {
            tree[name + "/"] = "";
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            tree[name] = std::string(std::istreambuf_iterator<char>(in), {});
        }
    }
    return tree;
}

void Lay(const fs::path& root, const Tree& tree) {
    std::error_code error;
    fs::remove_all(root, error);
    fs::create_directories(root, error);
    for (const auto& [name, content] : tree) {
        if (name.back() == '/') {
            fs::create_directories(root / name, error);
        } else {
            std::ofstream(root / name, std::ios::binary) << content;
        }
    }
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : std::string();
}

// Refuses, by aborting, every change whose folder is not in the installation,
// and counts the changes.
class Confinement final : public PlatformWrapper {
  public:
    Confinement(Platform& inner, const std::string& installation)
        : PlatformWrapper(inner), root_(RealPath(installation)) {}

    uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flags, FileHandle* out) override {
        if ((access & kGenericWrite) != 0 || disposition != kOpenExisting) Inside(path);
        changes += disposition != kOpenExisting ? 1 : 0;
        return PlatformWrapper::Open(path, access, share, disposition, flags, out);
    }
    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        ++changes;
        return PlatformWrapper::Write(file, buffer, count, done);
    }
    uint32_t SetEnd(FileHandle file) override {
        ++changes;
        return PlatformWrapper::SetEnd(file);
    }
    uint32_t Move(const char* from, const char* to) override {
        ++changes;
        Inside(from);
        Inside(to);
        return PlatformWrapper::Move(from, to);
    }
    uint32_t Delete(const char* path) override {
        ++changes;
        Inside(path);
        return PlatformWrapper::Delete(path);
    }
    uint32_t CreateFolder(const char* path) override {
        ++changes;
        Inside(path);
        return PlatformWrapper::CreateFolder(path);
    }
    uint32_t MoveIn(FolderHandle folder, const char* from, const char* to) override {
        InsideFolder(folder);
        return PlatformWrapper::MoveIn(folder, from, to);
    }
    uint32_t DeleteIn(FolderHandle folder, const char* name) override {
        InsideFolder(folder);
        return PlatformWrapper::DeleteIn(folder, name);
    }
    uint32_t CreateFolderIn(FolderHandle folder, const char* name) override {
        InsideFolder(folder);
        return PlatformWrapper::CreateFolderIn(folder, name);
    }
    uint32_t RemoveFolderIn(FolderHandle folder, const char* name) override {
        InsideFolder(folder);
        return PlatformWrapper::RemoveFolderIn(folder, name);
    }
    uint32_t CreateIn(FolderHandle folder, const char* name, uint32_t access, uint32_t flags,
                      FileHandle* out) override {
        InsideFolder(folder);
        return PlatformWrapper::CreateIn(folder, name, access, flags, out);
    }

    int changes = 0;

  private:
    bool IsInside(const std::string& real) const {
        return !real.empty() && (real == root_ || real.rfind(root_ + "/", 0) == 0);
    }
    // The folder the path's last name lies in, as the system finds it.
    void Inside(const char* path) {
        Check(IsInside(RealPath(fs::path(path).parent_path().string())));
    }
    // An opened folder where it really is.
    void InsideFolder(FolderHandle folder) {
        ++changes;
        Check(IsInside(RealPath("/proc/self/fd/" + std::to_string(folder))));
    }

    std::string root_;
};

class Silent final : public EventSink, public UndoObserver {
  public:
    void Send(uint32_t, intptr_t) override {}
    void Post(uint32_t, intptr_t) override { std::abort(); }
    void Restored(const char*) override {}
    void Removed(const char*) override {}
    void NotRestored(const char*, const char*) override {}
};

// The journal an input describes.
std::string JournalOf(const uint8_t* data, size_t size) {
    const uint8_t mode = size > 0 ? data[0] : 0;
    test::JournalBytes journal((mode & 2) != 0 ? 1 : 2);
    size_t at = 1;
    while (at + 2 <= size && at + 2 + data[at + 1] <= size) {
        journal.Entry(static_cast<char>(data[at]),
                      std::string(reinterpret_cast<const char*>(data) + at + 2, data[at + 1]));
        at += 2 + data[at + 1];
    }
    std::string bytes = journal.bytes();
    if (at < size) bytes.append(reinterpret_cast<const char*>(data) + at, size - at);
    if ((mode & 4) != 0) bytes[(mode >> 3) * bytes.size() / 32] ^= 0x20;
    return bytes;
}

// Every file of `after` holds what some file of `before` held.
bool NothingInvented(const Tree& before, const Tree& after) {
    std::set<std::string> contents;
    for (const auto& [name, content] : before) contents.insert(content);
    for (const auto& [name, content] : after) {
        if (name.back() != '/' && contents.count(content) == 0) return false;
    }
    return true;
}

}  // namespace
}  // namespace pkx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pkx;
    static fuzz::Folder sandbox("pkx-journal-fuzz-");
    static const std::string app = sandbox.File("app");
    static const std::string outside = sandbox.File("outside");
    static bool changed = true;  // the installation must be laid out again
    if (changed) {
        Lay(outside, kOutside);
        Lay(app, kInstallation);
        std::error_code error;
        fs::create_symlink(outside, fs::path(app) / "link", error);
        changed = false;
    }
    const std::string journal = JournalOf(data, size);
    std::ofstream(app + "/" + kJournalName, std::ios::binary | std::ios::trunc) << journal;
    Tree before = kInstallation;
    before["link"] = "-> " + outside;
    before[kJournalName] = journal;

    auto context = std::make_unique<ApplyContext>();
    std::snprintf(context->targetFolder, kPathBufferSize, "%s/", app.c_str());
    // No program folder: the recovery makes it current, and libFuzzer reads
    // its inputs by relative paths.
    Silent silent;
    context->events = &silent;
    ResultCode r = 0;
    Confinement confinement(NativePlatform(), app);
    {
        PlatformScope scope(confinement);
        if (size == 0 || (data[0] & 1) == 0) {
            r = RecoverInterruptedUpdate(*context);
        } else {
            FoundJournal found;
            r = found.Open(context->targetFolder);
            if (r == result::kSuccess) r = found.Follow(true, silent);
        }
    }
    Check(r == result::kSuccess || r == result::kJournal || r == result::kRecoveryIncomplete);
    // Not followed: refused before any change.
    if (r == result::kJournal) {
        Check(confinement.changes == 0);
        return 0;
    }
    const Tree after = ListTree(app);
    // Followed: the journal stays until it is undone (marked, perhaps, as a
    // completed run taken back), and nothing outside changed.
    changed = true;
    Check((after.count(kJournalName) == 1) == (r != result::kSuccess));
    Tree files = after;
    files.erase(kJournalName);
    Check(NothingInvented(before, files));
    Check(ListTree(outside) == kOutside);
    return 0;
}
