#include "tests/test_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace pkx::test {

namespace fs = std::filesystem;

namespace {

std::string WindowsStyle(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    while (path.size() > 1 && path.back() == '\\') path.pop_back();
    return path;
}

}  // namespace

std::string NativePath(const std::string& path) {
    std::string native = path;
#ifndef _WIN32
    std::replace(native.begin(), native.end(), '\\', '/');
#endif
    return native;
}

TempFolder::TempFolder() {
    static std::atomic<unsigned> counter{0};
    std::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (error) base = fs::current_path();
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (;;) {
        fs::path candidate = base / ("pkx-test-" + std::to_string(stamp) + "-" +
                                     std::to_string(counter.fetch_add(1)));
        if (fs::create_directory(candidate, error)) {
            path_ = WindowsStyle(candidate.string());
            return;
        }
        if (error && error != std::errc::file_exists) std::abort();
    }
}

TempFolder::~TempFolder() {
    std::error_code error;
    fs::remove_all(NativePath(path_), error);
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    fs::path native = NativePath(path);
    std::error_code error;
    if (native.has_parent_path()) fs::create_directories(native.parent_path(), error);
    std::ofstream out(native, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(NativePath(path), std::ios::binary);
    if (!in || IsFolder(path)) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool MakeFolders(const std::string& path) {
    std::error_code error;
    fs::create_directories(NativePath(path), error);
    return !error;
}

bool IsFolder(const std::string& path) {
    std::error_code error;
    return fs::is_directory(NativePath(path), error);
}

bool PathExists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(NativePath(path), error));
}

Tree ListTree(const std::string& folder) {
    Tree tree;
    fs::path root = NativePath(folder);
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::string relative = WindowsStyle(fs::relative(it->path(), root).string());
        if (it->is_directory()) {
            tree[relative + "\\"] = "";
        } else {
            tree[relative] = ReadFile(folder + "\\" + relative).value_or("<unreadable>");
        }
    }
    return tree;
}

bool PutFiles(const std::string& folder, const Files& files) {
    for (const auto& [name, content] : files) {
        if (!WriteFile(folder + "\\" + name, content)) return false;
    }
    return true;
}

Files FilesOf(const Tree& tree) {
    Files files;
    for (const auto& [name, content] : tree) {
        if (name.empty() || name.back() != '\\') files[name] = content;
    }
    return files;
}

std::string Difference(const Files& actual, const Files& expected) {
    std::string out;
    for (const auto& [name, content] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end()) {
            out += "missing " + name + "; ";
        } else if (found->second != content) {
            out += "different " + name + " (" + std::to_string(found->second.size()) + " bytes, " +
                   std::to_string(content.size()) + " expected); ";
        }
    }
    for (const auto& entry : actual) {
        if (expected.count(entry.first) == 0) out += "extra " + entry.first + "; ";
    }
    return out;
}

std::string Pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 12345u;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 23);
    }
    return bytes;
}

std::string Edited(std::string text, size_t at, size_t length, uint32_t seed) {
    text.replace(at, length, Pattern(length, seed));
    return text;
}

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

Bytes Slice(const Bytes& bytes, size_t offset, size_t length) {
    return Bytes(bytes.begin() + offset, bytes.begin() + offset + length);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string Hex(const void* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t byte = static_cast<const uint8_t*>(bytes)[i];
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
    return out;
}

ScopedCurrentFolder::ScopedCurrentFolder(const std::string& path)
    : previous_(fs::current_path().string()) {
    fs::current_path(NativePath(path));
}

ScopedCurrentFolder::~ScopedCurrentFolder() {
    std::error_code error;
    fs::current_path(previous_, error);
}

std::string PeImage(uint32_t tableOffset, uint32_t tableSize, bool wide) {
    std::string image(512, '\0');
    const auto put = [&image](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) image[at + i] = static_cast<char>(value >> (8 * i));
    };
    constexpr size_t kPe = 64, kOptional = kPe + 24;
    const size_t directories = kOptional + (wide ? 112 : 96);
    image[0] = 'M';
    image[1] = 'Z';
    put(0x3C, kPe, 4);
    put(kPe, 0x00004550, 4);                         // "PE\0\0"
    put(kPe + 4, wide ? 0x8664 : 0x14C, 2);          // machine
    put(kPe + 20, wide ? 240 : 224, 2);              // optional header size
    put(kPe + 22, 0x0102, 2);                        // executable, 32-bit words
    put(kOptional, wide ? 0x20B : 0x10B, 2);         // PE32+ or PE32
    put(kOptional + (wide ? 24 : 28), 0x400000, 4);  // image base
    put(kOptional + 32, 0x1000, 4);                  // section alignment
    put(kOptional + 36, 0x200, 4);                   // file alignment
    put(kOptional + 40, 4, 2);                       // system version
    put(kOptional + 48, 4, 2);                       // subsystem version
    put(kOptional + 56, 0x1000, 4);                  // image size
    put(kOptional + 60, 0x200, 4);                   // header size
    put(kOptional + 68, 2, 2);                       // GUI subsystem
    put(directories - 4, 16, 4);                     // number of directories
    put(directories + 4 * 8, tableOffset, 4);        // the security directory
    put(directories + 4 * 8 + 4, tableSize, 4);
    return image;
}

}  // namespace pkx::test
