// Writes the seed inputs of every fuzzer: seed_corpus <folder> fills
// <folder>/package_fuzzer/ (payloads: what lies at 0x1F000 of a program file),
// <folder>/delta_fuzzer/ (a u16 old-file length, the old file, the stream),
// <folder>/delta_encoder_fuzzer/ (the same, with the settings byte, block size
// and index step, before the new file) and <folder>/journal_fuzzer/ (journals,
// from journal_seeds.cpp).
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fuzz/package_reading.h"
#include "package/writer/delta_encoder.h"
#include "package/writer/delta_writer.h"

namespace pkx::fuzz {
void WriteJournalSeeds(const std::filesystem::path& dir);
}  // namespace pkx::fuzz

namespace {

using namespace pkx;
using packwriter::Bytes;
using packwriter::PackageLayout;
using packwriter::PatchU32;
using W = packwriter::DeltaStreamWriter;

void WriteSeed(const std::filesystem::path& dir, const std::string& name, const Bytes& input) {
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    const std::string path = (dir / name).string();
    if (packwriter::WriteFileBytes(path.c_str(), input) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    }
}

Bytes Build(const packwriter::PackageModel& model, PackageLayout* layout = nullptr) {
    Bytes bytes;
    std::string error;
    if (!packwriter::BuildPackage(model, &bytes, layout, &error)) {
        std::fprintf(stderr, "seed package: %s\n", error.c_str());
    }
    return bytes;
}

Bytes Build(uint16_t version, PackageLayout* layout = nullptr) {
    return Build(test::RichModel(version), layout);
}

// Every version gate, containers, and the hostile shapes the readers refuse.
void WritePackageSeeds(const std::filesystem::path& dir) {
    for (uint16_t version : {0, 109, 110, 119, 120, 125, 130, 139, 140, 150, 200}) {
        WriteSeed(dir, "package-" + std::to_string(version), Build(version));
    }
    // Below 140 the other kinds of a lone source; check mode 0; an empty file to add.
    for (const uint8_t kind : {0, 1, 2}) {
        packwriter::PackageModel model = test::RichModel(110);
        model.folderSources = {{kind, 1, "Software\\Seed", "Path", "Dir", {}}};
        model.runningCheck.kind = kind;
        model.checkMode = 0;
        model.adds.push_back({"empty.txt", test::Filled(8), {9, 10}, Bytes()});
        WriteSeed(dir, "package-110-kind-" + std::to_string(kind), Build(model));
    }
    // Notice blocks with an empty before-text; every text of a block broken.
    packwriter::PackageModel broken = test::RichModel(150);
    broken.noticeBlocks = {{0, "b0", "a0"}, {932, "b932", ""}, {1252, "", "a1252"}};
    broken.languageBlocks[1].texts = test::NumberedTexts("j\\n");
    WriteSeed(dir, "package-150-broken", Build(broken));
    // The fuzzer takes the system's code page from the input's length.
    packwriter::PackageModel western = test::RichModel(125);
    western.title += '!';
    WriteSeed(dir, "package-125-other-system", Build(western));
    PackageLayout layout;
    const std::vector<Bytes> packages = {Build(100), Build(130), Build(150, &layout)};
    Bytes payload;
    packwriter::BuildContainer(packages, &payload);
    WriteSeed(dir, "lump-three", payload);
    packwriter::BuildContainer({}, &payload);
    WriteSeed(dir, "lump-empty", payload);
    // The first entry points back at the index itself.
    packwriter::BuildContainer({packages[2]}, &payload);
    PatchU32(payload, 6, kPayloadOffset);
    WriteSeed(dir, "lump-self", payload);

    // The newest package with one field made hostile.
    const auto hostile = [&](const char* name, const auto& change) {
        Bytes bytes = packages[2];
        change(bytes);
        WriteSeed(dir, name, bytes);
    };
    hostile("notice-length", [&](Bytes& b) { PatchU32(b, layout.noticeOffset + 6, ~0u); });
    hostile("record-counts", [&](Bytes& b) {
        for (uint32_t field = 0; field < 3; ++field)
            PatchU32(b, layout.countsOffset + 4 * field, ~0u);
    });
    hostile("cut-records", [&](Bytes& b) { packwriter::Truncate(b, layout.recordsOffset + 5); });
    hostile("version-151", [](Bytes& b) { packwriter::PatchU16(b, 4, 151); });
    WriteSeed(dir, "magic-pkx0", Bytes{'P', 'K', 'X', 0, 1, 2});
}

Bytes Random(size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

Bytes Slice(const Bytes& bytes, size_t offset, size_t length) {
    return Bytes(bytes.begin() + offset, bytes.begin() + offset + length);
}

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes bytes;
    for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
}

// A u16 old-file length, the old file, then `rest`.
Bytes Input(const Bytes& old, const Bytes& rest) {
    const uint8_t size[2] = {static_cast<uint8_t>(old.size()),
                             static_cast<uint8_t>(old.size() >> 8)};
    return Concat({Bytes(size, size + 2), old, rest});
}

// Encoded edits, every instruction, and the hostile shapes the reader refuses.
void WriteDeltaSeeds(const std::filesystem::path& dir) {
    std::mt19937 random(100);
    const Bytes old = Random(300, random);
    Bytes edited = old;
    edited.insert(edited.begin() + 40, 13, 0x11);
    edited.erase(edited.begin() + 150, edited.begin() + 190);
    const Bytes tail = Random(9, random);
    edited.insert(edited.end(), tail.begin(), tail.end());
    const Bytes unrelated = Random(200, random);
    const Bytes old64 = Random(64, random);
    const Bytes literal = Random(3 * 16 + 7, random);
    const uint8_t* l = literal.data();
    const Bytes old40(40, 0x42);
    const auto encoded = [](const Bytes& from, const Bytes& to, uint32_t blockSize) {
        return packwriter::EncodeDeltaStream(from, to, {blockSize});
    };
    const struct {
        const char* name;
        const Bytes& old;
        Bytes stream;
    } seeds[] = {
        // clang-format off
        {"encoded-edits-16", old, encoded(old, edited, 16)},
        {"encoded-edits-7", old, encoded(old, edited, 7)},
        {"encoded-identical", old, encoded(old, old, 32)},
        {"encoded-unrelated", old, encoded(old, unrelated, 64)},
        {"encoded-empty-old", {}, encoded({}, edited, 16)},
        {"every-instruction", old64, W(16).CopyBlock(16).CopyBlocks(8, 2).CopyBytes(3, 5).LiteralBlock(l).LiteralBlocks(l + 16, 2).Opcode(7).LiteralBytes(l + 48, 7).Opcode(255).End().Take()},
        {"header-and-end", old64, W(16).End().Take()},
        {"zero-counts", old64, W(16).CopyBlocks(0, 0).Opcode(OP_LITERAL_BLOCKS).RawU32(0).End().Take()},
        {"whole-block-lengths", old64, W(16).CopyBytes(48, 16).LiteralBytes(l, 16).End().Take()},
        {"no-end", old64, W(16).CopyBytes(0, 9).Take()},
        {"huge-block-size", old40, W(0xFFFFFFFFu).CopyBytes(0, 40).Opcode(OP_LITERAL_BLOCK).Raw("abc", 3).Take()},
        {"zero-block-size", old40, W(0).CopyBlocks(0, 0xFFFFFFFFu).Opcode(OP_LITERAL_BLOCKS).RawU32(0xFFFFFFFFu).End().Take()},
        {"length-above-block", old40, W(8).CopyBytes(0, 9).End().Take()},
        {"offset-2gib", old40, W(8).CopyBlocks(0x80000000u, 1).End().Take()},
        {"run-past-old-end", old40, W(16).CopyBlocks(0, 3).End().Take()},
        {"many-blocks", old40, W(1).CopyBlocks(0, 0xFFFFFFFFu).End().Take()},
        {"version-101", old40, W(16, 101).End().Take()},
        {"package-magic", old40, W(16, 100, 0x20584B50).End().Take()},
        {"cut-header", old40, {0x50, 0x4B, 0x53, 0x20, 0x64}},
        // clang-format on
    };
    for (const auto& seed : seeds) WriteSeed(dir, seed.name, Input(seed.old, seed.stream));
}

// Edited, moved and repeated pieces, runs of one byte, and files too short to match.
void WriteDeltaEncoderSeeds(const std::filesystem::path& dir) {
    std::mt19937 random(5);
    const Bytes old = Random(600, random);
    const Bytes moved = Slice(old, 400, 150);
    const Bytes edited =
        Concat({Slice(old, 0, 200), Bytes(40, 0x33), moved, Slice(old, 210, 180), moved});
    Bytes withRun = old;
    withRun.insert(withRun.begin() + 300, 100, 0);
    const struct {
        const char* name;
        Bytes old;
        uint8_t settings;
        Bytes newData;
    } seeds[] = {
        {"edits-fitted", old, 0, edited},    {"edits-block-16", old, 16, edited},
        {"identical", old, 0, old},          {"edits-index-step-4", old, 0x80, edited},
        {"runs", withRun, 0, Bytes(250, 0)}, {"short", Slice(old, 0, 5), 0, Slice(old, 2, 6)},
        {"empty-old", {}, 7, edited},
    };
    for (const auto& seed : seeds) {
        WriteSeed(dir, seed.name, Input(seed.old, Concat({{seed.settings}, seed.newData})));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seed_corpus <folder>\n");
        return 2;
    }
    const std::filesystem::path root(argv[1]);
    WritePackageSeeds(root / "package_fuzzer");
    WriteDeltaSeeds(root / "delta_fuzzer");
    WriteDeltaEncoderSeeds(root / "delta_encoder_fuzzer");
    pkx::fuzz::WriteJournalSeeds(root / "journal_fuzzer");
    return 0;
}
