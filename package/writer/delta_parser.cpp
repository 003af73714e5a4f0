#include "package/writer/delta_parser.h"

#include <algorithm>
#include <array>

namespace pkx::packwriter {

namespace {

constexpr uint32_t kUnreached = 0x3FFFFFFF;
// A match that reaches this far past the position being parsed is taken
// without looking further: no choice before its end can beat it by much.
constexpr size_t kTakeAtOnce = 256;
// Shorter matches never pay for a copy.
constexpr size_t kShortestMatch = 5;
// Other alignments are not looked for once a match reaches this far.
constexpr size_t kLongEnough = 64;
// The programme commits its choice at least this often, which bounds its memory.
constexpr size_t kLongestSegment = size_t{1} << 16;
constexpr size_t kMostOpenMatches = 8;
constexpr size_t kRecentDeltas = 4;
constexpr size_t kFetchAhead = 4;
// After this many lookups in a row found nothing, only every third position
// is looked up until one does. A match that pays for a copy inside literal
// data is long enough to be found all the same, and a stride prime to the
// sampling step meets every alignment.
constexpr uint32_t kMissesBeforeSkipping = 32;
constexpr size_t kSkippedLookUps = 2;

// Equal bytes before `a` and `b`, at most `limit`.
size_t CountEqualBefore(const uint8_t* a, const uint8_t* b, size_t limit) {
    size_t n = 0;
    while (n < limit && a[-1 - static_cast<ptrdiff_t>(n)] == b[-1 - static_cast<ptrdiff_t>(n)]) ++n;
    return n;
}

bool IsRun(uint64_t gram) { return gram == (gram & 0xFF) * 0x0101010101010101ull; }

// A stretch of the new file that equals the old file at `delta` bytes
// further on, with the cheapest place so far to start copying it.
struct OpenMatch {
    size_t begin;
    size_t end;
    int64_t delta;
    uint32_t startCost;
    size_t start;
};

class ChunkParser {
  public:
    ChunkParser(const OldFileIndex& index, const uint8_t* newData, size_t newSize, size_t begin,
                size_t end)
        : index_(index),
          old_(index.data()),
          oldSize_(index.size()),
          new_(newData),
          newSize_(newSize),
          end_(end),
          cover_(begin) {
        StartSegment(begin, true);
    }

    std::vector<DeltaPiece> Parse() {
        size_t position = base_;
        for (;;) {
            SettleCopiesEndingAt(position);
            if (position == end_) break;
            NoteStartCost(position);
            FetchAhead(position);
            if (position >= cover_) FindMatches(position);
            if (cover_ >= position + kTakeAtOnce && FarthestStarted()) {
                position = TakeFarthest();
                continue;
            }
            if (position - base_ >= kLongestSegment) Commit(position);
            StepLiteral(position);
            ++position;
        }
        Commit(end_);
        return std::move(pieces_);
    }

  private:
    // --- The programme over the positions of one segment [base_, ...).

    void StartSegment(size_t position, bool afterCopy) {
        base_ = position;
        copyCost_.assign(1, afterCopy ? 0 : kUnreached);
        literalCost_.assign(1, afterCopy ? kUnreached : 0);
        copyStart_.assign(1, 0);
        copySource_.assign(1, 0);
        runStart_.assign(1, 0);
    }

    uint32_t Cost(size_t position) const {
        const size_t j = position - base_;
        return std::min(copyCost_[j], literalCost_[j]);
    }

    void StepLiteral(size_t position) {
        const size_t j = position - base_;
        const uint32_t continued = literalCost_[j] + 1;
        const uint32_t started = copyCost_[j] + kLiteralRunCost + 1;
        literalCost_.push_back(std::min(continued, started));
        runStart_.push_back(started < continued);
        copyCost_.push_back(kUnreached);
        copyStart_.push_back(0);
        copySource_.push_back(0);
    }

    void NoteStartCost(size_t position) {
        const uint32_t cost = Cost(position);
        for (OpenMatch& match : open_) {
            if (cost < match.startCost && position >= match.begin) {
                match.startCost = cost;
                match.start = position;
            }
        }
    }

    void SettleCopiesEndingAt(size_t position) {
        const size_t j = position - base_;
        for (size_t i = 0; i < open_.size();) {
            const OpenMatch& match = open_[i];
            if (match.end != position) {
                ++i;
                continue;
            }
            const uint32_t cost = match.startCost + kCopyCost;
            if (cost < copyCost_[j]) {
                copyCost_[j] = cost;
                copyStart_[j] = static_cast<uint32_t>(match.start - base_);
                copySource_[j] =
                    static_cast<uint32_t>(static_cast<int64_t>(match.start) + match.delta);
            }
            open_[i] = open_.back();
            open_.pop_back();
        }
    }

    const OpenMatch& Farthest() const {
        const OpenMatch* farthest = &open_[0];
        for (const OpenMatch& match : open_) {
            if (match.end > farthest->end) farthest = &match;
        }
        return *farthest;
    }

    // A match found ahead of the position being parsed has no start yet.
    bool FarthestStarted() const { return Farthest().startCost != kUnreached; }

    // The farthest match reaches far enough to be taken: the choice up to
    // its cheapest start is final, and a new segment starts at its end.
    size_t TakeFarthest() {
        const OpenMatch taken = Farthest();
        const size_t j = taken.start - base_;
        EmitPath(taken.start, copyCost_[j] <= literalCost_[j]);
        Append(DeltaPiece{static_cast<uint32_t>(taken.end - taken.start),
                          static_cast<uint32_t>(static_cast<int64_t>(taken.start) + taken.delta),
                          true});
        open_.clear();
        StartSegment(taken.end, true);
        return taken.end;
    }

    // Makes the cheaper state at `position` final and starts a segment there.
    void Commit(size_t position) {
        const size_t j = position - base_;
        const bool afterCopy = copyCost_[j] <= literalCost_[j];
        EmitPath(position, afterCopy);
        StartSegment(position, afterCopy);
        for (OpenMatch& match : open_) {
            if (match.begin > position) continue;
            match.startCost = 0;
            match.start = position;
        }
    }

    // Walks the choices back from `position` to the segment's start and
    // appends the pieces in order.
    void EmitPath(size_t position, bool afterCopy) {
        path_.clear();
        size_t j = position - base_;
        while (j > 0) {
            if (afterCopy) {
                const size_t start = copyStart_[j];
                path_.push_back(DeltaPiece{static_cast<uint32_t>(j - start), copySource_[j], true});
                j = start;
                afterCopy = copyCost_[j] <= literalCost_[j];
                continue;
            }
            size_t k = j;
            while (k > 0 && runStart_[k] == 0) --k;
            const size_t runBegin = k == 0 ? 0 : k - 1;
            path_.push_back(DeltaPiece{static_cast<uint32_t>(j - runBegin), 0, false});
            j = runBegin;
            afterCopy = true;
        }
        for (auto piece = path_.rbegin(); piece != path_.rend(); ++piece) Append(*piece);
    }

    // Adds a piece, joining it to the last one where one instruction can do both.
    void Append(const DeltaPiece& piece) {
        if (!pieces_.empty()) {
            DeltaPiece& last = pieces_.back();
            if (!piece.copy && !last.copy) {
                last.length += piece.length;
                return;
            }
            if (piece.copy && last.copy && uint64_t{last.source} + last.length == piece.source) {
                last.length += piece.length;
                return;
            }
        }
        pieces_.push_back(piece);
    }

    // --- Finding matches.

    // The index is searched next at the end of the matches known (or, past
    // them, at the next positions): its groups there are fetched from memory
    // while the positions before are parsed, the group's start first, then
    // its entries.
    void FetchAhead(size_t position) {
        if (cover_ > position) {
            if (cover_ - position == kFetchAhead) Prefetch(cover_, 1);
            return;
        }
        const size_t stride = misses_ > kMissesBeforeSkipping ? kSkippedLookUps + 1 : 1;
        Prefetch(position + 2 * kFetchAhead * stride, 0);
        Prefetch(position + kFetchAhead * stride, 1);
    }

    void Prefetch(size_t position, int level) const {
        if (position < newSize_ && newSize_ - position >= kGramSize) {
            index_.Prefetch(new_ + position, level);
        }
    }

    void FindMatches(size_t position) {
        found_ = false;
        farthestDelta_ = 0;
        farthestEnd_ = position;
        if (newSize_ - position >= kGramSize) {
            const uint64_t gram = LoadGram(new_ + position);
            if (IsRun(gram)) TryRun(position, static_cast<uint8_t>(gram));
        }
        for (size_t i = 0; i < recentCount_; ++i) TryDelta(position, recent_[i]);
        const bool lookUp = position >= nextLookUp_ && farthestEnd_ - position < kTakeAtOnce &&
                            newSize_ - position >= kGramSize;
        if (lookUp) LookUpAlignments(position);
        if (found_) {
            Remember(farthestDelta_);
            misses_ = 0;
        } else if (lookUp) {
            ++misses_;
            nextLookUp_ = position + (misses_ > kMissesBeforeSkipping ? kSkippedLookUps + 1 : 1);
        }
    }

    // A run of one byte in the new file, copied from the old file's longest
    // run of that byte.
    void TryRun(size_t position, uint8_t byte) {
        const OldFileIndex::Run& run = index_.LongestRun(byte);
        if (run.length == 0) return;
        size_t ahead = 0;
        while (position + ahead < end_ && new_[position + ahead] == byte) ++ahead;
        size_t behind = 0;
        while (position - behind > base_ && new_[position - behind - 1] == byte) ++behind;
        const size_t forward = std::min(ahead, run.length);
        const size_t backward = std::min(behind, run.length - forward);
        const int64_t delta =
            static_cast<int64_t>(run.start + backward) - static_cast<int64_t>(position);
        Offer(position - backward, position + forward, delta);
    }

    void TryDelta(size_t position, int64_t delta) {
        const int64_t source = static_cast<int64_t>(position) + delta;
        if (source < 0 || static_cast<uint64_t>(source) >= oldSize_ || KnownAt(position, delta))
            return;
        const size_t at = static_cast<size_t>(source);
        const size_t forward =
            CountEqual(new_ + position, old_ + at, std::min(end_ - position, oldSize_ - at));
        if (forward == 0) return;
        const size_t backward =
            CountEqualBefore(new_ + position, old_ + at, std::min(position - base_, at));
        if (forward + backward >= kShortestMatch) {
            Offer(position - backward, position + forward, delta);
        }
    }

    // The index holds every step()-th old position: a match found here may
    // have a better rival whose indexed position lies a little further on.
    // Those are looked up too (extended back to here) unless what was found
    // is long already; without a match, the next position comes next anyway.
    void LookUpAlignments(size_t position) {
        size_t last = position;
        while (last + 1 < position + index_.step() && last + 1 < end_ &&
               newSize_ - (last + 1) >= kGramSize) {
            ++last;
        }
        for (size_t next = position + 1; next <= last; ++next) Prefetch(next, 0);
        LookUp(position);
        if (!found_ || farthestEnd_ - position >= kLongEnough) return;
        for (size_t next = position + 1; next <= last; ++next) Prefetch(next, 1);
        for (size_t next = position + 1; next <= last; ++next) LookUp(next);
    }

    void LookUp(size_t position) {
        const uint64_t gram = LoadGram(new_ + position);
        index_.ForEachCandidate(new_ + position, newSize_ - position, [&](size_t candidate) {
            const int64_t delta = static_cast<int64_t>(candidate) - static_cast<int64_t>(position);
            if (LoadGram(old_ + candidate) != gram || KnownAt(position, delta)) return;
            const size_t limit = std::min(end_ - position, oldSize_ - candidate);
            const size_t forward = CountEqual(new_ + position, old_ + candidate, limit);
            const size_t backward = CountEqualBefore(new_ + position, old_ + candidate,
                                                     std::min(position - base_, candidate));
            if (forward > 0 && forward + backward >= kShortestMatch) {
                Offer(position - backward, position + forward, delta);
            }
        });
    }

    // True when an open match already follows this alignment over `position`.
    bool KnownAt(size_t position, int64_t delta) const {
        for (const OpenMatch& match : open_) {
            if (match.delta == delta && match.begin <= position && position < match.end)
                return true;
        }
        return false;
    }

    // Opens a match unless an open one makes it useless; the cheapest start
    // of what lies behind the current position is found by looking back.
    void Offer(size_t begin, size_t end, int64_t delta) {
        uint32_t startCost = kUnreached;
        size_t start = begin;
        const size_t parsed = base_ + copyCost_.size() - 1;
        for (size_t p = begin; p <= parsed; ++p) {
            const uint32_t cost = Cost(p);
            if (cost < startCost) {
                startCost = cost;
                start = p;
            }
        }
        for (size_t i = 0; i < open_.size();) {
            const OpenMatch& match = open_[i];
            if (match.end >= end && match.startCost <= startCost) return;
            if (match.end <= end && match.startCost >= startCost) {
                open_[i] = open_.back();
                open_.pop_back();
            } else {
                ++i;
            }
        }
        if (open_.size() == kMostOpenMatches) {
            auto nearest = std::min_element(
                open_.begin(), open_.end(),
                [](const OpenMatch& a, const OpenMatch& b) { return a.end < b.end; });
            if (nearest->end >= end) return;
            *nearest = open_.back();
            open_.pop_back();
        }
        open_.push_back(OpenMatch{begin, end, delta, startCost, start});
        if (end > cover_) {
            cover_ = end;
            Prefetch(cover_, 0);
        }
        if (end > farthestEnd_) {
            farthestEnd_ = end;
            farthestDelta_ = delta;
        }
        found_ = true;
    }

    void Remember(int64_t delta) {
        size_t i = 0;
        while (i < recentCount_ && recent_[i] != delta) ++i;
        if (i == recentCount_ && recentCount_ < kRecentDeltas) ++recentCount_;
        for (i = std::min(i, kRecentDeltas - 1); i > 0; --i) recent_[i] = recent_[i - 1];
        recent_[0] = delta;
    }

    const OldFileIndex& index_;
    const uint8_t* old_;
    const size_t oldSize_;
    const uint8_t* new_;
    const size_t newSize_;
    const size_t end_;

    // Positions below cover_ lie inside a match found already.
    size_t cover_;
    std::vector<OpenMatch> open_;
    std::array<int64_t, kRecentDeltas> recent_ = {};
    size_t recentCount_ = 1;  // the same offset in both files comes first
    bool found_ = false;
    uint32_t misses_ = 0;
    size_t nextLookUp_ = 0;
    int64_t farthestDelta_ = 0;
    size_t farthestEnd_ = 0;

    size_t base_ = 0;
    std::vector<uint32_t> copyCost_;
    std::vector<uint32_t> literalCost_;
    std::vector<uint32_t> copyStart_;
    std::vector<uint32_t> copySource_;
    std::vector<uint8_t> runStart_;

    std::vector<DeltaPiece> path_;
    std::vector<DeltaPiece> pieces_;
};

}  // namespace

std::vector<DeltaPiece> ParseDelta(const OldFileIndex& index, const uint8_t* newData,
                                   size_t newSize, size_t begin, size_t end) {
    return ChunkParser(index, newData, newSize, begin, end).Parse();
}

}  // namespace pkx::packwriter
