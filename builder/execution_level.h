// The execution level of a Windows updater: the requestedExecutionLevel of
// its application manifest, which Windows reads before the program starts.
// The manifest is the resource of type 24 (RT_MANIFEST), ID 1; the updater
// keeps its level in a field of fixed width, `level="asInvoker"` padded with
// spaces to the length of the longest level, which the builder fills in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pkx::builder {

enum class ExecutionLevel : uint8_t { kAsInvoker, kHighestAvailable, kRequireAdministrator };

// The names the manifest (and the build manifest's `execution_level`) uses.
inline constexpr const char* kExecutionLevelNames[] = {"asInvoker", "highestAvailable",
                                                       "requireAdministrator"};
const char* ExecutionLevelName(ExecutionLevel level);
// False for any other name.
bool ParseExecutionLevel(const std::string& name, ExecutionLevel* level);

// The width of the level field: `level="requireAdministrator"`.
inline constexpr size_t kLevelFieldSize = 28;

// The level field of a program image.
struct LevelField {
    size_t offset = 0;  // in the image, of `level="`
    ExecutionLevel level = ExecutionLevel::kAsInvoker;
};

// Finds the manifest through the resource directory of the Windows program
// image `image` (type 24, ID 1, its first language) and the level field in
// it. False, with the reason, for an image that is not a Windows program,
// has no such manifest, or a manifest without the fixed-width field. Every
// offset and size the image gives is checked against the image.
bool FindLevelField(const std::vector<uint8_t>& image, LevelField* field, std::string* error);

// Writes `level` into the image's level field and, when the image carries a
// checksum, its checksum again. False, with the reason, as FindLevelField.
bool SetExecutionLevel(std::vector<uint8_t>* image, ExecutionLevel level, std::string* error);

// Writes the level the build manifest chose (asInvoker when it chose none)
// into the updater program `stub` read from `stubPath`. A program without a
// level field (a Linux updater, or a Windows one built without the manifest)
// stays as it is when no level was chosen, and is refused when one was.
bool PutExecutionLevel(std::optional<ExecutionLevel> chosen, const std::string& stubPath,
                       std::vector<uint8_t>* stub, std::string* error);

}  // namespace pkx::builder
