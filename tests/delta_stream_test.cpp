// Applying difference streams to real files through BinaryFile.
#include "engine/delta_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/cancellation.h"
#include "platform/fault_injection.h"
#include "tests/recording_ui.h"
#include "tests/test_support.h"
#include "tools/packwriter/delta_writer.h"

namespace pkx {
namespace {

using packwriter::Bytes;
using packwriter::DeltaStreamWriter;

std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes ReadBytes(const std::string& path) {
    const std::optional<std::string> text = test::ReadFile(path);
    return text ? Bytes(text->begin(), text->end()) : Bytes();
}

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

Bytes Slice(const Bytes& bytes, size_t offset, size_t length) {
    return Bytes(bytes.begin() + offset, bytes.begin() + offset + length);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The program file holds `packageOffset` bytes, the package's first
// `dataOffset` bytes, the stream, then `trailer`.
struct DeltaRun {
    Bytes oldData;
    Bytes stream;
    uint32_t packageOffset = 0x40;
    uint32_t dataOffset = 0x25;
    // Bytes before the stream when they are not packageOffset + dataOffset.
    std::optional<size_t> prefixSize;
    Bytes trailer;
    std::optional<uint32_t> dataSize;  // the stream's length unless set
    bool withEvents = true;
};

struct DeltaOutcome {
    ResultCode result = 0xDEAD;
    Bytes output;
    std::vector<uint32_t> progress;
};

DeltaOutcome Apply(const DeltaRun& run) {
    DeltaOutcome outcome;
    test::TempFolder folder;
    const std::string programPath = folder / "update.exe";
    const std::string oldPath = folder / "file.dll.1.0.old";
    const std::string newPath = folder / "file.dll";
    const size_t prefixSize = run.prefixSize.value_or(size_t{run.packageOffset} + run.dataOffset);
    EXPECT_TRUE(test::WriteFile(
        programPath, AsText(Concat({Bytes(prefixSize, 0xCC), run.stream, run.trailer}))));
    EXPECT_TRUE(test::WriteFile(oldPath, AsText(run.oldData)));

    test::RecordingEvents events;
    ApplyContext context;
    if (run.withEvents) context.events = &events;
    PackageRef package;
    package.offset = run.packageOffset;
    FileEntry entry;
    entry.dataOffset = run.dataOffset;
    entry.dataSize = run.dataSize.value_or(static_cast<uint32_t>(run.stream.size()));
    {
        BinaryFile programFile;
        BinaryFile oldFile;
        BinaryFile newFile;
        EXPECT_EQ(programFile.OpenRead(programPath.c_str(), kShareRead, kAttributeNormal), 0u);
        EXPECT_EQ(oldFile.OpenRead(oldPath.c_str(), kShareNone, kAttributeNormal), 0u);
        EXPECT_EQ(newFile.OpenWrite(newPath.c_str(), kShareNone, kAttributeArchive), 0u);
        outcome.result = ApplyDeltaStream(programFile, package, entry, oldFile, newFile, context);
    }
    outcome.output = ReadBytes(newPath);
    for (const test::RecordedEvent& event : events.events) {
        EXPECT_EQ(event.code, EV_FILE_PROGRESS);
        EXPECT_FALSE(event.posted);
        outcome.progress.push_back(static_cast<uint32_t>(event.param));
    }
    return outcome;
}

uint32_t Permille(uint64_t position, uint64_t size) {
    return static_cast<uint32_t>(position * 1000 / size);
}

// Sets the Cancel flag at the n-th poll of it (counting from 1).
class CancelAtPoll {
  public:
    explicit CancelAtPoll(int poll) : cancelAt_(poll) { SetCancelPollHook(&Poll, this); }
    ~CancelAtPoll() { SetCancelPollHook(nullptr, nullptr); }
    int polls() const { return polls_; }

  private:
    static void Poll(ApplyContext& context, void* data) {
        CancelAtPoll* self = static_cast<CancelAtPoll*>(data);
        if (++self->polls_ == self->cancelAt_) context.cancelRequested = 1;
    }
    int cancelAt_;
    int polls_ = 0;
};

TEST(DeltaStream, AppliesCopiesAndLiteralsInStreamOrder) {
    // Version 100, block size 100, 10,234 bytes: copies that skip about and
    // go backwards in the old file, literal data of every kind.
    const Bytes oldData = RandomBytes(215000, 1);
    const Bytes literal100 = RandomBytes(100, 2);
    const Bytes literalMiddle = RandomBytes(9900, 3);
    const Bytes literal88 = RandomBytes(88, 4);
    const Bytes literal92 = RandomBytes(92, 5);
    DeltaStreamWriter writer(100);
    writer.CopyBlocks(0, 3)
        .LiteralBlock(literal100.data())
        .CopyBlocks(400, 2)
        .LiteralBlocks(literalMiddle.data(), 99)
        .LiteralBytes(literal88.data(), 88)
        .CopyBlocks(209003, 38)
        .LiteralBytes(literal92.data(), 92)
        .End();
    DeltaRun run;
    run.oldData = oldData;
    run.stream = writer.Take();
    ASSERT_EQ(run.stream.size(), 10234u);
    const Bytes first20 = {0x50, 0x4B, 0x53, 0x20, 0x64, 0x00, 0x64, 0x00, 0x00, 0x00,
                           0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04};
    EXPECT_EQ(Slice(run.stream, 0, 20), first20);

    const DeltaOutcome outcome = Apply(run);

    EXPECT_EQ(outcome.result, 0u);
    EXPECT_EQ(outcome.output,
              Concat({Slice(oldData, 0, 300), literal100, Slice(oldData, 400, 200), literalMiddle,
                      literal88, Slice(oldData, 209003, 3800), literal92}));
    // Stream positions after each instruction; old-file data does not count.
    std::vector<uint32_t> expected = {Permille(19, 10234), Permille(120, 10234),
                                      Permille(129, 10234)};
    for (uint32_t block = 1; block <= 99; ++block)
        expected.push_back(Permille(134 + 100 * block, 10234));
    for (uint64_t position : {10127, 10136, 10233, 10234})
        expected.push_back(Permille(position, 10234));
    EXPECT_EQ(outcome.progress, expected);
    EXPECT_EQ(outcome.progress.front(), 1u);
    EXPECT_EQ(outcome.progress.back(), 1000u);
}

TEST(DeltaStream, HeaderAndEndMakeAnEmptyFile) {
    DeltaRun run;
    run.oldData = RandomBytes(300, 6);
    run.stream = DeltaStreamWriter(64).End().Take();
    ASSERT_EQ(run.stream.size(), 11u);

    const DeltaOutcome outcome = Apply(run);

    EXPECT_EQ(outcome.result, 0u);
    EXPECT_TRUE(outcome.output.empty());
    EXPECT_EQ(outcome.progress, std::vector<uint32_t>{1000});
}

TEST(DeltaStream, ZeroCountsWriteNothing) {
    // OP_COPY_BLOCKS reports progress after its (empty) loop; OP_LITERAL_BLOCKS
    // reports per block only, so the final event is the only one it leaves.
    DeltaRun run;
    run.oldData = RandomBytes(300, 7);
    run.stream =
        DeltaStreamWriter(64).CopyBlocks(0, 0).Opcode(OP_LITERAL_BLOCKS).RawU32(0).End().Take();

    const DeltaOutcome outcome = Apply(run);

    EXPECT_EQ(outcome.result, 0u);
    EXPECT_TRUE(outcome.output.empty());
    EXPECT_EQ(outcome.progress, (std::vector<uint32_t>{Permille(19, 25), 1000}));
}

TEST(DeltaStream, UndefinedOpcodesAreSkipped) {
    const Bytes oldData = RandomBytes(256, 8);
    const Bytes literal = RandomBytes(10, 9);
    DeltaRun plain;
    plain.oldData = oldData;
    plain.stream =
        DeltaStreamWriter(32).CopyBlock(32).LiteralBytes(literal.data(), 10).End().Take();
    DeltaRun padded = plain;
    padded.stream = DeltaStreamWriter(32)
                        .CopyBlock(32)
                        .Opcode(7)
                        .LiteralBytes(literal.data(), 10)
                        .Opcode(255)
                        .Opcode(100)
                        .End()
                        .Take();

    const DeltaOutcome withoutThem = Apply(plain);
    const DeltaOutcome withThem = Apply(padded);

    EXPECT_EQ(withoutThem.result, 0u);
    EXPECT_EQ(withThem.result, 0u);
    EXPECT_EQ(withThem.output, Concat({Slice(oldData, 32, 32), literal}));
    EXPECT_EQ(withThem.output, withoutThem.output);
    // The skipped bytes still move the bar: 15 + 1 bytes of 34.
    EXPECT_EQ(withThem.progress, (std::vector<uint32_t>{Permille(15, 34), Permille(31, 34), 1000}));
}

TEST(DeltaStream, HeaderIsCheckedInOrder) {
    struct Case {
        const char* what;
        Bytes stream;
        ResultCode expected;
    };
    const Case cases[] = {
        {"version 100", DeltaStreamWriter(16, 100).End().Take(), 0},
        {"version 0", DeltaStreamWriter(16, 0).End().Take(), 0},
        {"version 101", DeltaStreamWriter(16, 101).End().Take(), result::kUnknownDifferenceVersion},
        {"version 0xFFFF", DeltaStreamWriter(16, 0xFFFF).End().Take(),
         result::kUnknownDifferenceVersion},
        {"package magic", DeltaStreamWriter(16, 100, 0x20584B50).End().Take(),
         result::kBadDifferenceData},
        // The magic is refused before the version is looked at.
        {"bad magic, bad version", DeltaStreamWriter(16, 101, 0x20534B51).End().Take(),
         result::kBadDifferenceData},
        {"magic cut short", Bytes{0x50, 0x4B, 0x53}, result::kReadProgramFile},
        {"no block size", Bytes{0x50, 0x4B, 0x53, 0x20, 0x64, 0x00, 0x10},
         result::kReadProgramFile},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        DeltaRun run;
        run.oldData = RandomBytes(64, 10);
        run.stream = test.stream;

        const DeltaOutcome outcome = Apply(run);

        EXPECT_EQ(outcome.result, test.expected);
        EXPECT_TRUE(outcome.output.empty());
        // A refused header ends the run before any progress is shown.
        EXPECT_EQ(outcome.progress.size(), test.expected == 0 ? 1u : 0u);
    }
}

TEST(DeltaStream, OldFilePiecesMustLieWhollyInsideTheOldFile) {
    const Bytes oldData = RandomBytes(250, 11);
    struct Case {
        const char* what;
        Bytes stream;
        Bytes written;  // what reached the new file before the failure
    };
    const Case cases[] = {
        {"second block of a run is cut short",
         DeltaStreamWriter(100).CopyBlocks(100, 2).End().Take(), Slice(oldData, 100, 100)},
        {"block runs past the end", DeltaStreamWriter(100).CopyBlock(200).End().Take(), {}},
        {"block starts past the end", DeltaStreamWriter(100).CopyBlock(1000).End().Take(), {}},
        {"bytes run past the end", DeltaStreamWriter(100).CopyBytes(240, 20).End().Take(), {}},
        {"offset of 2 GiB", DeltaStreamWriter(100).CopyBytes(0x80000000u, 1).End().Take(), {}},
        {"offset of 4 GiB - 1", DeltaStreamWriter(100).CopyBlocks(0xFFFFFFFFu, 1).End().Take(), {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        DeltaRun run;
        run.oldData = oldData;
        run.stream = test.stream;

        const DeltaOutcome outcome = Apply(run);

        EXPECT_EQ(outcome.result, result::kReadOldFile);
        EXPECT_EQ(outcome.output, test.written);
        ASSERT_FALSE(outcome.progress.empty());
        EXPECT_EQ(outcome.progress.back(), Permille(run.stream.size() - 1, run.stream.size()));
    }
}

TEST(DeltaStream, CopiesAtTheVeryEndOfTheOldFileSucceed) {
    const Bytes oldData = RandomBytes(250, 12);
    DeltaRun run;
    run.oldData = oldData;
    run.stream =
        DeltaStreamWriter(100).CopyBlocks(50, 2).CopyBytes(200, 50).CopyBytes(250, 0).End().Take();

    const DeltaOutcome outcome = Apply(run);

    EXPECT_EQ(outcome.result, 0u);
    EXPECT_EQ(outcome.output, Concat({Slice(oldData, 50, 200), Slice(oldData, 200, 50)}));
}

TEST(DeltaStream, LengthsAboveTheBlockSizeAreRefused) {
    const Bytes oldData = RandomBytes(4096, 13);
    const Bytes literal = RandomBytes(65, 14);
    const Bytes first = RandomBytes(64, 15);
    const Bytes streams[] = {
        DeltaStreamWriter(64).LiteralBlock(first.data()).CopyBytes(0, 65).End().Take(),
        DeltaStreamWriter(64)
            .LiteralBlock(first.data())
            .LiteralBytes(literal.data(), 65)
            .End()
            .Take(),
        DeltaStreamWriter(64).LiteralBlock(first.data()).CopyBytes(0, 0xFFFFFFFFu).End().Take(),
    };
    for (const Bytes& stream : streams) {
        DeltaRun run;
        run.oldData = oldData;
        run.stream = stream;

        const DeltaOutcome outcome = Apply(run);

        EXPECT_EQ(outcome.result, result::kBadDifferenceData);
        EXPECT_EQ(outcome.output, first);
    }
}

TEST(DeltaStream, HostileBlockSizesAllocateOnlyWhatTheFilesCanUse) {
    // A block size of 4 GiB - 1 would not fit a 32-bit process; the buffer is
    // cut to what the files can fill, and the transfers that need more fail as
    // the short reads they are.
    const Bytes oldData = RandomBytes(100, 16);
    struct Case {
        const char* what;
        Bytes stream;
        ResultCode expected;
    };
    const Case cases[] = {
        {"end only", DeltaStreamWriter(0xFFFFFFFFu).End().Take(), 0},
        {"short copy", DeltaStreamWriter(0xFFFFFFFFu).CopyBytes(10, 90).End().Take(), 0},
        {"short literal",
         DeltaStreamWriter(0xFFFFFFFFu)
             .Opcode(OP_LITERAL_BYTES)
             .RawU32(3)
             .Raw("abc", 3)
             .End()
             .Take(),
         0},
        {"old block", DeltaStreamWriter(0xFFFFFFFFu).CopyBlock(0).End().Take(),
         result::kReadOldFile},
        {"old blocks", DeltaStreamWriter(0xFFFFFFFFu).CopyBlocks(0, 5).End().Take(),
         result::kReadOldFile},
        {"literal block",
         DeltaStreamWriter(0xFFFFFFFFu).Opcode(OP_LITERAL_BLOCK).Raw("abc", 3).Take(),
         result::kReadProgramFile},
        {"literal blocks",
         DeltaStreamWriter(0x7FFFFFFFu).Opcode(OP_LITERAL_BLOCKS).RawU32(2).Raw("abc", 3).Take(),
         result::kReadProgramFile},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        DeltaRun run;
        run.oldData = oldData;
        run.stream = test.stream;

        EXPECT_EQ(Apply(run).result, test.expected);
    }
}

TEST(DeltaStream, ZeroBlockSizeMovesNothingInBlocks) {
    // Four billion empty blocks finish at once instead of spinning.
    const Bytes oldData = RandomBytes(100, 17);
    DeltaRun run;
    run.oldData = oldData;
    run.stream = DeltaStreamWriter(0)
                     .CopyBlocks(0, 0xFFFFFFFFu)
                     .Opcode(OP_LITERAL_BLOCKS)
                     .RawU32(0xFFFFFFFFu)
                     .CopyBlock(5)
                     .Opcode(OP_LITERAL_BLOCK)
                     .CopyBytes(7, 0)
                     .End()
                     .Take();

    const DeltaOutcome outcome = Apply(run);

    EXPECT_EQ(outcome.result, 0u);
    EXPECT_TRUE(outcome.output.empty());
    EXPECT_EQ(outcome.progress.size(), 5u);  // copy blocks, block, literal block, bytes, final

    run.stream = DeltaStreamWriter(0).Opcode(OP_LITERAL_BYTES).RawU32(1).Raw("x", 1).End().Take();
    EXPECT_EQ(Apply(run).result, result::kBadDifferenceData);
}

TEST(DeltaStream, TruncatedStreamsFailAsReadErrors) {
    const Bytes oldData = RandomBytes(64, 18);
    const Bytes literal = RandomBytes(16 * 3 + 7, 19);
    const Bytes full = DeltaStreamWriter(16)
                           .CopyBlock(16)
                           .CopyBlocks(8, 2)
                           .CopyBytes(3, 5)
                           .LiteralBlock(literal.data())
                           .LiteralBlocks(literal.data() + 16, 2)
                           .Opcode(9)
                           .LiteralBytes(literal.data() + 48, 7)
                           .End()
                           .Take();
    DeltaRun run;
    run.oldData = oldData;
    run.stream = full;
    const DeltaOutcome complete = Apply(run);
    ASSERT_EQ(complete.result, 0u);
    ASSERT_EQ(complete.output.size(), 16u * 6 + 5 + 7);

    // Without OP_END the reader runs to the end of the program file.
    for (size_t cut = 0; cut < full.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        run.stream = Slice(full, 0, cut);
        run.dataSize = static_cast<uint32_t>(full.size());

        const DeltaOutcome outcome = Apply(run);

        EXPECT_EQ(outcome.result, result::kReadProgramFile);
        ASSERT_LE(outcome.output.size(), complete.output.size());
        EXPECT_EQ(outcome.output, Slice(complete.output, 0, outcome.output.size()));
    }
}

TEST(DeltaStream, StreamWithoutEndReadsOnIntoTheFollowingBytes) {
    // The stated size only scales the bar, which stays within 0..1000.
    const Bytes literal = RandomBytes(40, 20);
    DeltaRun run;
    run.oldData = RandomBytes(64, 21);
    run.stream = DeltaStreamWriter(32).LiteralBytes(literal.data(), 20).Take();
    run.trailer = DeltaStreamWriter(32)
                      .Opcode(OP_LITERAL_BYTES)
                      .RawU32(20)
                      .Raw(literal.data() + 20, 20)
                      .End()
                      .Take();
    run.trailer.erase(run.trailer.begin(), run.trailer.begin() + kDeltaHeaderSize);

    const DeltaOutcome outcome = Apply(run);

    EXPECT_EQ(outcome.result, 0u);
    EXPECT_EQ(outcome.output, literal);
    EXPECT_EQ(outcome.progress, (std::vector<uint32_t>{1000, 1000, 1000}));
}

TEST(DeltaStream, ZeroDataSizeShowsAFullBar) {
    const Bytes literal = RandomBytes(8, 22);
    DeltaRun run;
    run.oldData = RandomBytes(64, 23);
    run.stream = DeltaStreamWriter(32).LiteralBytes(literal.data(), 8).End().Take();
    run.dataSize = 0;

    const DeltaOutcome outcome = Apply(run);

    EXPECT_EQ(outcome.result, 0u);
    EXPECT_EQ(outcome.output, literal);
    EXPECT_EQ(outcome.progress, (std::vector<uint32_t>{1000, 1000}));
}

TEST(DeltaStream, StartBeyondFourGigabytesDoesNotWrapAround) {
    // package offset + data offset wraps to 0x10, where a valid stream lies.
    DeltaRun run;
    run.oldData = RandomBytes(64, 24);
    run.stream = DeltaStreamWriter(32).CopyBlock(0).End().Take();
    run.prefixSize = 0x10;
    run.packageOffset = 0x8;
    run.dataOffset = 0x8;
    ASSERT_EQ(Apply(run).result, 0u);

    run.packageOffset = 0xFFFFFFF8u;
    run.dataOffset = 0x18;
    const DeltaOutcome outcome = Apply(run);

    EXPECT_EQ(outcome.result, result::kReadProgramFile);
    EXPECT_TRUE(outcome.output.empty());
}

TEST(DeltaStream, RunsWithoutAnEventSink) {
    const Bytes oldData = RandomBytes(128, 25);
    DeltaRun run;
    run.oldData = oldData;
    run.stream = DeltaStreamWriter(64).CopyBlocks(0, 2).End().Take();
    run.withEvents = false;

    const DeltaOutcome outcome = Apply(run);

    EXPECT_EQ(outcome.result, 0u);
    EXPECT_EQ(outcome.output, oldData);
}

TEST(DeltaStream, FailuresAreReportedBySource) {
    // The program file is sought first and its size taken first; then the
    // old file's. Writes all go to the new file.
    const Bytes oldData = RandomBytes(64 * 8, 30);
    const Bytes literal = RandomBytes(64, 31);
    struct Case {
        const char* what;
        uint64_t k;
        uint32_t code;
        Operation kind;
        ResultCode expected;
        size_t blocksWritten;
    };
    const Case cases[] = {
        {"seek to the stream", 1, win32err::kInvalidParameter, Operation::kSeek,
         result::kReadProgramFile, 0},
        {"size of the program file", 1, win32err::kAccessDenied, Operation::kSize,
         result::kReadProgramFile, 0},
        {"size of the old file", 2, win32err::kAccessDenied, Operation::kSize, result::kReadOldFile,
         0},
        {"magic", 1, win32err::kReadFault, Operation::kRead, result::kReadProgramFile, 0},
        {"first old seek", 2, win32err::kReadFault, Operation::kSeek, result::kReadOldFile, 0},
        {"second old seek", 3, win32err::kReadFault, Operation::kSeek, result::kReadOldFile, 3},
        {"first block written", 1, win32err::kDiskFull, Operation::kWrite, result::kWriteNewFile,
         0},
        {"third block written", 3, win32err::kDiskFull, Operation::kWrite, result::kWriteNewFile,
         2},
        {"short write of the fifth block", 5, 0, Operation::kWrite, result::kWriteNewFile, 4},
        {"write of the literal block", 6, win32err::kDiskFull, Operation::kWrite,
         result::kWriteNewFile, 5},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        DeltaRun run;
        run.oldData = oldData;
        run.stream = DeltaStreamWriter(64)
                         .CopyBlocks(64, 3)
                         .CopyBlock(0)
                         .CopyBytes(128, 64)
                         .LiteralBlock(literal.data())
                         .End()
                         .Take();
        const Bytes full = Concat(
            {Slice(oldData, 64, 192), Slice(oldData, 0, 64), Slice(oldData, 128, 64), literal});
        FaultInjector injector(NativePlatform());
        ScopedPlatform scope(injector);
        injector.FailAt(test.k, test.code, test.kind);

        const DeltaOutcome outcome = Apply(run);

        EXPECT_EQ(outcome.result, test.expected);
        EXPECT_EQ(injector.FaultsTriggered(), 1u);
        EXPECT_EQ(outcome.output, Slice(full, 0, test.blocksWritten * 64));
    }
}

TEST(DeltaStream, CancelInsideABlockCopyStopsBeforeTheNextBlock) {
    // Poll 1 precedes the first instruction; polls 2, 3 and 4 precede blocks
    // 1 to 3; the fifth finds the flag set.
    const Bytes oldData = RandomBytes(64 * 100, 26);
    DeltaRun run;
    run.oldData = oldData;
    run.stream = DeltaStreamWriter(64).CopyBlocks(0, 100).End().Take();
    CancelAtPoll cancel(5);

    const DeltaOutcome outcome = Apply(run);

    EXPECT_EQ(outcome.result, result::kCancelled);
    EXPECT_EQ(outcome.output, Slice(oldData, 0, 3 * 64));
    EXPECT_EQ(outcome.progress, (std::vector<uint32_t>{Permille(19, 20), Permille(19, 20)}));
    EXPECT_EQ(cancel.polls(), 5);
}

TEST(DeltaStream, CancelInsideLiteralBlocksEndsWithoutAnInstructionEvent) {
    const Bytes literal = RandomBytes(32 * 10, 27);
    DeltaRun run;
    run.oldData = RandomBytes(32, 28);
    run.stream = DeltaStreamWriter(32).LiteralBlocks(literal.data(), 10).End().Take();
    CancelAtPoll cancel(4);  // before the third block

    const DeltaOutcome outcome = Apply(run);

    const uint32_t size = static_cast<uint32_t>(run.stream.size());
    EXPECT_EQ(outcome.result, result::kCancelled);
    EXPECT_EQ(outcome.output, Slice(literal, 0, 64));
    EXPECT_EQ(outcome.progress,
              (std::vector<uint32_t>{Permille(15 + 32, size), Permille(15 + 64, size),
                                     Permille(15 + 64, size)}));
}

TEST(DeltaStream, CancelIsSeenBeforeEachInstruction) {
    const Bytes oldData = RandomBytes(64, 29);
    DeltaRun run;
    run.oldData = oldData;
    run.stream = DeltaStreamWriter(32).CopyBlock(0).CopyBlock(32).End().Take();
    {
        CancelAtPoll cancel(1);
        const DeltaOutcome outcome = Apply(run);
        EXPECT_EQ(outcome.result, result::kCancelled);
        EXPECT_TRUE(outcome.output.empty());
        EXPECT_EQ(outcome.progress, std::vector<uint32_t>{Permille(10, 21)});
    }
    {
        CancelAtPoll cancel(2);
        const DeltaOutcome outcome = Apply(run);
        EXPECT_EQ(outcome.result, result::kCancelled);
        EXPECT_EQ(outcome.output, Slice(oldData, 0, 32));
        EXPECT_EQ(outcome.progress, (std::vector<uint32_t>{Permille(15, 21), Permille(15, 21)}));
    }
}

}  // namespace
}  // namespace pkx
