// Compressed packages' data: the encoder's streams decoded back, records
// skipped, and damaged or hostile blocks refused before any file is written.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "package/writer/data_block_writer.h"
#include "tests/compressed_data_model.h"

namespace pkx {
namespace {

using packwriter::CompactStreams;
using test::ByteVector;

// A block placed behind a few other bytes, as behind a package's records.
constexpr size_t kBlockAt = 7;

ByteVector Random(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    ByteVector bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

ByteVector Text(size_t lines, uint32_t seed) {
    static const char* const kWords[] = {"const ", "value", " = ", "return ", "function ", "(node)",
                                         "{\n",    "}\n",   ";\n", "if ",     "else "};
    std::mt19937 random(seed);
    ByteVector text;
    for (size_t i = 0; i < lines * 6; ++i) {
        const char* word = kWords[random() % 11];
        text.insert(text.end(), word, word + std::strlen(word));
    }
    return text;
}

// Code whose 4-byte addresses every 16 bytes move when 1,000 bytes are
// inserted in the middle: the case approximate copies are for.
std::pair<ByteVector, ByteVector> MovedCode() {
    ByteVector old = Random(200000, 1);
    ByteVector inserted = Random(1000, 2);
    ByteVector now(old.begin(), old.begin() + 100000);
    now.insert(now.end(), inserted.begin(), inserted.end());
    now.insert(now.end(), old.begin() + 100000, old.end());
    for (size_t at = 101008; at + 4 <= now.size(); at += 16) now[at + 1] += 3;
    return {old, now};
}

struct Pair {
    ByteVector old;
    ByteVector now;
};

std::vector<Pair> Pairs() {
    ByteVector text = Text(3000, 3);
    ByteVector edited = text;
    edited.erase(edited.begin() + 5000, edited.begin() + 5100);
    edited.insert(edited.begin() + 20000, text.begin() + 100, text.begin() + 900);
    const auto [code, moved] = MovedCode();
    return {{text, edited},
            {code, moved},
            {{}, Text(10, 4)},
            {Random(5000, 5), {}},
            {Random(70000, 6), Random(90000, 7)}};
}

// Stands for a package's records in the record stream.
const ByteVector kRecords = Text(200, 12);

// A package's data: the updates of `pairs`, then `adds`, in one block.
ByteVector BlockOf(const std::vector<Pair>& pairs, const std::vector<ByteVector>& adds,
                   CompactStreams* streams) {
    streams->records = kRecords;
    for (const Pair& pair : pairs) packwriter::EncodeCompactDelta(pair.old, pair.now, streams);
    for (const ByteVector& add : adds) {
        streams->literals.insert(streams->literals.end(), add.begin(), add.end());
    }
    ByteVector bytes(kBlockAt, 0xEE);
    const ByteVector block = packwriter::BuildDataBlock(*streams);
    bytes.insert(bytes.end(), block.begin(), block.end());
    return bytes;
}

std::vector<FileEntry> Entries(const std::vector<uint32_t>& sizes) {
    std::vector<FileEntry> entries(sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) entries[i].dataSize = sizes[i];
    return entries;
}

ResultCode Check(const ByteVector& bytes, const std::vector<FileEntry>& updates,
                 const std::vector<FileEntry>& adds) {
    test::MemorySource source(bytes);
    PackageCursor cursor(source, kBlockAt, bytes.size());
    EXPECT_TRUE(cursor.MoveToStart());
    ApplyContext context;
    DataBlockReader reader;
    return CheckDataBlock(reader, source, cursor, updates.data(),
                          static_cast<uint32_t>(updates.size()), adds.data(),
                          static_cast<uint32_t>(adds.size()), context);
}

// Checks the block, then applies the records marked in `apply` and skips the
// others with the same reader, its streams held whole up to `holdLimit`
// bytes; the rebuilt files in record order (empty for a skipped one).
std::vector<ByteVector> Apply(const ByteVector& bytes, const std::vector<Pair>& pairs,
                              const std::vector<ByteVector>& adds, const std::vector<bool>& apply,
                              uint64_t holdLimit) {
    test::MemorySource source(bytes);
    PackageCursor cursor(source, kBlockAt, bytes.size());
    EXPECT_TRUE(cursor.MoveToStart());
    DataBlockReader reader(holdLimit);
    std::vector<FileEntry> updates(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        updates[i].dataSize = static_cast<uint32_t>(pairs[i].now.size());
    }
    std::vector<FileEntry> added(adds.size());
    for (size_t i = 0; i < adds.size(); ++i)
        added[i].dataSize = static_cast<uint32_t>(adds[i].size());
    ApplyContext context;
    EXPECT_EQ(CheckDataBlock(reader, source, cursor, updates.data(),
                             static_cast<uint32_t>(updates.size()), added.data(),
                             static_cast<uint32_t>(added.size()), context),
              result::kSuccess);
    ByteVector records;
    EXPECT_EQ(test::TakeStream(reader.records(), static_cast<uint32_t>(kRecords.size()), &records),
              result::kSuccess);
    EXPECT_EQ(records, kRecords);
    std::vector<ByteVector> files(pairs.size() + adds.size());
    for (size_t i = 0; i < files.size(); ++i) {
        const bool update = i < pairs.size();
        const uint32_t size =
            static_cast<uint32_t>(update ? pairs[i].now.size() : adds[i - pairs.size()].size());
        ResultCode code = result::kSuccess;
        if (!apply[i]) {
            code = update ? reader.SkipUpdate(size, context) : reader.SkipAdd(size, context);
        } else if (update) {
            code = test::RebuildUpdate(reader, pairs[i].old, size, &files[i]);
        } else {
            code = test::TakeStream(reader.literals(), size, &files[i]);
        }
        EXPECT_EQ(code, result::kSuccess) << "record " << i;
    }
    EXPECT_EQ(reader.Finish(), result::kSuccess);
    return files;
}

TEST(CompressedDataTest, RecordsComeBackAppliedOrSkipped) {
    const std::vector<Pair> pairs = Pairs();
    const std::vector<ByteVector> adds = {Text(500, 8), {}, Random(3000, 9)};
    CompactStreams streams;
    const ByteVector bytes = BlockOf(pairs, adds, &streams);
    std::vector<uint32_t> updateSizes;
    for (const Pair& pair : pairs) updateSizes.push_back(static_cast<uint32_t>(pair.now.size()));
    std::vector<uint32_t> addSizes;
    for (const ByteVector& add : adds) addSizes.push_back(static_cast<uint32_t>(add.size()));
    EXPECT_EQ(Check(bytes, Entries(updateSizes), Entries(addSizes)), result::kSuccess);

    // Streams held whole after the check are read again from memory; the
    // others (a limit of 0 holds none) are decoded again.
    for (const uint64_t holdLimit : {kMaxWindowTotal, uint64_t{0}}) {
        for (const std::vector<bool>& apply :
             {std::vector<bool>(8, true), {false, true, false, true, true, false, true, false}}) {
            const std::vector<ByteVector> files = Apply(bytes, pairs, adds, apply, holdLimit);
            for (size_t i = 0; i < files.size(); ++i) {
                const ByteVector& expected =
                    i < pairs.size() ? pairs[i].now : adds[i - pairs.size()];
                EXPECT_EQ(files[i], apply[i] ? expected : ByteVector())
                    << "record " << i << " limit " << holdLimit;
            }
        }
    }
}

// The descriptor field at `offset` of stream `stream`.
size_t Field(uint32_t stream, size_t offset) {
    return kBlockAt + kDataBlockStartSize + stream * kStreamDescriptorSize + offset;
}

void PutU32(ByteVector& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(const ByteVector& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

TEST(CompressedDataTest, MovedCodeIsCopiedApproximately) {
    const auto [old, now] = MovedCode();
    CompactStreams streams;
    const ByteVector good = BlockOf({{old, now}}, {}, &streams);
    // The inserted bytes are literal; the moved code is copied with its
    // changed addresses as differences, not carried as literals.
    EXPECT_LT(streams.literals.size(), 1100u);
    EXPECT_GT(streams.differences.size(), 90000u);
    EXPECT_LT(good.size() - kBlockAt - GetU32(good, Field(kRecordStream, 6)), 2500u);
    // The differences are zero-run coded; a flipped bit anywhere in them
    // (the coded size included) is refused.
    const size_t differences = kBlockAt + kDataBlockHeaderSize + GetU32(good, Field(0, 6));
    ASSERT_EQ(good[Field(kDifferenceStream, 0)], kStreamZeroRuns);
    const auto updates = Entries({static_cast<uint32_t>(now.size())});
    EXPECT_EQ(Check(good, updates, {}), result::kSuccess);
    for (size_t at = 0; at < GetU32(good, Field(kDifferenceStream, 6)); ++at) {
        ByteVector bytes = good;
        bytes[differences + at] ^= 0x10;
        EXPECT_EQ(Check(bytes, updates, {}), result::kBadDifferenceData) << at;
    }
}

// Changes `bytes` (a block made by BlockOf) and expects `code` from the check.
struct Damage {
    const char* what;
    std::function<void(ByteVector&)> change;
    ResultCode code;
};

TEST(CompressedDataTest, DamagedOrHostileBlocksAreRefused) {
    const std::vector<Pair> pairs = {Pairs()[0]};
    CompactStreams streams;
    const ByteVector good = BlockOf(pairs, {Text(100, 10)}, &streams);
    const auto updates = Entries({static_cast<uint32_t>(pairs[0].now.size())});
    const auto adds = Entries({static_cast<uint32_t>(Text(100, 10).size())});
    ASSERT_EQ(good[Field(kLiteralStream, 0)], kStreamLzma);
    ASSERT_LT(GetU32(good, Field(kDifferenceStream, 6)), kZeroRunsPrefixSize);
    const size_t literalsEnd = good.size() - GetU32(good, Field(kRecordStream, 6));
    const Damage damages[] = {
        {"magic", [](ByteVector& b) { b[kBlockAt] = 'Q'; }, result::kBadDifferenceData},
        {"stream count", [](ByteVector& b) { b[kBlockAt + 4] = 2; }, result::kBadDifferenceData},
        {"method", [](ByteVector& b) { b[Field(0, 0)] = 3; }, result::kBadDifferenceData},
        {"zero runs without their coded size",
         [](ByteVector& b) { b[Field(kDifferenceStream, 0)] = kStreamZeroRuns; },
         result::kBadDifferenceData},
        {"lc + lp above 4", [](ByteVector& b) { b[Field(2, 1)] = 4 + 9; },
         result::kBadDifferenceData},
        {"windows above the bound",
         [](ByteVector& b) {
             PutU32(b, Field(2, 2), 61u << 20);
             b[Field(2, 14)] = 1;  // 4 GiB more to decode
         },
         result::kBadDifferenceData},
        {"a large dictionary over little data",
         [](ByteVector& b) { PutU32(b, Field(2, 2), 61u << 20); }, result::kSuccess},
        {"a stream one byte short", [](ByteVector& b) { b.pop_back(); },
         result::kBadDifferenceData},
        {"padding before the digest", [](ByteVector& b) { b.insert(b.end(), 7, 0); },
         result::kSuccess},
        {"more than the padding", [](ByteVector& b) { b.insert(b.end(), 8, 0); },
         result::kBadDifferenceData},
        {"compressed data cut",
         [&](ByteVector& b) {
             b.erase(b.begin() + literalsEnd - 20, b.begin() + literalsEnd);
             PutU32(b, Field(2, 6), GetU32(b, Field(2, 6)) - 20);
         },
         result::kBadDifferenceData},
        {"more uncompressed than the records take", [](ByteVector& b) { ++b[Field(2, 10)]; },
         result::kBadDifferenceData},
        {"header cut", [](ByteVector& b) { b.resize(kBlockAt + 20); }, result::kBadDifferenceData},
    };
    for (const Damage& damage : damages) {
        ByteVector bytes = good;
        damage.change(bytes);
        EXPECT_EQ(Check(bytes, updates, adds), damage.code) << damage.what;
    }
    // The records are held in memory: their stream may not expand without bound.
    ByteVector expanding = good;
    expanding[Field(kRecordStream, 0)] = kStreamLzma;
    PutU32(expanding, Field(kRecordStream, 10), 64u << 20);
    test::MemorySource source(expanding);
    PackageCursor cursor(source, kBlockAt, expanding.size());
    DataBlock block;
    EXPECT_TRUE(cursor.MoveToStart());
    EXPECT_EQ(ReadDataBlock(cursor, &block), result::kBadDifferenceData);
    // Records that would compress beyond the bound are stored, and taken.
    CompactStreams repetitive;
    repetitive.records.assign(1 << 20, 0);
    const ByteVector stored = packwriter::BuildDataBlock(repetitive);
    test::MemorySource storedSource(stored);
    PackageCursor storedCursor(storedSource, 0, stored.size());
    EXPECT_TRUE(storedCursor.MoveToStart());
    EXPECT_EQ(ReadDataBlock(storedCursor, &block), result::kSuccess);
    // Records that disagree with the streams.
    auto longer = updates;
    ++longer[0].dataSize;
    EXPECT_EQ(Check(good, longer, adds), result::kBadDifferenceData);
    auto placed = adds;
    placed[0].dataOffset = 1;
    EXPECT_EQ(Check(good, updates, placed), result::kBadDifferenceData);
    // A flipped bit anywhere in the compressed literals.
    const size_t literalsAt = literalsEnd - GetU32(good, Field(2, 6));
    for (size_t at = literalsAt; at < literalsEnd; ++at) {
        ByteVector bytes = good;
        bytes[at] ^= 0x10;
        EXPECT_EQ(Check(bytes, updates, adds), result::kBadDifferenceData) << at - literalsAt;
    }
}

// Instruction streams written byte by byte, against a 100-byte new file.
TEST(CompressedDataTest, HostileInstructionsAreRefused) {
    struct Case {
        const char* what;
        ByteVector instructions;
        ResultCode code;
    };
    const Case cases[] = {
        {"copies relative to the previous one", {1, 40, 20, 1, 60, 1, 0}, result::kSuccess},
        {"a copy before the old file's start",
         {1, 40, 20, 1, 60, 101, 0},
         result::kBadDifferenceData},
        {"unknown opcode", {4, 100, 0}, result::kBadDifferenceData},
        {"length 0", {3, 0, 1, 100, 0, 0}, result::kBadDifferenceData},
        {"varint of 6 bytes", {1, 0xE4, 0x80, 0x80, 0x80, 0x80, 0, 0}, result::kBadDifferenceData},
        {"varint above 32 bits", {1, 0x80, 0x80, 0x80, 0x80, 0x10, 0}, result::kBadDifferenceData},
        {"a copy ending beyond 2 GiB",
         {1, 100, 0xFE, 0xFF, 0xFF, 0xFF, 0x0F, 0},
         result::kBadDifferenceData},
        {"pieces past the new size", {1, 101, 0, 0}, result::kBadDifferenceData},
        {"end before the new size", {1, 99, 0, 0}, result::kBadDifferenceData},
        {"no end", {1, 100, 0}, result::kBadDifferenceData},
        {"differences the stream lacks", {2, 100, 0, 0}, result::kBadDifferenceData},
    };
    for (const Case& c : cases) {
        CompactStreams streams;
        streams.instructions = c.instructions;
        ByteVector bytes(kBlockAt);
        const ByteVector block = packwriter::BuildDataBlock(streams);
        bytes.insert(bytes.end(), block.begin(), block.end());
        EXPECT_EQ(Check(bytes, Entries({100}), {}), c.code) << c.what;
        ASSERT_EQ(bytes[Field(0, 0)], kStreamStored);
        ++bytes[Field(0, 10)];  // a stored stream's two sizes must agree
        EXPECT_EQ(Check(bytes, Entries({100}), {}), result::kBadDifferenceData) << c.what;
    }
}

// Zero-run coded differences: 2,000 bytes coded as 500 times {5, 0, 2}
// (5 and three zeros), then `tail`, expanded to `size` bytes.
TEST(CompressedDataTest, ZeroRunsExpandOrAreRefused) {
    struct Case {
        const char* what;
        ByteVector tail;
        uint32_t size;
        ResultCode code;
    };
    const Case cases[] = {
        {"runs and bytes", {7, 0, 255, 9}, 2000 + 258, result::kSuccess},
        {"a run past the stream's end", {0, 3}, 2000 + 3, result::kBadDifferenceData},
        {"a run cut after its 0", {7, 0}, 2000 + 2, result::kBadDifferenceData},
        {"coded bytes left over", {7, 8}, 2000 + 1, result::kBadDifferenceData},
        {"coded bytes missing", {7}, 2000 + 2, result::kBadDifferenceData},
    };
    for (const Case& c : cases) {
        ByteVector coded;
        for (int i = 0; i < 500; ++i) coded.insert(coded.end(), {5, 0, 2});
        coded.insert(coded.end(), c.tail.begin(), c.tail.end());
        StreamDescriptor stream;
        const ByteVector lzma = packwriter::CompressStream(coded, 1 << 20, false, &stream);
        ASSERT_EQ(stream.method, kStreamLzma);
        ByteVector bytes(kZeroRunsPrefixSize);
        PutU32(bytes, 0, static_cast<uint32_t>(coded.size()));
        bytes.insert(bytes.end(), lzma.begin(), lzma.end());
        stream.method = kStreamZeroRuns;
        stream.compressedSize = static_cast<uint32_t>(bytes.size());
        stream.uncompressedSize = c.size;
        test::MemorySource source(bytes);
        CompressedStreamReader reader;
        ASSERT_EQ(reader.Open(source, stream), result::kSuccess);
        ByteVector out;
        EXPECT_EQ(test::TakeStream(reader, c.size, &out), c.code) << c.what;
        if (c.code != result::kSuccess) continue;
        ByteVector expected;
        for (int i = 0; i < 500; ++i) expected.insert(expected.end(), {5, 0, 0, 0});
        expected.insert(expected.end(), {7});
        expected.insert(expected.end(), 256, 0);
        expected.insert(expected.end(), {9});
        EXPECT_EQ(out, expected);
        // The coded size bounds the window as the stream's size does.
        PutU32(bytes, 0, c.size + 1);
        EXPECT_EQ(reader.Open(source, stream), result::kBadDifferenceData);
    }
}

TEST(CompressedDataTest, CancelStopsTheCheck) {
    CompactStreams streams;
    const ByteVector bytes = BlockOf({}, {Random(300000, 11)}, &streams);
    test::MemorySource source(bytes);
    PackageCursor cursor(source, kBlockAt, bytes.size());
    EXPECT_TRUE(cursor.MoveToStart());
    const FileEntry add = Entries({300000})[0];
    ApplyContext context;
    context.cancelRequested = 1;
    DataBlockReader reader;
    EXPECT_EQ(CheckDataBlock(reader, source, cursor, nullptr, 0, &add, 1, context),
              result::kCancelled);
}

}  // namespace
}  // namespace pkx
