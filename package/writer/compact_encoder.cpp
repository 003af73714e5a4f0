#include "package/writer/compact_encoder.h"

#include <algorithm>

#include "package/writer/delta_encoder.h"
#include "package/writer/delta_index.h"
#include "package/writer/delta_parser.h"

namespace pkx::packwriter {

void CompactStreams::Append(const CompactStreams& record) {
    instructions.insert(instructions.end(), record.instructions.begin(), record.instructions.end());
    differences.insert(differences.end(), record.differences.begin(), record.differences.end());
    literals.insert(literals.end(), record.literals.begin(), record.literals.end());
    records.insert(records.end(), record.records.begin(), record.records.end());
}

bool CompactDeltaWriter::GoesOn(uint32_t source, uint32_t length) const {
    return pending_.opcode != OPC_END && pending_.opcode != OPC_LITERAL &&
           uint64_t{pending_.source} + pending_.length == source &&
           uint64_t{pending_.length} + length <= UINT32_MAX;
}

void CompactDeltaWriter::Copy(uint32_t source, uint32_t length) {
    if (GoesOn(source, length)) {
        if (pending_.opcode == OPC_COPY_ADD && length < kAbsorbedCopy) {
            streams_->differences.insert(streams_->differences.end(), length, 0);
        }
        if (pending_.opcode == OPC_COPY || length < kAbsorbedCopy) {
            pending_.length += length;
            return;
        }
    }
    Flush();
    pending_ = {OPC_COPY, length, source};
}

void CompactDeltaWriter::CopyAdd(uint32_t source, uint32_t at, uint32_t length) {
    const bool goesOn = GoesOn(source, length);
    if (goesOn && pending_.opcode == OPC_COPY && pending_.length < kAbsorbedCopy) {
        streams_->differences.insert(streams_->differences.end(), pending_.length, 0);
        pending_.opcode = OPC_COPY_ADD;
    }
    for (uint32_t i = 0; i < length; ++i) {
        streams_->differences.push_back(static_cast<uint8_t>(new_[at + i] - old_[source + i]));
    }
    if (goesOn && pending_.opcode == OPC_COPY_ADD) {
        pending_.length += length;
        return;
    }
    Flush();
    pending_ = {OPC_COPY_ADD, length, source};
}

void CompactDeltaWriter::Literal(uint32_t at, uint32_t length) {
    streams_->literals.insert(streams_->literals.end(), new_ + at, new_ + at + length);
    if (pending_.opcode == OPC_LITERAL && uint64_t{pending_.length} + length <= UINT32_MAX) {
        pending_.length += length;
        return;
    }
    Flush();
    pending_ = {OPC_LITERAL, length, 0};
}

void CompactDeltaWriter::End() {
    Flush();
    streams_->instructions.push_back(OPC_END);
    previousEnd_ = 0;
}

void CompactDeltaWriter::Flush() {
    if (pending_.length == 0) return;
    streams_->instructions.push_back(pending_.opcode);
    Varint(pending_.length);
    if (pending_.opcode != OPC_LITERAL) {
        Varint(ZigZag(int64_t{pending_.source} - static_cast<int64_t>(previousEnd_)));
        previousEnd_ = uint64_t{pending_.source} + pending_.length;
    }
    pending_ = CompactInstruction();
}

void CompactDeltaWriter::Varint(uint32_t value) {
    while (value >= 0x80) {
        streams_->instructions.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    streams_->instructions.push_back(static_cast<uint8_t>(value));
}

namespace {

// The updater seeks the old file with a signed 32-bit distance.
constexpr size_t kUsableOldSize = 0x7FFFFFFF;
// An extension stops once its balance has fallen this far below its best.
constexpr int64_t kGiveUpBelowBest = 256;
// What bridging a gap between two copies of one alignment saves besides the
// bytes (the instructions of a literal and of a second copy), counted in
// agreeing bytes.
constexpr int64_t kBridgeBonus = 8;
// Exact copies shorter than this give way to the alignment before them.
constexpr uint32_t kShortCopy = 128;
// What a literal byte costs after compression, in eighths of a bit, in text
// and in code: what a copy's instruction must beat. Measured rather than
// derived: text literals compress well among themselves, and a short piece of
// text from far away in the old file costs more as a copy.
constexpr uint32_t kTextLiteralEighths = 6;
constexpr uint32_t kCodeLiteralEighths = 24;

uint32_t VarintSize(uint32_t value) {
    uint32_t size = 1;
    for (; value >= 0x80; value >>= 7) ++size;
    return size;
}

struct ExactCopy {
    uint32_t at = 0;
    uint32_t source = 0;
    uint32_t length = 0;
};

// The exact copies of the new file, in order, parsed in chunks of 2 MiB on
// up to `threads` threads.
std::vector<ExactCopy> FindExactCopies(const OldFileIndex& index, const Bytes& newData,
                                       unsigned threads) {
    const std::vector<std::vector<DeltaPiece>> chunks = ParseChunks(index, newData, threads);

    std::vector<ExactCopy> copies;
    uint32_t at = 0;
    for (const auto& pieces : chunks) {
        for (const DeltaPiece& piece : pieces) {
            if (piece.copy) copies.push_back({at, piece.source, piece.length});
            at += piece.length;
        }
    }
    return copies;
}

// What one differing byte of an approximate copy costs against what one
// agreeing byte saves, both against a literal byte: in text, literals
// compress well and a difference is noise; in code, differences are rare
// and literals dear.
int64_t MismatchWeight(const Bytes& newData) {
    size_t text = 0;
    for (const uint8_t byte : newData) {
        text += (byte >= 0x20 && byte < 0x7F) || byte == '\n' || byte == '\r' || byte == '\t';
    }
    return text * 10 >= newData.size() * 9 ? 3 : 1;
}

class Extender {
  public:
    Extender(const Bytes& oldData, const Bytes& newData)
        : old_(oldData.data()),
          oldSize_(std::min(oldData.size(), kUsableOldSize)),
          new_(newData.data()),
          weight_(MismatchWeight(newData)) {}

    // How far a copy from old `source` pays at new positions [at, at + room),
    // forwards from `at`.
    uint32_t Forward(uint32_t source, uint32_t at, uint32_t room) const {
        const uint32_t limit = static_cast<uint32_t>(
            std::min<uint64_t>(room, source < oldSize_ ? oldSize_ - source : 0));
        return Best(limit, [&](uint32_t i) { return new_[at + i] == old_[source + i]; });
    }

    // How far a copy ending at old `sourceEnd` pays at new positions
    // [end - room, end), backwards from `end`.
    uint32_t Backward(uint32_t sourceEnd, uint32_t end, uint32_t room) const {
        const uint32_t limit = std::min<uint32_t>(room, sourceEnd);
        return Best(limit,
                    [&](uint32_t i) { return new_[end - 1 - i] == old_[sourceEnd - 1 - i]; });
    }

    // Whether new [at, at + room) is better copied from old `source` with
    // its differences than carried literally between two copies.
    bool Bridges(uint32_t source, uint32_t at, uint32_t room) const {
        int64_t balance = kBridgeBonus;
        for (uint32_t i = 0; i < room && balance > 0; ++i) {
            balance += new_[at + i] == old_[source + i] ? 1 : -weight_;
        }
        return balance > 0;
    }

    // What a literal byte costs after compression, in eighths of a bit.
    uint32_t literalEighths() const {
        return weight_ > 1 ? kTextLiteralEighths : kCodeLiteralEighths;
    }

    // Whether new [at, at + length) agrees with old `source` on (nearly)
    // three bytes in four, or more in text.
    bool Covers(int64_t source, uint32_t at, uint32_t length) const {
        if (source < 0 || static_cast<uint64_t>(source) + length > oldSize_) return false;
        int64_t balance = 0;
        for (uint32_t i = 0; i < length; ++i) {
            balance += new_[at + i] == old_[source + i] ? 1 : -weight_;
        }
        return balance * 2 >= length;
    }

  private:
    template <typename Agrees>
    uint32_t Best(uint32_t limit, Agrees agrees) const {
        int64_t balance = 0;
        int64_t best = 0;
        uint32_t bestLength = 0;
        for (uint32_t i = 0; i < limit && balance > best - kGiveUpBelowBest; ++i) {
            balance += agrees(i) ? 1 : -weight_;
            if (balance > best) {
                best = balance;
                bestLength = i + 1;
            }
        }
        return bestLength;
    }

    const uint8_t* old_;
    size_t oldSize_;
    const uint8_t* new_;
    int64_t weight_;
};

// Drops the short exact copies from elsewhere that lie where the alignment
// of the copy before them still agrees well: the stretch stays one
// approximate copy, rather than copies that jump away and back.
// Also drops copies whose instruction costs more than their bytes would as
// literals: a short piece of text found far away in the old file.
std::vector<ExactCopy> KeepAlignment(const std::vector<ExactCopy>& copies,
                                     const Extender& extender) {
    std::vector<ExactCopy> kept;
    for (const ExactCopy& copy : copies) {
        const uint64_t previousEnd = kept.empty() ? 0 : kept.back().source + kept.back().length;
        if (!kept.empty() && copy.length < kShortCopy) {
            const ExactCopy& last = kept.back();
            const int64_t source = int64_t{last.source} - last.at + copy.at;
            if (source != copy.source && extender.Covers(source, copy.at, copy.length)) continue;
        }
        const uint32_t delta = ZigZag(int64_t{copy.source} - static_cast<int64_t>(previousEnd));
        const uint64_t copyEighths = 64 * (1 + VarintSize(copy.length) + VarintSize(delta));
        if (copyEighths > uint64_t{copy.length} * extender.literalEighths()) continue;
        kept.push_back(copy);
    }
    return kept;
}

// Where the forward extension of [at, at + forward) (at old `forwardSource`)
// should hand over to the backward one ending at new `end` (old `backEnd`)
// when they overlap: the split with the most agreeing bytes.
uint32_t Split(const Bytes& oldData, const Bytes& newData, uint32_t at, uint32_t end,
               uint32_t forwardSource, uint32_t backEnd, uint32_t forward, uint32_t backward) {
    const uint32_t room = end - at;
    const uint32_t first = room - backward;  // the overlap: [first, forward) from `at`
    int64_t balance = 0;
    int64_t best = 0;
    uint32_t split = first;
    for (uint32_t i = first; i < forward; ++i) {
        const uint8_t byte = newData[at + i];
        balance += (byte == oldData[forwardSource + i]) - (byte == oldData[backEnd - (room - i)]);
        if (balance > best) {
            best = balance;
            split = i + 1;
        }
    }
    return split;
}

}  // namespace

void EncodeCompactDelta(const Bytes& oldData, const Bytes& newData, CompactStreams* streams,
                        const DeltaEncoderOptions& options) {
    const unsigned threads = std::max(options.threads, 1u);
    const OldFileIndex index(oldData.data(), std::min(oldData.size(), kUsableOldSize), threads,
                             options.indexStep);
    const Extender extender(oldData, newData);
    const std::vector<ExactCopy> copies =
        KeepAlignment(FindExactCopies(index, newData, threads), extender);
    CompactDeltaWriter writer(oldData.data(), newData.data(), streams);
    const uint32_t newSize = static_cast<uint32_t>(newData.size());

    // The gap before each copy (and after the last) between the copies around it.
    uint32_t at = 0;
    const ExactCopy* previous = nullptr;
    for (size_t i = 0; i <= copies.size(); ++i) {
        const ExactCopy* next = i < copies.size() ? &copies[i] : nullptr;
        const uint32_t end = next ? next->at : newSize;
        const uint32_t room = end - at;
        const uint32_t forwardSource = previous ? previous->source + previous->length : 0;
        uint32_t forward = previous ? extender.Forward(forwardSource, at, room) : 0;
        uint32_t backward = next ? extender.Backward(next->source, end, room) : 0;
        // Copies at one alignment around a few differing bytes: one copy.
        const bool aligned = previous && next && uint64_t{forwardSource} + room == next->source;
        if (aligned && forward < room && extender.Bridges(forwardSource, at, room)) {
            forward = room;
            backward = 0;
        }
        if (forward + backward > room) {
            forward =
                Split(oldData, newData, at, end, forwardSource, next->source, forward, backward);
            backward = room - forward;
        }
        if (forward > 0) writer.CopyAdd(forwardSource, at, forward);
        if (room - forward - backward > 0) writer.Literal(at + forward, room - forward - backward);
        if (backward > 0) writer.CopyAdd(next->source - backward, end - backward, backward);
        if (next) writer.Copy(next->source, next->length);
        at = next ? next->at + next->length : newSize;
        previous = next;
    }
    writer.End();
}

}  // namespace pkx::packwriter
