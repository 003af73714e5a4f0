// Seed inputs of delta_encoder_fuzzer: a u16 old-file length, the old file,
// the settings byte (block size, index step), then the new file. Edited, moved and repeated pieces,
// runs of one byte, and files too short to match.
#include <cstdint>
#include <random>
#include <string>

#include "fuzz/seed_corpus.h"
#include "package/writer/delta_encoder.h"

namespace {

using pkx::packwriter::Bytes;

void WriteSeed(const std::string& dir, const char* name, const Bytes& oldData, uint8_t settings,
               const Bytes& newData) {
    Bytes input = OldFilePart(oldData);
    input.push_back(settings);
    input.insert(input.end(), newData.begin(), newData.end());
    WriteSeedFile(dir, name, input);
}

Bytes Slice(const Bytes& bytes, size_t offset, size_t length) {
    return Bytes(bytes.begin() + offset, bytes.begin() + offset + length);
}

}  // namespace

void WriteDeltaEncoderSeeds(const std::string& dir) {
    std::mt19937 random(5);
    Bytes oldData(600);
    for (uint8_t& byte : oldData) byte = static_cast<uint8_t>(random());
    Bytes edited = Slice(oldData, 0, 200);
    edited.insert(edited.end(), 40, 0x33);
    const Bytes moved = Slice(oldData, 400, 150);
    edited.insert(edited.end(), moved.begin(), moved.end());
    edited.insert(edited.end(), oldData.begin() + 210, oldData.begin() + 390);
    edited.insert(edited.end(), moved.begin(), moved.end());
    WriteSeed(dir, "edits-fitted", oldData, 0, edited);
    WriteSeed(dir, "edits-block-16", oldData, 16, edited);
    WriteSeed(dir, "identical", oldData, 0, oldData);
    WriteSeed(dir, "edits-index-step-4", oldData, 0x80, edited);
    Bytes withRun = oldData;
    withRun.insert(withRun.begin() + 300, 100, 0);
    WriteSeed(dir, "runs", withRun, 0, Bytes(250, 0));
    WriteSeed(dir, "short", Slice(oldData, 0, 5), 0, Slice(oldData, 2, 6));
    WriteSeed(dir, "empty-old", {}, 7, edited);
}
