// The trade aggregation kernel, whole in one file (about 750 lines): its
// phases share the table layout, the caches and the inline helpers of one
// anonymous namespace, which a split would have to expose in a header of
// their own for no reader's gain.
#include "trade_aggregation.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cell.hpp"

// How the aggregation works.
//
// Rows are read in chunks; the trades of a chunk are first collected without
// a branch, then aggregated. Each trade's window is identified by its index
// q = floor(t / window_ms), which is found without a division while
// consecutive times stay in the same window. Groups are keyed by the exact
// (q, symbol) pair; distinct q give distinct window starts q * window_ms
// (wrapping), so this is the same grouping as by window start. The start is
// computed once per group at the end.
//
// Phase 1 aggregates into one open-addressing table. Two caches in front of
// it serve the common shapes of trade data: for small non-negative symbol
// ids, a direct index from symbol to table slot that is valid for the
// current window (time-ordered feeds reuse it for every trade of the
// window); for other symbols, the slot of the previous trade's group.
//
// Once the table holds more groups than the caches can hold, every lookup
// risks a cache miss. Phase 2 then scatters the remaining trades by hash
// into partitions and aggregates one partition at a time in a small table.
// Each group lives in exactly one partition and every partition keeps input
// order, so all sums are accumulated in input order in both phases.
//
// Finally the groups are sorted by (window start, symbol id), with a radix
// sort over a packed key when the ranges allow it.

namespace ravik {

namespace {

constexpr std::int64_t kMinI64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxI64 = std::numeric_limits<std::int64_t>::max();

constexpr std::size_t kChunkRows = 2048;
// Phase 1 ends once its table holds more groups than this.
constexpr std::size_t kDirectMaxGroups = std::size_t{1} << 18;
// Symbols 0 .. kDenseSymbols - 1 use the per-window direct index.
constexpr std::uint64_t kDenseSymbols = std::uint64_t{1} << 14;
// Phase 2 aims at about this many trades per partition, within these bounds.
constexpr std::size_t kRowsPerPartition = std::size_t{1} << 15;
constexpr unsigned kMinPartitionBits = 4;
constexpr unsigned kMaxPartitionBits = 8;

constexpr std::uint64_t as_u64(std::int64_t v) noexcept { return static_cast<std::uint64_t>(v); }

// Floor division for a positive divisor.
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t d) noexcept {
    const std::int64_t q = a / d;
    return a % d < 0 ? q - 1 : q;
}

// Multiplicative hash of the pair. The high bits are the best mixed: they
// choose the partition and, below the partition bits, the table position.
// The final fold mixes high bits into the low byte, which serves as the tag.
inline std::uint64_t hash_pair(std::int64_t window, std::int64_t symbol) noexcept {
    const std::uint64_t h = ((as_u64(window) * 0x9E3779B97F4A7C15ull) ^ as_u64(symbol)) * 0xD6E8FEB86659FD93ull;
    return h ^ (h >> 32);
}

// Window index q = floor(t / width) of event times. The bounds of the
// current window are kept, so a time inside it costs one subtraction and one
// comparison instead of a division.
class WindowCursor {
public:
    explicit WindowCursor(std::int64_t width) noexcept : width_(width), span_(as_u64(width) - 1) {}

    std::int64_t index_for(std::int64_t t) noexcept {
        if (as_u64(t) - as_u64(lo_) > span_) move_to(t);
        return index_;
    }

private:
    void move_to(std::int64_t t) noexcept {
        std::int64_t q = t / width_;
        std::int64_t r = t % width_;
        if (r < 0) {  // floor division: 0 <= r < width
            q -= 1;
            r += width_;
        }
        index_ = q;
        // [lo_, lo_ + span_] is the part of the window inside the 64-bit range.
        const std::uint64_t room_below = as_u64(t) - as_u64(kMinI64);
        lo_ = room_below < as_u64(r) ? kMinI64 : t - r;
        const std::int64_t rest = width_ - 1 - r;
        const std::uint64_t room_above = as_u64(kMaxI64) - as_u64(t);
        const std::int64_t hi = room_above < as_u64(rest) ? kMaxI64 : t + rest;
        span_ = as_u64(hi) - as_u64(lo_);
    }

    std::int64_t width_;
    // Starts as window 0, [0, width).
    std::int64_t index_ = 0;
    std::int64_t lo_ = 0;
    std::uint64_t span_;
};

// Open-addressing table of groups keyed by the exact (window index, symbol)
// pair, probed sixteen slots at a time: one control byte per slot holds 0x80
// for an empty slot or a tag of eight hash bits, and a group of sixteen
// control bytes is compared against the wanted tag at once, so a lookup
// costs one predictable branch in the common case. Groups are never
// removed, so there are no tombstones. At most 7/8 full.
class GroupTable {
public:
    // skip_bits: high hash bits shared by every key of this table (the
    // partition bits), which therefore cannot choose a position.
    void reset(std::size_t expected_groups, unsigned skip_bits) {
        std::size_t capacity = 2 * kGroupWidth;
        while (capacity / 8 * 7 < expected_groups) capacity <<= 1;
        skip_bits_ = skip_bits;
        if (capacity != capacity_) {
            allocate(capacity);
        } else {
            std::fill(ctrl_.begin(), ctrl_.end(), ControlGroup::empty());
        }
        size_ = 0;
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    // Moves when the table grows; slot pointers and positions from before are then stale.
    TradeGroup* slots() const noexcept { return slots_.get(); }

    // The slot of the group, inserted with sum 0.0 and count 0 when new.
    TradeGroup* find_or_insert(std::int64_t window, std::int64_t symbol, std::uint64_t hash) {
        const std::size_t g = group_of(hash);
        const ControlGroup& ctrl = ctrl_[g];
        TradeGroup* base = &slots_[g * kGroupWidth];
        for (unsigned m = ctrl.match(tag_of(hash)); m != 0; m &= m - 1) {
            TradeGroup* slot = base + std::countr_zero(m);
            if (slot->window_start == window && slot->symbol_id == symbol) return slot;
        }
        return find_or_insert_beyond(g, window, symbol, hash);
    }

    // Inserts a group known to be absent, with its running totals.
    void insert_new(const TradeGroup& group, std::uint64_t hash) {
        if (size_ + 1 > capacity_ / 8 * 7) grow();
        place(group, hash);
    }

    template <class F>
    void for_each(F&& f) const {
        for (std::size_t g = 0; g < ctrl_.size(); ++g) {
            for (unsigned m = ctrl_[g].full(); m != 0; m &= m - 1) {
                f(slots_[g * kGroupWidth + static_cast<unsigned>(std::countr_zero(m))]);
            }
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
        unsigned full() const noexcept { return ~match(kEmpty) & 0xFFFFu; }
    };

    static std::uint8_t tag_of(std::uint64_t hash) noexcept {
        const auto t = static_cast<std::uint8_t>(hash);
        return t == ControlGroup::kEmpty ? std::uint8_t{0x81} : t;
    }
    std::size_t group_of(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>((hash << skip_bits_) >> group_shift_);
    }

    void allocate(std::size_t capacity) {
        slots_ = std::make_unique_for_overwrite<TradeGroup[]>(capacity);
        ctrl_.assign(capacity / kGroupWidth, ControlGroup::empty());
        capacity_ = capacity;
        group_shift_ = 64u - static_cast<unsigned>(std::countr_zero(capacity / kGroupWidth));
    }

    // The key is not in its home group, which has no free slot or is where
    // the key belongs: continue the probe from there.
    TradeGroup* find_or_insert_beyond(std::size_t g, std::int64_t window, std::int64_t symbol, std::uint64_t hash) {
        const std::size_t mask = ctrl_.size() - 1;
        const std::uint8_t tag = tag_of(hash);
        for (;;) {
            const ControlGroup& ctrl = ctrl_[g];
            if (g != group_of(hash)) {
                for (unsigned m = ctrl.match(tag); m != 0; m &= m - 1) {
                    TradeGroup* slot = &slots_[g * kGroupWidth + static_cast<unsigned>(std::countr_zero(m))];
                    if (slot->window_start == window && slot->symbol_id == symbol) return slot;
                }
            }
            if (ctrl.match(ControlGroup::kEmpty) != 0) {
                // Absent: no key is ever placed past a group with a free slot.
                if (size_ + 1 > capacity_ / 8 * 7) grow();
                return place(TradeGroup{window, symbol, 0.0, 0}, hash);
            }
            g = (g + 1) & mask;
        }
    }

    TradeGroup* place(const TradeGroup& group, std::uint64_t hash) noexcept {
        const std::size_t mask = ctrl_.size() - 1;
        std::size_t g = group_of(hash);
        unsigned e;
        while ((e = ctrl_[g].match(ControlGroup::kEmpty)) == 0) g = (g + 1) & mask;
        const auto j = static_cast<unsigned>(std::countr_zero(e));
        ctrl_[g].bytes[j] = tag_of(hash);
        TradeGroup* slot = &slots_[g * kGroupWidth + j];
        *slot = group;
        ++size_;
        return slot;
    }

    void grow() {
        std::unique_ptr<TradeGroup[]> old_slots = std::move(slots_);
        const std::vector<ControlGroup> old_ctrl = std::move(ctrl_);
        allocate(capacity_ * 2);
        size_ = 0;
        for (std::size_t g = 0; g < old_ctrl.size(); ++g) {
            for (unsigned m = old_ctrl[g].full(); m != 0; m &= m - 1) {
                const TradeGroup& old = old_slots[g * kGroupWidth + static_cast<unsigned>(std::countr_zero(m))];
                place(old, hash_pair(old.window_start, old.symbol_id));
            }
        }
    }

    std::unique_ptr<TradeGroup[]> slots_;
    std::vector<ControlGroup> ctrl_;
    std::size_t capacity_ = 0;
    unsigned skip_bits_ = 0;
    unsigned group_shift_ = 63;
    std::size_t size_ = 0;
};

struct Trade {
    std::int64_t window;
    std::int64_t symbol;
    double value;
};

// The caches in front of a GroupTable (see the top of this file). Both hold
// slot positions, which a growing table invalidates: the accumulator notices
// that the slots moved and drops them.
class Accumulator {
public:
    explicit Accumulator(GroupTable& table) : table_(table), dense_(kDenseSymbols, DenseEntry{0, 0}) {}

    // Call after the table was reset or filled outside add_all().
    void restart() noexcept {
        run_slot_ = nullptr;
        if (++stamp_ == 0) stamp_ = clear_dense();
    }

    // Adds `count` trades; get(j) returns the j-th. The hot state is kept in
    // locals during the loop, so that stores into slots cannot force it to
    // be reloaded from memory.
    template <class Get>
    void add_all(std::size_t count, Get&& get) {
        TradeGroup* slots = table_.slots();
        DenseEntry* const dense = dense_.data();
        std::uint64_t dense_limit = dense_limit_for(table_);
        std::uint32_t stamp = stamp_;
        std::int64_t dense_window = dense_window_;
        TradeGroup* run_slot = run_slot_;
        std::int64_t run_window = run_window_;
        std::int64_t run_symbol = run_symbol_;
        // After a lookup: when the table grew, every cached position is stale.
        auto resync = [&] {
            if (table_.slots() != slots) {
                slots = table_.slots();
                dense_limit = dense_limit_for(table_);
                if (++stamp == 0) stamp = clear_dense();
                run_slot = nullptr;
            }
        };
        for (std::size_t j = 0; j < count; ++j) {
            const Trade t = get(j);
            TradeGroup* slot;
            if (as_u64(t.symbol) < dense_limit) {
                if (t.window != dense_window) {
                    dense_window = t.window;
                    if (++stamp == 0) stamp = clear_dense();
                }
                DenseEntry& e = dense[static_cast<std::size_t>(t.symbol)];
                if (e.stamp == stamp) {
                    slot = slots + e.slot;
                } else {
                    slot = table_.find_or_insert(t.window, t.symbol, hash_pair(t.window, t.symbol));
                    resync();
                    e = DenseEntry{stamp, static_cast<std::uint32_t>(slot - slots)};
                }
            } else {
                if (run_slot == nullptr || t.window != run_window || t.symbol != run_symbol) {
                    slot = table_.find_or_insert(t.window, t.symbol, hash_pair(t.window, t.symbol));
                    resync();
                    run_slot = slot;
                    run_window = t.window;
                    run_symbol = t.symbol;
                }
                slot = run_slot;
            }
            slot->sum += t.value;
            slot->count += 1;
        }
        stamp_ = stamp;
        dense_window_ = dense_window;
        run_slot_ = run_slot;
        run_window_ = run_window;
        run_symbol_ = run_symbol;
    }

private:
    struct DenseEntry {
        std::uint32_t stamp;  // valid while equal to the current stamp
        std::uint32_t slot;
    };

    // Slot positions must fit the direct index's entries.
    static std::uint64_t dense_limit_for(const GroupTable& table) noexcept {
        return table.capacity() <= std::numeric_limits<std::uint32_t>::max() ? kDenseSymbols : 0;
    }

    // Invalidates every entry once the stamps have gone round; returns the next stamp.
    [[gnu::noinline]] std::uint32_t clear_dense() noexcept {
        std::fill(dense_.begin(), dense_.end(), DenseEntry{0, 0});
        return 1;
    }

    GroupTable& table_;
    std::vector<DenseEntry> dense_;  // entries start with stamp 0: invalid
    std::uint32_t stamp_ = 1;
    std::int64_t dense_window_ = 0;

    TradeGroup* run_slot_ = nullptr;
    std::int64_t run_window_ = 0;
    std::int64_t run_symbol_ = 0;
};

// Chunk-relative indices of the rows whose flag is non-zero.
inline std::size_t select_trades(const std::uint8_t* is_trade, std::size_t rows, std::uint32_t* selected) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        selected[k] = static_cast<std::uint32_t>(i);
        k += is_trade[i] != 0 ? 1u : 0u;
    }
    return k;
}

// A trade on its way to its partition. Wide records hold the key as it is;
// narrow ones hold it relative to the smallest window index and symbol of
// the input, when both ranges fit in 32 bits, and take a third less memory.
struct WideRecord {
    std::int64_t window;
    std::int64_t symbol;
    double value;
};

struct NarrowRecord {
    std::uint32_t window;
    std::uint32_t symbol;
    double value;
};

struct WideCodec {
    using Record = WideRecord;
    Record encode(std::int64_t window, std::int64_t symbol, double value) const noexcept {
        return {window, symbol, value};
    }
    std::int64_t window(const Record& r) const noexcept { return r.window; }
    std::int64_t symbol(const Record& r) const noexcept { return r.symbol; }
};

struct NarrowCodec {
    using Record = NarrowRecord;
    std::int64_t window_base;
    std::int64_t symbol_base;
    Record encode(std::int64_t window, std::int64_t symbol, double value) const noexcept {
        return {static_cast<std::uint32_t>(as_u64(window) - as_u64(window_base)),
                static_cast<std::uint32_t>(as_u64(symbol) - as_u64(symbol_base)), value};
    }
    std::int64_t window(const Record& r) const noexcept { return wrapping_add(window_base, r.window); }
    std::int64_t symbol(const Record& r) const noexcept { return wrapping_add(symbol_base, r.symbol); }
};

// Per-partition lists of trade records in fixed-size blocks carved in order
// from one allocation, so that rows can be scattered in one pass without
// counting them first. Each partition keeps its records in input order.
template <class Record>
class PartitionBuffers {
public:
    PartitionBuffers(std::size_t partitions, std::size_t block_records, std::size_t max_records)
        : block_records_(block_records),
          // Every partition wastes at most the unused tail of its last block, so
    // the arena holds max_records as long as the input does not change.
          arena_records_((max_records / block_records + partitions + 1) * block_records),
          arena_(new std::byte[arena_records_ * sizeof(Record)]),
          cursor_(partitions, nullptr),
          limit_(partitions, nullptr),
          blocks_(partitions) {}

    void push(std::size_t partition, const Record& record) {
        Record* c = cursor_[partition];
        if (c == limit_[partition]) c = new_block(partition);
        *c = record;
        cursor_[partition] = c + 1;
    }

    std::size_t records_in(std::size_t partition) const noexcept {
        const auto& list = blocks_[partition];
        if (list.empty()) return 0;
        return (list.size() - 1) * block_records_ + static_cast<std::size_t>(cursor_[partition] - list.back());
    }

    // The arena's memory, for reuse once every record has been consumed.
    // Its pages have been touched already, which fresh memory would still need.
    std::byte* storage() const noexcept { return arena_.get(); }
    std::size_t storage_bytes() const noexcept { return used_records_ * sizeof(Record); }

    // f(first record, record count) for each block of the partition, in order.
    template <class F>
    void for_each_block(std::size_t partition, F&& f) const {
        const auto& list = blocks_[partition];
        for (std::size_t b = 0; b < list.size(); ++b) {
            const Record* begin = list[b];
            const Record* end = b + 1 == list.size() ? cursor_[partition] : begin + block_records_;
            f(begin, static_cast<std::size_t>(end - begin));
        }
    }

private:
    Record* new_block(std::size_t partition) {
        Record* block;
        if (used_records_ + block_records_ <= arena_records_) {
            block = reinterpret_cast<Record*>(arena_.get()) + used_records_;
            used_records_ += block_records_;
        } else {
            // More trades than were counted: the caller's arrays changed
            // during the call (another thread or process writing them). The
            // results may then be wrong, but no write leaves the memory
            // this buffer owns.
            overflow_.push_back(std::make_unique_for_overwrite<Record[]>(block_records_));
            block = overflow_.back().get();
        }
        blocks_[partition].push_back(block);
        limit_[partition] = block + block_records_;
        return block;
    }

    std::size_t block_records_;
    std::size_t arena_records_;
    std::unique_ptr<std::byte[]> arena_;  // holds Records (implicitly created)
    std::size_t used_records_ = 0;
    std::vector<std::unique_ptr<Record[]>> overflow_;  // blocks beyond the arena, rarely any
    std::vector<Record*> cursor_;  // next free record of each partition's last block
    std::vector<Record*> limit_;   // end of each partition's last block
    std::vector<std::vector<Record*>> blocks_;
};

bool group_less(const TradeGroup& a, const TradeGroup& b) noexcept {
    return a.window_start != b.window_start ? a.window_start < b.window_start : a.symbol_id < b.symbol_id;
}

// Turns window indices into window starts and orders the groups by
// (window start, symbol id), both signed. Window starts rise with the index,
// except that an index whose start lies below the 64-bit range wraps; the
// rare inputs with such a window are sorted by their final starts. Otherwise,
// when the ranges of index and symbol fit together into 64 bits, a packed
// order-preserving key is radix sorted, least significant digit first.
//
// spare/spare_bytes: memory the radix sort may use as scratch space instead
// of allocating its own (nullptr for none).
void finish_groups(std::vector<TradeGroup>& groups, std::int64_t window_ms, std::byte* spare,
                   std::size_t spare_bytes) {
    const std::size_t n = groups.size();
    auto to_starts = [&] {
        // Clamped like every window bound: only the window holding the
        // smallest times can start below the range.
        for (TradeGroup& g : groups) g.window_start = clamp_to_i64(static_cast<__int128>(g.window_start) * window_ms);
    };
    if (n == 0) return;
    std::int64_t min_window = kMaxI64, max_window = kMinI64, min_symbol = kMaxI64, max_symbol = kMinI64;
    for (const TradeGroup& g : groups) {
        min_window = std::min(min_window, g.window_start);
        max_window = std::max(max_window, g.window_start);
        min_symbol = std::min(min_symbol, g.symbol_id);
        max_symbol = std::max(max_symbol, g.symbol_id);
    }
    const unsigned symbol_bits = static_cast<unsigned>(std::bit_width(as_u64(max_symbol) - as_u64(min_symbol)));
    const unsigned window_bits = static_cast<unsigned>(std::bit_width(as_u64(max_window) - as_u64(min_window)));
    const unsigned key_bits = symbol_bits + window_bits;
    // The smallest index whose start q * window_ms is not below the range.
    const bool wraps = min_window < kMinI64 / window_ms;
    if (wraps || n < 2048 || key_bits > 64) {
        to_starts();
        std::sort(groups.begin(), groups.end(), group_less);
        return;
    }
    const auto key = [min_window, min_symbol, symbol_bits](const TradeGroup& g) noexcept {
        const std::uint64_t w = as_u64(g.window_start) - as_u64(min_window);
        const std::uint64_t s = as_u64(g.symbol_id) - as_u64(min_symbol);
        return symbol_bits == 64 ? s : (w << symbol_bits) | s;
    };

    constexpr unsigned kMaxDigitBits = 12;
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
    std::unique_ptr<TradeGroup[]> own_scratch;
    TradeGroup* scratch;
    if (spare != nullptr && spare_bytes >= n * sizeof(TradeGroup)) {
        // Re-creates the storage as a fresh array of bytes, ending the lifetime
        // of whatever lived there; TradeGroups are then implicitly created.
        scratch = std::launder(reinterpret_cast<TradeGroup*>(::new (spare) std::byte[n * sizeof(TradeGroup)]));
    } else {
        own_scratch = std::make_unique_for_overwrite<TradeGroup[]>(n);
        scratch = own_scratch.get();
    }
    TradeGroup* src = groups.data();
    TradeGroup* dst = scratch;
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
    to_starts();
}

struct Input {
    const std::int64_t* timestamps;
    const std::uint8_t* is_trade;
    const std::int64_t* symbol_id;
    const double* values;
    std::size_t n;
    std::size_t trades;  // among the rows not yet aggregated
};

// Phase 2 (see the top of this file) for rows [row, n), given the phase-1
// table; returns the finished groups.
template <class Codec>
std::vector<TradeGroup> partition_and_aggregate(const Codec& codec, const Input& in, std::size_t row,
                                                std::int64_t window_ms, const WindowCursor& cursor, GroupTable& table) {
    const std::int64_t* timestamps = in.timestamps;
    const std::uint8_t* is_trade = in.is_trade;
    const std::int64_t* symbol_id = in.symbol_id;
    const double* values = in.values;
    const std::size_t n = in.n;
    std::vector<std::uint32_t> selected(kChunkRows);
    std::vector<TradeGroup> out;

    // Scatter the pending trades by hash, then aggregate one partition at a time.
    const std::size_t pending = in.trades;  // an upper bound on new groups too
    unsigned partition_bits = kMinPartitionBits;
    while (partition_bits < kMaxPartitionBits &&
           (std::size_t{1} << partition_bits) * kRowsPerPartition < pending + table.size()) {
        ++partition_bits;
    }
    const std::size_t partitions = std::size_t{1} << partition_bits;
    const unsigned partition_shift = 64 - partition_bits;
    const std::size_t block_records = std::clamp<std::size_t>(pending / partitions / 4, 256, 16384);

    PartitionBuffers<typename Codec::Record> buffers(partitions, block_records, pending);
    {
        std::int64_t last_window = 0, last_symbol = 0;
        std::size_t last_partition = static_cast<std::size_t>(hash_pair(0, 0) >> partition_shift);
        WindowCursor local = cursor;  // a copy whose address never escapes stays in registers
        while (row < n) {
            const std::size_t rows = std::min(kChunkRows, n - row);
            const std::size_t trades = select_trades(is_trade + row, rows, selected.data());
            for (std::size_t j = 0; j < trades; ++j) {
                const std::size_t i = row + selected[j];
                const std::int64_t window = local.index_for(timestamps[i]);
                const std::int64_t symbol = symbol_id[i];
                if (window != last_window || symbol != last_symbol) {
                    last_partition = static_cast<std::size_t>(hash_pair(window, symbol) >> partition_shift);
                    last_window = window;
                    last_symbol = symbol;
                }
                buffers.push(last_partition, codec.encode(window, symbol, values[i]));
            }
            row += rows;
        }
    }

    // The phase-1 groups, bucketed by partition (a counting sort).
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
    out.reserve(carried.size() + pending);
    double groups_per_record = 0.5;  // refined from each partition aggregated
    Accumulator acc(table);
    for (std::size_t p = 0; p < partitions; ++p) {
        const std::size_t carried_here = carried_begin[p + 1] - carried_begin[p];
        const std::size_t records = buffers.records_in(p);
        table.reset(carried_here + static_cast<std::size_t>(static_cast<double>(records) * groups_per_record * 1.25),
                    partition_bits);
        for (std::size_t c = carried_begin[p]; c < carried_begin[p + 1]; ++c) {
            table.insert_new(carried[c], hash_pair(carried[c].window_start, carried[c].symbol_id));
        }
        acc.restart();
        buffers.for_each_block(p, [&](const typename Codec::Record* records_begin, std::size_t count) {
            acc.add_all(count, [&codec, records_begin](std::size_t j) {
                const auto& r = records_begin[j];
                return Trade{codec.window(r), codec.symbol(r), r.value};
            });
        });
        if (records > 0) {
            groups_per_record = static_cast<double>(table.size() - carried_here) / static_cast<double>(records);
        }
        table.for_each([&](const TradeGroup& g) { out.push_back(g); });
    }
    table.release();
    finish_groups(out, window_ms, buffers.storage(), buffers.storage_bytes());
    return out;
}

}  // namespace

std::vector<TradeGroup> aggregate_trades(const std::int64_t* timestamps, const std::uint8_t* is_trade,
                                         const std::int64_t* symbol_id, const double* values, std::size_t n,
                                         std::int64_t window_ms) {
    WindowCursor cursor(window_ms);
    std::vector<std::uint32_t> selected(kChunkRows);

    // Phase 1: one table for all groups while it stays small.
    GroupTable table;
    table.reset(std::min(n / 256 + 16, kDirectMaxGroups), 0);
    std::size_t row = 0;
    {
        Accumulator acc(table);
        while (row < n && table.size() <= kDirectMaxGroups) {
            const std::size_t rows = std::min(kChunkRows, n - row);
            const std::size_t trades = select_trades(is_trade + row, rows, selected.data());
            const std::uint32_t* sel = selected.data();
            const std::size_t base = row;
            WindowCursor local = cursor;  // a copy whose address never escapes stays in registers
            acc.add_all(trades, [&local, sel, base, timestamps, symbol_id, values](std::size_t j) {
                const std::size_t i = base + sel[j];
                return Trade{local.index_for(timestamps[i]), symbol_id[i], values[i]};
            });
            cursor = local;
            row += rows;
        }
    }

    if (row == n) {
        std::vector<TradeGroup> out;
        out.reserve(table.size());
        table.for_each([&](const TradeGroup& g) { out.push_back(g); });
        table.release();
        finish_groups(out, window_ms, nullptr, 0);
        return out;
    }

    // Phase 2 for the remaining rows, with narrow records when the ranges
    // of window index and symbol allow (min and max over all those rows,
    // trades or not, bound the ranges of the trades).
    std::int64_t min_time = kMaxI64, max_time = kMinI64, min_symbol = kMaxI64, max_symbol = kMinI64;
    std::size_t trades = 0;
    for (std::size_t i = row; i < n; ++i) {
        min_time = std::min(min_time, timestamps[i]);
        max_time = std::max(max_time, timestamps[i]);
        min_symbol = std::min(min_symbol, symbol_id[i]);
        max_symbol = std::max(max_symbol, symbol_id[i]);
        trades += is_trade[i] != 0 ? 1u : 0u;
    }
    const Input input{timestamps, is_trade, symbol_id, values, n, trades};
    const std::int64_t min_window = floor_div(min_time, window_ms);
    constexpr std::uint64_t kNarrow = std::uint64_t{1} << 32;
    if (as_u64(floor_div(max_time, window_ms)) - as_u64(min_window) < kNarrow &&
        as_u64(max_symbol) - as_u64(min_symbol) < kNarrow) {
        return partition_and_aggregate(NarrowCodec{min_window, min_symbol}, input, row, window_ms, cursor, table);
    }
    return partition_and_aggregate(WideCodec{}, input, row, window_ms, cursor, table);
}

}  // namespace ravik
