#include "engine/journal.h"

#include <cstring>
#include <utility>

#include "support/md5.h"
#include "support/paths.h"

namespace pkx {

namespace {

constexpr uint8_t kMagic[4] = {'P', 'K', 'X', 'J'};
constexpr uint16_t kVersion = 1;
constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kHeadSize = 3;  // kind and payload length
constexpr uint32_t kCheckSize = 4;
// Names and texts fill at most a path buffer; each is written whole, with
// a u16 length, since a shortened name would undo another file.
constexpr uint32_t kLongestText = kPathBufferSize - 1;
constexpr uint32_t kTextSize = 2 + kLongestText;
// The longest entry: a package entry's three texts. A change (two names
// with their places) is shorter.
constexpr uint32_t kEntryLimit = kHeadSize + 3 * kTextSize + kCheckSize;
static_assert(2 * (1 + kTextSize) <= 3 * kTextSize, "a change entry fits the limit");

// Entry kinds besides the changes (ChangeKind).
constexpr uint8_t kPackageEntry = 'P';
constexpr uint8_t kVoidEntry = 'V';
constexpr uint8_t kCommitEntry = 'C';
constexpr uint8_t kRollbackEntry = 'R';

// How a change names its file: after the journal's own folder, or in full
// (a package of the run that found another target folder).
constexpr uint8_t kInJournalFolder = 0;
constexpr uint8_t kFullPath = 1;

// More changes than any package could make: such a journal is not ours.
constexpr size_t kChangeLimit = 1u << 20;

// The first four bytes of the MD5 digest of the kind, the length and the payload.
void EntryCheck(const uint8_t* entry, uint32_t size, uint8_t* check) {
    MD5_CTX md5;
    MD5Init(&md5);
    MD5Update(&md5, entry, size);
    uint8_t digest[16];
    MD5Final(digest, &md5);
    std::memcpy(check, digest, kCheckSize);
}

// One entry built in place: kind, payload length, payload, check.
class Entry {
  public:
    explicit Entry(uint8_t kind) { bytes_[0] = kind; }

    void U8(uint8_t value) { bytes_[size_++] = value; }
    void U32(uint32_t value) {
        for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(value >> (8 * i)));
    }
    // A u16 length and the bytes. Every text comes from a path buffer, so
    // the cut never shortens one; it only keeps the entry inside its bytes.
    void Text(const char* text) {
        const uint32_t length = static_cast<uint32_t>(strnlen(text, kLongestText));
        U8(static_cast<uint8_t>(length));
        U8(static_cast<uint8_t>(length >> 8));
        std::memcpy(bytes_ + size_, text, length);
        size_ += length;
    }
    // `path` after `folder` when it lies there, else in full.
    void Name(const char* folder, const char* path) {
        const size_t folderLength = std::strlen(folder);
        const bool inside = folderLength > 0 && std::strncmp(path, folder, folderLength) == 0;
        U8(inside ? kInJournalFolder : kFullPath);
        Text(inside ? path + folderLength : path);
    }

    // Appends the entry to the file. 0, or the platform's code.
    uint32_t WriteTo(BinaryFile& file) {
        const uint32_t length = size_ - kHeadSize;
        bytes_[1] = static_cast<uint8_t>(length);
        bytes_[2] = static_cast<uint8_t>(length >> 8);
        EntryCheck(bytes_, size_, bytes_ + size_);
        return file.Write(bytes_, size_ + kCheckSize);
    }

  private:
    uint8_t bytes_[kEntryLimit];
    uint32_t size_ = kHeadSize;
};

uint32_t WriteChange(BinaryFile& file, const char* folder, const Change& change) {
    Entry entry(static_cast<uint8_t>(change.kind));
    entry.Name(folder, change.path);
    if (change.kind != ChangeKind::kAdd) entry.Name(folder, change.backup);
    return entry.WriteTo(file);
}

uint32_t WriteIndexEntry(BinaryFile& file, uint8_t kind, uint32_t index) {
    Entry entry(kind);
    entry.U32(index);
    return entry.WriteTo(file);
}

// Which package the changes that follow belong to: for the log of a recovery.
uint32_t WritePackage(BinaryFile& file, const ApplyContext& context, const PackageRef& package) {
    Entry entry(kPackageEntry);
    entry.Text(context.title);
    entry.Text(package.oldVersionLabel);
    entry.Text(package.newVersionLabel);
    return entry.WriteTo(file);
}

bool SameNameIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a;
        char y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

bool SameChange(const Change& a, const Change& b) {
    return a.kind == b.kind && std::strcmp(a.path, b.path) == 0 &&
           std::strcmp(a.backup, b.backup) == 0;
}

void Touch(RunJournal& journal, const char* folder) {
    for (const TouchedFolder& touched : journal.touched) {
        if (std::strcmp(touched.path, folder) == 0) return;
    }
    TouchedFolder touched;
    std::strcpy(touched.path, folder);
    journal.touched.push_back(touched);
}

// The folders whose names a change alters. An added file may have needed new
// folders too: its folder's parents up to the target folder are named as well.
void TouchFoldersOf(RunJournal& journal, const Change& change, size_t targetLength) {
    char folder[kPathBufferSize];
    ParentFolder(change.path, folder);
    for (;;) {
        Touch(journal, folder);
        const size_t length = std::strlen(folder);
        if (change.kind != ChangeKind::kAdd || length <= targetLength || length < 2) return;
        folder[length - 1] = '\0';  // the separator ParentFolder left at the end
        char parent[kPathBufferSize];
        ParentFolder(folder, parent);
        if (std::strlen(parent) >= length - 1) return;
        std::strcpy(folder, parent);
    }
}

// Creates the journal in the target folder, with its header, when the run
// has none. The header reaches the disk with the first entries.
ResultCode EnsureOpen(ApplyContext& context, bool* created) {
    RunJournal& journal = context.journal;
    *created = false;
    if (journal.file.IsOpen()) return result::kSuccess;
    char path[kPathBufferSize];
    if (!BuildJournalPath(context.targetFolder, path)) return result::kJournal;
    // CREATE_NEW: a journal that is there already belongs to another run.
    if (journal.file.Open(path, kGenericRead | kGenericWrite, kShareNone, kCreateNew,
                          kAttributeNormal) != 0) {
        return result::kJournal;
    }
    std::strcpy(journal.folder, context.targetFolder);
    *created = true;
    const uint8_t header[kHeaderSize] = {
        kMagic[0], kMagic[1], kMagic[2], kMagic[3], static_cast<uint8_t>(kVersion), 0, 0, 0};
    return journal.file.Write(header, kHeaderSize) == 0 ? result::kSuccess : result::kJournal;
}

// The package entry, when the changes that follow belong to another package
// than the last ones; and the void entry for planned changes not made.
uint32_t WritePrelude(RunJournal& journal, const ApplyContext& context, const PackageRef& package) {
    uint32_t r = 0;
    if (journal.package != &package) {
        r = WritePackage(journal.file, context, package);
        journal.package = &package;
    }
    const size_t unmade = journal.plan.size() - journal.nextPlanned;
    if (r == 0 && unmade > 0) {
        journal.changes -= static_cast<uint32_t>(unmade);
        r = WriteIndexEntry(journal.file, kVoidEntry, journal.changes);
    }
    journal.plan.clear();
    journal.nextPlanned = 0;
    return r;
}

// What was written reaches the disk; a journal made just now gets its name
// made durable too.
ResultCode MakeDurable(RunJournal& journal, bool created) {
    if (Os().Flush(journal.file.NativeHandle()) != 0 ||
        (created && Os().FlushFolder(journal.folder) != 0)) {
        return result::kJournal;
    }
    return result::kSuccess;
}

// --- Reading

// A bounded reader over one entry's payload.
class PayloadReader {
  public:
    PayloadReader(const uint8_t* bytes, uint32_t size) : bytes_(bytes), size_(size) {}

    bool U8(uint8_t* value) {
        if (at_ + 1 > size_) return false;
        *value = bytes_[at_++];
        return true;
    }
    bool U32(uint32_t* value) {
        if (at_ + 4 > size_) return false;
        *value = 0;
        for (int i = 3; i >= 0; --i) *value = (*value << 8) | bytes_[at_ + i];
        at_ += 4;
        return true;
    }
    // A text into a path buffer.
    bool Text(char* text) {
        uint8_t low = 0;
        uint8_t high = 0;
        if (!U8(&low) || !U8(&high)) return false;
        const uint32_t length = low | uint32_t{high} << 8;
        if (length > kLongestText || at_ + length > size_) return false;
        std::memcpy(text, bytes_ + at_, length);
        text[length] = '\0';
        at_ += length;
        return true;
    }
    bool AtEnd() const { return at_ == size_; }

  private:
    const uint8_t* bytes_;
    uint32_t size_;
    uint32_t at_ = 0;
};

// A name of a change as the file operations wrote it.
bool ReadName(PayloadReader& in, const char* folder, char* path) {
    uint8_t where = 0;
    char name[kPathBufferSize];
    if (!in.U8(&where) || !in.Text(name)) return false;
    if (where == kFullPath) {
        std::strcpy(path, name);
        return true;
    }
    return where == kInJournalFolder && BuildFullPath(folder, name, path);
}

bool ReadChange(PayloadReader& in, uint8_t kind, const char* folder, Change* change) {
    change->kind = static_cast<ChangeKind>(kind);
    if (!ReadName(in, folder, change->path)) return false;
    if (change->kind == ChangeKind::kAdd) return in.AtEnd();
    return ReadName(in, folder, change->backup) && in.AtEnd();
}

bool IsChangeKind(uint8_t kind) {
    return kind == static_cast<uint8_t>(ChangeKind::kBackup) ||
           kind == static_cast<uint8_t>(ChangeKind::kAdd) ||
           kind == static_cast<uint8_t>(ChangeKind::kWrite);
}

// Takes one whole entry into `contents`; false for an entry that makes no
// sense, which ends the reading like a torn one.
bool TakeEntry(uint8_t kind, PayloadReader& in, const char* folder, JournalContents* contents) {
    uint32_t index = 0;
    if (IsChangeKind(kind)) {
        if (contents->changes.size() >= kChangeLimit) return false;
        Change change;
        if (!ReadChange(in, kind, folder, &change)) return false;
        contents->changes.push_back(change);
        return true;
    }
    switch (kind) {
        case kPackageEntry: {
            char text[kPathBufferSize];
            return in.Text(text) && in.Text(text) && in.Text(text) && in.AtEnd();
        }
        case kVoidEntry:
            if (!in.U32(&index) || !in.AtEnd() || index > contents->changes.size()) return false;
            contents->changes.resize(index);
            return true;
        case kCommitEntry:
            contents->committed = in.AtEnd();
            return contents->committed;
        case kRollbackEntry:
            contents->committed = false;
            return in.AtEnd();
        default:
            return false;
    }
}

// Reads the entry at the file position into `bytes` (kEntryLimit bytes):
// false at the end of the file or at a torn or damaged entry.
bool ReadEntry(BinaryFile& file, uint8_t* bytes, uint32_t* length) {
    if (file.Read(bytes, kHeadSize) != 0) return false;
    *length = bytes[1] | (bytes[2] << 8);
    if (kHeadSize + *length + kCheckSize > kEntryLimit ||
        file.Read(bytes + kHeadSize, *length + kCheckSize) != 0) {
        return false;
    }
    uint8_t expected[kCheckSize];
    EntryCheck(bytes, kHeadSize + *length, expected);
    return std::memcmp(bytes + kHeadSize + *length, expected, kCheckSize) == 0;
}

}  // namespace

bool BuildJournalPath(const char* folder, char* path) {
    return BuildFullPath(folder, kJournalName, path);
}

bool IsRecordNameAllowed(const char* name) {
    if (!IsNameInsideFolder(name)) return false;
    char base[kPathBufferSize];
    char extension[kPathBufferSize];
    SplitPath(name, nullptr, nullptr, base, extension);
    char last[kPathBufferSize];
    return !BuildFullPath(base, extension, last) || !SameNameIgnoringCase(last, kJournalName);
}

ResultCode PlanChanges(ApplyContext& context, const PackageRef& package,
                       std::vector<Change> planned) {
    if (planned.empty()) return result::kSuccess;
    RunJournal& journal = context.journal;
    bool created = false;
    ResultCode r = EnsureOpen(context, &created);
    if (r != result::kSuccess) return r;
    uint32_t written = WritePrelude(journal, context, package);
    for (size_t i = 0; written == 0 && i < planned.size(); ++i) {
        written = WriteChange(journal.file, journal.folder, planned[i]);
    }
    if (written != 0) return result::kJournal;
    r = MakeDurable(journal, created);
    if (r != result::kSuccess) return r;
    journal.changes += static_cast<uint32_t>(planned.size());
    journal.plan = std::move(planned);
    return result::kSuccess;
}

ResultCode RecordChange(ApplyContext& context, const PackageRef& package, const Change& change) {
    RunJournal& journal = context.journal;
    const size_t targetLength = std::strlen(context.targetFolder);
    if (journal.nextPlanned < journal.plan.size() &&
        SameChange(journal.plan[journal.nextPlanned], change)) {
        ++journal.nextPlanned;
        TouchFoldersOf(journal, change, targetLength);
        return result::kSuccess;
    }
    bool created = false;
    ResultCode r = EnsureOpen(context, &created);
    if (r != result::kSuccess) return r;
    if (WritePrelude(journal, context, package) != 0 ||
        WriteChange(journal.file, journal.folder, change) != 0) {
        return result::kJournal;
    }
    r = MakeDurable(journal, created);
    if (r != result::kSuccess) return r;
    ++journal.changes;
    TouchFoldersOf(journal, change, targetLength);
    return result::kSuccess;
}

ResultCode VoidLastChange(ApplyContext& context) {
    RunJournal& journal = context.journal;
    const size_t unmade = journal.plan.size() - journal.nextPlanned;
    if (!journal.file.IsOpen() || journal.changes < unmade + 1) return result::kJournal;
    journal.changes -= static_cast<uint32_t>(unmade + 1);
    journal.plan.clear();
    journal.nextPlanned = 0;
    if (WriteIndexEntry(journal.file, kVoidEntry, journal.changes) != 0) return result::kJournal;
    return MakeDurable(journal, false);
}

ResultCode CommitJournal(ApplyContext& context) {
    RunJournal& journal = context.journal;
    if (!journal.file.IsOpen() || journal.committed) return result::kSuccess;
    // The new files and their names first: the commit entry must never
    // reach the disk before them.
    for (const TouchedFolder& folder : journal.touched) {
        if (Os().FlushFolder(folder.path) != 0) return result::kJournal;
    }
    if (Entry(kCommitEntry).WriteTo(journal.file) != 0) return result::kJournal;
    const ResultCode r = MakeDurable(journal, false);
    if (r != result::kSuccess) return r;
    journal.committed = true;
    return result::kSuccess;
}

void EndJournal(ApplyContext& context) {
    RunJournal& journal = context.journal;
    if (!journal.file.IsOpen() || !journal.committed) return;
    char path[kPathBufferSize];
    const bool named = BuildJournalPath(journal.folder, path);
    ForgetJournal(journal);
    // A committed journal left behind is removed by the next start.
    if (named) BestEffort(Os().Delete(path));
}

void ForgetJournal(RunJournal& journal) {
    journal.file.Close();
    journal.folder[0] = '\0';
    journal.changes = 0;
    journal.plan.clear();
    journal.nextPlanned = 0;
    journal.package = nullptr;
    journal.touched.clear();
    journal.committed = false;
}

ResultCode ReadJournal(BinaryFile& file, const char* folder, JournalContents* contents) {
    *contents = JournalContents();
    if (file.Seek(0, kFileBegin) == kBadPosition) return result::kJournal;
    uint8_t header[kHeaderSize];
    // A header that never reached the disk whole came with no change.
    if (file.Read(header, sizeof header) != 0 || std::memcmp(header, kMagic, 4) != 0) {
        return result::kSuccess;
    }
    if ((header[4] | (header[5] << 8)) > kVersion) return result::kJournal;
    contents->end = kHeaderSize;
    uint8_t bytes[kEntryLimit];
    uint32_t length = 0;
    while (ReadEntry(file, bytes, &length)) {
        PayloadReader in(bytes + kHeadSize, length);
        if (!TakeEntry(bytes[0], in, folder, contents)) break;
        contents->end += kHeadSize + length + kCheckSize;
    }
    return result::kSuccess;
}

ResultCode WriteRollbackEntry(BinaryFile& file, JournalContents* contents) {
    Entry entry(kRollbackEntry);
    if (file.Seek(static_cast<int32_t>(contents->end), kFileBegin) == kBadPosition ||
        entry.WriteTo(file) != 0 || Os().Flush(file.NativeHandle()) != 0) {
        return result::kJournal;
    }
    contents->committed = false;
    return result::kSuccess;
}

}  // namespace pkx
