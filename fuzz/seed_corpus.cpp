// Writes the seed inputs of every fuzzer: seed_corpus <folder> fills
// <folder>/package_fuzzer/, <folder>/delta_fuzzer/ and
// <folder>/delta_encoder_fuzzer/.
#include "fuzz/seed_corpus.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "package/writer/package_writer.h"

namespace {

using pkx::CheckValue;
using pkx::packwriter::Bytes;
using pkx::packwriter::FolderSourceModel;
using pkx::packwriter::PackageLayout;
using pkx::packwriter::PackageModel;

CheckValue Filled(uint8_t first) {
    CheckValue value;
    for (int i = 0; i < 16; ++i) value.bytes[i] = static_cast<uint8_t>(first + i);
    return value;
}

std::vector<std::string> Texts(const std::string& prefix) {
    std::vector<std::string> texts;
    for (int id = 1000; id < 1074; ++id) texts.push_back(prefix + std::to_string(id));
    return texts;
}

// Every field of `version` in use, one source per kind where the version allows.
PackageModel SeedModel(uint16_t version) {
    PackageModel model;
    model.version = version;
    model.title = "Seed";
    model.oldVersionLabel = "1.0";
    model.newVersionLabel = "2.0";
    model.rightsText = "rights";
    pkx::packwriter::SetPassword(model, "pw");
    model.languageBlocks.push_back({0, "Zero", 9, Texts("z")});
    model.languageBlocks.push_back({932, "Gothic", 12, Texts("j")});
    model.languageBlocks.push_back({1252, "Arial", 10, Texts("e\\n")});
    FolderSourceModel lookup{4, 0, "", "", "", {}};
    lookup.lookups.push_back({1, 2, "Software\\%1", "Dir", "", 0});
    lookup.lookups.push_back({2, 7, "a.ini", "s", "k", 1});
    const std::vector<FolderSourceModel> all = {{1, 1, "Software\\Seed", "Path", "", {}},
                                                {2, 0, "seed.ini", "Main", "Dir", {}},
                                                {3, 2, "Seed", "", "", {}},
                                                lookup,
                                                {0, 0, "", "", "", {}}};
    model.folderSources = version >= 140 ? all : std::vector<FolderSourceModel>{all[version % 5]};
    model.runningCheck = {static_cast<uint8_t>(1 + version % 2), "Title", "Class", "seed.exe", 1};
    model.documentName = "readme.txt";
    model.noticeBefore = "before";
    model.noticeAfter = "after";
    model.noticeBlocks = {{0, "b0", "a0"}, {932, "b932", ""}, {1252, "", "a1252"}};
    model.hasNewCheckValues = 1;
    model.skipMissingSources = 1;
    model.checkMode = static_cast<uint8_t>(version % 2);
    model.updates.push_back({"app.exe", Filled(1), Filled(2), {3, 4}, Bytes(24, 0x55)});
    model.adds.push_back({"sub\\new.txt", Filled(5), {6, 7}, Bytes{'n', 'e', 'w'}});
    model.adds.push_back({"empty.txt", Filled(8), {9, 10}, Bytes()});
    model.deletes.push_back({"gone.txt", Filled(11)});
    return model;
}

Bytes Build(const PackageModel& model, PackageLayout* layout = nullptr) {
    Bytes bytes;
    std::string error;
    if (!pkx::packwriter::BuildPackage(model, &bytes, layout, &error)) {
        std::fprintf(stderr, "seed package: %s\n", error.c_str());
    }
    return bytes;
}

void WriteSeed(const std::string& dir, const std::string& name, const Bytes& payload) {
    WriteSeedFile(dir, name, payload);
}

void WriteContainers(const std::string& dir) {
    std::vector<Bytes> packages;
    for (uint16_t version : {100, 130, 150}) packages.push_back(Build(SeedModel(version)));
    Bytes payload;
    pkx::packwriter::BuildContainer(packages, &payload);
    WriteSeed(dir, "lump-three", payload);
    pkx::packwriter::BuildContainer({}, &payload);
    WriteSeed(dir, "lump-empty", payload);
    // The first entry points back at the index itself.
    pkx::packwriter::BuildContainer({packages[2]}, &payload);
    pkx::packwriter::PatchU32(payload, 6, pkx::kPayloadOffset);
    WriteSeed(dir, "lump-self", payload);
}

void WriteHostileSeeds(const std::string& dir) {
    PackageLayout layout;
    const Bytes package = Build(SeedModel(150), &layout);
    Bytes hostile = package;
    pkx::packwriter::PatchU32(hostile, layout.noticeOffset + 6, 0xFFFFFFFFu);
    WriteSeed(dir, "notice-length", hostile);
    hostile = package;
    for (uint32_t field = 0; field < 3; ++field) {
        pkx::packwriter::PatchU32(hostile, layout.countsOffset + 4 * field, 0xFFFFFFFFu);
    }
    WriteSeed(dir, "record-counts", hostile);
    hostile = package;
    pkx::packwriter::Truncate(hostile, layout.recordsOffset + 5);
    WriteSeed(dir, "cut-records", hostile);
    hostile = package;
    pkx::packwriter::PatchU16(hostile, 4, 151);
    WriteSeed(dir, "version-151", hostile);
    WriteSeed(dir, "magic-pkx0", Bytes{'P', 'K', 'X', 0, 1, 2});
}

}  // namespace

void WriteSeedFile(const std::string& dir, const std::string& name, const Bytes& input) {
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    const std::string path = (std::filesystem::path(dir) / name).string();
    if (pkx::packwriter::WriteFileBytes(path.c_str(), input) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    }
}

Bytes OldFilePart(const Bytes& oldData) {
    Bytes input = {static_cast<uint8_t>(oldData.size()), static_cast<uint8_t>(oldData.size() >> 8)};
    input.insert(input.end(), oldData.begin(), oldData.end());
    return input;
}

void WritePackageSeeds(const std::string& dir) {
    for (uint16_t version : {0, 109, 110, 119, 120, 125, 130, 139, 140, 150}) {
        WriteSeed(dir, "package-" + std::to_string(version), Build(SeedModel(version)));
    }
    WriteContainers(dir);
    WriteHostileSeeds(dir);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seed_corpus <folder>\n");
        return 2;
    }
    const std::filesystem::path root(argv[1]);
    WritePackageSeeds((root / "package_fuzzer").string());
    WriteDeltaSeeds((root / "delta_fuzzer").string());
    WriteDeltaEncoderSeeds((root / "delta_encoder_fuzzer").string());
    return 0;
}
