// A platform for tests that counts the operations passing through it and
// makes chosen ones fail.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/platforms/platform_wrapper.h"

namespace pkx {

// Operation kinds, one per seam call.
enum class Operation : uint8_t {
    kOpen,
    kRead,
    kWrite,
    kSeek,
    kSize,
    kGetWriteTime,
    kSetWriteTime,
    kClose,
    kExists,
    kMove,
    kDelete,
    kCreateFolder,
    kSetCurrentFolder,
    kModulePath,
    kAnsiCodePage,
    kLoadText,
    kMilliseconds,
    kSleep,
    kRegistryValue,
    kIniValue,
    kSpecialFolderPath,
    kEnumerateProcesses,
    kFindTopWindow,
    kCopyAccessMode,
    kFlush,
    kStartFlush,
    kFlushFolder,
    kNameExists,
};
inline constexpr size_t kOperationKinds = static_cast<size_t>(Operation::kNameExists) + 1;

// Wraps another platform. Every call is counted, in all and by kind, and
// passed on unless a planned fault matches it. A failing call does not reach
// the wrapped platform and behaves as follows:
//  - operations with a result code return the planned code; Open leaves the
//    handle invalid; Read and Write report nothing transferred, so a planned
//    code of 0 makes them succeed short (the end of a file, a full disk);
//    for the others a code of 0 reports success without doing anything;
//  - Exists, NameExists, SpecialFolderPath and FindTopWindow report nothing found;
//    ModulePath, LoadText and IniValue return 0 with an empty buffer;
//  - Close, AnsiCodePage, Milliseconds and Sleep cannot fail: they are
//    counted and passed on;
//  - InsideCodePage, ConvertToInside and PathForDisplay, which only work on
//    strings, are passed on uncounted.
// Faults are planned while no other thread uses the injector; counting is
// safe from any number of threads.
class FaultInjector : public PlatformWrapper {
  public:
    explicit FaultInjector(Platform& inner) : PlatformWrapper(inner) {}

    // The k-th counted operation (1-based) fails with `code`.
    void FailAt(uint64_t k, uint32_t code);
    // The k-th operation of kind `kind` fails with `code`.
    void FailAt(uint64_t k, uint32_t code, Operation kind);
    // Every operation of kind `kind` from its k-th on fails with `code`.
    void FailFrom(uint64_t k, uint32_t code, Operation kind);
    // Every operation from the k-th on fails with `code`: the run stops
    // reaching the system there for good, as if the process had been killed.
    void FailAllFrom(uint64_t k, uint32_t code);
    // Forgets planned faults and zeroes the counters.
    void Reset();

    uint64_t Count() const { return total_.load(); }
    uint64_t Count(Operation kind) const { return byKind_[static_cast<size_t>(kind)].load(); }
    // How many calls a planned fault made fail.
    uint64_t FaultsTriggered() const { return triggered_.load(); }

    // The overrides are defined here, not in the .cpp: the library is built
    // without RTTI, and tests (with RTTI) derive from this class, so its
    // vtable and type information must be emitted where it is used.
    uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flags, FileHandle* out) override {
        uint32_t code = 0;
        if (!Hit(Operation::kOpen, &code)) {
            return inner().Open(path, access, share, disposition, flags, out);
        }
        *out = kInvalidFile;
        return code;
    }
    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override {
        uint32_t code = 0;
        if (!Hit(Operation::kRead, &code)) return inner().Read(file, buffer, count, done);
        *done = 0;
        return code;
    }
    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        uint32_t code = 0;
        if (!Hit(Operation::kWrite, &code)) return inner().Write(file, buffer, count, done);
        *done = 0;
        return code;
    }
    uint32_t Seek(FileHandle file, int32_t distance, uint32_t origin, uint32_t* position) override {
        uint32_t code = 0;
        return Hit(Operation::kSeek, &code) ? code : inner().Seek(file, distance, origin, position);
    }
    uint32_t Size(FileHandle file, uint32_t* size) override {
        uint32_t code = 0;
        return Hit(Operation::kSize, &code) ? code : inner().Size(file, size);
    }
    uint32_t GetWriteTime(FileHandle file, FileTime* time) override {
        uint32_t code = 0;
        return Hit(Operation::kGetWriteTime, &code) ? code : inner().GetWriteTime(file, time);
    }
    uint32_t SetWriteTime(FileHandle file, const FileTime& time) override {
        uint32_t code = 0;
        return Hit(Operation::kSetWriteTime, &code) ? code : inner().SetWriteTime(file, time);
    }
    uint32_t CopyAccessMode(FileHandle from, FileHandle to) override {
        uint32_t code = 0;
        return Hit(Operation::kCopyAccessMode, &code) ? code : inner().CopyAccessMode(from, to);
    }
    void Close(FileHandle file) override {
        uint32_t code = 0;
        Hit(Operation::kClose, &code);  // a handle is always released
        inner().Close(file);
    }
    uint32_t Flush(FileHandle file) override {
        uint32_t code = 0;
        return Hit(Operation::kFlush, &code) ? code : inner().Flush(file);
    }
    uint32_t StartFlush(FileHandle file) override {
        uint32_t code = 0;
        return Hit(Operation::kStartFlush, &code) ? code : inner().StartFlush(file);
    }
    uint32_t FlushFolder(const char* folder) override {
        uint32_t code = 0;
        return Hit(Operation::kFlushFolder, &code) ? code : inner().FlushFolder(folder);
    }
    bool Exists(const char* pattern) override {
        uint32_t code = 0;
        return !Hit(Operation::kExists, &code) && inner().Exists(pattern);
    }
    bool NameExists(const char* path) override {
        uint32_t code = 0;
        return !Hit(Operation::kNameExists, &code) && inner().NameExists(path);
    }
    uint32_t Move(const char* from, const char* to) override {
        uint32_t code = 0;
        return Hit(Operation::kMove, &code) ? code : inner().Move(from, to);
    }
    uint32_t Delete(const char* path) override {
        uint32_t code = 0;
        return Hit(Operation::kDelete, &code) ? code : inner().Delete(path);
    }
    uint32_t CreateFolder(const char* path) override {
        uint32_t code = 0;
        return Hit(Operation::kCreateFolder, &code) ? code : inner().CreateFolder(path);
    }
    uint32_t SetCurrentFolder(const char* path) override {
        uint32_t code = 0;
        return Hit(Operation::kSetCurrentFolder, &code) ? code : inner().SetCurrentFolder(path);
    }
    uint32_t ModulePath(char* buffer, uint32_t size) override {
        uint32_t code = 0;
        if (!Hit(Operation::kModulePath, &code)) return inner().ModulePath(buffer, size);
        return Empty(buffer, size);
    }
    uint32_t AnsiCodePage() override {
        uint32_t code = 0;
        Hit(Operation::kAnsiCodePage, &code);
        return inner().AnsiCodePage();
    }
    uint32_t LoadText(uint32_t id, TextLanguage language, char* buffer, uint32_t size) override {
        uint32_t code = 0;
        if (!Hit(Operation::kLoadText, &code)) return inner().LoadText(id, language, buffer, size);
        return Empty(buffer, size);
    }
    uint32_t Milliseconds() override {
        uint32_t code = 0;
        Hit(Operation::kMilliseconds, &code);
        return inner().Milliseconds();
    }
    void Sleep(uint32_t milliseconds) override {
        uint32_t code = 0;
        Hit(Operation::kSleep, &code);
        inner().Sleep(milliseconds);
    }
    uint32_t RegistryValue(RegistryRoot root, const char* key, const char* name, char* buffer,
                           uint32_t size) override {
        uint32_t code = 0;
        if (Hit(Operation::kRegistryValue, &code)) return code;
        return inner().RegistryValue(root, key, name, buffer, size);
    }
    uint32_t IniValue(const char* file, const char* section, const char* key, char* buffer,
                      uint32_t size) override {
        uint32_t code = 0;
        if (!Hit(Operation::kIniValue, &code)) {
            return inner().IniValue(file, section, key, buffer, size);
        }
        return Empty(buffer, size);
    }
    bool SpecialFolderPath(SpecialFolder folder, char* buffer, uint32_t size) override {
        uint32_t code = 0;
        return !Hit(Operation::kSpecialFolderPath, &code) &&
               inner().SpecialFolderPath(folder, buffer, size);
    }
    uint32_t EnumerateProcesses(ProcessVisitor& visitor) override {
        uint32_t code = 0;
        return Hit(Operation::kEnumerateProcesses, &code) ? code
                                                          : inner().EnumerateProcesses(visitor);
    }
    bool FindTopWindow(const char* title, const char* className) override {
        uint32_t code = 0;
        return !Hit(Operation::kFindTopWindow, &code) && inner().FindTopWindow(title, className);
    }

  private:
    struct Fault {
        uint64_t k;
        uint32_t code;
        bool anyKind;
        Operation kind;
        bool onwards;
    };

    // Counts one call; true (and the code) when a planned fault hits it.
    bool Hit(Operation kind, uint32_t* code);
    static uint32_t Empty(char* buffer, uint32_t size) {
        if (size > 0) buffer[0] = '\0';
        return 0;
    }

    std::vector<Fault> faults_;
    std::atomic<uint64_t> total_{0};
    std::atomic<uint64_t> byKind_[kOperationKinds] = {};
    std::atomic<uint64_t> triggered_{0};
};

}  // namespace pkx
