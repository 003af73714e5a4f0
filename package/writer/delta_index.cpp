#include "package/writer/delta_index.h"

#include <algorithm>
#include <thread>

namespace pkx::packwriter {

namespace {

// Above this many samples the step doubles. A finer index costs memory and
// time to build, a coarser one more lookups where files differ (one for each
// position of a step where a match is found): for executables, 32 million
// samples are about the cheapest. An entry holds a sample number and a tag
// in 32 bits.
constexpr size_t kMostSamples = size_t{1} << 25;
// Above this size every second position is indexed: building and sorting
// the index take half the time, and files this large (scripts, executables)
// lose about 0.1 % of their stream's size to the matches of 8 bytes it misses.
constexpr size_t kDenseIndexSize = size_t{4} << 20;
// Files smaller than this are indexed by one thread.
constexpr size_t kParallelIndexSize = size_t{4} << 20;
// Groups are sorted by this many bytes at most: positions that agree longer
// are all good matches.
constexpr size_t kSortedLength = 64;
// How far ahead the table building passes fetch.
constexpr size_t kAhead = 16;

uint32_t StepFor(size_t size) {
    uint32_t step = size > kDenseIndexSize ? 2 : 1;
    while (size / step > kMostSamples) step *= 2;
    return step;
}

size_t SampleCount(size_t size, uint32_t step) {
    return size < kGramSize ? 0 : (size - kGramSize) / step + 1;
}

int BitsFor(size_t count) {
    int bits = 0;
    while ((size_t{1} << bits) < count) ++bits;
    return bits;
}

// About two samples a group.
int BucketBitsFor(size_t samples) { return std::max(BitsFor(samples) - 1, 8); }

bool IsRun(uint64_t gram) { return gram == (gram & 0xFF) * 0x0101010101010101ull; }

}  // namespace

size_t CountEqual(const uint8_t* a, const uint8_t* b, size_t limit) {
    size_t n = 0;
    for (; n + kGramSize <= limit; n += kGramSize) {
        const uint64_t difference = LoadGram(a + n) ^ LoadGram(b + n);
        if (difference != 0) return n + static_cast<size_t>(__builtin_ctzll(difference)) / 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

OldFileIndex::OldFileIndex(const uint8_t* data, size_t size, unsigned threads, uint32_t step)
    : data_(data),
      size_(size),
      step_(step != 0 ? step : StepFor(size)),
      samples_(SampleCount(size, step_)) {
    bucketBits_ = BucketBitsFor(samples_);
    // The bits an entry does not need for its sample number hold a tag of
    // the hash, which rules out most other grams of a group unread.
    tagBits_ = std::min(32 - BitsFor(samples_), 16);
    tagMask_ = (uint32_t{1} << tagBits_) - 1;
    const size_t buckets = size_t{1} << bucketBits_;
    starts_.assign(buckets + 1, 0);
    const unsigned parts = size >= kParallelIndexSize ? std::max(threads, 1u) : 1;
    InParts(parts, [this](unsigned part, unsigned count) { CountPart(part, count); });
    // starts_[b] becomes the end of group b; filling from the end of each
    // group brings it back to the group's start.
    for (size_t bucket = 1; bucket < buckets; ++bucket) starts_[bucket] += starts_[bucket - 1];
    starts_[buckets] = starts_[buckets - 1];
    entries_.resize(starts_[buckets]);
    InParts(parts, [this](unsigned part, unsigned count) { FillPart(part, count); });
    sortState_.reset(new std::atomic<uint8_t>[buckets]());
    FindRuns();
}

uint64_t OldFileIndex::MemoryFor(size_t size) {
    const size_t samples = SampleCount(size, StepFor(size));
    const uint64_t buckets = uint64_t{1} << BucketBitsFor(samples);
    return 4 * (samples + buckets) + buckets;
}

// Runs `work(part, parts)` for every part, each on a thread of its own; the
// parts split the groups, so the result is the same for any number of parts.
template <typename Work>
void OldFileIndex::InParts(unsigned parts, Work work) {
    std::vector<std::thread> helpers;
    for (unsigned part = 1; part < parts; ++part) helpers.emplace_back(work, part, parts);
    work(0, parts);
    for (std::thread& helper : helpers) helper.join();
}

// Inside a run of one byte only the run's first sample is indexed.
bool OldFileIndex::Indexed(size_t position) const {
    const uint64_t gram = LoadGram(data_ + position);
    return position < step_ || !IsRun(gram) || LoadGram(data_ + position - step_) != gram;
}

// Both passes write at random places of large tables; the places a few
// samples ahead are fetched early so that the waits overlap.
void OldFileIndex::CountPart(unsigned part, unsigned parts) {
    for (size_t sample = 0; sample < samples_; ++sample) {
        if (sample + kAhead < samples_) {
            __builtin_prefetch(&starts_[BucketAt(sample + kAhead)], 1);
        }
        const size_t bucket = BucketAt(sample);
        if ((bucket * parts >> bucketBits_) == part && Indexed(sample * step_)) ++starts_[bucket];
    }
}

void OldFileIndex::FillPart(unsigned part, unsigned parts) {
    for (size_t sample = samples_; sample-- > 0;) {
        if (sample >= kAhead) __builtin_prefetch(&starts_[BucketAt(sample - kAhead)], 1);
        if (sample >= kAhead / 2) {
            const uint32_t end = starts_[BucketAt(sample - kAhead / 2)];
            if (end > 0) __builtin_prefetch(&entries_[end - 1], 1);
        }
        const size_t position = sample * step_;
        const uint64_t hash = Hash(LoadGram(data_ + position));
        const size_t bucket = BucketOf(hash);
        if ((bucket * parts >> bucketBits_) != part || !Indexed(position)) continue;
        entries_[--starts_[bucket]] = static_cast<uint32_t>(sample << tagBits_) | TagOf(hash);
    }
}

// A large group is sorted when it is first searched, by whichever thread
// comes first; the others wait for it. Sorting every group up front would
// cost more than all the searches of a typical update.
const uint32_t* OldFileIndex::SortedGroup(size_t bucket) const {
    std::atomic<uint8_t>& state = sortState_[bucket];
    if (state.load(std::memory_order_acquire) != kSorted) {
        uint8_t unsorted = kUnsorted;
        if (state.compare_exchange_strong(unsorted, kSorting, std::memory_order_acquire)) {
            thread_local std::vector<KeyedEntry> keyed;
            SortFrom(entries_.data() + starts_[bucket], entries_.data() + starts_[bucket + 1], 0,
                     &keyed);
            state.store(kSorted, std::memory_order_release);
        } else {
            while (state.load(std::memory_order_acquire) != kSorted) std::this_thread::yield();
        }
    }
    return entries_.data() + starts_[bucket];
}

// The 16 bytes at `offset` in the entry's suffix, big-endian, zeros past the
// end of the file.
OldFileIndex::KeyedEntry OldFileIndex::KeyOf(uint32_t entry, size_t offset) const {
    const size_t position = PositionOf(entry) + offset;
    uint8_t bytes[16] = {};
    if (position < size_)
        std::memcpy(bytes, data_ + position, std::min<size_t>(16, size_ - position));
    return KeyedEntry{__builtin_bswap64(LoadGram(bytes)), __builtin_bswap64(LoadGram(bytes + 8)),
                      entry};
}

// Sorts by 16 bytes at a time: each entry's next 16 bytes are read once into
// a key beside it, and only entries that share all keys so far are sorted on
// the next ones.
void OldFileIndex::SortFrom(uint32_t* begin, uint32_t* end, size_t offset,
                            std::vector<KeyedEntry>* keyed) const {
    keyed->clear();
    for (uint32_t* entry = begin; entry != end; ++entry) {
        if (end - entry > static_cast<ptrdiff_t>(kAhead)) {
            __builtin_prefetch(data_ + PositionOf(entry[kAhead]) + offset);
        }
        keyed->push_back(KeyOf(*entry, offset));
    }
    auto sameKey = [](const KeyedEntry& a, const KeyedEntry& b) {
        return a.high == b.high && a.low == b.low;
    };
    // Entries grow with the position: equal keys keep the file's order.
    std::sort(keyed->begin(), keyed->end(), [](const KeyedEntry& a, const KeyedEntry& b) {
        if (a.high != b.high) return a.high < b.high;
        return a.low != b.low ? a.low < b.low : a.entry < b.entry;
    });
    std::vector<std::pair<size_t, size_t>> ties;
    for (size_t i = 0; i < keyed->size();) {
        size_t j = i + 1;
        while (j < keyed->size() && sameKey((*keyed)[i], (*keyed)[j])) ++j;
        if (j - i > 1) ties.emplace_back(i, j);
        i = j;
    }
    for (size_t i = 0; i < keyed->size(); ++i) begin[i] = (*keyed)[i].entry;
    if (offset + 16 >= kSortedLength) return;
    for (const auto& [first, last] : ties)
        SortFrom(begin + first, begin + last, offset + 16, keyed);
}

const uint32_t* OldFileIndex::UpperBound(const uint32_t* first, const uint32_t* last,
                                         const uint8_t* text, size_t length) const {
    return std::upper_bound(first, last, text, [&](const uint8_t* key, uint32_t entry) {
        const size_t position = PositionOf(entry);
        const size_t limit = std::min({kSortedLength, length, size_ - position});
        const size_t equal = CountEqual(key, data_ + position, limit);
        return equal < limit && key[equal] < data_[position + equal];
    });
}

void OldFileIndex::FindRuns() {
    for (size_t start = 0; start < size_;) {
        size_t end = start + 1;
        while (end < size_ && data_[end] == data_[start]) ++end;
        Run& longest = runs_[data_[start]];
        if (end - start >= kGramSize && end - start > longest.length) {
            longest = Run{start, end - start};
        }
        start = end;
    }
}

}  // namespace pkx::packwriter
