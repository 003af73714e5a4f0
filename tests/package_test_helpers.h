// Shared by the package reader and writer tests: temporary files, and the
// worker's reading of a whole package (fuzz/package_reading.h).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "fuzz/package_reading.h"
#include "platform/platform.h"
#include "tests/platforms/fault_injection.h"
#include "tests/test_support.h"

namespace pkx::test {

// The shared temporary folder, with the writer's whole-file helpers.
class PackageTempFolder : public TempFolder {
  public:
    std::string Path(const std::string& name) const { return NativePath(*this / name); }

    // Writes `bytes` to `name` in this folder and returns its path.
    std::string Write(const std::string& name, const packwriter::Bytes& bytes) const {
        const std::string path = Path(name);
        EXPECT_EQ(packwriter::WriteFileBytes(path.c_str(), bytes), 0u) << path;
        return path;
    }

    // A program file: a small image padded to the payload offset, then `payload`.
    std::string WriteProgram(const std::string& name, const packwriter::Bytes& payload) const {
        packwriter::Bytes file;
        EXPECT_TRUE(packwriter::BuildSelfExtracting({'M', 'Z', 0x90, 0x00}, payload, &file));
        return Write(name, file);
    }
};

inline packwriter::Bytes Build(const packwriter::PackageModel& model,
                               packwriter::PackageLayout* layout = nullptr) {
    packwriter::Bytes bytes;
    std::string error;
    EXPECT_TRUE(packwriter::BuildPackage(model, &bytes, layout, &error)) << error;
    return bytes;
}

// A package of `version` with one empty folder source and nothing else.
inline packwriter::PackageModel BareModel(uint16_t version = kNewestFormatVersion) {
    packwriter::PackageModel model;
    model.version = version;
    model.folderSources.resize(1);
    return model;
}

inline std::string Text(const NoticeText& text) {
    return text ? std::string(text.get()) : "<none>";
}

inline std::string Hex(const CheckValue& value) { return Hex(value.bytes, sizeof(value.bytes)); }

// Opens a program file, reads its index and its first package.
inline void ReadProgramFile(const std::string& path, PackageReading& out) {
    BinaryFile file;
    ASSERT_EQ(file.OpenRead(path.c_str(), kShareRead, kAttributeNormal), 0u) << path;
    if (out.Fail(ReadPackageIndex(file, *out.context), Stage::kIndex)) return;
    ASSERT_FALSE(out.context->packages.empty());
    ReadPackageBody(file, out.context->packages[0], *out.context, out);
}

// Reads a file that holds one package at offset 0.
inline void ReadBarePackage(const std::string& path, PackageReading& out) {
    BinaryFile file;
    ASSERT_EQ(file.OpenRead(path.c_str(), kShareRead, kAttributeNormal), 0u) << path;
    PackageRef package;
    package.size = file.Size();
    ReadPackageBody(file, package, *out.context, out);
}

// Passes every call to the native platform; `afterRead` sees the count each
// read asks for. Files can be made to end
// early: reads and sizes stop at `sizeLimit`, as if the file were cut there.
class ObservingPlatform final : public FaultInjector {
  public:
    ObservingPlatform() : FaultInjector(NativePlatform()) {}

    std::function<void(uint32_t requested)> afterRead;
    uint32_t sizeLimit = 0xFFFFFFFFu;

    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override {
        uint32_t position = 0;
        uint32_t allowed = count;
        if (inner().Seek(file, 0, kFileCurrent, &position) == 0 &&
            position + uint64_t{count} > sizeLimit) {
            allowed = position < sizeLimit ? sizeLimit - position : 0;
        }
        if (afterRead) afterRead(count);
        return FaultInjector::Read(file, buffer, allowed, done);
    }
    uint32_t Size(FileHandle file, uint32_t* size) override {
        const uint32_t code = FaultInjector::Size(file, size);
        if (code == 0 && *size > sizeLimit) *size = sizeLimit;
        return code;
    }
};

}  // namespace pkx::test
