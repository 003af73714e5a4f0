// Journals written by hand as docs/journal.md lays them out, such as no run
// writes: planted by the tests, sown as the journal fuzzer's seeds.
#pragma once

#include <cstdint>
#include <string>

#include "support/md5.h"

namespace pkx::test {

class JournalBytes {
  public:
    explicit JournalBytes(uint16_t version = 2) : version_(version) {
        bytes_ = "PKXJ";
        U16(bytes_, version);
        U16(bytes_, 0);
    }

    // Any entry: its kind, length, payload and check.
    JournalBytes& Entry(char kind, const std::string& payload) {
        std::string entry(1, kind);
        U16(entry, static_cast<uint16_t>(payload.size()));
        entry += payload;
        MD5_CTX md5;
        MD5Init(&md5);
        MD5Update(&md5, reinterpret_cast<const uint8_t*>(entry.data()),
                  static_cast<uint32_t>(entry.size()));
        uint8_t digest[16];
        MD5Final(digest, &md5);
        bytes_ += entry + std::string(reinterpret_cast<const char*>(digest), 4);
        return *this;
    }
    JournalBytes& Package() { return Entry('P', Text("Product") + Text("1.0") + Text("2.0")); }
    // A change of kind B, W, A or F; version 1 puts `place` before each name.
    JournalBytes& Change(char kind, const std::string& name, const std::string& backup = "",
                         uint8_t place = 0) {
        std::string payload = Name(name, place);
        if (kind == 'B' || kind == 'W') payload += Name(backup, place);
        return Entry(kind, payload);
    }
    // The commit; from version 2 with the backups' fate.
    JournalBytes& Commit(bool deleteBackups = false) {
        return Entry('C', version_ < 2 ? std::string() : std::string(1, deleteBackups ? 1 : 0));
    }
    JournalBytes& Rollback() { return Entry('R', std::string()); }

    const std::string& bytes() const { return bytes_; }

  private:
    static void U16(std::string& out, uint16_t value) {
        out += static_cast<char>(value & 0xFF);
        out += static_cast<char>(value >> 8);
    }
    static std::string Text(const std::string& text) {
        std::string out;
        U16(out, static_cast<uint16_t>(text.size()));
        return out + text;
    }
    std::string Name(const std::string& name, uint8_t place) const {
        return (version_ < 2 ? std::string(1, static_cast<char>(place)) : std::string()) +
               Text(name);
    }

    uint16_t version_;
    std::string bytes_;
};

}  // namespace pkx::test
