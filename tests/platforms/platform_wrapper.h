// A platform that passes every call on to another: the base of the test
// platforms, each of which overrides only the calls it changes; and the
// scope that installs one. Each call but the text conversions is offered to
// Fails first, which a fault injector overrides (a call in an opened folder
// as the kind of its path-named twin: MoveIn as kMove, CreateIn as kOpen,
// CloseFolder as kClose): a failing call returns its code without reaching
// the wrapped platform; Read and Write then report nothing transferred, Open
// an invalid handle; the lookups find nothing and the texts come back empty.
// Close, AnsiCodePage, Milliseconds, Sleep and RunsElevated cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

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
    kOpenFolder,
    kRemoveFolder,
    kSetEnd,
    kRunsElevated,
    kProbeFolderWrite
};
inline constexpr size_t kOperationKinds = static_cast<size_t>(Operation::kProbeFolderWrite) + 1;

class PlatformWrapper : public Platform {
  public:
    explicit PlatformWrapper(Platform& inner) : inner_(inner) {}
    PlatformWrapper(const PlatformWrapper&) = delete;
    PlatformWrapper& operator=(const PlatformWrapper&) = delete;

    uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flags, FileHandle* out) override {
        return Pass(
            Operation::kOpen, [&] { *out = kInvalidFile; },
            [&] { return inner_.Open(path, access, share, disposition, flags, out); });
    }
    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override {
        return Pass(
            Operation::kRead, [&] { *done = 0; },
            [&] { return inner_.Read(file, buffer, count, done); });
    }
    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        return Pass(
            Operation::kWrite, [&] { *done = 0; },
            [&] { return inner_.Write(file, buffer, count, done); });
    }
    uint32_t Seek(FileHandle file, int32_t distance, uint32_t origin, uint32_t* position) override {
        return Pass(Operation::kSeek,
                    [&] { return inner_.Seek(file, distance, origin, position); });
    }
    uint32_t Size(FileHandle file, uint32_t* size) override {
        return Pass(Operation::kSize, [&] { return inner_.Size(file, size); });
    }
    uint32_t GetWriteTime(FileHandle file, FileTime* time) override {
        return Pass(Operation::kGetWriteTime, [&] { return inner_.GetWriteTime(file, time); });
    }
    uint32_t SetWriteTime(FileHandle file, const FileTime& time) override {
        return Pass(Operation::kSetWriteTime, [&] { return inner_.SetWriteTime(file, time); });
    }
    uint32_t CopyAccessMode(FileHandle from, FileHandle to) override {
        return Pass(Operation::kCopyAccessMode, [&] { return inner_.CopyAccessMode(from, to); });
    }
    void Close(FileHandle file) override {
        Counted(Operation::kClose);
        inner_.Close(file);
    }
    uint32_t Flush(FileHandle file) override {
        return Pass(Operation::kFlush, [&] { return inner_.Flush(file); });
    }
    uint32_t StartFlush(FileHandle file) override {
        return Pass(Operation::kStartFlush, [&] { return inner_.StartFlush(file); });
    }
    uint32_t FlushFolder(const char* folder) override {
        return Pass(Operation::kFlushFolder, [&] { return inner_.FlushFolder(folder); });
    }
    bool Exists(const char* pattern) override {
        return !Counted(Operation::kExists) && inner_.Exists(pattern);
    }
    bool NameExists(const char* path) override {
        return !Counted(Operation::kNameExists) && inner_.NameExists(path);
    }
    uint32_t Move(const char* from, const char* to) override {
        return Pass(Operation::kMove, [&] { return inner_.Move(from, to); });
    }
    uint32_t Delete(const char* path) override {
        return Pass(Operation::kDelete, [&] { return inner_.Delete(path); });
    }
    uint32_t CreateFolder(const char* path) override {
        return Pass(Operation::kCreateFolder, [&] { return inner_.CreateFolder(path); });
    }
    uint32_t OpenFolder(const char* path, uint32_t trusted, FolderHandle* out) override {
        return Pass(
            Operation::kOpenFolder, [&] { *out = kInvalidFolder; },
            [&] { return inner_.OpenFolder(path, trusted, out); });
    }
    void CloseFolder(FolderHandle folder) override {
        Counted(Operation::kClose);
        inner_.CloseFolder(folder);
    }
    void KeepFolders(bool keep) override { inner_.KeepFolders(keep); }
    // Hands over nothing: the file is opened by name, as an operation of its own.
    uint32_t MoveIn(FolderHandle folder, const char* from, const char* to,
                    FileHandle* /*opened*/) override {
        return Pass(Operation::kMove, [&] { return inner_.MoveIn(folder, from, to, nullptr); });
    }
    uint32_t DeleteIn(FolderHandle folder, const char* name) override {
        return Pass(Operation::kDelete, [&] { return inner_.DeleteIn(folder, name); });
    }
    uint32_t CreateFolderIn(FolderHandle folder, const char* name) override {
        return Pass(Operation::kCreateFolder, [&] { return inner_.CreateFolderIn(folder, name); });
    }
    uint32_t RemoveFolderIn(FolderHandle folder, const char* name) override {
        return Pass(Operation::kRemoveFolder, [&] { return inner_.RemoveFolderIn(folder, name); });
    }
    uint32_t CreateIn(FolderHandle folder, const char* name, uint32_t access, uint32_t flags,
                      FileHandle* out) override {
        return Pass(
            Operation::kOpen, [&] { *out = kInvalidFile; },
            [&] { return inner_.CreateIn(folder, name, access, flags, out); });
    }
    uint32_t SetEnd(FileHandle file) override {
        return Pass(Operation::kSetEnd, [&] { return inner_.SetEnd(file); });
    }
    uint32_t SetCurrentFolder(const char* path) override {
        return Pass(Operation::kSetCurrentFolder, [&] { return inner_.SetCurrentFolder(path); });
    }
    uint32_t ModulePath(char* buffer, uint32_t size) override {
        return Counted(Operation::kModulePath) ? Empty(buffer, size)
                                               : inner_.ModulePath(buffer, size);
    }
    uint32_t AnsiCodePage() override {
        Counted(Operation::kAnsiCodePage);
        return inner_.AnsiCodePage();
    }
    uint32_t LoadText(uint32_t id, TextLanguage language, char* buffer, uint32_t size) override {
        return Counted(Operation::kLoadText) ? Empty(buffer, size)
                                             : inner_.LoadText(id, language, buffer, size);
    }
    uint32_t Milliseconds() override {
        Counted(Operation::kMilliseconds);
        return inner_.Milliseconds();
    }
    void Sleep(uint32_t milliseconds) override {
        Counted(Operation::kSleep);
        inner_.Sleep(milliseconds);
    }
    uint32_t RegistryValue(RegistryRoot root, const char* key, const char* name, char* buffer,
                           uint32_t size) override {
        return Pass(Operation::kRegistryValue,
                    [&] { return inner_.RegistryValue(root, key, name, buffer, size); });
    }
    uint32_t IniValue(const char* file, const char* section, const char* key, char* buffer,
                      uint32_t size) override {
        return Counted(Operation::kIniValue) ? Empty(buffer, size)
                                             : inner_.IniValue(file, section, key, buffer, size);
    }
    bool SpecialFolderPath(SpecialFolder folder, char* buffer, uint32_t size) override {
        return !Counted(Operation::kSpecialFolderPath) &&
               inner_.SpecialFolderPath(folder, buffer, size);
    }
    uint32_t EnumerateProcesses(ProcessVisitor& visitor) override {
        return Pass(Operation::kEnumerateProcesses,
                    [&] { return inner_.EnumerateProcesses(visitor); });
    }
    bool FindTopWindow(const char* title, const char* className) override {
        return !Counted(Operation::kFindTopWindow) && inner_.FindTopWindow(title, className);
    }
    bool RunsElevated() override {
        Counted(Operation::kRunsElevated);
        return inner_.RunsElevated();
    }
    uint32_t ProbeFolderWrite(const char* folder) override {
        return Pass(Operation::kProbeFolderWrite, [&] { return inner_.ProbeFolderWrite(folder); });
    }

    uint32_t InsideCodePage(uint32_t codePage) override { return inner_.InsideCodePage(codePage); }
    void ConvertToInside(uint32_t codePage, const char* text, char* buffer,
                         uint32_t size) override {
        inner_.ConvertToInside(codePage, text, buffer, size);
    }
    void PathForDisplay(const char* path, char* buffer, uint32_t size) override {
        inner_.PathForDisplay(path, buffer, size);
    }

  protected:
    Platform& inner() { return inner_; }
    // Whether this call of `kind` fails, and with which code.
    virtual bool Fails(Operation /*kind*/, uint32_t* /*code*/) { return false; }

  private:
    bool Counted(Operation kind) {
        uint32_t code = 0;
        return Fails(kind, &code);
    }
    // The planned code after `failed()` when the call fails, else `call()`.
    template <typename Failed, typename Call>
    uint32_t Pass(Operation kind, Failed failed, Call call) {
        uint32_t code = 0;
        if (!Fails(kind, &code)) return call();
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

    Platform& inner_;
};
// Installs a platform for the life of the scope and restores the previous one.
class PlatformScope {
  public:
    explicit PlatformScope(Platform& platform) : previous_(SetPlatform(&platform)) {}
    ~PlatformScope() { SetPlatform(previous_); }
    PlatformScope(const PlatformScope&) = delete;
    PlatformScope& operator=(const PlatformScope&) = delete;

  private:
    Platform* previous_;
};

}  // namespace pkx
