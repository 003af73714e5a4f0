// Applying difference streams to real files through BinaryFile.
#include "engine/delta_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/cancellation.h"
#include "package/writer/delta_writer.h"
#include "tests/platforms/fault_injection.h"
#include "tests/recording_ui.h"
#include "tests/test_support.h"
#include "tests/worker_fixtures.h"

namespace pkx {
namespace {

using packwriter::Bytes;
using W = packwriter::DeltaStreamWriter;
using Progress = std::vector<uint32_t>;

using test::Concat;
using test::RandomBytes;
using test::Slice;

uint32_t Permille(uint64_t position, uint64_t size) {
    return static_cast<uint32_t>(position * 1000 / size);
}

// The program file holds `packageOffset` bytes, the package's first
// `dataOffset` bytes, the stream, then `trailer`.
struct DeltaRun {
    Bytes oldData;
    Bytes stream;
    uint32_t packageOffset = 0x40;
    uint32_t dataOffset = 0x25;
    std::optional<size_t> prefixSize;  // when not packageOffset + dataOffset
    Bytes trailer;
    std::optional<uint32_t> dataSize;  // the stream's length unless set
    bool withEvents = true;
};

struct DeltaOutcome {
    ResultCode result = 0xDEAD;
    Bytes output;
    Progress progress;
};

DeltaOutcome Apply(const DeltaRun& run) {
    test::TempFolder folder;
    const std::string programPath = folder / "update.exe";
    const std::string oldPath = folder / "file.dll.1.0.old";
    const std::string newPath = folder / "file.dll";
    const Bytes program =
        Concat({Bytes(run.prefixSize.value_or(size_t{run.packageOffset} + run.dataOffset), 0xCC),
                run.stream, run.trailer});
    EXPECT_TRUE(test::WriteFile(programPath, std::string(program.begin(), program.end())));
    EXPECT_TRUE(test::WriteFile(oldPath, std::string(run.oldData.begin(), run.oldData.end())));

    test::RecordingEvents events;
    ApplyContext context;
    if (run.withEvents) context.events = &events;
    PackageRef package;
    package.offset = run.packageOffset;
    FileEntry entry;
    entry.dataOffset = run.dataOffset;
    entry.dataSize = run.dataSize.value_or(static_cast<uint32_t>(run.stream.size()));
    DeltaOutcome outcome;
    {
        BinaryFile programFile, oldFile, newFile;
        EXPECT_EQ(programFile.OpenRead(programPath.c_str(), kShareRead, kAttributeNormal), 0u);
        EXPECT_EQ(oldFile.OpenRead(oldPath.c_str(), kShareNone, kAttributeNormal), 0u);
        EXPECT_EQ(newFile.OpenWrite(newPath.c_str(), kShareNone, kAttributeArchive), 0u);
        outcome.result = ApplyDeltaStream(programFile, package, entry, oldFile, newFile, context);
    }
    const std::string output = test::ReadFile(newPath).value_or("");
    outcome.output.assign(output.begin(), output.end());
    for (const test::RecordedEvent& event : events.events) {
        EXPECT_EQ(event.code, EV_FILE_PROGRESS);
        EXPECT_FALSE(event.posted);
        outcome.progress.push_back(static_cast<uint32_t>(event.param));
    }
    return outcome;
}

// Streams of every shape against one old file of 256 bytes: the result, the
// new file and the progress values (when given). Progress is the stream
// position after each instruction (old-file data does not count). Headers are
// checked in order; old-file pieces must lie wholly inside the old file and
// lengths may not exceed the block size; a hostile block size allocates only
// what the files can use. Cancel is seen at poll 1, before the first
// instruction, then before every block.
TEST(DeltaStream, StreamTable) {
    const Bytes oldData = RandomBytes(256, 6);
    const Bytes lit = RandomBytes(320, 7);
    const uint8_t* l = lit.data();
    Bytes unterminatedTail = W(32).Opcode(OP_LITERAL_BYTES).RawU32(20).Raw(l + 20, 20).End().Take();
    unterminatedTail.erase(unterminatedTail.begin(), unterminatedTail.begin() + kDeltaHeaderSize);
    const uint32_t huge = 0xFFFFFFFFu;
    const ResultCode old = result::kReadOldFile, bad = result::kBadDifferenceData;
    const ResultCode program = result::kReadProgramFile, cancelled = result::kCancelled;
    const Bytes none;
    struct Case {
        const char* what;
        Bytes stream;
        ResultCode result;
        std::optional<Bytes> output;
        std::optional<Progress> progress;
        uint64_t cancelAtPoll = 0;
        Bytes trailer = {};
        std::optional<uint32_t> dataSize = std::nullopt;
        bool withEvents = true;
    };
    const std::optional<Progress> any;
    // clang-format off
    const Case cases[] = {
        {"header and end only", W(64).End().Take(), 0, none, Progress{1000}},
        // Copies that skip about and go backwards; literal data of every kind.
        {"copies and literals in stream order", W(16).CopyBlocks(0, 3).LiteralBlock(l).CopyBlocks(200, 2).LiteralBlocks(l + 16, 3).LiteralBytes(l + 64, 8).CopyBlocks(100, 3).LiteralBytes(l + 72, 5).End().Take(), 0,
         Concat({Slice(oldData, 0, 48), Slice(lit, 0, 16), Slice(oldData, 200, 32), Slice(lit, 16, 56), Slice(oldData, 100, 48), Slice(lit, 72, 5)}),
         Progress{Permille(19, 131), Permille(36, 131), Permille(45, 131), Permille(66, 131), Permille(82, 131), Permille(98, 131), Permille(111, 131), Permille(120, 131), Permille(130, 131), 1000}},
        // OP_COPY_BLOCKS reports after its empty loop; OP_LITERAL_BLOCKS only per block.
        {"zero counts", W(64).CopyBlocks(0, 0).Opcode(OP_LITERAL_BLOCKS).RawU32(0).End().Take(), 0, none, Progress{Permille(19, 25), 1000}},
        // Undefined opcodes are skipped, but still move the bar: 15 + 1 of 34.
        {"undefined opcodes", W(32).CopyBlock(32).Opcode(7).LiteralBytes(l, 10).Opcode(255).Opcode(100).End().Take(), 0,
         Concat({Slice(oldData, 32, 32), Slice(lit, 0, 10)}), Progress{Permille(15, 34), Permille(31, 34), 1000}},
        {"copies at the very end of the old file", W(100).CopyBlocks(56, 2).CopyBytes(200, 56).CopyBytes(256, 0).End().Take(), 0,
         Concat({Slice(oldData, 56, 200), Slice(oldData, 200, 56)}), any},
        // Four billion empty blocks finish at once instead of spinning.
        {"zero block size", W(0).CopyBlocks(0, huge).Opcode(OP_LITERAL_BLOCKS).RawU32(huge).CopyBlock(5).Opcode(OP_LITERAL_BLOCK).CopyBytes(7, 0).End().Take(), 0,
         none, Progress{Permille(19, 40), Permille(29, 40), Permille(30, 40), Permille(39, 40), 1000}},
        // Without OP_END the reader runs on into the following bytes; the
        // stated size only scales the bar, which stays within 0..1000 and is
        // told of each value once.
        {"end lies past the stated size", W(32).LiteralBytes(l, 20).Take(), 0, Slice(lit, 0, 40), Progress{1000}, 0, unterminatedTail},
        {"zero data size", W(32).LiteralBytes(l, 8).End().Take(), 0, Slice(lit, 0, 8), Progress{1000}, 0, {}, 0},
        {"no event sink", W(64).CopyBlocks(0, 2).End().Take(), 0, Slice(oldData, 0, 128), Progress{}, 0, {}, std::nullopt, false},
        {"version 100", W(16, 100).End().Take(), 0, none, Progress{1000}},
        {"version 0", W(16, 0).End().Take(), 0, none, Progress{1000}},
        // A refused header ends the run before any progress is shown.
        {"version 101", W(16, 101).End().Take(), result::kUnknownDifferenceVersion, none, Progress{}},
        {"version 0xFFFF", W(16, 0xFFFF).End().Take(), result::kUnknownDifferenceVersion, none, Progress{}},
        {"package magic", W(16, 100, 0x20584B50).End().Take(), bad, none, Progress{}},
        // The magic is refused before the version is looked at.
        {"bad magic, bad version", W(16, 101, 0x20534B51).End().Take(), bad, none, Progress{}},
        {"magic cut short", Bytes{0x50, 0x4B, 0x53}, program, none, Progress{}},
        {"no block size", Bytes{0x50, 0x4B, 0x53, 0x20, 0x64, 0x00, 0x10}, program, none, Progress{}},
        {"second block of a run is cut short", W(100).CopyBlocks(100, 2).End().Take(), old, Slice(oldData, 100, 100), any},
        {"block runs past the end", W(100).CopyBlock(200).End().Take(), old, none, any},
        {"block starts past the end", W(100).CopyBlock(1000).End().Take(), old, none, any},
        {"bytes run past the end", W(100).CopyBytes(240, 20).End().Take(), old, none, any},
        {"offset of 2 GiB", W(100).CopyBytes(0x80000000u, 1).End().Take(), old, none, any},
        {"offset of 4 GiB - 1", W(100).CopyBlocks(huge, 1).End().Take(), old, none, any},
        {"copy longer than a block", W(100).LiteralBlock(l).CopyBytes(0, 101).End().Take(), bad, Slice(lit, 0, 100), any},
        {"literal longer than a block", W(64).LiteralBlock(l).LiteralBytes(l, 65).End().Take(), bad, Slice(lit, 0, 64), any},
        {"copy of 4 GiB - 1 bytes", W(100).LiteralBlock(l).CopyBytes(0, huge).End().Take(), bad, Slice(lit, 0, 100), any},
        {"literal bytes with zero block size", W(0).Opcode(OP_LITERAL_BYTES).RawU32(1).Raw("x", 1).End().Take(), bad, none, any},
        // A block size of 4 GiB - 1 would not fit a 32-bit process: the buffer
        // is cut to what the files can fill, and the transfers that need more
        // fail as the short reads they are.
        {"huge: end only", W(huge).End().Take(), 0, none, any},
        {"huge: short copy", W(huge).CopyBytes(10, 90).End().Take(), 0, Slice(oldData, 10, 90), any},
        {"huge: short literal", W(huge).Opcode(OP_LITERAL_BYTES).RawU32(3).Raw("abc", 3).End().Take(), 0, Bytes{'a', 'b', 'c'}, any},
        {"huge: old block", W(huge).CopyBlock(0).End().Take(), old, std::nullopt, any},
        {"huge: old blocks", W(huge).CopyBlocks(0, 5).End().Take(), old, std::nullopt, any},
        {"huge: literal block", W(huge).Opcode(OP_LITERAL_BLOCK).Raw("abc", 3).Take(), program, std::nullopt, any},
        {"huge: literal blocks", W(0x7FFFFFFFu).Opcode(OP_LITERAL_BLOCKS).RawU32(2).Raw("abc", 3).Take(), program, std::nullopt, any},
        {"cancel before the first instruction", W(32).CopyBlock(0).CopyBlock(32).End().Take(), cancelled, none, Progress{Permille(10, 21)}, 1},
        {"cancel before the second instruction", W(32).CopyBlock(0).CopyBlock(32).End().Take(), cancelled, Slice(oldData, 0, 32), Progress{Permille(15, 21)}, 2},
        {"cancel inside a block copy", W(64).CopyBlocks(0, 100).End().Take(), cancelled, Slice(oldData, 0, 192), Progress{Permille(19, 20)}, 5},
        // Literal blocks report per block, and no instruction event follows.
        {"cancel inside literal blocks", W(32).LiteralBlocks(l, 10).End().Take(), cancelled, Slice(lit, 0, 64), Progress{Permille(47, 336), Permille(79, 336)}, 4},
    };
    // clang-format on
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        DeltaRun run;
        run.oldData = oldData;
        run.stream = test.stream;
        run.trailer = test.trailer;
        run.dataSize = test.dataSize;
        run.withEvents = test.withEvents;
        test::CancelAtPoll cancel{test.cancelAtPoll};
        test::CancelHookScope hook(&cancel);

        const DeltaOutcome outcome = Apply(run);

        EXPECT_EQ(outcome.result, test.result);
        if (test.output) {
            EXPECT_EQ(outcome.output, *test.output);
        }
        if (test.progress) {
            EXPECT_EQ(outcome.progress, *test.progress);
        }
        if (test.result == old) {
            ASSERT_FALSE(outcome.progress.empty());
            EXPECT_EQ(outcome.progress.back(), Permille(run.stream.size() - 1, run.stream.size()));
        }
    }
}

TEST(DeltaStream, TruncatedStreamsFailAsReadErrors) {
    const Bytes literal = RandomBytes(16 * 3 + 7, 19);
    DeltaRun run;
    run.oldData = RandomBytes(64, 18);
    const Bytes full = W(16)
                           .CopyBlock(16)
                           .CopyBlocks(8, 2)
                           .CopyBytes(3, 5)
                           .LiteralBlock(literal.data())
                           .LiteralBlocks(literal.data() + 16, 2)
                           .Opcode(9)
                           .LiteralBytes(literal.data() + 48, 7)
                           .End()
                           .Take();
    run.stream = full;
    const DeltaOutcome complete = Apply(run);
    ASSERT_EQ(complete.result, 0u);
    ASSERT_EQ(complete.output.size(), 16u * 6 + 5 + 7);

    // Without OP_END the reader runs to the end of the program file.
    run.dataSize = static_cast<uint32_t>(full.size());
    for (size_t cut = 0; cut < full.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        run.stream = Slice(full, 0, cut);

        const DeltaOutcome outcome = Apply(run);

        EXPECT_EQ(outcome.result, result::kReadProgramFile);
        ASSERT_LE(outcome.output.size(), complete.output.size());
        EXPECT_EQ(outcome.output, Slice(complete.output, 0, outcome.output.size()));
    }
}

TEST(DeltaStream, StartBeyondFourGigabytesDoesNotWrapAround) {
    // package offset + data offset wraps to 0x10, where a valid stream lies.
    DeltaRun run;
    run.oldData = RandomBytes(64, 24);
    run.stream = W(32).CopyBlock(0).End().Take();
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

// The program file is sought first and its size taken first; then the old
// file's. The old file is read once, as one page, for all the copies; the
// whole output is written at the end, in one piece: nothing is written before
// a failure.
TEST(DeltaStream, FailuresAreReportedBySource) {
    DeltaRun run;
    run.oldData = RandomBytes(64 * 8, 30);
    const Bytes literal = RandomBytes(64, 31);
    run.stream = W(64)
                     .CopyBlocks(64, 3)
                     .CopyBlock(0)
                     .CopyBytes(128, 64)
                     .LiteralBlock(literal.data())
                     .End()
                     .Take();
    const ResultCode program = result::kReadProgramFile, old = result::kReadOldFile;
    const struct {
        const char* what;
        uint64_t k;
        uint32_t code;
        Operation kind;
        ResultCode expected;
    } cases[] = {
        // clang-format off
        {"seek to the stream", 1, win32err::kInvalidParameter, Operation::kSeek, program},
        {"size of the program file", 1, win32err::kAccessDenied, Operation::kSize, program},
        {"size of the old file", 2, win32err::kAccessDenied, Operation::kSize, old},
        {"magic", 1, win32err::kReadFault, Operation::kRead, program},
        {"old seek", 2, win32err::kReadFault, Operation::kSeek, old},
        {"old read", 2, win32err::kReadFault, Operation::kRead, old},
        {"short old read", 2, 0, Operation::kRead, old},
        {"output written", 1, win32err::kDiskFull, Operation::kWrite, result::kWriteNewFile},
        {"output written short", 1, 0, Operation::kWrite, result::kWriteNewFile},
        // clang-format on
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        FaultInjector injector(NativePlatform());
        PlatformScope scope(injector);
        injector.FailAt(test.k, test.code, test.kind);

        const DeltaOutcome outcome = Apply(run);

        EXPECT_EQ(outcome.result, test.expected);
        EXPECT_EQ(injector.FaultsTriggered(), 1u);
        EXPECT_TRUE(outcome.output.empty());
    }
}

// Platform calls follow the amount of data, not the number of instructions:
// thousands of short pieces cost a few reads and writes, and a write that
// fails anywhere fails the run.
TEST(DeltaStream, ReadsAndWritesInLargePieces) {
    DeltaRun run;
    run.oldData = RandomBytes(300 * 1024, 40);
    const Bytes literal = RandomBytes(8, 41);
    W writer(1024);
    Bytes expected;
    for (uint32_t piece = 0; piece < 100000; ++piece) {
        // Short copies that mostly run on, now and then one far back.
        const uint32_t offset = piece % 100 == 99 ? 16 * (piece % 7) : 24 * (piece % 12000);
        writer.CopyBytes(offset, 16).LiteralBytes(literal.data(), 8);
        expected.insert(expected.end(), run.oldData.begin() + offset,
                        run.oldData.begin() + offset + 16);
        expected.insert(expected.end(), literal.begin(), literal.end());
    }
    run.stream = writer.End().Take();
    const size_t kOutputPiece = 1024 * 1024;
    ASSERT_GT(expected.size(), 2 * kOutputPiece);

    FaultInjector counter(NativePlatform());
    {
        PlatformScope scope(counter);
        const DeltaOutcome outcome = Apply(run);
        EXPECT_EQ(outcome.result, 0u);
        EXPECT_TRUE(outcome.output == expected);
    }
    EXPECT_LE(counter.Count(Operation::kWrite), expected.size() / kOutputPiece + 1);
    // Every 4 KiB page of the old file is read once, whatever the order of
    // the pieces; the stream is read ahead in 64 KiB.
    const size_t pages = run.oldData.size() / 4096 + 1;
    EXPECT_LE(counter.Count(Operation::kRead), run.stream.size() / (64 * 1024) + 1 + pages);
    EXPECT_LE(counter.Count(Operation::kSeek), 1 + pages);

    for (const uint32_t code : {uint32_t{win32err::kDiskFull}, uint32_t{0}}) {
        SCOPED_TRACE("second write fails with " + std::to_string(code));
        FaultInjector injector(NativePlatform());
        PlatformScope scope(injector);
        injector.FailAt(2, code, Operation::kWrite);

        const DeltaOutcome outcome = Apply(run);

        EXPECT_EQ(outcome.result, result::kWriteNewFile);
        EXPECT_EQ(injector.FaultsTriggered(), 1u);
        EXPECT_TRUE(outcome.output == Slice(expected, 0, kOutputPiece));
    }
}

}  // namespace
}  // namespace pkx
