#include "engine/target_folder.h"

#include <cstring>

#include "platform/double_byte.h"

namespace pkx {

namespace {

constexpr uint8_t kRegistryRootCount = 4;
// Longest path with its terminator in a 260-byte buffer.
constexpr size_t kMaxPathLength = kPathBufferSize - 1;

// What a source that names no known kind gives: the result stays as it was.
constexpr ResultCode kNoEffect = 0xFFFFFFFFu;

// Folders are scanned in the code page the system holds names in.
bool FolderEndsWithBackslash(const char* folder) {
    return EndsWithBackslash(folder, Os().InsideCodePage(systemCodePage));
}

// Copies `text` when it fits `size` bytes with its terminator; else empties `out`.
bool CopyBounded(char* out, size_t size, const char* text) {
    const size_t length = std::strlen(text);
    if (length >= size) {
        out[0] = '\0';
        return false;
    }
    std::memcpy(out, text, length + 1);
    return true;
}

// A folder can take the backslash that every record name is appended to.
bool FitsAsFolder(const char* folder) {
    if (folder[0] == '\0') return false;
    return FolderEndsWithBackslash(folder) || std::strlen(folder) < kMaxPathLength;
}

// The special folder of `index`, a backslash unless it ends with one, then
// `name`; for an index past the table `name` alone. An unknown special folder
// or a path too long for a path buffer gives false and an empty `out`.
bool ComposeBelowFolder(const SpecialFolders& folders, uint8_t index, const char* name, char* out) {
    if (index >= kSpecialFolderCount) return CopyBounded(out, kPathBufferSize, name);
    out[0] = '\0';
    const char* folder = folders.paths[index];
    if (folder[0] == '\0') return false;
    const size_t folderLength = std::strlen(folder);
    const size_t separatorLength = FolderEndsWithBackslash(folder) ? 0 : 1;
    const size_t nameLength = std::strlen(name);
    if (folderLength + separatorLength + nameLength > kMaxPathLength) return false;
    std::memcpy(out, folder, folderLength);
    if (separatorLength != 0) out[folderLength] = '\\';
    std::memcpy(out + folderLength + separatorLength, name, nameLength + 1);
    return true;
}

// A registry value into `out` (260 bytes), as stored, whatever its type. The
// value may lack a terminator, so it is read into a buffer one byte longer.
bool QueryRegistry(uint8_t rootIndex, const char* key, const char* name, char* out) {
    out[0] = '\0';
    if (rootIndex >= kRegistryRootCount) return false;
    char value[kPathBufferSize + 1] = {};
    const uint32_t error =
        Os().RegistryValue(static_cast<RegistryRoot>(rootIndex), key, name, value, kPathBufferSize);
    if (error != 0) return false;
    return CopyBounded(out, kPathBufferSize, value) && out[0] != '\0';
}

// An INI value into `out` (260 bytes). The buffer holds one byte more than a
// path, so that a value cut short by the reader shows up as too long.
bool QueryIni(const char* path, const char* section, const char* key, char* out) {
    out[0] = '\0';
    char value[kPathBufferSize + 1] = {};
    // The length is not needed: an absent value leaves the buffer empty.
    BestEffort(Os().IniValue(path, section, key, value, sizeof value));
    value[kPathBufferSize] = '\0';
    return CopyBounded(out, kPathBufferSize, value) && out[0] != '\0';
}

// The result of a source that wrote `targetFolder`: an unusable folder is dropped.
ResultCode FolderOutcome(bool found, ApplyContext& context) {
    if (found && FitsAsFolder(context.targetFolder)) return result::kSuccess;
    context.targetFolder[0] = '\0';
    return result::kNoTargetFolder;
}

ResultCode EvaluateRegistry(const FolderSource& source, ApplyContext& context) {
    const bool found =
        QueryRegistry(source.index, source.text1, source.text2, context.targetFolder);
    return FolderOutcome(found, context);
}

ResultCode EvaluateIni(const FolderSource& source, ApplyContext& context,
                       const SpecialFolders& folders) {
    char path[kPathBufferSize];
    const bool found = ComposeBelowFolder(folders, source.index, source.text1, path) &&
                       QueryIni(path, source.text2, source.text3, context.targetFolder);
    return FolderOutcome(found, context);
}

ResultCode EvaluateFixedPath(const FolderSource& source, ApplyContext& context,
                             const SpecialFolders& folders) {
    const bool found =
        ComposeBelowFolder(folders, source.index, source.text1, context.targetFolder);
    return FolderOutcome(found, context);
}

// kSuccess (found), kNoTargetFolder, or kNoEffect for a kind without meaning.
ResultCode EvaluateSource(const FolderSource& source, uint16_t version, ApplyContext& context,
                          const SpecialFolders& folders) {
    switch (source.kind) {
        case kSourceRegistry:
            return EvaluateRegistry(source, context);
        case kSourceIni:
            return EvaluateIni(source, context, folders);
        case kSourceFixedPath:
            return EvaluateFixedPath(source, context, folders);
        case kSourceComposite:
            // Older packages carry no records for this kind, and it means nothing there.
            if (version < gate::kLanguageBlocks) return kNoEffect;
            return ResolveComposite(source.lookups, context, folders);
        default:
            return kNoEffect;
    }
}

bool RunRegistryStep(const LookupRecord& record, LookupSlots& slots, char* slot) {
    char key[kPathBufferSize];
    char name[kPathBufferSize];
    if (!ExpandSlots(record.text1, slots, key, sizeof key) ||
        !ExpandSlots(record.text2, slots, name, sizeof name)) {
        slot[0] = '\0';
        return false;
    }
    return QueryRegistry(record.index, key, name, slot);
}

bool RunIniStep(const LookupRecord& record, LookupSlots& slots, const SpecialFolders& folders,
                char* slot) {
    char file[kPathBufferSize];
    char section[kPathBufferSize];
    char key[kPathBufferSize];
    char path[kPathBufferSize];
    if (!ExpandSlots(record.text1, slots, file, sizeof file) ||
        !ExpandSlots(record.text2, slots, section, sizeof section) ||
        !ExpandSlots(record.text3, slots, key, sizeof key) ||
        !ComposeBelowFolder(folders, record.index, file, path)) {
        slot[0] = '\0';
        return false;
    }
    return QueryIni(path, section, key, slot);
}

// One step into its result slot; false when it found nothing. A slot past the
// ten is refused rather than written.
bool RunLookupStep(const LookupRecord& record, LookupSlots& slots, const SpecialFolders& folders) {
    if (record.resultSlot >= kLookupSlotCount) return false;
    char* slot = slots.text[record.resultSlot];
    if (record.stepKind == kStepRegistry) return RunRegistryStep(record, slots, slot);
    return RunIniStep(record, slots, folders, slot);
}

// Appends the one backslash a resolved folder ends with, when it fits.
ResultCode FinishFolder(char* folder) {
    const void* terminator = std::memchr(folder, '\0', kPathBufferSize);
    if (terminator == nullptr || folder[0] == '\0') return result::kNoTargetFolder;
    if (FolderEndsWithBackslash(folder)) return result::kSuccess;
    const size_t length = static_cast<const char*>(terminator) - folder;
    if (length >= kMaxPathLength) return result::kNoTargetFolder;
    folder[length] = '\\';
    folder[length + 1] = '\0';
    return result::kSuccess;
}

}  // namespace

bool EndsWithBackslash(const char* text, uint32_t codePage) {
    bool backslash = false;
    for (const char* at = text; *at != '\0'; at += CharLength(at, codePage)) {
        backslash = CharLength(at, codePage) == 1 && *at == '\\';
    }
    return backslash;
}

bool ExpandSlots(const char* templ, const LookupSlots& slots, char* out, size_t size) {
    if (size == 0) return false;
    size_t used = 0;
    auto append = [&](const char* bytes, size_t count) {
        if (used + count >= size) return false;
        std::memcpy(out + used, bytes, count);
        used += count;
        return true;
    };
    for (const char* p = templ; *p != '\0'; ++p) {
        bool fits = true;
        if (*p != '%') {
            fits = append(p, 1);
        } else if (p[1] == '\0') {
            break;  // a final "%" stands for nothing
        } else {
            ++p;
            if (*p >= '0' && *p <= '9') {
                const char* slot = slots.text[*p - '0'];
                fits = append(slot, std::strlen(slot));
            } else {
                fits = append(p, 1);
            }
        }
        if (!fits) {
            out[0] = '\0';
            return false;
        }
    }
    out[used] = '\0';
    return true;
}

ResultCode ResolveComposite(const std::vector<LookupRecord>& records, ApplyContext& context,
                            const SpecialFolders& folders) {
    LookupSlots slots;
    bool failed = false;
    for (const LookupRecord& record : records) {
        if (record.stepKind != kStepRegistry && record.stepKind != kStepIni) continue;
        if (!RunLookupStep(record, slots, folders)) {
            failed = true;
            break;
        }
    }
    CopyBounded(context.targetFolder, kPathBufferSize, slots.text[0]);
    // A lookup that never wrote slot 0 found no folder either.
    if (failed) return result::kNoTargetFolder;
    return FolderOutcome(true, context);
}

ResultCode ResolveTargetFolder(FolderSourceList& sources, ApplyContext& context,
                               const SpecialFolders& folders) {
    if (sources.ReadCount() != 0) return result::kReadProgramFile;
    ResultCode outcome = result::kSuccess;
    bool found = false;
    for (uint32_t i = 0; i < sources.count(); ++i) {
        FolderSource source;
        if (sources.ReadNext(&source) != 0) return result::kReadProgramFile;
        if (found) continue;  // read only, to keep the header position right
        if (source.kind == kSourcePrompt) {
            if (context.prompts->AskTargetFolder(context) == 0) {
                outcome = result::kSuccess;
                break;  // the sources after a confirmed prompt are not read
            }
            outcome = result::kCancelled;
            continue;
        }
        const ResultCode r = EvaluateSource(source, sources.version(), context, folders);
        if (r == kNoEffect) continue;
        outcome = r;
        found = r == result::kSuccess;
    }
    if (outcome != result::kSuccess) return outcome;
    return FinishFolder(context.targetFolder);
}

ResultCode ResolveTargetFolder(FolderSourceList& sources, ApplyContext& context) {
    return ResolveTargetFolder(sources, context, RunSpecialFolders());
}

}  // namespace pkx
