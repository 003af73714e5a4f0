#include "package/writer/delta_index.h"

#include <algorithm>
#include <thread>
#include <utility>

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
// A partition of the build holds the entries of 2^14 groups: their counters
// and entries stay in the caches while it is spread over them.
constexpr int kPartitionBucketBits = 14;
// Groups are sorted by this many bytes at most: positions that agree longer
// are all good matches.
constexpr size_t kSortedLength = 64;
// How far ahead the sort fetches.
constexpr size_t kAhead = 16;
// Up to this many keys are sorted by insertion.
constexpr size_t kInsertionSorted = 16;

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

// The keys of one sort: an entry and 16 bytes of its suffix, big-endian.
template <typename Key>
bool KeyBelow(const Key& a, const Key& b) {
    if (a.high != b.high) return a.high < b.high;
    return a.low != b.low ? a.low < b.low : a.entry < b.entry;
}

template <typename Key>
bool SameKey(const Key& a, const Key& b) {
    return a.high == b.high && a.low == b.low;
}

template <typename Key>
struct SortBuffers {
    std::vector<Key> keyed;
    std::vector<Key> distinct;     // each key once, `entry` its number
    std::vector<uint32_t> slots;   // a hash table of the distinct keys
    std::vector<uint32_t> keyOf;   // the number of each entry's key
    std::vector<uint32_t> places;  // per key number: where its entries go
};

// A few keys, by insertion: their entries in order to `entries`, and
// `tie(first, last)` for each run of equal keys.
template <typename Key, typename Tie>
void SortFew(std::vector<Key>& keyed, uint32_t* entries, Tie tie) {
    const size_t count = keyed.size();
    for (size_t i = 1; i < count; ++i) {
        const Key key = keyed[i];
        size_t j = i;
        for (; j > 0 && KeyBelow(key, keyed[j - 1]); --j) keyed[j] = keyed[j - 1];
        keyed[j] = key;
    }
    for (size_t i = 0; i < count; ++i) entries[i] = keyed[i].entry;
    for (size_t i = 0; i < count;) {
        size_t j = i + 1;
        while (j < count && SameKey(keyed[i], keyed[j])) ++j;
        if (j - i > 1) tie(static_cast<uint32_t>(i), static_cast<uint32_t>(j));
        i = j;
    }
}

// Many keys, in the file's order. Text repeats: a large group holds about
// four entries for each key. Equal keys are gathered in a hash table first
// and only the distinct ones sorted; each key's entries then go after those
// of the keys below it, in the order they came.
template <typename Key, typename Tie>
void SortMany(SortBuffers<Key>& buffers, uint32_t* entries, Tie tie) {
    const std::vector<Key>& keyed = buffers.keyed;
    std::vector<Key>& distinct = buffers.distinct;
    std::vector<uint32_t>& slots = buffers.slots;
    std::vector<uint32_t>& keyOf = buffers.keyOf;
    std::vector<uint32_t>& places = buffers.places;
    const size_t count = keyed.size();
    const int slotBits = BitsFor(2 * count);  // at most half full
    slots.assign(size_t{1} << slotBits, 0);
    distinct.clear();
    keyOf.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const Key& key = keyed[i];
        size_t slot = ((key.high * 0x9E3779B97F4A7C15ull) ^ key.low) * 0xC2B2AE3D27D4EB4Full >>
                      (64 - slotBits);
        while (slots[slot] != 0 && !SameKey(distinct[slots[slot] - 1], key)) {
            slot = (slot + 1) & (slots.size() - 1);
        }
        if (slots[slot] == 0) {
            distinct.push_back(Key{key.high, key.low, static_cast<uint32_t>(distinct.size())});
            slots[slot] = static_cast<uint32_t>(distinct.size());
        }
        keyOf[i] = slots[slot] - 1;
    }
    places.assign(distinct.size(), 0);
    for (size_t i = 0; i < count; ++i) ++places[keyOf[i]];
    std::sort(distinct.begin(), distinct.end(), KeyBelow<Key>);
    uint32_t place = 0;
    for (const Key& key : distinct) place += std::exchange(places[key.entry], place);
    for (size_t i = 0; i < count; ++i) entries[places[keyOf[i]]++] = keyed[i].entry;
    place = 0;
    for (const Key& key : distinct) {
        const uint32_t next = places[key.entry];
        if (next - place > 1) tie(place, next);
        place = next;
    }
}

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
    Build(size >= kParallelIndexSize ? std::max(threads, 1u) : 1);
    sortState_.reset(new std::atomic<uint8_t>[buckets]());
    FindRuns();
}

uint64_t OldFileIndex::MemoryFor(size_t size) {
    const size_t samples = SampleCount(size, StepFor(size));
    const uint64_t buckets = uint64_t{1} << BucketBitsFor(samples);
    // The entries (4 bytes a sample), the groups' starts and states (5 bytes
    // a group), and while the index is built 2 bytes a sample more.
    return 6 * uint64_t{samples} + 5 * buckets;
}

// Runs `work(part, parts)` for every part, each on a thread of its own.
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

// Groups are filled in two passes over the file so that no pass writes at
// random places of a table larger than the caches: the entries are first
// put in partitions of 2^kPartitionBucketBits groups, in file order, and
// each partition is then spread over its groups. The parts of each
// pass split the samples or the partitions, so that the index is the same
// for any number of parts: each group's entries in file order.
void OldFileIndex::Build(unsigned parts) {
    const int partitionBits = std::max(bucketBits_ - kPartitionBucketBits, 0);
    const size_t partitions = size_t{1} << partitionBits;
    const int fineBits = bucketBits_ - partitionBits;
    // cursors[part][p]: where the part's next entry of partition p goes.
    std::vector<std::vector<uint32_t>> cursors(parts, std::vector<uint32_t>(partitions, 0));
    auto forEachSample = [this, fineBits](unsigned part, unsigned parts, auto visit) {
        const size_t end = samples_ * (part + 1) / parts;
        for (size_t sample = samples_ * part / parts; sample < end; ++sample) {
            const size_t position = sample * step_;
            const uint64_t hash = Hash(LoadGram(data_ + position));
            if (!Indexed(position)) continue;
            const size_t bucket = BucketOf(hash);
            visit(bucket >> fineBits, static_cast<uint16_t>(bucket & ((size_t{1} << fineBits) - 1)),
                  static_cast<uint32_t>(sample << tagBits_) | TagOf(hash));
        }
    };
    InParts(parts, [&](unsigned part, unsigned count) {
        uint32_t* counts = cursors[part].data();
        forEachSample(part, count, [counts](size_t p, uint16_t, uint32_t) { ++counts[p]; });
    });
    std::vector<uint32_t> partitionStarts(partitions + 1, 0);
    uint32_t total = 0;
    for (size_t p = 0; p < partitions; ++p) {
        partitionStarts[p] = total;
        for (unsigned part = 0; part < parts; ++part) {
            total += std::exchange(cursors[part][p], total);
        }
    }
    partitionStarts[partitions] = total;
    entries_.resize(total);
    std::vector<uint16_t> fine(total);
    InParts(parts, [&](unsigned part, unsigned count) {
        uint32_t* next = cursors[part].data();
        forEachSample(part, count, [&](size_t p, uint16_t low, uint32_t entry) {
            fine[next[p]] = low;
            entries_[next[p]++] = entry;
        });
    });
    InParts(parts, [&](unsigned part, unsigned count) {
        std::vector<uint32_t> scratch;
        for (size_t p = partitions * part / count; p < partitions * (part + 1) / count; ++p) {
            const uint32_t first = partitionStarts[p];
            const uint32_t last = partitionStarts[p + 1];
            uint32_t* groupEnds = &starts_[p << fineBits];
            for (uint32_t i = first; i < last; ++i) ++groupEnds[fine[i]];
            // Each group's end; filling from the end of each group brings it
            // back to the group's start.
            uint32_t end = first;
            for (size_t b = 0; b < size_t{1} << fineBits; ++b) groupEnds[b] = end += groupEnds[b];
            scratch.assign(entries_.begin() + first, entries_.begin() + last);
            for (uint32_t i = last; i-- > first;) {
                entries_[--groupEnds[fine[i]]] = scratch[i - first];
            }
        }
    });
    starts_[size_t{1} << bucketBits_] = total;
}

// A large group is sorted when it is first searched, by whichever thread
// comes first; the others wait for it. Sorting every group up front would
// cost more than all the searches of a typical update.
const uint32_t* OldFileIndex::SortedGroup(size_t bucket) const {
    std::atomic<uint8_t>& state = sortState_[bucket];
    if (state.load(std::memory_order_acquire) != kSorted) {
        uint8_t unsorted = kUnsorted;
        if (state.compare_exchange_strong(unsorted, kSorting, std::memory_order_acquire)) {
            SortFrom(entries_.data() + starts_[bucket], entries_.data() + starts_[bucket + 1], 0);
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
    if (position + 16 <= size_) {
        return KeyedEntry{__builtin_bswap64(LoadGram(data_ + position)),
                          __builtin_bswap64(LoadGram(data_ + position + 8)), entry};
    }
    uint8_t bytes[16] = {};
    if (position < size_)
        std::memcpy(bytes, data_ + position, std::min<size_t>(16, size_ - position));
    return KeyedEntry{__builtin_bswap64(LoadGram(bytes)), __builtin_bswap64(LoadGram(bytes + 8)),
                      entry};
}

// Sorts by 16 bytes at a time: each entry's next 16 bytes are read once into
// a key beside it, and only entries that share all keys so far are sorted on
// the next ones. The entries of [begin, end) come in the file's order, which
// equal keys keep.
void OldFileIndex::SortFrom(uint32_t* begin, uint32_t* end, size_t offset) const {
    // One set for each 16 bytes of kSortedLength: a level's keys stay while
    // the levels below sort its ties.
    thread_local SortBuffers<KeyedEntry> levels[kSortedLength / 16];
    SortBuffers<KeyedEntry>& buffers = levels[offset / 16];
    std::vector<KeyedEntry>& keyed = buffers.keyed;
    const size_t count = static_cast<size_t>(end - begin);
    keyed.resize(count);
    for (size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) __builtin_prefetch(data_ + PositionOf(begin[i + kAhead]) + offset);
        keyed[i] = KeyOf(begin[i], offset);
    }
    auto tie = [&](uint32_t first, uint32_t last) {
        if (offset + 16 < kSortedLength) SortFrom(begin + first, begin + last, offset + 16);
    };
    if (count <= kInsertionSorted) {
        SortFew(keyed, begin, tie);
    } else {
        SortMany(buffers, begin, tie);
    }
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

// A run of kGramSize bytes or more holds a whole aligned block of 4 bytes:
// only the blocks of one byte are looked at closer.
void OldFileIndex::FindRuns() {
    for (size_t block = 0; block + 4 <= size_; block += 4) {
        uint32_t word;
        std::memcpy(&word, data_ + block, sizeof word);
        if (word != (word & 0xFF) * 0x01010101u) continue;
        const uint8_t byte = data_[block];
        size_t start = block;
        while (start > 0 && data_[start - 1] == byte) --start;
        size_t end = block + 4;
        while (end < size_ && data_[end] == byte) ++end;
        Run& longest = runs_[byte];
        if (end - start >= kGramSize && end - start > longest.length) {
            longest = Run{start, end - start};
        }
        block = (end - 1) / 4 * 4;
    }
}

}  // namespace pkx::packwriter
