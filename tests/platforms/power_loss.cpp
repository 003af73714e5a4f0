#include "tests/platforms/power_loss.h"

#include <filesystem>
#include <system_error>

#include "tests/test_support.h"

namespace pkx {

namespace {

namespace fs = std::filesystem;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

fs::path Native(const std::string& path) { return fs::path(test::NativePath(path)); }

std::string WithSeparator(std::string folder) {
    if (!folder.empty() && !IsSeparator(folder.back())) folder += '\\';
    return folder;
}

}  // namespace

// Up to and including the last separator, as the engine names folders.
std::string PowerLossPlatform::FolderOf(std::string path) {
    while (!path.empty() && IsSeparator(path.back())) path.pop_back();
    size_t end = path.size();
    while (end > 0 && !IsSeparator(path[end - 1])) --end;
    return path.substr(0, end);
}

std::string PowerLossPlatform::In(FolderHandle folder, const char* name) const {
    const auto found = folders_.find(folder);
    return (found != folders_.end() ? found->second : std::string()) + name;
}

uint32_t PowerLossPlatform::OpenFolder(const char* path, uint32_t trusted, FolderHandle* out) {
    const uint32_t r = inner().OpenFolder(path, trusted, out);
    if (r == 0) folders_[*out] = WithSeparator(path);
    return r;
}

uint32_t PowerLossPlatform::SetEnd(FileHandle file) {
    const uint32_t r = inner().SetEnd(file);
    const auto found = handles_.find(file);
    if (r == 0 && found != handles_.end()) {
        files_[found->second.file].data.resize(static_cast<size_t>(found->second.position));
        lastWrite_ = LastWrite();
    }
    return r;
}

std::string PowerLossPlatform::Content(const std::string& path) {
    return test::ReadFile(path).value_or("");
}

PowerLossPlatform::WrittenFile* PowerLossPlatform::Written(FileHandle handle) {
    const auto found = handles_.find(handle);
    return found != handles_.end() ? &files_[found->second.file] : nullptr;
}

uint32_t PowerLossPlatform::Flush(FileHandle file) {
    if (WrittenFile* written = Written(file)) {
        written->durable = written->data;
        written->hasPending = false;
    }
    return 0;
}

uint32_t PowerLossPlatform::StartFlush(FileHandle file) {
    if (WrittenFile* written = Written(file)) {
        written->pending = written->data;
        written->hasPending = true;
    }
    return 0;
}

void PowerLossPlatform::Wrote(FileHandle handle, const void* buffer, uint32_t count) {
    const auto found = handles_.find(handle);
    if (found == handles_.end()) return;
    std::string& data = files_[found->second.file].data;
    const size_t at = static_cast<size_t>(found->second.position);
    if (data.size() < at + count) data.resize(at + count);
    data.replace(at, count, static_cast<const char*>(buffer), count);
    found->second.position += count;
    lastWrite_ = {found->second.file, at, std::string(static_cast<const char*>(buffer), count)};
}

uint32_t PowerLossPlatform::FlushFolder(const char* folder) {
    const std::string flushed = WithSeparator(folder);
    for (WrittenFile& written : files_) {
        if (written.hasPending && FolderOf(written.path) == flushed) {
            written.durable = written.pending;
            written.hasPending = false;
        }
    }
    std::vector<NameChange> left;
    for (NameChange& change : names_) {
        change.unflushed.erase(flushed);
        if (!change.unflushed.empty()) left.push_back(change);
    }
    names_ = left;
    return 0;
}

void PowerLossPlatform::Opened(const std::string& path, bool existed, const std::string& before,
                               bool truncated, FileHandle handle) {
    if (!existed) names_.push_back({NameKind::kCreated, path, "", "", {FolderOf(path)}});
    WrittenFile* known = Find(path);
    if (known == nullptr || !existed) {
        files_.push_back({path, before, before, "", false});
        known = &files_.back();
    }
    if (truncated) known->data.clear();
    handles_[handle] = {static_cast<size_t>(known - files_.data()), 0};
}

void PowerLossPlatform::Moved(const std::string& from, const std::string& to) {
    names_.push_back({NameKind::kMoved, from, to, "", {FolderOf(from), FolderOf(to)}});
    for (WrittenFile& written : files_) {
        if (written.path == from) written.path = to;
    }
}

void PowerLossPlatform::Deleted(const std::string& path, const std::string& content) {
    names_.push_back({NameKind::kDeleted, path, "", content, {FolderOf(path)}});
    if (WrittenFile* written = Find(path)) written->path.clear();
}

void PowerLossPlatform::FolderMade(const std::string& path) {
    names_.push_back({NameKind::kFolderMade, path, "", "", {FolderOf(path)}});
}

void PowerLossPlatform::FolderRemoved(const std::string& path) {
    names_.push_back({NameKind::kFolderRemoved, path, "", "", {FolderOf(path)}});
}

PowerLossPlatform::WrittenFile* PowerLossPlatform::Find(const std::string& path) {
    for (WrittenFile& written : files_) {
        if (written.path == path) return &written;
    }
    return nullptr;
}

// What a deleted file comes back with: its durable data when it was written here.
std::string PowerLossPlatform::DurableContent(const std::string& path) {
    const WrittenFile* written = Find(path);
    return written != nullptr ? written->durable : Content(path);
}

void PowerLossPlatform::UndoName(const NameChange& change) {
    std::error_code error;
    switch (change.kind) {
        case NameKind::kCreated:
            fs::remove(Native(change.path), error);
            if (WrittenFile* written = Find(change.path)) written->path.clear();
            break;
        case NameKind::kMoved:
            if (!test::PathExists(change.to) || test::PathExists(change.path)) break;
            fs::rename(Native(change.to), Native(change.path), error);
            for (WrittenFile& written : files_) {
                if (written.path == change.to) written.path = change.path;
            }
            break;
        case NameKind::kDeleted:
            test::WriteFile(change.path, change.content);
            break;
        case NameKind::kFolderMade:
            fs::remove_all(Native(change.path), error);
            break;
        case NameKind::kFolderRemoved:
            fs::create_directories(Native(change.path), error);
            break;
    }
}

void PowerLossPlatform::CutPower(bool keepTornWrite) {
    for (auto change = names_.rbegin(); change != names_.rend(); ++change) UndoName(*change);
    names_.clear();
    if (keepTornWrite && lastWrite_.file < files_.size()) {
        // Its first half reached the disk; a hole before it reads as zeros.
        std::string& durable = files_[lastWrite_.file].durable;
        const std::string torn = lastWrite_.bytes.substr(0, (lastWrite_.bytes.size() + 1) / 2);
        const size_t at = static_cast<size_t>(lastWrite_.at);
        if (durable.size() < at + torn.size()) durable.resize(at + torn.size());
        durable.replace(at, torn.size(), torn);
    }
    for (WrittenFile& written : files_) {
        if (written.path.empty() || !test::PathExists(written.path)) continue;
        if (Content(written.path) != written.durable)
            test::WriteFile(written.path, written.durable);
    }
    files_.clear();
    handles_.clear();
    folders_.clear();
    lastWrite_ = LastWrite();
}

}  // namespace pkx
