#include "trade_aggregation.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cell.hpp"

namespace ravik {

namespace {

constexpr std::int64_t kMinI64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxI64 = std::numeric_limits<std::int64_t>::max();

// Rows are examined in chunks: first the indices of the chunk's trades are
// collected without a branch, then only trades are aggregated.
constexpr std::size_t kChunkRows = 2048;
// Beyond this many groups a single table stops fitting the caches and every
// row risks a miss; the remaining rows are then partitioned by hash so that
// each partition is aggregated in a small, cache-resident table.
constexpr std::size_t kDirectMaxGroups = std::size_t{1} << 18;
// Partitions aim at roughly this many rows each.
constexpr std::size_t kRowsPerPartition = 16384;
constexpr unsigned kMinPartitionBits = 4;
constexpr unsigned kMaxPartitionBits = 10;

constexpr std::uint64_t as_u64(std::int64_t v) noexcept { return static_cast<std::uint64_t>(v); }

// Full-avalanche hash of the pair: the high bits choose the partition, the low
// bits the slot, and both are well mixed.
inline std::uint64_t hash_pair(std::int64_t window_start, std::int64_t symbol) noexcept {
    std::uint64_t x = as_u64(window_start) * 0x9E3779B97F4A7C15ull + as_u64(symbol);
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return x;
}

// Window start of event times, floor-aligned to multiples of the width. The
// bounds of the current window are kept, so that a time inside it costs one
// subtraction and one comparison instead of a division.
class WindowCursor {
public:
    explicit WindowCursor(std::int64_t width) noexcept : width_(width) {}

    std::int64_t start_for(std::int64_t t) noexcept {
        if (as_u64(t) - as_u64(lo_) > span_) move_to(t);
        return start_;
    }

private:
    void move_to(std::int64_t t) noexcept {
        std::int64_t r = t % width_;
        if (r < 0) r += width_;  // floor remainder: 0 <= r < width
        start_ = wrapping_sub(t, r);  // wraps only for windows reaching below the 64-bit range
        // [lo_, lo_ + span_] is the window's part inside the 64-bit range.
        const std::uint64_t room_below = as_u64(t) - as_u64(kMinI64);
        lo_ = room_below < as_u64(r) ? kMinI64 : t - r;
        const std::int64_t rest = width_ - 1 - r;
        const std::uint64_t room_above = as_u64(kMaxI64) - as_u64(t);
        const std::int64_t hi = room_above < as_u64(rest) ? kMaxI64 : t + rest;
        span_ = as_u64(hi) - as_u64(lo_);
    }

    std::int64_t width_;
    // Starts as the window holding t = 0 alone; its start, 0, is right for any width.
    std::int64_t start_ = 0;
    std::int64_t lo_ = 0;
    std::uint64_t span_ = 0;
};

// Open-addressing table of groups keyed by the exact (window start, symbol)
// pair, probed sixteen slots at a time: one control byte per slot holds 0x80
// for an empty slot or eight bits of the key's hash, and a group of sixteen
// control bytes is compared against the wanted tag at once. A lookup then
// costs one predictable branch in the common case instead of one per probed
// slot. Groups are never removed, so there are no tombstones. At most 7/8 full.
class GroupTable {
public:
    void reset(std::size_t expected_groups) {
        std::size_t capacity = kGroupWidth;
        while (capacity / 8 * 7 < expected_groups) capacity <<= 1;
        if (capacity != capacity_) allocate(capacity);
        std::fill(ctrl_.begin(), ctrl_.end(), ControlGroup::empty());
        size_ = 0;
    }

    std::size_t size() const noexcept { return size_; }

    // The slot of the group, inserted with sum 0.0 and count 0 when new.
    // Pointers into the table stay valid until the next insertion.
    TradeGroup* find_or_insert(std::int64_t window_start, std::int64_t symbol, std::uint64_t hash) {
        const std::uint8_t tag = tag_of(hash);
        std::size_t g = static_cast<std::size_t>(hash) & group_mask_;
        for (;;) {
            const ControlGroup& ctrl = ctrl_[g];
            TradeGroup* base = &slots_[g * kGroupWidth];
            for (unsigned m = ctrl.match(tag); m != 0; m &= m - 1) {
                TradeGroup* slot = base + std::countr_zero(m);
                if (slot->window_start == window_start && slot->symbol_id == symbol) return slot;
            }
            if (const unsigned e = ctrl.match(ControlGroup::kEmpty); e != 0) {
                return insert(g, static_cast<unsigned>(std::countr_zero(e)), window_start, symbol, hash);
            }
            g = (g + 1) & group_mask_;
        }
    }

    template <class F>
    void for_each(F&& f) const {
        for (std::size_t g = 0; g < ctrl_.size(); ++g) {
            const unsigned full = ~ctrl_[g].match(ControlGroup::kEmpty) & 0xFFFFu;
            for (unsigned m = full; m != 0; m &= m - 1) f(slots_[g * kGroupWidth + static_cast<unsigned>(std::countr_zero(m))]);
        }
    }

    void release() noexcept {
        slots_.reset();
        std::vector<ControlGroup>().swap(ctrl_);
        capacity_ = 0;
        size_ = 0;
    }

private:
    static constexpr std::size_t kGroupWidth = 16;

    struct alignas(16) ControlGroup {
        static constexpr std::uint8_t kEmpty = 0x80;
        std::uint8_t bytes[kGroupWidth];

        static ControlGroup empty() noexcept {
            ControlGroup c;
            std::fill(std::begin(c.bytes), std::end(c.bytes), kEmpty);
            return c;
        }
        // Bit i set when byte i equals b.
        unsigned match(std::uint8_t b) const noexcept {
#if defined(__SSE2__)
            const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
            return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(b)))));
#else
            unsigned m = 0;
            for (unsigned i = 0; i < kGroupWidth; ++i) m |= static_cast<unsigned>(bytes[i] == b) << i;
            return m;
#endif
        }
    };

    // Eight hash bits that neither choose the control group (low bits) nor
    // the partition (high bits); 0x80 is reserved for empty slots.
    static std::uint8_t tag_of(std::uint64_t hash) noexcept {
        const auto t = static_cast<std::uint8_t>(hash >> 40);
        return t == ControlGroup::kEmpty ? std::uint8_t{0x81} : t;
    }

    void allocate(std::size_t capacity) {
        slots_ = std::make_unique_for_overwrite<TradeGroup[]>(capacity);
        ctrl_.assign(capacity / kGroupWidth, ControlGroup::empty());
        capacity_ = capacity;
        group_mask_ = capacity / kGroupWidth - 1;
    }

    TradeGroup* insert(std::size_t g, unsigned j, std::int64_t window_start, std::int64_t symbol, std::uint64_t hash) {
        if (size_ + 1 > capacity_ / 8 * 7) {
            grow();
            return insert_new(window_start, symbol, hash, 0.0, 0);
        }
        ctrl_[g].bytes[j] = tag_of(hash);
        TradeGroup* slot = &slots_[g * kGroupWidth + j];
        *slot = TradeGroup{window_start, symbol, 0.0, 0};
        ++size_;
        return slot;
    }

    // Places a key known to be absent.
    TradeGroup* insert_new(std::int64_t window_start, std::int64_t symbol, std::uint64_t hash, double sum,
                           std::int64_t count) noexcept {
        std::size_t g = static_cast<std::size_t>(hash) & group_mask_;
        unsigned e;
        while ((e = ctrl_[g].match(ControlGroup::kEmpty)) == 0) g = (g + 1) & group_mask_;
        const auto j = static_cast<unsigned>(std::countr_zero(e));
        ctrl_[g].bytes[j] = tag_of(hash);
        TradeGroup* slot = &slots_[g * kGroupWidth + j];
        *slot = TradeGroup{window_start, symbol, sum, count};
        ++size_;
        return slot;
    }

    void grow() {
        std::unique_ptr<TradeGroup[]> old_slots = std::move(slots_);
        std::vector<ControlGroup> old_ctrl = std::move(ctrl_);
        allocate(capacity_ * 2);
        size_ = 0;
        for (std::size_t g = 0; g < old_ctrl.size(); ++g) {
            const unsigned full = ~old_ctrl[g].match(ControlGroup::kEmpty) & 0xFFFFu;
            for (unsigned m = full; m != 0; m &= m - 1) {
                const TradeGroup& old = old_slots[g * kGroupWidth + static_cast<unsigned>(std::countr_zero(m))];
                insert_new(old.window_start, old.symbol_id, hash_pair(old.window_start, old.symbol_id), old.sum,
                           old.count);
            }
        }
    }

    std::unique_ptr<TradeGroup[]> slots_;
    std::vector<ControlGroup> ctrl_;
    std::size_t capacity_ = 0;
    std::size_t group_mask_ = 0;
    std::size_t size_ = 0;
};

// The most recently used group. Consecutive trades of one group (common in
// time-ordered feeds) skip the hash and the probe.
struct RunCache {
    std::int64_t window_start = 0;
    std::int64_t symbol = 0;
    TradeGroup* slot = nullptr;
};

inline void add_trade(GroupTable& table, RunCache& run, std::int64_t window_start, std::int64_t symbol,
                      double value) {
    if (window_start != run.window_start || symbol != run.symbol || run.slot == nullptr) {
        run.slot = table.find_or_insert(window_start, symbol, hash_pair(window_start, symbol));
        run.window_start = window_start;
        run.symbol = symbol;
    }
    run.slot->sum += value;
    run.slot->count += 1;
}

// Chunk-relative indices of the rows whose flag is non-zero.
inline std::size_t select_trades(const std::uint8_t* is_trade, std::size_t rows, std::uint32_t* selected) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        selected[k] = static_cast<std::uint32_t>(i);
        k += is_trade[i] != 0 ? 1u : 0u;
    }
    return k;
}

struct TradeRecord {
    std::int64_t window_start;
    std::int64_t symbol;
    double value;
};

// Per-partition append-only lists of trade records in fixed-size blocks, so
// that rows can be scattered in one pass without counting them first. Each
// partition keeps its records in input order and owns its blocks.
class PartitionBuffers {
public:
    PartitionBuffers(std::size_t partitions, std::size_t block_records)
        : block_records_(block_records), cursor_(partitions, nullptr), limit_(partitions, nullptr),
          blocks_(partitions) {}

    void push(std::size_t partition, const TradeRecord& record) {
        TradeRecord* c = cursor_[partition];
        if (c == limit_[partition]) c = new_block(partition);
        *c = record;
        cursor_[partition] = c + 1;
    }

    std::size_t records_in(std::size_t partition) const noexcept {
        const auto& list = blocks_[partition];
        if (list.empty()) return 0;
        return (list.size() - 1) * block_records_ + static_cast<std::size_t>(cursor_[partition] - list.back().get());
    }

    template <class F>
    void for_each(std::size_t partition, F&& f) const {
        const auto& list = blocks_[partition];
        for (std::size_t b = 0; b < list.size(); ++b) {
            const TradeRecord* begin = list[b].get();
            const TradeRecord* end = b + 1 == list.size() ? cursor_[partition] : begin + block_records_;
            for (const TradeRecord* r = begin; r != end; ++r) f(*r);
        }
    }

    // Frees the partition's blocks once it has been aggregated.
    void release(std::size_t partition) noexcept {
        blocks_[partition].clear();
        cursor_[partition] = limit_[partition] = nullptr;
    }

private:
    TradeRecord* new_block(std::size_t partition) {
        auto& list = blocks_[partition];
        list.push_back(std::make_unique_for_overwrite<TradeRecord[]>(block_records_));
        TradeRecord* block = list.back().get();
        limit_[partition] = block + block_records_;
        return block;
    }

    std::size_t block_records_;
    std::vector<TradeRecord*> cursor_;  // next free record of each partition's last block
    std::vector<TradeRecord*> limit_;   // end of each partition's last block
    std::vector<std::vector<std::unique_ptr<TradeRecord[]>>> blocks_;
};

bool group_less(const TradeGroup& a, const TradeGroup& b) noexcept {
    return a.window_start != b.window_start ? a.window_start < b.window_start : a.symbol_id < b.symbol_id;
}

// Orders groups by (window start, symbol id), both signed. When the ranges of
// both fit together into 64 bits, an order-preserving packed key is radix
// sorted (least significant digit first); otherwise a comparison sort is used.
void sort_groups(std::vector<TradeGroup>& groups) {
    const std::size_t n = groups.size();
    if (n < 2) return;
    if (n < 4096) {
        std::sort(groups.begin(), groups.end(), group_less);
        return;
    }
    std::int64_t min_start = kMaxI64, max_start = kMinI64, min_symbol = kMaxI64, max_symbol = kMinI64;
    for (const TradeGroup& g : groups) {
        min_start = std::min(min_start, g.window_start);
        max_start = std::max(max_start, g.window_start);
        min_symbol = std::min(min_symbol, g.symbol_id);
        max_symbol = std::max(max_symbol, g.symbol_id);
    }
    const unsigned symbol_bits = static_cast<unsigned>(std::bit_width(as_u64(max_symbol) - as_u64(min_symbol)));
    const unsigned start_bits = static_cast<unsigned>(std::bit_width(as_u64(max_start) - as_u64(min_start)));
    const unsigned key_bits = symbol_bits + start_bits;
    if (key_bits > 64) {
        std::sort(groups.begin(), groups.end(), group_less);
        return;
    }
    const auto key = [&](const TradeGroup& g) noexcept {
        const std::uint64_t s = as_u64(g.window_start) - as_u64(min_start);
        const std::uint64_t y = as_u64(g.symbol_id) - as_u64(min_symbol);
        return symbol_bits == 64 ? y : (s << symbol_bits) | y;
    };

    constexpr unsigned kMaxDigitBits = 11;
    const unsigned passes = (key_bits + kMaxDigitBits - 1) / kMaxDigitBits;
    const unsigned digit_bits = (key_bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << digit_bits;
    const std::uint64_t digit_mask = buckets - 1;

    std::vector<std::size_t> counts(buckets * passes, 0);
    for (const TradeGroup& g : groups) {
        const std::uint64_t k = key(g);
        for (unsigned p = 0; p < passes; ++p) {
            ++counts[p * buckets + static_cast<std::size_t>((k >> (p * digit_bits)) & digit_mask)];
        }
    }
    auto scratch = std::make_unique_for_overwrite<TradeGroup[]>(n);
    TradeGroup* src = groups.data();
    TradeGroup* dst = scratch.get();
    std::vector<std::size_t> offsets(buckets);
    for (unsigned p = 0; p < passes; ++p) {
        const std::size_t* c = &counts[p * buckets];
        if (std::any_of(c, c + buckets, [n](std::size_t v) { return v == n; })) continue;  // digit constant
        std::size_t total = 0;
        for (std::size_t b = 0; b < buckets; ++b) {
            offsets[b] = total;
            total += c[b];
        }
        const unsigned shift = p * digit_bits;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t b = static_cast<std::size_t>((key(src[i]) >> shift) & digit_mask);
            dst[offsets[b]++] = src[i];
        }
        std::swap(src, dst);
    }
    if (src != groups.data()) std::copy(src, src + n, groups.data());
}

}  // namespace

std::vector<TradeGroup> aggregate_trades(const std::int64_t* timestamps, const std::uint8_t* is_trade,
                                         const std::int64_t* symbol_id, const double* values, std::size_t n,
                                         std::int64_t window_ms) {
    WindowCursor cursor(window_ms);
    std::array<std::uint32_t, kChunkRows> selected;

    // Phase 1: one table for all groups, while it stays small.
    GroupTable table;
    table.reset(n / 256 + 16);
    RunCache run;
    std::size_t row = 0;
    while (row < n && table.size() <= kDirectMaxGroups) {
        const std::size_t rows = std::min(kChunkRows, n - row);
        const std::size_t trades = select_trades(is_trade + row, rows, selected.data());
        for (std::size_t j = 0; j < trades; ++j) {
            const std::size_t i = row + selected[j];
            add_trade(table, run, cursor.start_for(timestamps[i]), symbol_id[i], values[i]);
        }
        row += rows;
    }

    std::vector<TradeGroup> out;
    if (row == n) {
        out.reserve(table.size());
        table.for_each([&](const TradeGroup& g) { out.push_back(g); });
        table.release();
        sort_groups(out);
        return out;
    }

    // Phase 2: scatter the remaining trades into partitions by hash, then
    // aggregate one partition at a time. A group lives in exactly one
    // partition, and both the groups carried over from phase 1 and the
    // records keep input order, so every sum is still accumulated in input order.
    const std::size_t remaining = n - row;
    unsigned partition_bits = kMinPartitionBits;
    while (partition_bits < kMaxPartitionBits &&
           (std::size_t{1} << partition_bits) * kRowsPerPartition < remaining + table.size()) {
        ++partition_bits;
    }
    const std::size_t partitions = std::size_t{1} << partition_bits;
    const unsigned partition_shift = 64 - partition_bits;
    const std::size_t block_records = std::clamp<std::size_t>(remaining / partitions / 2, 256, 8192);

    PartitionBuffers buffers(partitions, block_records);
    {
        std::int64_t last_start = 0, last_symbol = 0;
        std::size_t last_partition = static_cast<std::size_t>(hash_pair(0, 0) >> partition_shift);
        for (; row < n;) {
            const std::size_t rows = std::min(kChunkRows, n - row);
            const std::size_t trades = select_trades(is_trade + row, rows, selected.data());
            for (std::size_t j = 0; j < trades; ++j) {
                const std::size_t i = row + selected[j];
                const std::int64_t start = cursor.start_for(timestamps[i]);
                const std::int64_t symbol = symbol_id[i];
                if (start != last_start || symbol != last_symbol) {
                    last_partition = static_cast<std::size_t>(hash_pair(start, symbol) >> partition_shift);
                    last_start = start;
                    last_symbol = symbol;
                }
                buffers.push(last_partition, TradeRecord{start, symbol, values[i]});
            }
            row += rows;
        }
    }

    // Phase-1 groups, bucketed by partition (counting sort).
    std::vector<std::size_t> carried_begin(partitions + 1, 0);
    std::vector<TradeGroup> carried(table.size());
    {
        table.for_each([&](const TradeGroup& g) {
            ++carried_begin[(hash_pair(g.window_start, g.symbol_id) >> partition_shift) + 1];
        });
        for (std::size_t p = 0; p < partitions; ++p) carried_begin[p + 1] += carried_begin[p];
        std::vector<std::size_t> fill(carried_begin.begin(), carried_begin.end() - 1);
        table.for_each([&](const TradeGroup& g) {
            carried[fill[hash_pair(g.window_start, g.symbol_id) >> partition_shift]++] = g;
        });
        table.release();
    }

    // An upper bound; pages beyond the groups actually stored are never touched.
    out.reserve(carried.size() + remaining);
    GroupTable local;
    double groups_per_record = 0.5;  // refined from each partition aggregated
    for (std::size_t p = 0; p < partitions; ++p) {
        const std::size_t carried_here = carried_begin[p + 1] - carried_begin[p];
        const std::size_t records = buffers.records_in(p);
        local.reset(carried_here +
                    static_cast<std::size_t>(static_cast<double>(records) * groups_per_record * 1.25) + 16);
        for (std::size_t c = carried_begin[p]; c < carried_begin[p + 1]; ++c) {
            const TradeGroup& g = carried[c];
            TradeGroup* slot = local.find_or_insert(g.window_start, g.symbol_id, hash_pair(g.window_start, g.symbol_id));
            slot->sum = g.sum;
            slot->count = g.count;
        }
        RunCache local_run;
        buffers.for_each(p, [&](const TradeRecord& r) { add_trade(local, local_run, r.window_start, r.symbol, r.value); });
        buffers.release(p);
        if (records > 0) {
            groups_per_record = static_cast<double>(local.size() - carried_here) / static_cast<double>(records);
        }
        local.for_each([&](const TradeGroup& g) { out.push_back(g); });
    }
    sort_groups(out);
    return out;
}

}  // namespace ravik
