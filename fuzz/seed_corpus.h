// Seed inputs for the fuzzers, one writer per fuzzer, each into its own folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes `input` as the seed `name` in `dir`, making the folder if need be.
void WriteSeedFile(const std::string& dir, const std::string& name,
                   const std::vector<uint8_t>& input);
// The start of a difference fuzzer's input: a u16 old-file length, the old file.
std::vector<uint8_t> OldFilePart(const std::vector<uint8_t>& oldData);

// Payloads (what lies at 0x1F000 of a program file) for package_fuzzer.
void WritePackageSeeds(const std::string& dir);
// Inputs for delta_fuzzer (fuzz/delta_seeds.cpp).
void WriteDeltaSeeds(const std::string& dir);
// Inputs for delta_encoder_fuzzer (fuzz/delta_encoder_seeds.cpp).
void WriteDeltaEncoderSeeds(const std::string& dir);
