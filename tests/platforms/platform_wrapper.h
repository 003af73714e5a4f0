// A platform that passes every call on to another: the base of the test
// platforms, each of which overrides only the calls it changes; and the
// scope that installs one.
#pragma once

#include "platform/platform.h"

namespace pkx {

class PlatformWrapper : public Platform {
  public:
    explicit PlatformWrapper(Platform& inner) : inner_(inner) {}
    PlatformWrapper(const PlatformWrapper&) = delete;
    PlatformWrapper& operator=(const PlatformWrapper&) = delete;

    uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flags, FileHandle* out) override {
        return inner_.Open(path, access, share, disposition, flags, out);
    }
    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override {
        return inner_.Read(file, buffer, count, done);
    }
    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        return inner_.Write(file, buffer, count, done);
    }
    uint32_t Seek(FileHandle file, int32_t distance, uint32_t origin, uint32_t* position) override {
        return inner_.Seek(file, distance, origin, position);
    }
    uint32_t Size(FileHandle file, uint32_t* size) override { return inner_.Size(file, size); }
    uint32_t GetWriteTime(FileHandle file, FileTime* time) override {
        return inner_.GetWriteTime(file, time);
    }
    uint32_t SetWriteTime(FileHandle file, const FileTime& time) override {
        return inner_.SetWriteTime(file, time);
    }
    uint32_t CopyAccessMode(FileHandle from, FileHandle to) override {
        return inner_.CopyAccessMode(from, to);
    }
    void Close(FileHandle file) override { inner_.Close(file); }
    uint32_t Flush(FileHandle file) override { return inner_.Flush(file); }
    uint32_t StartFlush(FileHandle file) override { return inner_.StartFlush(file); }
    uint32_t FlushFolder(const char* folder) override { return inner_.FlushFolder(folder); }
    bool Exists(const char* pattern) override { return inner_.Exists(pattern); }
    bool NameExists(const char* path) override { return inner_.NameExists(path); }
    uint32_t Move(const char* from, const char* to) override { return inner_.Move(from, to); }
    uint32_t Delete(const char* path) override { return inner_.Delete(path); }
    uint32_t CreateFolder(const char* path) override { return inner_.CreateFolder(path); }
    uint32_t SetCurrentFolder(const char* path) override { return inner_.SetCurrentFolder(path); }
    uint32_t ModulePath(char* buffer, uint32_t size) override {
        return inner_.ModulePath(buffer, size);
    }
    uint32_t AnsiCodePage() override { return inner_.AnsiCodePage(); }
    uint32_t InsideCodePage(uint32_t codePage) override { return inner_.InsideCodePage(codePage); }
    void ConvertToInside(uint32_t codePage, const char* text, char* buffer,
                         uint32_t size) override {
        inner_.ConvertToInside(codePage, text, buffer, size);
    }
    uint32_t LoadText(uint32_t id, TextLanguage language, char* buffer, uint32_t size) override {
        return inner_.LoadText(id, language, buffer, size);
    }
    void PathForDisplay(const char* path, char* buffer, uint32_t size) override {
        inner_.PathForDisplay(path, buffer, size);
    }
    uint32_t Milliseconds() override { return inner_.Milliseconds(); }
    void Sleep(uint32_t milliseconds) override { inner_.Sleep(milliseconds); }
    uint32_t RegistryValue(RegistryRoot root, const char* key, const char* name, char* buffer,
                           uint32_t size) override {
        return inner_.RegistryValue(root, key, name, buffer, size);
    }
    uint32_t IniValue(const char* file, const char* section, const char* key, char* buffer,
                      uint32_t size) override {
        return inner_.IniValue(file, section, key, buffer, size);
    }
    bool SpecialFolderPath(SpecialFolder folder, char* buffer, uint32_t size) override {
        return inner_.SpecialFolderPath(folder, buffer, size);
    }
    uint32_t EnumerateProcesses(ProcessVisitor& visitor) override {
        return inner_.EnumerateProcesses(visitor);
    }
    bool FindTopWindow(const char* title, const char* className) override {
        return inner_.FindTopWindow(title, className);
    }

  protected:
    Platform& inner() { return inner_; }

  private:
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
