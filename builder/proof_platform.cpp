#include "builder/proof_platform.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "builder/text.h"
#include "engine/backups.h"

namespace pkx::builder {

namespace {

// ERROR_INVALID_NAME: what Windows says of a name its code page cannot hold.
constexpr uint32_t kInvalidName = 123;
constexpr uint32_t kNegativeSeek = 131;  // ERROR_NEGATIVE_SEEK

constexpr uint32_t kReadAheadSize = 64u << 10;

// Every folder source finds this; the proof puts its scratch copy there
// when the worker announces the folder it found.
constexpr char kFoundFolder[] = "C:\\pkx-installation";

// Copies `text` into `buffer` of `size` bytes, cut and terminated.
uint32_t CopyCut(const char* text, char* buffer, uint32_t size) {
    if (size == 0) return 0;
    const uint32_t length = std::min<uint32_t>(static_cast<uint32_t>(std::strlen(text)), size - 1);
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return length;
}

}  // namespace

UpdaterPlatform::UpdaterPlatform(Platform& inner, std::optional<uint32_t> namesCodePage)
    : inner_(inner), namesCodePage_(namesCodePage) {}

bool UpdaterPlatform::Native(const char* path, std::string* out) const {
    *out = path;
    if (!namesCodePage_.has_value() || installation_.empty()) return true;
    const std::string prefix = installation_ + "\\";
    if (out->compare(0, prefix.size(), prefix) != 0) return true;
    std::string names;
    if (!ToUtf8(out->substr(prefix.size()), *namesCodePage_, &names)) return false;
    *out = prefix + names;
    return true;
}

uint32_t UpdaterPlatform::Open(const char* path, uint32_t access, uint32_t share,
                               uint32_t disposition, uint32_t flags, FileHandle* out) {
    if (image_ != nullptr && program_ == path) {
        if (access != kGenericRead) return win32err::kAccessDenied;
        *out = nextProgramHandle_--;
        programHandles_[*out] = 0;
        return win32err::kSuccess;
    }
    std::string native;
    if (!Native(path, &native)) {
        *out = kInvalidFile;
        return kInvalidName;
    }
    const uint32_t error = inner_.Open(native.c_str(), access, share, disposition, flags, out);
    if (error == win32err::kSuccess && access == kGenericRead) readAhead_[*out] = ReadAhead();
    return error;
}

uint32_t UpdaterPlatform::ReadProgram(uint64_t* position, void* buffer, uint32_t count,
                                      uint32_t* done) {
    const uint64_t end = std::min<uint64_t>(ProgramSize(), *position + count);
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint64_t at = *position; at < end;) {
        if (at < imageZeros_) {
            const uint64_t zeros = std::min(end, imageZeros_) - at;
            std::memset(out, 0, zeros);
            out += zeros;
            at += zeros;
        } else {
            std::memcpy(out, image_->data() + (at - imageZeros_), end - at);
            at = end;
        }
    }
    *done = static_cast<uint32_t>(end > *position ? end - *position : 0);
    *position += *done;
    return win32err::kSuccess;
}

uint32_t UpdaterPlatform::SeekProgram(uint64_t* position, int32_t distance, uint32_t origin,
                                      uint32_t* result) const {
    const int64_t base = origin == kFileBegin     ? 0
                         : origin == kFileCurrent ? static_cast<int64_t>(*position)
                                                  : static_cast<int64_t>(ProgramSize());
    if (origin != kFileBegin && origin != kFileCurrent && origin != kFileEnd) {
        return win32err::kInvalidParameter;
    }
    const int64_t target = base + distance;
    if (target < 0) return kNegativeSeek;
    if (target > 0xFFFFFFFFLL) return win32err::kInvalidParameter;
    *position = static_cast<uint64_t>(target);
    *result = static_cast<uint32_t>(target);
    return win32err::kSuccess;
}

uint32_t UpdaterPlatform::Size(FileHandle file, uint32_t* size) {
    if (programHandles_.count(file) == 0) return inner_.Size(file, size);
    if (ProgramSize() > 0xFFFFFFFFu) return win32err::kInvalidParameter;
    *size = static_cast<uint32_t>(ProgramSize());
    return win32err::kSuccess;
}

void UpdaterPlatform::Close(FileHandle file) {
    if (programHandles_.erase(file) != 0) return;
    readAhead_.erase(file);
    inner_.Close(file);
}

uint32_t UpdaterPlatform::Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) {
    const auto program = programHandles_.find(file);
    if (program != programHandles_.end()) return ReadProgram(&program->second, buffer, count, done);
    const auto found = readAhead_.find(file);
    if (found == readAhead_.end()) return inner_.Read(file, buffer, count, done);
    ReadAhead& ahead = found->second;
    uint32_t served = 0;
    while (served < count) {
        const uint64_t end = ahead.start + ahead.data.size();
        if (ahead.position < end) {
            const auto piece =
                static_cast<uint32_t>(std::min<uint64_t>(count - served, end - ahead.position));
            std::memcpy(static_cast<uint8_t*>(buffer) + served,
                        ahead.data.data() + (ahead.position - ahead.start), piece);
            served += piece;
            ahead.position += piece;
            continue;
        }
        ahead.start = end;
        ahead.data.resize(kReadAheadSize);
        uint32_t got = 0;
        const uint32_t error = inner_.Read(file, ahead.data.data(), kReadAheadSize, &got);
        ahead.data.resize(error == win32err::kSuccess ? got : 0);
        if (error != win32err::kSuccess) {
            *done = served;
            return error;
        }
        if (got == 0) break;
    }
    *done = served;
    return win32err::kSuccess;
}

uint32_t UpdaterPlatform::Seek(FileHandle file, int32_t distance, uint32_t origin,
                               uint32_t* position) {
    const auto program = programHandles_.find(file);
    if (program != programHandles_.end()) {
        return SeekProgram(&program->second, distance, origin, position);
    }
    const auto found = readAhead_.find(file);
    if (found == readAhead_.end() || (origin != kFileBegin && origin != kFileCurrent)) {
        const uint32_t error = inner_.Seek(file, distance, origin, position);
        if (found != readAhead_.end() && error == win32err::kSuccess) {
            found->second = ReadAhead{{}, *position, *position};
        }
        return error;
    }
    ReadAhead& ahead = found->second;
    const uint64_t end = ahead.start + ahead.data.size();
    const int64_t target =
        (origin == kFileBegin ? 0 : static_cast<int64_t>(ahead.position)) + distance;
    if (target >= static_cast<int64_t>(ahead.start) && target <= static_cast<int64_t>(end)) {
        ahead.position = static_cast<uint64_t>(target);
        *position = static_cast<uint32_t>(target);
        return win32err::kSuccess;
    }
    // The system's position is at `end`; move it from there.
    const int64_t step = target - static_cast<int64_t>(end);
    if (step < INT32_MIN || step > INT32_MAX) return win32err::kInvalidParameter;
    const uint32_t error = inner_.Seek(file, static_cast<int32_t>(step), kFileCurrent, position);
    if (error == win32err::kSuccess) ahead = ReadAhead{{}, *position, *position};
    return error;
}

bool UpdaterPlatform::Exists(const char* pattern) {
    std::string native;
    return Native(pattern, &native) && inner_.Exists(native.c_str());
}

bool UpdaterPlatform::NameExists(const char* path) {
    std::string native;
    return Native(path, &native) && inner_.NameExists(native.c_str());
}

uint32_t UpdaterPlatform::Move(const char* from, const char* to) {
    std::string source, target;
    if (!Native(from, &source) || !Native(to, &target)) return kInvalidName;
    return inner_.Move(source.c_str(), target.c_str());
}

uint32_t UpdaterPlatform::Delete(const char* path) {
    std::string native;
    if (!Native(path, &native)) return kInvalidName;
    return inner_.Delete(native.c_str());
}

uint32_t UpdaterPlatform::CreateFolder(const char* path) {
    std::string native;
    if (!Native(path, &native)) return kInvalidName;
    return inner_.CreateFolder(native.c_str());
}

uint32_t UpdaterPlatform::ProbeFolderWrite(const char* folder) {
    std::string native;
    if (!Native(folder, &native)) return kInvalidName;
    return inner_.ProbeFolderWrite(native.c_str());
}

bool UpdaterPlatform::NativeName(const char* name, std::string* out) const {
    if (!namesCodePage_.has_value()) {
        *out = name;
        return true;
    }
    return ToUtf8(name, *namesCodePage_, out);
}

// The folders the engine opens lie in the installation, whose own path is
// the same in both spellings: `trusted` holds.
uint32_t UpdaterPlatform::OpenFolder(const char* path, uint32_t trusted, FolderHandle* out) {
    std::string native;
    if (!Native(path, &native)) {
        *out = kInvalidFolder;
        return kInvalidName;
    }
    return inner_.OpenFolder(native.c_str(), trusted, out);
}

uint32_t UpdaterPlatform::MoveIn(FolderHandle folder, const char* from, const char* to,
                                 FileHandle* opened) {
    std::string source, target;
    if (!NativeName(from, &source) || !NativeName(to, &target)) return kInvalidName;
    return inner_.MoveIn(folder, source.c_str(), target.c_str(), opened);
}

uint32_t UpdaterPlatform::DeleteIn(FolderHandle folder, const char* name) {
    std::string native;
    if (!NativeName(name, &native)) return kInvalidName;
    return inner_.DeleteIn(folder, native.c_str());
}

uint32_t UpdaterPlatform::CreateFolderIn(FolderHandle folder, const char* name) {
    std::string native;
    if (!NativeName(name, &native)) return kInvalidName;
    return inner_.CreateFolderIn(folder, native.c_str());
}

uint32_t UpdaterPlatform::RemoveFolderIn(FolderHandle folder, const char* name) {
    std::string native;
    if (!NativeName(name, &native)) return kInvalidName;
    return inner_.RemoveFolderIn(folder, native.c_str());
}

uint32_t UpdaterPlatform::CreateIn(FolderHandle folder, const char* name, uint32_t access,
                                   uint32_t flags, FileHandle* out) {
    std::string native;
    if (!NativeName(name, &native)) {
        *out = kInvalidFile;
        return kInvalidName;
    }
    return inner_.CreateIn(folder, native.c_str(), access, flags, out);
}

uint32_t UpdaterPlatform::SetCurrentFolder(const char* path) {
    std::string native;
    if (!Native(path, &native)) return kInvalidName;
    return inner_.SetCurrentFolder(native.c_str());
}

uint32_t UpdaterPlatform::ModulePath(char* buffer, uint32_t size) {
    if (program_.empty()) return inner_.ModulePath(buffer, size);
    CopyCut(program_.c_str(), buffer, size);
    return static_cast<uint32_t>(program_.size());
}

// With a names code page the engine holds strings as Windows does: in
// their own code page.
uint32_t UpdaterPlatform::AnsiCodePage() {
    return namesCodePage_.has_value() ? *namesCodePage_ : inner_.AnsiCodePage();
}

uint32_t UpdaterPlatform::InsideCodePage(uint32_t codePage) {
    return namesCodePage_.has_value() ? codePage : inner_.InsideCodePage(codePage);
}

void UpdaterPlatform::ConvertToInside(uint32_t codePage, const char* text, char* buffer,
                                      uint32_t size) {
    if (namesCodePage_.has_value()) {
        CopyCut(text, buffer, size);
        return;
    }
    inner_.ConvertToInside(codePage, text, buffer, size);
}

uint32_t UpdaterPlatform::RegistryValue(RegistryRoot, const char*, const char*, char* buffer,
                                        uint32_t size) {
    CopyCut(kFoundFolder, buffer, size);
    return win32err::kSuccess;
}

uint32_t UpdaterPlatform::IniValue(const char*, const char*, const char*, char* buffer,
                                   uint32_t size) {
    return CopyCut(kFoundFolder, buffer, size);
}

bool UpdaterPlatform::SpecialFolderPath(SpecialFolder, char* buffer, uint32_t size) {
    CopyCut(kFoundFolder, buffer, size);
    return true;
}

uint32_t UpdaterPlatform::EnumerateProcesses(ProcessVisitor&) { return win32err::kSuccess; }

bool UpdaterPlatform::FindTopWindow(const char*, const char*) { return false; }

bool UpdaterBackupName(const std::string& name, const std::string& label,
                       std::optional<uint32_t> namesCodePage, std::string* backup) {
    UpdaterPlatform platform(Os(), namesCodePage);
    const ThreadPlatform onThisThread(&platform);
    char path[kPathBufferSize];
    if (name.size() >= kPathBufferSize || label.size() >= kPathBufferSize ||
        !BuildBackupPath(name.c_str(), label.c_str(), path)) {
        return false;
    }
    *backup = path;
    return true;
}

}  // namespace pkx::builder
