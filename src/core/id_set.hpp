// The remembered event ids. Two open-addressing tables: ids whose text is
// an int64's canonical decimal text are kept as that integer (8-byte slots),
// every other id as its text in a byte arena (16-byte slots: hash and
// arena reference, no allocation per id). Both hash with the process's
// keyed hash (hashing.hpp) and grow incrementally, so no single insert pays
// for rehashing the whole table.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "hashing.hpp"

namespace ravik {

// Byte strings appended to blocks that never move: a reference stays valid
// for the arena's life. Each string is stored as its length (LEB128) and
// its bytes. Blocks double from 4 KiB up to 1 MiB; a longer string gets a
// block of its own.
class ByteArena {
public:
    // Reference of a stored string: block index in the high 32 bits, offset
    // in the low 32.
    using Ref = std::uint64_t;

    ByteArena() = default;
    ByteArena(ByteArena&&) noexcept = default;
    ByteArena& operator=(ByteArena&&) noexcept = default;
    ByteArena(const ByteArena& other) : block_size_(other.block_size_) {
        blocks_.reserve(other.blocks_.size());
        for (const Block& b : other.blocks_) {
            Block copy{std::make_unique_for_overwrite<unsigned char[]>(b.capacity), b.capacity, b.used};
            if (b.used != 0) std::memcpy(copy.data.get(), b.data.get(), b.used);
            blocks_.push_back(std::move(copy));
        }
    }
    ByteArena& operator=(const ByteArena& other) {
        if (this != &other) *this = ByteArena(other);
        return *this;
    }

    Ref append(std::string_view s) {
        const std::size_t need = s.size() + 10;  // the length takes at most 10 bytes
        if (blocks_.empty() || blocks_.back().used + need > blocks_.back().capacity) new_block(need);
        Block& block = blocks_.back();
        const std::size_t offset = block.used;
        unsigned char* at = block.data.get() + offset;
        std::size_t n = s.size();
        while (n >= 0x80) {
            *at++ = static_cast<unsigned char>(n | 0x80);
            n >>= 7;
        }
        *at++ = static_cast<unsigned char>(n);
        if (!s.empty()) std::memcpy(at, s.data(), s.size());
        block.used = static_cast<std::size_t>(at - block.data.get()) + s.size();
        return (static_cast<Ref>(blocks_.size() - 1) << 32) | offset;
    }

    std::string_view view(Ref ref) const noexcept {
        const unsigned char* at = blocks_[ref >> 32].data.get() + (ref & 0xffffffffu);
        std::size_t n = 0;
        unsigned shift = 0;
        while (*at & 0x80) {
            n |= static_cast<std::size_t>(*at++ & 0x7f) << shift;
            shift += 7;
        }
        n |= static_cast<std::size_t>(*at++) << shift;
        return {reinterpret_cast<const char*>(at), n};
    }

private:
    struct Block {
        std::unique_ptr<unsigned char[]> data;
        std::size_t capacity;
        std::size_t used;
    };

    void new_block(std::size_t need) {
        if (!blocks_.empty() && block_size_ < kMaxBlock) block_size_ *= 2;
        const std::size_t capacity = std::max(block_size_, need);  // a long string gets a block of its own
        blocks_.push_back(Block{std::make_unique_for_overwrite<unsigned char[]>(capacity), capacity, 0});
    }

    static constexpr std::size_t kMaxBlock = std::size_t{1} << 20;
    std::vector<Block> blocks_;
    std::size_t block_size_ = 2048;  // doubled before each new block, up to kMaxBlock
};

// A fixed array of trivially copyable slots that starts all zero, from
// calloc: a large array comes as fresh pages that the kernel zeroes as they
// are first touched, so making a large table costs no pass over it (unless
// the allocator reuses a freed block, which calloc then clears). Mapping the
// pages directly was tried: ThreadSanitizer's runtime then sometimes failed
// to shadow a later mapping.
template <class Slot>
class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<Slot>);

public:
    ZeroedArray() = default;
    explicit ZeroedArray(std::size_t n) : size_(n) {
        if (n == 0) return;
        data_ = static_cast<Slot*>(std::calloc(n, sizeof(Slot)));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    ZeroedArray(const ZeroedArray& other) : ZeroedArray(other.size_) {
        if (size_ != 0) std::memcpy(data_, other.data_, size_ * sizeof(Slot));
    }
    ZeroedArray(ZeroedArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    ZeroedArray& operator=(ZeroedArray other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~ZeroedArray() { std::free(data_); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    Slot& operator[](std::size_t i) noexcept { return data_[i]; }
    const Slot& operator[](std::size_t i) const noexcept { return data_[i]; }
    const Slot* begin() const noexcept { return data_; }
    const Slot* end() const noexcept { return data_ + size_; }

private:
    Slot* data_ = nullptr;
    std::size_t size_ = 0;
};

// Linear probing over a power-of-two array of slots, the home slot from the
// high bits of the hash. Growth doubles the array incrementally: the new
// array takes every insert, and each insert moves kMigrate slots of the old
// array over; lookups meanwhile search both. A slot of all zero bytes is
// empty; `Traits` says what a slot's hash is under the table's seed.
template <class Slot, class Traits>
class GrowingTable {
public:
    GrowingTable() = default;
    // A table keyed with a given seed (a later generation of the same ids).
    explicit GrowingTable(std::uint64_t seed) noexcept : seed_(seed) {}

    std::size_t size() const noexcept { return count_; }
    std::uint64_t seed() const noexcept { return seed_; }

    void prefetch(std::uint64_t h) const noexcept {
        if (!cur_.empty()) __builtin_prefetch(&cur_[h >> shift_]);
    }

    template <class Match>
    bool contains(std::uint64_t h, Match&& match) const noexcept {
        return find_in(cur_, shift_, h, match) != nullptr ||
               (!old_.empty() && find_in(old_, old_shift_, h, match) != nullptr);
    }

    // Stores make()'s slot (of hash h) unless a slot that `match` accepts is
    // present; true when stored. make() runs only then.
    template <class Match, class Make>
    bool insert(std::uint64_t h, Match&& match, Make&& make) {
        if ((count_ + 1) * 5 > cur_.size() * 4) grow();
        migrate(kMigrate);
        if (!old_.empty() && find_in(old_, old_shift_, h, match) != nullptr) return false;
        const std::size_t mask = cur_.size() - 1;
        for (std::size_t i = h >> shift_;; i = (i + 1) & mask) {
            Slot& s = cur_[i];
            if (Traits::empty(s)) {
                s = make();
                ++count_;
                return true;
            }
            if (match(s)) return false;
        }
    }

    // Makes room for n entries (moving everything at once, for bulk loads).
    void reserve(std::size_t n) {
        if (n * 5 <= cur_.size() * 4) return;
        migrate(old_.size());
        std::size_t capacity = std::max<std::size_t>(cur_.size(), 16);
        while (n * 5 > capacity * 4) capacity *= 2;
        rehash_into(capacity);
        migrate(old_.size());
    }

    template <class F>
    void for_each(F&& f) const {
        for (const Slot& s : cur_) {
            if (!Traits::empty(s)) f(s);
        }
        for (std::size_t i = migrated_; i < old_.size(); ++i) {
            if (!Traits::empty(old_[i])) f(old_[i]);
        }
    }

    void clear() noexcept { *this = GrowingTable(); }

private:
    static constexpr std::size_t kMigrate = 8;

    template <class Match>
    static const Slot* find_in(const ZeroedArray<Slot>& slots, unsigned shift, std::uint64_t h, Match& match) noexcept {
        if (slots.empty()) return nullptr;
        const std::size_t mask = slots.size() - 1;
        for (std::size_t i = h >> shift;; i = (i + 1) & mask) {
            const Slot& s = slots[i];
            if (Traits::empty(s)) return nullptr;
            if (match(s)) return &s;
        }
    }

    void grow() {
        migrate(old_.size());  // a previous growth still under way (only after reserve)
        rehash_into(std::max<std::size_t>(cur_.size() * 2, 16));
        if (old_.size() <= 64) migrate(old_.size());
    }

    // The current array becomes the old one, a new empty one of `capacity`
    // slots the current one.
    void rehash_into(std::size_t capacity) {
        old_ = std::move(cur_);
        old_shift_ = shift_;
        migrated_ = 0;
        cur_ = ZeroedArray<Slot>(capacity);
        shift_ = home_shift(capacity);
    }

    // Moves up to n slots of the old array into the current one; frees the
    // old array when all are moved. Every moved key is absent from the
    // current array: inserts check the old array first.
    void migrate(std::size_t n) {
        if (old_.empty()) return;
        const std::size_t mask = cur_.size() - 1;
        const std::size_t stop = std::min(old_.size(), migrated_ + n);
        for (; migrated_ < stop; ++migrated_) {
            const Slot& s = old_[migrated_];
            if (Traits::empty(s)) continue;
            std::size_t i = Traits::hash(s, seed_) >> shift_;
            while (!Traits::empty(cur_[i])) i = (i + 1) & mask;
            cur_[i] = s;
        }
        if (migrated_ == old_.size()) {
            old_ = ZeroedArray<Slot>();
            migrated_ = 0;
        }
    }

    ZeroedArray<Slot> cur_;  // size zero or a power of two
    unsigned shift_ = 64;    // home slot: hash >> shift_ (64: no slots yet, never used then)
    ZeroedArray<Slot> old_;  // being moved into cur_; slots [0, migrated_) are moved
    unsigned old_shift_ = 64;
    std::size_t migrated_ = 0;
    std::size_t count_ = 0;  // keys stored, counting each moved key once
    std::uint64_t seed_ = new_hash_seed();
};

// The hashes of a finished generation of ids, as two bits of one 64-bit
// word each (16 bits per id; about 1.5% false positives). A lookup of a
// fresh id reads one word of an array an eighth of the table's size, which
// stays in cache where the table does not; only a positive one goes on to
// the table itself.
class GenerationFilter {
public:
    template <class ForEachHash>
    void build(std::size_t ids, ForEachHash&& for_each_hash) {
        words_.clear();
        if (ids == 0) return;
        std::size_t n = 1;
        unsigned bits = 0;
        while (n < ids / 4 + 1) {
            n *= 2;
            ++bits;
        }
        shift_ = 64 - bits;
        words_.assign(n, 0);
        for_each_hash([this](std::uint64_t h) { words_[index(h)] |= mask(h); });
    }
    bool may_contain(std::uint64_t h) const noexcept {
        if (words_.empty()) return false;
        const std::uint64_t m = mask(h);
        return (words_[index(h)] & m) == m;
    }
    void prefetch(std::uint64_t h) const noexcept {
        if (!words_.empty()) __builtin_prefetch(&words_[index(h)]);
    }

private:
    std::size_t index(std::uint64_t h) const noexcept {
        return shift_ >= 64 ? 0 : static_cast<std::size_t>(h >> shift_);
    }
    static std::uint64_t mask(std::uint64_t h) noexcept {
        return (std::uint64_t{1} << (h & 63)) | (std::uint64_t{1} << ((h >> 6) & 63));
    }
    std::vector<std::uint64_t> words_;
    unsigned shift_ = 64;
};

// A set of byte strings (ids that are not canonical integers).
class IdSet {
    struct Slot {
        std::uint64_t hash;  // 0: empty slot
        ByteArena::Ref ref;
    };
    struct Traits {
        static bool empty(const Slot& s) noexcept { return s.hash == 0; }
        static std::uint64_t hash(const Slot& s, std::uint64_t) noexcept { return s.hash; }
    };

    // A set of ids with their texts: the live generation, or the one before.
    struct Generation {
        GrowingTable<Slot, Traits> table;
        ByteArena arena;
    };

public:
    std::size_t size() const noexcept { return table_.size() + (previous_ ? previous_->table.size() : 0); }
    bool empty() const noexcept { return size() == 0; }

    // Ids expire by generations: rotate() makes the live ids the previous
    // generation (still found by contains and insert) and drops the one
    // before. Both generations hash with one seed, so a hash serves both.
    void rotate() {
        auto kept = std::make_unique<Generation>();
        kept->table = std::move(table_);
        kept->arena = std::move(arena_);
        table_ = GrowingTable<Slot, Traits>(kept->table.seed());
        // A generation takes about as many ids as the one before: room for
        // them up front spares the new table its doublings.
        table_.reserve(kept->table.size());
        arena_ = ByteArena();
        previous_ = std::move(kept);
        filter_.build(previous_->table.size(), [&](auto&& add) {
            previous_->table.for_each([&](const Slot& s) { add(s.hash); });
        });
    }

    std::uint64_t hash_of(std::string_view id) const noexcept {
        const std::uint64_t h = hash_bytes(id, table_.seed());
        return h == 0 ? 1 : h;
    }
    void prefetch(std::uint64_t h) const noexcept { table_.prefetch(h); }
    void prefetch_previous(std::uint64_t h) const noexcept { filter_.prefetch(h); }

    bool contains(std::string_view id) const noexcept {
        const std::uint64_t h = hash_of(id);
        return table_.contains(h, [&](const Slot& s) { return s.hash == h && arena_.view(s.ref) == id; }) ||
               in_previous(id, h);
    }
    // True when the id was not yet in the set (and is now).
    bool insert(std::string_view id) { return insert_hashed(id, hash_of(id)); }
    bool insert_hashed(std::string_view id, std::uint64_t h) {
        if (previous_ && in_previous(id, h)) return false;
        // The text goes into the arena only when the id is new.
        return table_.insert(h, [&](const Slot& s) { return s.hash == h && arena_.view(s.ref) == id; },
                             [&] { return Slot{h, arena_.append(id)}; });
    }
    bool emplace(std::string_view id) { return insert(id); }
    void reserve(std::size_t n) { table_.reserve(n); }

    template <class F>
    void for_each(F&& f) const {
        table_.for_each([&](const Slot& s) { f(arena_.view(s.ref)); });
        if (previous_) previous_->table.for_each([&](const Slot& s) { f(previous_->arena.view(s.ref)); });
    }

    friend bool operator==(const IdSet& a, const IdSet& b) {
        if (a.size() != b.size()) return false;
        bool same = true;
        a.for_each([&](std::string_view id) { same = same && b.contains(id); });
        return same;
    }

    IdSet() = default;
    IdSet(IdSet&&) noexcept = default;
    IdSet& operator=(IdSet&&) noexcept = default;
    IdSet(const IdSet& other) : table_(other.table_), arena_(other.arena_), filter_(other.filter_) {
        if (other.previous_) previous_ = std::make_unique<Generation>(*other.previous_);
    }
    IdSet& operator=(const IdSet& other) {
        if (this != &other) *this = IdSet(other);
        return *this;
    }

private:
    bool in_previous(std::string_view id, std::uint64_t h) const noexcept {
        return previous_ && filter_.may_contain(h) &&
               previous_->table.contains(
                   h, [&](const Slot& s) { return s.hash == h && previous_->arena.view(s.ref) == id; });
    }

    GrowingTable<Slot, Traits> table_;
    ByteArena arena_;
    std::unique_ptr<Generation> previous_;  // null until the first rotate()
    GenerationFilter filter_;                // of previous_'s hashes
};

// A set of int64 keys: 8 bytes a slot. Zero marks an empty slot; the key
// zero itself is kept aside as a flag.
class IntIdSet {
    struct Traits {
        static bool empty(std::int64_t v) noexcept { return v == 0; }
        static std::uint64_t hash(std::int64_t v, std::uint64_t seed) noexcept { return hash_int(v, seed); }
    };

public:
    std::size_t size() const noexcept {
        return table_.size() + (has_zero_ ? 1 : 0) + (previous_ ? previous_->size() : 0) + (previous_zero_ ? 1 : 0);
    }
    // As IdSet::rotate.
    void rotate() {
        previous_ = std::make_unique<GrowingTable<std::int64_t, Traits>>(std::move(table_));
        previous_zero_ = std::exchange(has_zero_, false);
        table_ = GrowingTable<std::int64_t, Traits>(previous_->seed());
        table_.reserve(previous_->size());  // as in IdSet::rotate
        const std::uint64_t seed = previous_->seed();
        filter_.build(previous_->size(), [&](auto&& add) {
            previous_->for_each([&](std::int64_t v) { add(hash_int(v, seed)); });
        });
    }

    std::uint64_t hash_of(std::int64_t v) const noexcept { return hash_int(v, table_.seed()); }
    void prefetch(std::uint64_t h) const noexcept { table_.prefetch(h); }
    // The previous generation's slot (its lookups come with every fresh id).
    void prefetch_previous(std::uint64_t h) const noexcept { filter_.prefetch(h); }
    bool contains(std::int64_t v) const noexcept {
        if (v == 0) return has_zero_ || previous_zero_;
        const std::uint64_t h = hash_of(v);
        return table_.contains(h, [v](std::int64_t s) { return s == v; }) || in_previous(v, h);
    }
    // True when v was not yet in the set (and is now).
    bool insert(std::int64_t v) { return insert_hashed(v, hash_of(v)); }
    bool insert_hashed(std::int64_t v, std::uint64_t h) {
        if (v == 0) return !previous_zero_ && !std::exchange(has_zero_, true);
        if (previous_ && in_previous(v, h)) return false;
        return table_.insert(h, [v](std::int64_t s) { return s == v; }, [v] { return v; });
    }
    void reserve(std::size_t n) { table_.reserve(n); }
    template <class F>
    void for_each(F&& f) const {
        if (has_zero_ || previous_zero_) f(std::int64_t{0});
        table_.for_each(f);
        if (previous_) previous_->for_each(f);
    }

    IntIdSet() = default;
    IntIdSet(IntIdSet&&) noexcept = default;
    IntIdSet& operator=(IntIdSet&&) noexcept = default;
    IntIdSet(const IntIdSet& other)
        : table_(other.table_), has_zero_(other.has_zero_), filter_(other.filter_), previous_zero_(other.previous_zero_) {
        if (other.previous_) previous_ = std::make_unique<GrowingTable<std::int64_t, Traits>>(*other.previous_);
    }
    IntIdSet& operator=(const IntIdSet& other) {
        if (this != &other) *this = IntIdSet(other);
        return *this;
    }

private:
    bool in_previous(std::int64_t v, std::uint64_t h) const noexcept {
        return previous_ && filter_.may_contain(h) && previous_->contains(h, [v](std::int64_t s) { return s == v; });
    }

    GrowingTable<std::int64_t, Traits> table_;
    bool has_zero_ = false;
    GenerationFilter filter_;  // of previous_'s hashes
    // The generation before the live one (see IdSet::rotate); null until the first.
    std::unique_ptr<GrowingTable<std::int64_t, Traits>> previous_;
    bool previous_zero_ = false;
};

// The int64 whose decimal text (as `display` writes an integer: an optional
// '-', no leading zeros, "0" for zero) is exactly `text`; empty for any
// other text ("05", "-0", "+5", "1e3", "5.0", out of range).
std::optional<std::int64_t> canonical_int(std::string_view text) noexcept;

// The remembered event ids, compared by their text form. An id whose text
// is the canonical decimal text of an int64 is kept as that integer, every
// other id as its text; the two never overlap, so the set behaves exactly
// as one set of texts.
class EventIdSet {
public:
    std::size_t size() const noexcept { return ints_.size() + texts_.size(); }
    bool empty() const noexcept { return size() == 0; }

    // True when the id was not yet in the set (and is now).
    bool insert_int(std::int64_t v) { return ints_.insert(v); }
    bool insert_text(std::string_view id) {
        if (auto v = canonical_int(id)) return ints_.insert(*v);
        return texts_.insert(id);
    }
    bool emplace(std::string_view id) { return insert_text(id); }
    bool contains_text(std::string_view id) const noexcept {
        if (auto v = canonical_int(id)) return ints_.contains(*v);
        return texts_.contains(id);
    }

    IntIdSet& ints() noexcept { return ints_; }
    const IntIdSet& ints() const noexcept { return ints_; }
    IdSet& texts() noexcept { return texts_; }
    const IdSet& texts() const noexcept { return texts_; }

    void clear() noexcept { *this = EventIdSet(); }
    // The live ids become the previous generation; the one before is forgotten.
    void rotate() {
        ints_.rotate();
        texts_.rotate();
    }

    friend bool operator==(const EventIdSet& a, const EventIdSet& b) {
        if (a.size() != b.size() || !(a.texts_ == b.texts_)) return false;
        bool same = true;
        a.ints_.for_each([&](std::int64_t v) { same = same && b.ints_.contains(v); });
        return same;
    }

private:
    IntIdSet ints_;
    IdSet texts_;
};

inline std::optional<std::int64_t> canonical_int(std::string_view text) noexcept {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) i = 1;
    const std::size_t digits = text.size() - i;
    if (digits == 0 || digits > 19) return std::nullopt;
    if (text[i] == '0' && (digits > 1 || negative)) return std::nullopt;  // "05", "-0"
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');  // 19 digits fit in 64 bits
    }
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    if (magnitude > limit) return std::nullopt;
    return negative ? static_cast<std::int64_t>(0u - magnitude) : static_cast<std::int64_t>(magnitude);
}

}  // namespace ravik
