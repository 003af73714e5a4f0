#include "engine/journal.h"

#include <cstring>
#include <utility>

#include "engine/folder_changes.h"
#include "support/md5.h"
#include "support/paths.h"

namespace pkx {

namespace {

constexpr uint8_t kMagic[4] = {'P', 'K', 'X', 'J'};
// 2: names relative to the journal's folder without a place byte, created
// folders, and the backups' fate in the commit. Version 1 is read too.
constexpr uint16_t kVersion = 2;
constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kHeadSize = 3;  // kind and payload length
constexpr uint32_t kCheckSize = 4;
// Names and texts fill at most a path buffer; each is written whole, with
// a u16 length, since a shortened name would undo another file.
constexpr uint32_t kLongestText = kPathBufferSize - 1;
constexpr uint32_t kTextSize = 2 + kLongestText;
// The longest entry: a package entry's three texts. A change (two names,
// in version 1 with a place byte each) is shorter.
constexpr uint32_t kEntryLimit = kHeadSize + 3 * kTextSize + kCheckSize;
static_assert(2 * (1 + kTextSize) <= 3 * kTextSize, "a change entry fits the limit");
// The room kept for the entries that end a journal: a void entry, the
// commit, the backups' fate and the rollback entry.
constexpr uint32_t kClosingRoom = 4 * (kHeadSize + 4 + kCheckSize);
// A run writes at most this many change entries (it stops before one more),
// and a journal with more is refused as larger than any run writes.
constexpr uint32_t kChangeLimit = 1u << 20;

// Entry kinds besides the changes (ChangeKind).
constexpr uint8_t kPackageEntry = 'P';
constexpr uint8_t kVoidEntry = 'V';
constexpr uint8_t kCommitEntry = 'C';
constexpr uint8_t kBackupsEntry = 'D';
constexpr uint8_t kRollbackEntry = 'R';

// Version 1 put a place before each name: 0 for after the journal's own
// folder (1, a full path, is not followed).
constexpr uint8_t kInJournalFolder = 0;

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
    // `path` as a name after `folder`; false when it does not lie there.
    bool Name(const char* folder, const char* path) {
        const size_t folderLength = std::strlen(folder);
        if (std::strncmp(path, folder, folderLength) != 0) return false;
        Text(path + folderLength);
        return true;
    }

    // Ends the entry: its payload length and check.
    void Finish() {
        const uint32_t length = size_ - kHeadSize;
        bytes_[1] = static_cast<uint8_t>(length);
        bytes_[2] = static_cast<uint8_t>(length >> 8);
        EntryCheck(bytes_, size_, bytes_ + size_);
    }
    const uint8_t* data() const { return bytes_; }
    uint32_t size() const { return size_ + kCheckSize; }

  private:
    uint8_t bytes_[kEntryLimit];
    uint32_t size_ = kHeadSize;
};

// The entries of one flush, written with one call: a write cut short leaves
// whole entries and the start of one, and no unwritten hole before them.
class Batch {
  public:
    void Header() {
        const uint8_t header[kHeaderSize] = {
            kMagic[0], kMagic[1], kMagic[2], kMagic[3], static_cast<uint8_t>(kVersion), 0, 0, 0};
        Add(header, kHeaderSize);
    }
    void Add(Entry& entry) {
        entry.Finish();
        Add(entry.data(), entry.size());
    }

    const uint8_t* data() const { return bytes_.data(); }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
    uint32_t changes = 0;  // the change entries in it

  private:
    void Add(const uint8_t* bytes, uint32_t size) {
        const size_t at = bytes_.size();
        bytes_.resize(at + size);
        std::memcpy(bytes_.data() + at, bytes, size);
    }

    std::vector<uint8_t> bytes_;
};

// Writes `batch` and makes it durable; a journal made just now gets its name
// made durable too. The entries that end a journal may use the room kept for
// them; no others may. 0 or kJournal.
ResultCode Append(JournalFile& journal, const Batch& batch, bool created, bool closing = false) {
    const uint32_t room = closing ? 0 : kClosingRoom;
    if (uint64_t{journal.size} + batch.size() + room > kJournalSizeLimit ||
        uint64_t{journal.written} + batch.changes > kChangeLimit ||
        journal.file.Write(batch.data(), batch.size()) != 0 ||
        Os().Flush(journal.file.NativeHandle()) != 0 ||
        (created && Os().FlushFolder(journal.folder) != 0)) {
        return result::kJournal;
    }
    journal.size += batch.size();
    journal.written += batch.changes;
    return result::kSuccess;
}

// A journal's last entries: each alone, made durable.
ResultCode AppendClosing(JournalFile& journal, Entry& entry) {
    Batch batch;
    batch.Add(entry);
    return Append(journal, batch, false, true);
}

bool HasBackup(ChangeKind kind) {
    return kind == ChangeKind::kBackup || kind == ChangeKind::kWrite;
}

// False when a name does not lie in the journal's folder.
bool WriteChange(Batch& batch, const char* folder, const Change& change) {
    Entry entry(static_cast<uint8_t>(change.kind));
    if (!entry.Name(folder, change.path) ||
        (HasBackup(change.kind) && !entry.Name(folder, change.backup))) {
        return false;
    }
    batch.Add(entry);
    ++batch.changes;
    return true;
}

Entry IndexEntry(uint8_t kind, uint32_t index) {
    Entry entry(kind);
    entry.U32(index);
    return entry;
}

Entry FlagEntry(uint8_t kind, bool flag) {
    Entry entry(kind);
    entry.U8(flag ? 1 : 0);
    return entry;
}

// Which package the changes that follow belong to: for a person reading it.
void WritePackage(Batch& batch, const ApplyContext& context, const PackageRef& package) {
    Entry entry(kPackageEntry);
    entry.Text(context.title);
    entry.Text(package.oldVersionLabel);
    entry.Text(package.newVersionLabel);
    batch.Add(entry);
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

// The folder whose names a change alters is made durable before the commit;
// a created folder is a name in its parent.
void TouchFolderOf(JournalFile& journal, const Change& change) {
    AddTouchedFolder(journal.touched, change.path);
}

JournalFile* FindJournal(RunJournal& run, const char* folder) {
    for (const auto& journal : run.files) {
        if (std::strcmp(journal->folder, folder) == 0) return journal.get();
    }
    return nullptr;
}

// The journal of the target folder, created when the run has none there
// yet; its header goes with the first entries.
ResultCode OpenJournal(ApplyContext& context, JournalFile** out, bool* created) {
    *created = false;
    *out = FindJournal(context.journal, context.targetFolder);
    if (*out != nullptr) return result::kSuccess;
    char path[kPathBufferSize];
    if (!BuildJournalPath(context.targetFolder, path)) return result::kJournal;
    // CREATE_NEW: a journal that is there already belongs to another run.
    FileHandle handle = kInvalidFile;
    if (CreateFileBelow(path, std::strlen(context.targetFolder), kGenericRead | kGenericWrite,
                        kAttributeNormal, &handle) != 0) {
        return result::kJournal;
    }
    auto journal = std::make_unique<JournalFile>();
    journal->file.Adopt(handle);
    std::strcpy(journal->folder, context.targetFolder);
    *out = journal.get();
    context.journal.files.push_back(std::move(journal));
    *created = true;
    return result::kSuccess;
}

// The header of a journal made just now, the package entry when the changes
// that follow belong to another package than the last ones, and the void
// entry for planned changes not made.
void WritePrelude(Batch& batch, bool created, JournalFile& journal, const ApplyContext& context,
                  const PackageRef& package) {
    if (created) batch.Header();
    if (journal.package != &package) {
        WritePackage(batch, context, package);
        journal.package = &package;
    }
    const size_t unmade = journal.plan.size() - journal.nextPlanned;
    if (unmade > 0) {
        journal.changes -= static_cast<uint32_t>(unmade);
        Entry entry = IndexEntry(kVoidEntry, journal.changes);
        batch.Add(entry);
    }
    journal.plan.clear();
    journal.nextPlanned = 0;
}

// --- Reading

// A bounded reader over one entry's payload, which lies at `start` of the
// journal's bytes; its check is behind it.
class PayloadReader {
  public:
    PayloadReader(std::vector<uint8_t>& journal, size_t start, uint32_t size)
        : start_(start), bytes_(journal.data() + start), size_(size) {}

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
    bool Flag(bool* value) {
        uint8_t byte = 0;
        if (!U8(&byte) || byte > 1) return false;
        *value = byte == 1;
        return true;
    }
    // A text, moved over its length and terminated where it lies: its
    // offset in the journal's bytes in `*at`.
    bool Text(uint32_t* at) {
        uint8_t low = 0;
        uint8_t high = 0;
        if (!U8(&low) || !U8(&high)) return false;
        const uint32_t length = low | uint32_t{high} << 8;
        if (length > kLongestText || at_ + length > size_) return false;
        uint8_t* text = bytes_ + at_ - 2;
        std::memmove(text, text + 2, length);
        text[length] = '\0';
        *at = static_cast<uint32_t>(start_ + at_ - 2);
        at_ += length;
        return true;
    }
    bool AtEnd() const { return at_ == size_; }

  private:
    size_t start_;
    uint8_t* bytes_;
    uint32_t size_;
    uint32_t at_ = 0;
};

// Whether a whole entry, its check good, starts at `at`; its size in `*size`.
bool IsWholeEntry(const std::vector<uint8_t>& bytes, size_t at, uint32_t* size) {
    if (bytes.size() - at < kHeadSize + kCheckSize) return false;
    *size = kHeadSize + (bytes[at + 1] | bytes[at + 2] << 8) + kCheckSize;
    if (*size > kEntryLimit || bytes.size() - at < *size) return false;
    uint8_t expected[kCheckSize];
    EntryCheck(bytes.data() + at, *size - kCheckSize, expected);
    return std::memcmp(bytes.data() + at + *size - kCheckSize, expected, kCheckSize) == 0;
}

bool AllZero(const std::vector<uint8_t>& bytes, size_t from) {
    for (size_t at = from; at < bytes.size(); ++at) {
        if (bytes[at] != 0) return false;
    }
    return true;
}

// A bad entry at `at` is a tear when nothing was written after it: it runs
// past the end of the journal with no whole entry in what is left, or only
// zeros follow where it says it ends (the file grew, its bytes never came).
// Anything else after it is damage.
bool IsTear(const std::vector<uint8_t>& bytes, size_t at) {
    if (bytes.size() - at < kHeadSize) return true;
    const size_t end = at + kHeadSize + (bytes[at + 1] | bytes[at + 2] << 8) + kCheckSize;
    uint32_t size = 0;
    if (end >= bytes.size()) {
        for (size_t later = at + 1; later < bytes.size(); ++later) {
            if (IsWholeEntry(bytes, later, &size)) return false;
        }
        return true;
    }
    return AllZero(bytes, end);
}

// The reading of one journal's entries into its contents.
class JournalReader {
  public:
    JournalReader(uint16_t version, JournalContents* contents)
        : version_(version), contents_(*contents) {}

    // kNone, or why the entry makes the journal one not to follow.
    JournalRefusal Take(uint8_t kind, PayloadReader& in) {
        switch (kind) {
            case static_cast<uint8_t>(ChangeKind::kBackup):
            case static_cast<uint8_t>(ChangeKind::kWrite):
            case static_cast<uint8_t>(ChangeKind::kAdd):
                return TakeChange(static_cast<ChangeKind>(kind), in);
            case static_cast<uint8_t>(ChangeKind::kFolder):
                if (version_ < 2) return JournalRefusal::kDamaged;
                return TakeChange(ChangeKind::kFolder, in);
            case kPackageEntry: {
                uint32_t at = 0;
                return Damaged(in.Text(&at) && in.Text(&at) && in.Text(&at) && in.AtEnd() &&
                               Open());
            }
            case kVoidEntry: {
                uint32_t index = 0;
                if (!in.U32(&index) || !in.AtEnd() || !Open() || index > contents_.changes.size()) {
                    return JournalRefusal::kDamaged;
                }
                contents_.changes.erase(contents_.changes.begin() + index, contents_.changes.end());
                return JournalRefusal::kNone;
            }
            case kCommitEntry:
                if (!Open()) return JournalRefusal::kDamaged;
                contents_.committed = true;
                return Damaged((version_ < 2 || in.Flag(&contents_.deleteBackups)) && in.AtEnd());
            case kBackupsEntry:
                return Damaged(version_ >= 2 && contents_.committed &&
                               in.Flag(&contents_.deleteBackups) && in.AtEnd());
            case kRollbackEntry:
                if (!contents_.committed || !in.AtEnd()) return JournalRefusal::kDamaged;
                contents_.committed = false;
                rolledBack_ = true;
                return JournalRefusal::kNone;
            default:
                return JournalRefusal::kDamaged;
        }
    }

  private:
    static JournalRefusal Damaged(bool whole) {
        return whole ? JournalRefusal::kNone : JournalRefusal::kDamaged;
    }
    // Changes come before the commit; nothing but the backups' fate and the
    // rollback entry after it.
    bool Open() const { return !contents_.committed && !rolledBack_; }

    JournalRefusal TakeChange(ChangeKind kind, PayloadReader& in) {
        if (!Open()) return JournalRefusal::kDamaged;
        if (++contents_.written > kChangeLimit) return JournalRefusal::kTooLarge;
        JournalChange change;
        change.kind = kind;
        JournalRefusal r = TakeName(in, &change.path);
        if (r == JournalRefusal::kNone && HasBackup(kind)) r = TakeName(in, &change.backup);
        if (r != JournalRefusal::kNone) return r;
        if (!in.AtEnd()) return JournalRefusal::kDamaged;
        if (HasBackup(kind) && !IsBesideItsFile(change)) return JournalRefusal::kOutsideNames;
        contents_.changes.push_back(change);
        return JournalRefusal::kNone;
    }

    JournalRefusal TakeName(PayloadReader& in, uint32_t* at) {
        uint8_t place = kInJournalFolder;
        if (version_ < 2 && !in.U8(&place)) return JournalRefusal::kDamaged;
        if (!in.Text(at)) return JournalRefusal::kDamaged;
        const bool inside = place == kInJournalFolder && IsRecordNameAllowed(contents_.Name(*at));
        return inside ? JournalRefusal::kNone : JournalRefusal::kOutsideNames;
    }

    // A backup lies in its file's folder, under another name.
    bool IsBesideItsFile(const JournalChange& change) const {
        const char* path = contents_.Name(change.path);
        const char* backup = contents_.Name(change.backup);
        char folder[kPathBufferSize];
        char backupFolder[kPathBufferSize];
        ParentFolder(path, folder);
        ParentFolder(backup, backupFolder);
        return std::strcmp(folder, backupFolder) == 0 && std::strcmp(path, backup) != 0;
    }

    uint16_t version_;
    JournalContents& contents_;
    bool rolledBack_ = false;
};

// A header that never reached the disk whole: shorter than one and agreeing
// with the magic, or zeros after what agrees with it (the version included).
bool IsTornHeader(const std::vector<uint8_t>& bytes) {
    size_t agree = 0;
    while (agree < 4 && agree < bytes.size() && bytes[agree] == kMagic[agree]) ++agree;
    if (bytes.size() < kHeaderSize && (agree == 4 || agree == bytes.size())) return true;
    return AllZero(bytes, agree);
}

JournalRefusal ParseJournal(std::vector<uint8_t>& bytes, JournalContents* contents) {
    if (IsTornHeader(bytes)) return JournalRefusal::kNone;
    if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, 4) != 0) {
        return JournalRefusal::kDamaged;
    }
    const uint16_t version = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
    if (version > kVersion) return JournalRefusal::kLaterVersion;
    if (version == 0) return JournalRefusal::kDamaged;
    JournalReader reader(version, contents);
    size_t at = kHeaderSize;
    contents->end = kHeaderSize;
    while (at < bytes.size()) {
        uint32_t size = 0;
        if (!IsWholeEntry(bytes, at, &size)) {
            return IsTear(bytes, at) ? JournalRefusal::kNone : JournalRefusal::kDamaged;
        }
        PayloadReader in(bytes, at + kHeadSize, size - kHeadSize - kCheckSize);
        const JournalRefusal r = reader.Take(bytes[at], in);
        if (r != JournalRefusal::kNone) return r;
        at += size;
        contents->end = static_cast<uint32_t>(at);
    }
    return JournalRefusal::kNone;
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
    JournalFile* journal = nullptr;
    bool created = false;
    ResultCode r = OpenJournal(context, &journal, &created);
    if (r != result::kSuccess) return r;
    Batch batch;
    WritePrelude(batch, created, *journal, context, package);
    for (const Change& change : planned) {
        if (!WriteChange(batch, journal->folder, change)) return result::kJournal;
    }
    r = Append(*journal, batch, created);
    if (r != result::kSuccess) return r;
    journal->changes += static_cast<uint32_t>(planned.size());
    journal->plan = std::move(planned);
    return result::kSuccess;
}

namespace {

bool PlannedNext(const JournalFile* journal, const Change& change) {
    return journal != nullptr && journal->nextPlanned < journal->plan.size() &&
           SameChange(journal->plan[journal->nextPlanned], change);
}

}  // namespace

bool IsPlannedNext(ApplyContext& context, const Change& change) {
    return PlannedNext(FindJournal(context.journal, context.targetFolder), change);
}

ResultCode RecordChange(ApplyContext& context, const PackageRef& package, const Change& change) {
    JournalFile* journal = FindJournal(context.journal, context.targetFolder);
    if (PlannedNext(journal, change)) {
        ++journal->nextPlanned;
        TouchFolderOf(*journal, change);
        return result::kSuccess;
    }
    bool created = false;
    ResultCode r = OpenJournal(context, &journal, &created);
    if (r != result::kSuccess) return r;
    Batch batch;
    WritePrelude(batch, created, *journal, context, package);
    if (!WriteChange(batch, journal->folder, change)) return result::kJournal;
    r = Append(*journal, batch, created);
    if (r != result::kSuccess) return r;
    ++journal->changes;
    TouchFolderOf(*journal, change);
    return result::kSuccess;
}

ResultCode VoidLastChange(ApplyContext& context) {
    JournalFile* journal = FindJournal(context.journal, context.targetFolder);
    if (journal == nullptr) return result::kJournal;
    const size_t unmade = journal->plan.size() - journal->nextPlanned;
    if (journal->changes < unmade + 1) return result::kJournal;
    journal->changes -= static_cast<uint32_t>(unmade + 1);
    journal->plan.clear();
    journal->nextPlanned = 0;
    Entry entry = IndexEntry(kVoidEntry, journal->changes);
    return AppendClosing(*journal, entry);
}

ResultCode CommitJournal(ApplyContext& context) {
    RunJournal& run = context.journal;
    if (run.files.empty() || run.committed) return result::kSuccess;
    // The new files and their names first: no commit entry may reach the
    // disk before them.
    for (const auto& journal : run.files) {
        for (const TouchedFolder& folder : journal->touched) {
            if (Os().FlushFolder(folder.path) != 0) return result::kJournal;
        }
    }
    const bool deleteBackups = context.deleteBackupsDefault != 0;
    for (const auto& journal : run.files) {
        Entry entry = FlagEntry(kCommitEntry, deleteBackups);
        const ResultCode r = AppendClosing(*journal, entry);
        if (r != result::kSuccess) return r;
        journal->deleteBackups = deleteBackups;
    }
    run.committed = true;
    return result::kSuccess;
}

ResultCode MarkBackupsDeleted(ApplyContext& context) {
    RunJournal& run = context.journal;
    if (!run.committed) return result::kSuccess;
    for (const auto& journal : run.files) {
        if (journal->deleteBackups) continue;
        Entry entry = FlagEntry(kBackupsEntry, true);
        const ResultCode r = AppendClosing(*journal, entry);
        if (r != result::kSuccess) return r;
        journal->deleteBackups = true;
    }
    return result::kSuccess;
}

void EndJournal(ApplyContext& context) {
    RunJournal& run = context.journal;
    if (!run.committed) return;
    for (const auto& journal : run.files) {
        char path[kPathBufferSize];
        const bool named = BuildJournalPath(journal->folder, path);
        journal->file.Close();
        // A committed journal left behind is finished by the next start.
        if (named) BestEffort(ChangeBelow(NameChange::kDelete, path, std::strlen(journal->folder)));
    }
    ForgetJournal(run);
}

void ForgetJournal(RunJournal& journal) {
    journal.files.clear();
    journal.committed = false;
}

ResultCode ReadJournal(BinaryFile& file, JournalContents* contents, JournalRefusal* refusal) {
    *contents = JournalContents();
    *refusal = JournalRefusal::kNone;
    const uint32_t size = file.Size();
    if (size == kBadPosition) return result::kJournal;
    // Larger than any run writes: not read at all.
    if (size > kJournalSizeLimit) {
        *refusal = JournalRefusal::kTooLarge;
        return result::kJournal;
    }
    std::vector<uint8_t>& bytes = contents->bytes;
    bytes.resize(size);
    if (file.Seek(0, kFileBegin) == kBadPosition ||
        (size > 0 && file.Read(bytes.data(), size) != 0)) {
        return result::kJournal;
    }
    *refusal = ParseJournal(bytes, contents);
    return *refusal == JournalRefusal::kNone ? result::kSuccess : result::kJournal;
}

ResultCode WriteRollbackEntry(BinaryFile& file, JournalContents* contents) {
    Entry entry(kRollbackEntry);
    entry.Finish();
    if (file.Seek(static_cast<int32_t>(contents->end), kFileBegin) == kBadPosition ||
        Os().SetEnd(file.NativeHandle()) != 0 || file.Write(entry.data(), entry.size()) != 0 ||
        Os().Flush(file.NativeHandle()) != 0) {
        return result::kJournal;
    }
    contents->committed = false;
    contents->end += entry.size();
    return result::kSuccess;
}

}  // namespace pkx
