// The difference stream writer and encoder; encoded streams are checked by
// applying them with the updater's own reader to real files.
#include "package/writer/delta_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_files.h"
#include "package/writer/delta_encoder.h"
#include "package/writer/delta_index.h"
#include "package/writer/delta_parser.h"
#include "tests/test_support.h"

namespace pkx::packwriter {
namespace {

using fuzz::U32At;
using test::Concat;
using test::RandomBytes;
using test::Slice;

void ExpectRebuilds(const Bytes& oldData, const Bytes& newData, const Bytes& stream) {
    static const fuzz::Folder folder("pkx-encoder-test-");
    ApplyContext context;
    Bytes output;
    EXPECT_EQ(fuzz::ApplyStream(folder, stream.data(), stream.size(), oldData, context, &output),
              0u);
    EXPECT_TRUE(output == newData)
        << "old " << oldData.size() << " bytes, new " << newData.size() << " bytes";
}

Bytes Encoded(const Bytes& oldData, const Bytes& newData, uint32_t blockSize = 0,
              unsigned threads = 1, uint32_t indexStep = 0) {
    DeltaEncoderOptions options;
    options.blockSize = blockSize;
    options.threads = threads;
    options.indexStep = indexStep;
    return EncodeDeltaStream(oldData, newData, options);
}

// `base` cut short, with pieces deleted and inserted (together: overwrites
// and moves): copies from `base`, random bytes, some runs of one byte.
Bytes Edited(const Bytes& base, std::mt19937& random, size_t pieces) {
    Bytes edited = Slice(base, 0, base.empty() ? 0 : random() % base.size());
    for (int edit = random() % 8; edit > 0; --edit) {
        const size_t at = edited.empty() ? 0 : random() % edited.size();
        const size_t length = std::min<size_t>(random() % 400, edited.size() - at);
        const size_t from = base.empty() ? 0 : random() % base.size();
        Bytes piece = random() % 2
                          ? Slice(base, from, std::min<size_t>(random() % 600, base.size() - from))
                          : RandomBytes(random() % 300, random());
        if (random() % 3 == 0) piece.assign(piece.size(), static_cast<uint8_t>(random() % pieces));
        edited.erase(edited.begin() + at, edited.begin() + at + length);
        edited.insert(edited.begin() + at, piece.begin(), piece.end());
    }
    return edited;
}

// Small files and blocks of a few bytes, whose pieces repeat.
TEST(EncodeDeltaStream, RoundTripsRandomEditsWithSmallBlocks) {
    std::mt19937 random(2024);
    const uint32_t blockSizes[] = {1, 2, 7, 16, 64, 256};
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Bytes oldData = RandomBytes(random() % 3000, random());
        const Bytes newData = Edited(oldData, random, 4);
        ExpectRebuilds(oldData, newData, Encoded(oldData, newData, blockSizes[random() % 6]));
    }
}

TEST(EncodeDeltaStream, RoundTripsGeneratedPairs) {
    std::mt19937 random(9);
    const Bytes base = RandomBytes(20000, random());
    const Bytes other = RandomBytes(3000, random());
    const Bytes withRun =
        Concat({Slice(base, 0, 5000), Bytes(6000, 0xEE), Slice(base, 5000, 9000)});
    struct Case {
        const char* what;
        Bytes oldData;
        Bytes newData;
    };
    std::vector<Case> cases = {
        {"both empty", {}, {}},
        {"empty old", {}, base},
        {"empty new", base, {}},
        {"shorter than a gram", Slice(base, 0, 5), Slice(base, 1, 6)},
        {"unrelated", base, other},
        {"insertion", base, Concat({Slice(base, 0, 1234), other, Slice(base, 1234, 18766)})},
        {"deletion", base, Concat({Slice(base, 0, 1000), Slice(base, 2500, 17500)})},
        {"moved and repeated blocks", base,
         Concat({Slice(base, 9000, 4000), Slice(base, 0, 9000), Slice(base, 500, 700),
                 Slice(base, 500, 700), Slice(base, 13000, 7000)})},
        {"run in the old file", withRun,
         Concat({Bytes(9000, 0xEE), Slice(base, 4000, 3000), Bytes(100, 0xEE)})},
        {"runs of another byte", withRun, Concat({Bytes(7000, 0x01), Slice(base, 0, 100)})},
    };
    for (int round = 0; round < 40; ++round)
        cases.push_back({"random edits", base, Edited(base, random, 256)});
    // Block sizes fitted and fixed; the index of large files, every 4 bytes.
    const uint32_t settings[][2] = {{0, 0}, {16, 0}, {1000, 0}, {0, 4}};
    for (const auto [blockSize, indexStep] : settings) {
        for (const Case& test : cases) {
            SCOPED_TRACE(std::string(test.what) + ", block size " + std::to_string(blockSize) +
                         ", index step " + std::to_string(indexStep));
            const Bytes stream = Encoded(test.oldData, test.newData, blockSize, 1, indexStep);
            if (blockSize != 0) {
                EXPECT_EQ(U32At(stream, 6), blockSize);
            }
            ExpectRebuilds(test.oldData, test.newData, stream);
        }
    }
}

// Each piece costs one instruction, the least the format has for it: a copy
// or literal piece exactly a block long takes the short forms, and the
// fitted block size is the longest piece.
TEST(EncodeDeltaStream, TakesTheCheapestInstructionsForPlainEdits) {
    const Bytes base = RandomBytes(100000, 21);
    const Bytes inserted = RandomBytes(100, 22);
    const Bytes unrelated = RandomBytes(10000, 23);
    const Bytes withRun = Concat({Slice(base, 0, 7000), Bytes(5000, 0), Slice(base, 7000, 3000)});
    // 10 bytes at 3000 that, with an index every 4 bytes, are found first; the
    // long match that begins 3 bytes later is found from a later position.
    Bytes planted = base;
    for (size_t i = 0; i < 7; ++i) planted[3003 + i] = base[12000 + i];
    struct Case {
        const char* what;
        Bytes oldData;
        Bytes newData;
        Bytes expected;
        uint32_t indexStep = 0;
    };
    using W = DeltaStreamWriter;
    // clang-format off
    const Case cases[] = {
        {"identical", base, base, W(100000).CopyBlock(0).End().Take()},
        {"insertion", base, Concat({Slice(base, 0, 30000), inserted, Slice(base, 30000, 70000)}),
         W(70000).CopyBytes(0, 30000).LiteralBytes(inserted.data(), 100).CopyBlock(30000).End().Take()},
        {"deletion", base, Concat({Slice(base, 0, 30000), Slice(base, 31000, 69000)}),
         W(69000).CopyBytes(0, 30000).CopyBlock(31000).End().Take()},
        {"moved block", base, Concat({Slice(base, 0, 30000), Slice(base, 50000, 50000), Slice(base, 30000, 20000)}),
         W(50000).CopyBytes(0, 30000).CopyBlock(50000).CopyBytes(30000, 20000).End().Take()},
        {"run longer than the old one", withRun, Bytes(15000, 0),
         W(5000).CopyBlock(7000).CopyBlock(7000).CopyBlock(7000).End().Take()},
        {"unrelated", base, unrelated, W(10000).LiteralBlock(unrelated.data()).End().Take()},
        {"long match found ahead", planted, Concat({Slice(planted, 0, 1000), Slice(planted, 3000, 3), Slice(planted, 12000, 8000)}),
         W(8000).CopyBytes(0, 1000).LiteralBytes(&planted[3000], 3).CopyBlock(12000).End().Take(), 4},
    };
    // clang-format on
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const Bytes stream = Encoded(test.oldData, test.newData, 0, 1, test.indexStep);
        EXPECT_EQ(stream, test.expected);
        ExpectRebuilds(test.oldData, test.newData, stream);
    }
}

// The least cost of newData over every parse whose copies lie inside matches
// of at least a gram (the shortest the index finds): a literal run costs
// kLiteralRunCost plus its bytes, a copy kCopyCost at any length.
uint64_t LeastCost(const Bytes& oldData, const Bytes& newData) {
    const size_t n = newData.size();
    std::vector<size_t> longest(n, 0);  // the longest usable copy at each position
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < oldData.size(); ++j) {
            size_t ahead = 0, behind = 0;
            while (i + ahead < n && j + ahead < oldData.size() &&
                   newData[i + ahead] == oldData[j + ahead])
                ++ahead;
            while (behind < std::min(i, j) && newData[i - behind - 1] == oldData[j - behind - 1])
                ++behind;
            if (behind + ahead >= kGramSize) longest[i] = std::max(longest[i], ahead);
        }
    }
    // fresh[i]: newData[i, n) after a copy; inRun[i]: the same inside a literal run.
    std::vector<uint64_t> fresh(n + 1, 0), inRun(n + 1, 0);
    for (size_t i = n; i-- > 0;) {
        fresh[i] = kLiteralRunCost + 1 + inRun[i + 1];
        for (size_t length = 1; length <= longest[i]; ++length)
            fresh[i] = std::min<uint64_t>(fresh[i], kCopyCost + fresh[i + length]);
        inRun[i] = std::min(fresh[i], 1 + inRun[i + 1]);
    }
    return fresh[0];
}

// Where the cost of a copy or of a literal run's start decides: new files of
// short pieces of the old one (its last bytes among them) between short
// literals, parsed at the least cost.
TEST(ParseDelta, FindsTheLeastCostParse) {
    std::mt19937 random(77);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Bytes oldData = RandomBytes(40 + random() % 200, random());
        Bytes newData;
        for (int piece = random() % 6; piece >= 0; --piece) {
            const size_t length = kGramSize + random() % 12;
            const size_t at =
                random() % 3 == 0 ? oldData.size() - length : random() % (oldData.size() - length);
            newData =
                Concat({newData, Slice(oldData, at, length), RandomBytes(random() % 9, random())});
        }
        const OldFileIndex index(oldData.data(), oldData.size(), 1, 1);
        uint64_t cost = 0;
        for (const DeltaPiece& piece :
             ParseDelta(index, newData.data(), newData.size(), 0, newData.size()))
            cost += piece.copy ? kCopyCost : kLiteralRunCost + piece.length;
        EXPECT_EQ(cost, LeastCost(oldData, newData));
    }
}

// Text of a few words: large groups of equal 8 bytes, and repeats that agree
// past every 16 bytes the groups are sorted by, in more groups than one
// partition of the build holds. The candidates of a text must include an old
// position that agrees with it longest (up to 64 bytes).
TEST(OldFileIndex, CandidatesAgreeLongest) {
    std::mt19937 random(5);
    const std::string words[] = {"function ", "return x;", "functional", "(a, b) =>", "\n  "};
    Bytes oldData;
    while (oldData.size() < 64 * 1024) {
        const std::string& word = words[random() % 5];
        oldData.insert(oldData.end(), word.begin(), word.end());
        if (random() % 4 == 0) oldData.push_back(static_cast<uint8_t>('a' + random() % 26));
    }
    auto longest = [&](const Bytes& text, size_t position) {
        return CountEqual(text.data(), oldData.data() + position,
                          std::min<size_t>({64, text.size(), oldData.size() - position}));
    };
    const OldFileIndex index(oldData.data(), oldData.size(), 1, 1);
    for (int query = 0; query < 200; ++query) {
        Bytes text = Slice(oldData, random() % (oldData.size() - 100), 100);
        text[8 + random() % 70] ^= 1 + random() % 255;
        size_t best = 0;
        for (size_t position = 0; position + kGramSize <= oldData.size(); ++position)
            best = std::max(best, longest(text, position));
        size_t reached = 0;
        index.ForEachCandidate(text.data(), text.size(), [&](size_t candidate) {
            reached = std::max(reached, longest(text, candidate));
        });
        EXPECT_EQ(reached, best) << "query " << query;
    }
}

// Large enough for several chunks and an index built in parts.
TEST(EncodeDeltaStream, SameStreamOnAnyNumberOfThreads) {
    std::mt19937 random(31);
    const Bytes oldData = RandomBytes(6 * 1024 * 1024 + 5, random());
    Bytes newData = oldData;
    // Edits in the first 2 MiB only: the rest is one copy of several chunks.
    for (int edit = 0; edit < 40; ++edit) {
        const size_t at = random() % (2 * 1024 * 1024);
        const Bytes piece = RandomBytes(random() % 500, random());
        newData.erase(newData.begin() + at, newData.begin() + at + random() % 500);
        newData.insert(newData.begin() + at, piece.begin(), piece.end());
    }

    const Bytes stream = Encoded(oldData, newData, 0, 1);

    EXPECT_EQ(Encoded(oldData, newData, 0, 2), stream);
    EXPECT_EQ(Encoded(oldData, newData, 0, 3), stream);
    EXPECT_EQ(U32At(stream, 6), kLargestFittedBlockSize);
    EXPECT_LT(stream.size(), 40 * (500 + 2 * kCopyCost + kLiteralRunCost) + 1000);
    ExpectRebuilds(oldData, newData, stream);
}

}  // namespace
}  // namespace pkx::packwriter
