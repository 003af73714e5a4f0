// The package format: the one place its magics, version gates, counts and
// record sizes are stated. The readers, the writer, the builder's inspector
// and its planner all take them from here; docs/format.md lays the bytes out.
//
// Every multi-byte field is little-endian. A format version is 100 times the
// version of the program that wrote the package.
#pragma once

#include <cstdint>

#include "core/display_texts.h"

namespace pkx {

// --- The payload behind the updater's image.

// Where the payload starts in the updater file: the image must end before it.
inline constexpr uint32_t kPayloadOffset = 0x1F000;
inline constexpr uint32_t kPackageMagic = 0x20584B50;    // "PKX "
inline constexpr uint32_t kContainerMagic = 0x504D554C;  // "LUMP"
inline constexpr uint32_t kMagicSize = 4;
// A container: magic, u16 package count, then per package u32 file offset
// and u32 size.
inline constexpr uint32_t kContainerEntrySize = 8;

// --- Format versions. The newest one read, and the versions that added fields.

inline constexpr uint16_t kNewestFormatVersion = 150;

namespace gate {
// Running check, document name, notice texts.
inline constexpr uint16_t kRunningCheck = 110;
// Delete-backups default, language blocks, composite lookups, the three
// option bytes.
inline constexpr uint16_t kLanguageBlocks = 120;
// Texts 1069 to 1073 in language blocks.
inline constexpr uint16_t kLateTexts = 130;
// Folder source count, notice blocks per code page, new check values flag.
inline constexpr uint16_t kSourceList = 140;
}  // namespace gate

// --- The header.

// Magic and version: what a package holds at least before its digest.
inline constexpr uint32_t kHeaderStartSize = kMagicSize + 2;
// A short string: a u8 length and that many bytes (so at most 255).
inline constexpr uint32_t kShortStringMaxLength = 255;
// An MD5 digest: the password's, a check value, the package's trailing one.
inline constexpr uint32_t kDigestSize = 16;
inline constexpr uint8_t kPasswordProtected = 1;

// Texts per language block: 74 from version 130 on, 69 before.
inline constexpr uint32_t kFullTextCount = kTextCount;
inline constexpr uint32_t kShortTextCount = 69;
// Texts 1069 to 1071 came with version 130; older blocks borrow them from
// the program's string table (1072 and 1073 keep what they held).
inline constexpr uint32_t kFirstLateText = 1069;
inline constexpr uint32_t kLateTextCount = 3;

// Kinds of folder sources and of lookup steps, as the package stores them.
inline constexpr uint8_t kSourcePrompt = 0;
inline constexpr uint8_t kSourceRegistry = 1;
inline constexpr uint8_t kSourceIni = 2;
inline constexpr uint8_t kSourceFixedPath = 3;
inline constexpr uint8_t kSourceComposite = 4;
inline constexpr uint8_t kStepRegistry = 1;
inline constexpr uint8_t kStepIni = 2;
// A composite lookup fills result slots 0 to 9.
inline constexpr uint32_t kLookupSlotCount = 10;
// A lookup record holds at least its three bytes and three string lengths.
inline constexpr uint32_t kMinimumLookupRecordSize = 6;

// Kinds of running checks; any other kind checks nothing.
inline constexpr uint8_t kCheckNone = 0;
inline constexpr uint8_t kCheckWindow = 1;
inline constexpr uint8_t kCheckProcess = 2;

// --- The records.

// Check mode 0: check values are MD5 digests; any other: write time and size.
inline constexpr uint8_t kCheckModeMd5 = 0;
inline constexpr uint32_t kCheckValueSize = 16;
// Write time (FILETIME), data offset and data size.
inline constexpr uint32_t kDataFieldsSize = 8 + 4 + 4;
// The smallest record of each kind: a name length byte and the fixed fields,
// without the new check value (present when the header's flag is 1).
inline constexpr uint32_t kMinimumUpdateRecordSize = 1 + kCheckValueSize + kDataFieldsSize;
inline constexpr uint32_t kMinimumAddRecordSize = 1 + kDataFieldsSize;
inline constexpr uint32_t kDeleteRecordSize = 1 + kCheckValueSize;

// --- The difference stream of an updated file.

inline constexpr uint32_t kDeltaMagic = 0x20534B50;  // "PKS "
// Streams of this version and older are read.
inline constexpr uint16_t kDeltaVersion = 100;
// Magic, u16 version, u32 block size.
inline constexpr uint32_t kDeltaHeaderSize = 10;

enum DeltaOpcode : uint8_t {
    OP_END = 0,
    OP_COPY_BLOCK = 1,      // u32 offset
    OP_COPY_BLOCKS = 2,     // u32 offset, u32 count
    OP_COPY_BYTES = 3,      // u32 offset, u32 length (at most the block size)
    OP_LITERAL_BLOCK = 4,   // one block of data follows
    OP_LITERAL_BLOCKS = 5,  // u32 count, count blocks of data follow
    OP_LITERAL_BYTES = 6,   // u32 length (at most the block size), length bytes follow
    // 7 to 255 are skipped: the opcode byte alone is consumed.
};

// --- Version 200: compressed packages (docs/format.md). The records and
// their data lie in one data block of four compressed streams, and updated
// files are rebuilt by compact instructions.

namespace gate {
// The data block and the compact instructions.
inline constexpr uint16_t kCompressedData = 200;
}  // namespace gate

// The versions the updater reads: the classic ones and this one.
inline constexpr bool IsReadableVersion(uint16_t version) {
    return version <= kNewestFormatVersion || version == gate::kCompressedData;
}

inline constexpr uint32_t kDataBlockMagic = 0x205A4B50;  // "PKZ "
// Magic and u8 stream count, then one descriptor per stream: u8 method,
// u8 LZMA properties, u32 dictionary size, u32 compressed size, u64
// uncompressed size.
inline constexpr uint32_t kDataBlockStartSize = kMagicSize + 1;
inline constexpr uint32_t kStreamDescriptorSize = 18;

enum DataStream : uint8_t {
    kInstructionStream = 0,  // every update's compact instructions
    kDifferenceStream = 1,   // the byte-wise differences of approximate copies
    kLiteralStream = 2,      // updates' literal bytes, then the added files
    kRecordStream = 3,       // the update, add and delete records
    kDataStreamCount = 4,
};
inline constexpr uint32_t kDataBlockHeaderSize =
    kDataBlockStartSize + kDataStreamCount * kStreamDescriptorSize;

inline constexpr uint8_t kStreamStored = 0;
inline constexpr uint8_t kStreamLzma = 1;
// LZMA of the stream's zero-run coding (package/zero_runs.cpp), behind a u64:
// the coded form's size, at most the uncompressed size.
inline constexpr uint8_t kStreamZeroRuns = 2;
inline constexpr uint32_t kZeroRunsPrefixSize = 8;
inline constexpr uint32_t kZeroRunLongest = 256;
// LZMA properties: (pb * 5 + lp) * 9 + lc, with lc + lp at most 4 (so the
// probability tables stay small) and pb at most 4.
inline constexpr uint32_t kLzmaMaxLiteralBits = 4;
inline constexpr uint32_t kLzmaMaxPositionBits = 4;
// The least window a decoder allocates, and the most all windows of a block
// take together (below 64 MiB with the decoders' tables and buffers).
inline constexpr uint32_t kLzmaMinWindow = 4096;
inline constexpr uint64_t kMaxWindowTotal = uint64_t{60} << 20;
// A Windows updater's single package is padded before its digest to a
// multiple of 8 bytes (signing needs it), so up to this many zero bytes may
// follow the data block's streams; they are covered by the digest and not read.
inline constexpr uint64_t kMaxDataBlockPadding = 7;
// The records are held in memory while the package is applied, so their
// stream may decode to at most this many times its compressed size (or to
// kRecordStreamFloor bytes, whichever is more): memory stays proportional to
// the package's bytes, as with classic records.
inline constexpr uint64_t kMaxRecordExpansion = 64;
inline constexpr uint64_t kRecordStreamFloor = 64 * 1024;

enum CompactOpcode : uint8_t {
    OPC_END = 0,
    OPC_COPY = 1,      // varint length, zigzag varint offset delta
    OPC_COPY_ADD = 2,  // as OPC_COPY; each byte plus one of the difference stream
    OPC_LITERAL = 3,   // varint length; bytes of the literal stream
};
// A varint holds at most 32 bits in at most 5 bytes.
inline constexpr uint32_t kMaxVarintSize = 5;
// Copies read the old file below 2 GiB, as in the classic stream.
inline constexpr uint64_t kOldFileLimit = 0x80000000;

}  // namespace pkx
