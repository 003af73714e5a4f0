#include "builder/execution_level.h"

#include <cstring>

namespace pkx::builder {

namespace {

constexpr uint32_t kManifestType = 24;
constexpr uint32_t kManifestId = 1;
constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr size_t kSectionHeaderSize = 40;
constexpr char kElement[] = "<requestedExecutionLevel";
constexpr char kAttribute[] = "level=\"";

// Little-endian fields of the image, each read only when it lies inside.
class Image {
  public:
    explicit Image(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    bool Has(size_t offset, size_t size) const {
        return offset <= bytes_.size() && size <= bytes_.size() - offset;
    }
    bool U16(size_t offset, uint32_t* value) const {
        if (!Has(offset, 2)) return false;
        *value = uint32_t{bytes_[offset]} | uint32_t{bytes_[offset + 1]} << 8;
        return true;
    }
    bool U32(size_t offset, uint32_t* value) const {
        uint32_t low = 0, high = 0;
        if (!U16(offset, &low) || !U16(offset + 2, &high)) return false;
        *value = low | high << 16;
        return true;
    }

  private:
    const std::vector<uint8_t>& bytes_;
};

// The headers that locate the resources and the checksum.
struct Headers {
    size_t checksumOffset = 0;
    uint32_t resourceRva = 0;
    uint32_t resourceSize = 0;
    size_t sections = 0;  // offset of the section table
    uint32_t sectionCount = 0;
};

bool ReadHeaders(const Image& image, Headers* headers, std::string* error) {
    uint32_t mz = 0, pe = 0, signature = 0, count = 0, optionalSize = 0, magic = 0;
    if (!image.U16(0, &mz) || mz != 0x5A4D || !image.U32(0x3C, &pe) || !image.U32(pe, &signature) ||
        signature != 0x4550) {
        *error = "it is not a Windows program";
        return false;
    }
    const size_t optional = size_t{pe} + 24;
    if (!image.U16(pe + 6, &count) || !image.U16(pe + 20, &optionalSize) ||
        !image.U16(optional, &magic) || (magic != 0x10B && magic != 0x20B)) {
        *error = "its program headers are damaged";
        return false;
    }
    // PE32 and PE32+ differ in the width of four fields before the directories.
    const size_t directories = optional + (magic == 0x10B ? 96 : 112);
    uint32_t directoryCount = 0;
    if (!image.U32(directories - 4, &directoryCount) || directoryCount < 3 ||
        directories + 3 * 8 > optional + optionalSize ||
        !image.U32(directories + 16, &headers->resourceRva) ||
        !image.U32(directories + 20, &headers->resourceSize)) {
        *error = "its program headers are damaged";
        return false;
    }
    headers->checksumOffset = optional + 64;
    headers->sections = optional + optionalSize;
    headers->sectionCount = count;
    return true;
}

// The file offset of `size` bytes at `rva`, when one section holds them all.
bool FileOffset(const Image& image, const Headers& headers, uint32_t rva, uint32_t size,
                size_t* offset) {
    for (uint32_t i = 0; i < headers.sectionCount; ++i) {
        const size_t at = headers.sections + i * kSectionHeaderSize;
        uint32_t address = 0, rawSize = 0, rawStart = 0;
        if (!image.U32(at + 12, &address) || !image.U32(at + 16, &rawSize) ||
            !image.U32(at + 20, &rawStart)) {
            return false;
        }
        if (rva < address || rva - address >= rawSize) continue;
        if (size > rawSize - (rva - address)) return false;
        *offset = size_t{rawStart} + (rva - address);
        return image.Has(*offset, size);
    }
    return false;
}

// The entry for `id` in the resource directory at `directory` (relative to the
// resources' start), or with `id` 0 its first entry: the entry's target.
bool Entry(const Image& image, size_t resources, uint32_t resourceSize, uint32_t directory,
           uint32_t id, uint32_t* target) {
    uint32_t named = 0, ids = 0;
    if (directory > resourceSize || resourceSize - directory < 16 ||
        !image.U16(resources + directory + 12, &named) ||
        !image.U16(resources + directory + 14, &ids)) {
        return false;
    }
    const uint32_t entries = named + ids;
    if ((resourceSize - directory - 16) / 8 < entries) return false;
    // Named entries come first; IDs are never matched among them.
    for (uint32_t i = id == 0 ? 0 : named; i < entries; ++i) {
        const size_t at = resources + directory + 16 + size_t{i} * 8;
        uint32_t name = 0;
        if (!image.U32(at, &name) || !image.U32(at + 4, target)) return false;
        if (id == 0 || name == id) return true;
    }
    return false;
}

// The manifest's bytes: type 24, ID 1, the first language.
bool FindManifest(const Image& image, const Headers& headers, size_t* offset, uint32_t* size) {
    size_t resources = 0;
    const uint32_t limit = headers.resourceSize;
    if (limit == 0 || !FileOffset(image, headers, headers.resourceRva, limit, &resources)) {
        return false;
    }
    uint32_t names = 0, languages = 0, data = 0, rva = 0;
    if (!Entry(image, resources, limit, 0, kManifestType, &names) || !(names & kSubdirectory) ||
        !Entry(image, resources, limit, names & ~kSubdirectory, kManifestId, &languages) ||
        !(languages & kSubdirectory) ||
        !Entry(image, resources, limit, languages & ~kSubdirectory, 0, &data) ||
        (data & kSubdirectory) || data > limit || limit - data < 16) {
        return false;
    }
    return image.U32(resources + data, &rva) && image.U32(resources + data + 4, size) &&
           FileOffset(image, headers, rva, *size, offset);
}

// The level field in the manifest text [begin, begin + size).
bool FindField(const std::vector<uint8_t>& bytes, size_t begin, uint32_t size, LevelField* field) {
    const char* text = reinterpret_cast<const char*>(bytes.data()) + begin;
    const std::string manifest(text, size);
    const size_t element = manifest.find(kElement);
    if (element == std::string::npos) return false;
    const size_t attribute = manifest.find(kAttribute, element);
    const size_t end = manifest.find('>', element);
    if (attribute == std::string::npos || attribute > end ||
        size - attribute < kLevelFieldSize + 1) {
        return false;
    }
    // The field is followed by a space, so that any level leaves the
    // attributes after it apart.
    const std::string value = manifest.substr(attribute, kLevelFieldSize + 1);
    const size_t quote = value.find('"', sizeof kAttribute - 1);
    if (quote == std::string::npos ||
        value.find_first_not_of(' ', quote + 1) != std::string::npos) {
        return false;
    }
    const std::string name = value.substr(sizeof kAttribute - 1, quote - (sizeof kAttribute - 1));
    if (!ParseExecutionLevel(name, &field->level)) return false;
    field->offset = begin + attribute;
    return true;
}

void StoreU32(std::vector<uint8_t>* bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The image checksum: 16-bit words summed with the carries folded back,
// skipping the checksum itself, plus the image's length.
uint32_t Checksum(const std::vector<uint8_t>& bytes, size_t checksumOffset) {
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2) continue;
        sum += bytes[i] | (i + 1 < bytes.size() ? uint32_t{bytes[i + 1]} << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + bytes.size());
}

}  // namespace

const char* ExecutionLevelName(ExecutionLevel level) {
    return kExecutionLevelNames[static_cast<size_t>(level)];
}

bool ParseExecutionLevel(const std::string& name, ExecutionLevel* level) {
    for (size_t i = 0; i < sizeof kExecutionLevelNames / sizeof kExecutionLevelNames[0]; ++i) {
        if (name == kExecutionLevelNames[i]) {
            *level = static_cast<ExecutionLevel>(i);
            return true;
        }
    }
    return false;
}

bool FindLevelField(const std::vector<uint8_t>& bytes, LevelField* field, std::string* error) {
    const Image image(bytes);
    Headers headers;
    if (!ReadHeaders(image, &headers, error)) return false;
    size_t manifest = 0;
    uint32_t size = 0;
    if (!FindManifest(image, headers, &manifest, &size)) {
        *error = "it has no application manifest (resource type 24, ID 1)";
        return false;
    }
    if (!FindField(bytes, manifest, size, field)) {
        *error = "its application manifest has no level field of " +
                 std::to_string(kLevelFieldSize) + " bytes";
        return false;
    }
    return true;
}

bool SetExecutionLevel(std::vector<uint8_t>* bytes, ExecutionLevel level, std::string* error) {
    LevelField field;
    if (!FindLevelField(*bytes, &field, error)) return false;
    std::string text = std::string(kAttribute) + ExecutionLevelName(level) + "\"";
    text.resize(kLevelFieldSize, ' ');
    std::memcpy(bytes->data() + field.offset, text.data(), text.size());
    Headers headers;
    uint32_t checksum = 0;
    if (ReadHeaders(Image(*bytes), &headers, error) &&
        Image(*bytes).U32(headers.checksumOffset, &checksum) && checksum != 0) {
        StoreU32(bytes, headers.checksumOffset, Checksum(*bytes, headers.checksumOffset));
    }
    return true;
}

bool PutExecutionLevel(std::optional<ExecutionLevel> chosen, const std::string& stubPath,
                       std::vector<uint8_t>* stub, std::string* error) {
    LevelField field;
    std::string reason;
    if (!FindLevelField(*stub, &field, &reason)) {
        if (!chosen.has_value()) return true;
        *error =
            "the manifest's execution_level needs a Windows updater program that carries "
            "its level, but " +
            stubPath + ": " + reason;
        return false;
    }
    return SetExecutionLevel(stub, chosen.value_or(ExecutionLevel::kAsInvoker), error);
}

}  // namespace pkx::builder
