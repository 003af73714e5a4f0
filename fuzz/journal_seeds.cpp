// The journal fuzzer's seeds: a run's journals over its installation, and
// planted ones that name what lies outside it.
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/journal_bytes.h"

namespace pkx::fuzz {

namespace {

using test::JournalBytes;

// The fuzzer's input for `journal`: a mode byte, then each entry's kind, a
// one-byte payload length and the payload (the seeds' payloads are short).
void Write(const std::filesystem::path& dir, const std::string& name, const std::string& journal,
           uint8_t mode = 0, const std::string& tail = "") {
    std::string input(1, static_cast<char>(mode | (journal[4] == 1 ? 2 : 0)));
    for (size_t at = 8; at + 7 <= journal.size();) {
        const size_t length =
            static_cast<uint8_t>(journal[at + 1]) | static_cast<uint8_t>(journal[at + 2]) << 8;
        input += journal[at];
        input += static_cast<char>(length);
        input += journal.substr(at + 3, length);
        at += 3 + length + 4;
    }
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary) << input + tail;
}

// An update of a.txt and sub/b.txt, an add into a new folder, a delete.
JournalBytes Run(uint16_t version) {
    JournalBytes journal(version);
    journal.Package();
    for (const char* name : {"a.txt", "sub/b.txt"}) {
        journal.Change('B', name, std::string(name) + ".1.0.old");
        journal.Change('W', name, std::string(name) + ".1.0.old");
    }
    if (version >= 2) journal.Change('F', "made");
    return journal.Change('A', "sub/c.txt").Change('B', "gone.txt", "gone.txt.1.0.old");
}

}  // namespace

void WriteJournalSeeds(const std::filesystem::path& dir) {
    const std::string run = Run(2).bytes();
    Write(dir, "run", run);
    Write(dir, "run-version-1", Run(1).bytes());
    Write(dir, "committed-delete", Run(2).Commit(true).bytes());
    Write(dir, "taken-back", Run(2).Commit(true).Rollback().bytes());
    Write(dir, "torn", run, 0, "A\x20\x10\0sub/");
    Write(dir, "damaged", run, 4 | (10 << 3));
    Write(dir, "outside-up", JournalBytes().Change('W', "a.txt", "../outside/secret").bytes());
    // "link" leads to the folder outside, which holds "secret" and "v1".
    Write(dir, "outside-link", JournalBytes().Change('A', "link/secret").bytes());
    Write(dir, "outside-link-committed",
          JournalBytes().Change('B', "link/a.txt", "link/v1").Commit(true).bytes());
}

}  // namespace pkx::fuzz
