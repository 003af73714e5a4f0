// Seed inputs for the fuzzers, one writer per fuzzer, each into its own folder.
#pragma once

#include <string>

// Payloads (what lies at 0x1F000 of a program file) for package_fuzzer.
void WritePackageSeeds(const std::string& dir);
// Inputs for delta_fuzzer (fuzz/delta_seeds.cpp).
void WriteDeltaSeeds(const std::string& dir);
// Inputs for delta_encoder_fuzzer (fuzz/delta_encoder_seeds.cpp).
void WriteDeltaEncoderSeeds(const std::string& dir);
