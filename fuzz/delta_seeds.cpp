// Seed inputs of delta_fuzzer: a u16 old-file length, the old file, then the
// stream. Encoded edits, every instruction, and the hostile shapes the reader
// must refuse.
#include <cstdint>
#include <random>
#include <string>

#include "fuzz/seed_corpus.h"
#include "package/writer/delta_encoder.h"
#include "package/writer/delta_writer.h"

namespace {

using pkx::packwriter::Bytes;
using pkx::packwriter::DeltaStreamWriter;

void WriteSeed(const std::string& dir, const char* name, const Bytes& oldData,
               const Bytes& stream) {
    Bytes input = OldFilePart(oldData);
    input.insert(input.end(), stream.begin(), stream.end());
    WriteSeedFile(dir, name, input);
}

Bytes Random(size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

Bytes Encoded(const Bytes& oldData, const Bytes& newData, uint32_t blockSize) {
    return pkx::packwriter::EncodeDeltaStream(oldData, newData, {blockSize});
}

void WriteEncodedSeeds(const std::string& dir, std::mt19937& random) {
    const Bytes oldData = Random(300, random);
    Bytes edited = oldData;
    edited.insert(edited.begin() + 40, 13, 0x11);
    edited.erase(edited.begin() + 150, edited.begin() + 190);
    const Bytes tail = Random(9, random);
    edited.insert(edited.end(), tail.begin(), tail.end());
    WriteSeed(dir, "encoded-edits-16", oldData, Encoded(oldData, edited, 16));
    WriteSeed(dir, "encoded-edits-7", oldData, Encoded(oldData, edited, 7));
    WriteSeed(dir, "encoded-identical", oldData, Encoded(oldData, oldData, 32));
    WriteSeed(dir, "encoded-unrelated", oldData, Encoded(oldData, Random(200, random), 64));
    WriteSeed(dir, "encoded-empty-old", {}, Encoded({}, edited, 16));
}

void WriteInstructionSeeds(const std::string& dir, std::mt19937& random) {
    const Bytes oldData = Random(64, random);
    const Bytes literal = Random(3 * 16 + 7, random);
    WriteSeed(dir, "every-instruction", oldData,
              DeltaStreamWriter(16)
                  .CopyBlock(16)
                  .CopyBlocks(8, 2)
                  .CopyBytes(3, 5)
                  .LiteralBlock(literal.data())
                  .LiteralBlocks(literal.data() + 16, 2)
                  .Opcode(7)
                  .LiteralBytes(literal.data() + 48, 7)
                  .Opcode(255)
                  .End()
                  .Take());
    WriteSeed(dir, "header-and-end", oldData, DeltaStreamWriter(16).End().Take());
    WriteSeed(dir, "zero-counts", oldData,
              DeltaStreamWriter(16)
                  .CopyBlocks(0, 0)
                  .Opcode(pkx::OP_LITERAL_BLOCKS)
                  .RawU32(0)
                  .End()
                  .Take());
    WriteSeed(
        dir, "whole-block-lengths", oldData,
        DeltaStreamWriter(16).CopyBytes(48, 16).LiteralBytes(literal.data(), 16).End().Take());
    WriteSeed(dir, "no-end", oldData, DeltaStreamWriter(16).CopyBytes(0, 9).Take());
}

void WriteHostileSeeds(const std::string& dir) {
    const Bytes oldData(40, 0x42);
    WriteSeed(dir, "huge-block-size", oldData,
              DeltaStreamWriter(0xFFFFFFFFu)
                  .CopyBytes(0, 40)
                  .Opcode(pkx::OP_LITERAL_BLOCK)
                  .Raw("abc", 3)
                  .Take());
    WriteSeed(dir, "zero-block-size", oldData,
              DeltaStreamWriter(0)
                  .CopyBlocks(0, 0xFFFFFFFFu)
                  .Opcode(pkx::OP_LITERAL_BLOCKS)
                  .RawU32(0xFFFFFFFFu)
                  .End()
                  .Take());
    WriteSeed(dir, "length-above-block", oldData,
              DeltaStreamWriter(8).CopyBytes(0, 9).End().Take());
    WriteSeed(dir, "offset-2gib", oldData,
              DeltaStreamWriter(8).CopyBlocks(0x80000000u, 1).End().Take());
    WriteSeed(dir, "run-past-old-end", oldData,
              DeltaStreamWriter(16).CopyBlocks(0, 3).End().Take());
    WriteSeed(dir, "many-blocks", oldData,
              DeltaStreamWriter(1).CopyBlocks(0, 0xFFFFFFFFu).End().Take());
    WriteSeed(dir, "version-101", oldData, DeltaStreamWriter(16, 101).End().Take());
    WriteSeed(dir, "package-magic", oldData, DeltaStreamWriter(16, 100, 0x20584B50).End().Take());
    WriteSeed(dir, "cut-header", oldData, {0x50, 0x4B, 0x53, 0x20, 0x64});
}

}  // namespace

void WriteDeltaSeeds(const std::string& dir) {
    std::mt19937 random(100);
    WriteEncodedSeeds(dir, random);
    WriteInstructionSeeds(dir, random);
    WriteHostileSeeds(dir);
}
