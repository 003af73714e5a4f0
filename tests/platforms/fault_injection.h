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
    kNameExists
};
inline constexpr size_t kOperationKinds = static_cast<size_t>(Operation::kNameExists) + 1;

// Counts every call, in all and by kind, and passes it on unless a planned
// fault hits it. A failing call returns the planned code without reaching the
// wrapped platform; Read and Write then report nothing transferred (a code of
// 0 makes them succeed short); the lookups find nothing and the texts come
// back empty. Close, AnsiCodePage, Milliseconds and Sleep cannot fail.
// Faults are planned while no other thread uses the injector.
class FaultInjector : public PlatformWrapper {
  public:
    explicit FaultInjector(Platform& inner) : PlatformWrapper(inner) {}

    // The k-th (1-based) operation of kind `kind` fails with `code`.
    void FailAt(uint64_t k, uint32_t code, Operation kind);
    // Every operation of kind `kind` from its k-th on fails with `code`.
    void FailFrom(uint64_t k, uint32_t code, Operation kind);
    // Every operation from the k-th on fails, as if the process were killed.
    void FailAllFrom(uint64_t k, uint32_t code);
    // Forgets planned faults and zeroes the counters.
    void Reset();

    uint64_t Count() const { return total_.load(); }
    uint64_t Count(Operation kind) const { return byKind_[static_cast<size_t>(kind)].load(); }
    // How many calls a planned fault made fail.
    uint64_t FaultsTriggered() const { return triggered_.load(); }

    // Defined here: the vtable must be emitted by the tests, built with RTTI.
    uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flags, FileHandle* out) override {
        return Pass(
            Operation::kOpen, [&] { *out = kInvalidFile; },
            [&] { return inner().Open(path, access, share, disposition, flags, out); });
    }
    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override {
        return Pass(
            Operation::kRead, [&] { *done = 0; },
            [&] { return inner().Read(file, buffer, count, done); });
    }
    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        return Pass(
            Operation::kWrite, [&] { *done = 0; },
            [&] { return inner().Write(file, buffer, count, done); });
    }
    uint32_t Seek(FileHandle file, int32_t distance, uint32_t origin, uint32_t* position) override {
        return Pass(Operation::kSeek,
                    [&] { return inner().Seek(file, distance, origin, position); });
    }
    uint32_t Size(FileHandle file, uint32_t* size) override {
        return Pass(Operation::kSize, [&] { return inner().Size(file, size); });
    }
    uint32_t GetWriteTime(FileHandle file, FileTime* time) override {
        return Pass(Operation::kGetWriteTime, [&] { return inner().GetWriteTime(file, time); });
    }
    uint32_t SetWriteTime(FileHandle file, const FileTime& time) override {
        return Pass(Operation::kSetWriteTime, [&] { return inner().SetWriteTime(file, time); });
    }
    uint32_t CopyAccessMode(FileHandle from, FileHandle to) override {
        return Pass(Operation::kCopyAccessMode, [&] { return inner().CopyAccessMode(from, to); });
    }
    void Close(FileHandle file) override {
        Counted(Operation::kClose);  // a handle is always released
        inner().Close(file);
    }
    uint32_t Flush(FileHandle file) override {
        return Pass(Operation::kFlush, [&] { return inner().Flush(file); });
    }
    uint32_t StartFlush(FileHandle file) override {
        return Pass(Operation::kStartFlush, [&] { return inner().StartFlush(file); });
    }
    uint32_t FlushFolder(const char* folder) override {
        return Pass(Operation::kFlushFolder, [&] { return inner().FlushFolder(folder); });
    }
    bool Exists(const char* pattern) override {
        return !Counted(Operation::kExists) && inner().Exists(pattern);
    }
    bool NameExists(const char* path) override {
        return !Counted(Operation::kNameExists) && inner().NameExists(path);
    }
    uint32_t Move(const char* from, const char* to) override {
        return Pass(Operation::kMove, [&] { return inner().Move(from, to); });
    }
    uint32_t Delete(const char* path) override {
        return Pass(Operation::kDelete, [&] { return inner().Delete(path); });
    }
    uint32_t CreateFolder(const char* path) override {
        return Pass(Operation::kCreateFolder, [&] { return inner().CreateFolder(path); });
    }
    uint32_t SetCurrentFolder(const char* path) override {
        return Pass(Operation::kSetCurrentFolder, [&] { return inner().SetCurrentFolder(path); });
    }
    uint32_t ModulePath(char* buffer, uint32_t size) override {
        return Counted(Operation::kModulePath) ? Empty(buffer, size)
                                               : inner().ModulePath(buffer, size);
    }
    uint32_t AnsiCodePage() override {
        Counted(Operation::kAnsiCodePage);
        return inner().AnsiCodePage();
    }
    uint32_t LoadText(uint32_t id, TextLanguage language, char* buffer, uint32_t size) override {
        return Counted(Operation::kLoadText) ? Empty(buffer, size)
                                             : inner().LoadText(id, language, buffer, size);
    }
    uint32_t Milliseconds() override {
        Counted(Operation::kMilliseconds);
        return inner().Milliseconds();
    }
    void Sleep(uint32_t milliseconds) override {
        Counted(Operation::kSleep);
        inner().Sleep(milliseconds);
    }
    uint32_t RegistryValue(RegistryRoot root, const char* key, const char* name, char* buffer,
                           uint32_t size) override {
        return Pass(Operation::kRegistryValue,
                    [&] { return inner().RegistryValue(root, key, name, buffer, size); });
    }
    uint32_t IniValue(const char* file, const char* section, const char* key, char* buffer,
                      uint32_t size) override {
        return Counted(Operation::kIniValue) ? Empty(buffer, size)
                                             : inner().IniValue(file, section, key, buffer, size);
    }
    bool SpecialFolderPath(SpecialFolder folder, char* buffer, uint32_t size) override {
        return !Counted(Operation::kSpecialFolderPath) &&
               inner().SpecialFolderPath(folder, buffer, size);
    }
    uint32_t EnumerateProcesses(ProcessVisitor& visitor) override {
        return Pass(Operation::kEnumerateProcesses,
                    [&] { return inner().EnumerateProcesses(visitor); });
    }
    bool FindTopWindow(const char* title, const char* className) override {
        return !Counted(Operation::kFindTopWindow) && inner().FindTopWindow(title, className);
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
    bool Counted(Operation kind) {
        uint32_t code = 0;
        return Hit(kind, &code);
    }
    // The planned code after `failed()` when a fault hits, else `call()`.
    template <typename Failed, typename Call>
    uint32_t Pass(Operation kind, Failed failed, Call call) {
        uint32_t code = 0;
        if (!Hit(kind, &code)) return call();
        failed();
        return code;
    }
    template <typename Call>
    uint32_t Pass(Operation kind, Call call) {
        return Pass(
            kind, [] {}, call);
    }
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
