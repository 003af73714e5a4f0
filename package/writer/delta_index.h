// An index of the old file for the difference encoder: for a place in the new
// file, the old positions whose bytes agree longest with it.
//
// Positions are sampled every `step()` bytes (1 for files up to 4 MiB, 2 up
// to 64 MiB, then doubling, so that the index holds at most 32 million
// samples of about 8 bytes each), so that every match of at least
// 7 + step() bytes holds an indexed position; the encoder looks up the
// positions of a step and extends each hit in both directions to the match's
// real ends. The samples are grouped by a hash of their first 8 bytes; a large
// group is sorted by the bytes that follow (a suffix array in small pieces),
// so that among many occurrences of the same 8 bytes a binary search
// finds the one that agrees longest. Inside a run of one byte only the run's
// first sample is indexed; the longest run of each byte value is kept apart.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace pkx::packwriter {

inline constexpr size_t kGramSize = 8;

inline uint64_t LoadGram(const uint8_t* data) {
    uint64_t gram;
    std::memcpy(&gram, data, sizeof gram);
    return gram;
}

// Equal bytes at `a` and `b`, at most `limit`.
size_t CountEqual(const uint8_t* a, const uint8_t* b, size_t limit);

class OldFileIndex {
  public:
    // Indexes `data` (`size` bytes, which must outlive the index) with up to
    // `threads` threads, every `step` bytes (0: by the size).
    OldFileIndex(const uint8_t* data, size_t size, unsigned threads, uint32_t step = 0);

    // Bytes the index of an old file of `size` bytes takes.
    static uint64_t MemoryFor(size_t size);

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    uint32_t step() const { return step_; }

    // Calls `visit(position)` for the indexed old positions that agree
    // longest with `text` (`length` bytes, at least kGramSize): every
    // position of a small group that starts with the same 8 bytes, or the two
    // neighbours of `text` in the order of a large one.
    template <typename Visit>
    void ForEachCandidate(const uint8_t* text, size_t length, Visit visit) const {
        const uint64_t gram = LoadGram(text);
        const uint64_t hash = Hash(gram);
        const size_t bucket = BucketOf(hash);
        const uint32_t* first = entries_.data() + starts_[bucket];
        const uint32_t* last = entries_.data() + starts_[bucket + 1];
        if (last - first <= kScannedGroup) {
            const uint32_t tag = TagOf(hash);
            for (const uint32_t* entry = first; entry != last; ++entry) {
                if ((*entry & tagMask_) == tag) visit(PositionOf(*entry));
            }
            return;
        }
        first = SortedGroup(bucket);
        const uint32_t* upper = UpperBound(first, last, text, length);
        if (upper != last) visit(PositionOf(*upper));
        if (upper != first) visit(PositionOf(upper[-1]));
    }

    // Asks the memory for the group of `text` (kGramSize bytes): `level` 0
    // for where the group starts, 1 for its entries once that is known.
    void Prefetch(const uint8_t* text, int level) const {
        const size_t bucket = BucketOf(Hash(LoadGram(text)));
        if (level == 0) {
            __builtin_prefetch(&starts_[bucket]);
        } else {
            __builtin_prefetch(entries_.data() + starts_[bucket]);
        }
    }

    // The longest run of `byte` in the old file (at least kGramSize long),
    // or a length of 0.
    struct Run {
        size_t start = 0;
        size_t length = 0;
    };
    const Run& LongestRun(uint8_t byte) const { return runs_[byte]; }

  private:
    // Groups up to this size are scanned rather than searched.
    static constexpr ptrdiff_t kScannedGroup = 4;

    static uint64_t Hash(uint64_t gram) { return gram * 0x9E3779B97F4A7C15ull; }
    size_t BucketOf(uint64_t hash) const { return static_cast<size_t>(hash >> (64 - bucketBits_)); }
    uint32_t TagOf(uint64_t hash) const {
        return static_cast<uint32_t>(hash >> (64 - bucketBits_ - tagBits_)) & tagMask_;
    }
    // An entry is the sample number above the tag bits.
    size_t PositionOf(uint32_t entry) const { return size_t{entry >> tagBits_} * step_; }

    const uint32_t* UpperBound(const uint32_t* first, const uint32_t* last, const uint8_t* text,
                               size_t length) const;
    bool Indexed(size_t position) const;
    void Build(unsigned parts);
    const uint32_t* SortedGroup(size_t bucket) const;
    struct KeyedEntry {
        uint64_t high;
        uint64_t low;
        uint32_t entry;
    };
    KeyedEntry KeyOf(uint32_t entry, size_t offset) const;
    void SortFrom(uint32_t* begin, uint32_t* end, size_t offset) const;
    template <typename Work>
    void InParts(unsigned parts, Work work);
    void FindRuns();

    const uint8_t* data_;
    size_t size_;
    uint32_t step_ = 1;
    size_t samples_ = 0;
    int bucketBits_ = 0;
    int tagBits_ = 0;
    uint32_t tagMask_ = 0;
    // Group b holds entries_[starts_[b], starts_[b + 1]).
    std::vector<uint32_t> starts_;
    mutable std::vector<uint32_t> entries_;
    // Per group: kUnsorted, kSorting or kSorted (only large groups are sorted).
    static constexpr uint8_t kUnsorted = 0;
    static constexpr uint8_t kSorting = 1;
    static constexpr uint8_t kSorted = 2;
    std::unique_ptr<std::atomic<uint8_t>[]> sortState_;
    Run runs_[256];
};

}  // namespace pkx::packwriter
