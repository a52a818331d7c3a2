// A set of byte strings with open addressing (linear probing). Each slot
// holds the string and its hash, so a lookup of an absent id usually costs
// one cache miss: the remembered event ids outgrow the caches quickly, and a
// node-based set pays two or three misses per lookup there.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ravik {

class IdSet {
    struct Slot {
        std::uint64_t hash = 0;  // 0: empty slot
        std::string id;
    };

public:
    class const_iterator {
    public:
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;
        const_iterator() = default;
        const_iterator(const Slot* at, const Slot* end) : at_(at), end_(end) { skip_empty(); }
        const std::string& operator*() const { return at_->id; }
        const std::string* operator->() const { return &at_->id; }
        const_iterator& operator++() {
            ++at_;
            skip_empty();
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.at_ == b.at_; }

    private:
        void skip_empty() {
            while (at_ != end_ && at_->hash == 0) ++at_;
        }
        const Slot* at_ = nullptr;
        const Slot* end_ = nullptr;
    };

    IdSet() = default;

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const_iterator begin() const { return {slots_.data(), slots_.data() + slots_.size()}; }
    const_iterator end() const { return {slots_.data() + slots_.size(), slots_.data() + slots_.size()}; }

    bool contains(std::string_view id) const noexcept {
        if (slots_.empty()) return false;
        const std::uint64_t h = hash_of(id);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.hash == 0) return false;
            if (s.hash == h && s.id == id) return true;
        }
    }

    // True when the id was not yet in the set (and is now).
    bool insert(std::string&& id) { return insert_hashed(std::move(id), hash_of(id)); }

    static std::uint64_t hash_of(std::string_view id) noexcept {
        const std::uint64_t h = std::hash<std::string_view>{}(id);
        return h == 0 ? 1 : h;
    }
    // Starts loading the slot where an id of this hash is probed first.
    void prefetch(std::uint64_t h) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[h & mask_]);
    }
    // insert() for an id whose hash_of() is already known.
    bool insert_hashed(std::string&& id, std::uint64_t h) {
        if ((size_ + 1) * 5 > slots_.size() * 4) grow(size_ + 1);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.hash == 0) {
                s.hash = h;
                s.id = std::move(id);
                ++size_;
                return true;
            }
            if (s.hash == h && s.id == id) return false;
        }
    }
    bool insert(std::string_view id) { return insert(std::string(id)); }
    bool emplace(std::string_view id) { return insert(std::string(id)); }

    // Makes room for n ids without further growth.
    void reserve(std::size_t n) {
        if (n * 5 > slots_.size() * 4) grow(n);
    }
    void clear() noexcept {
        slots_.clear();
        mask_ = 0;
        size_ = 0;
    }

    friend bool operator==(const IdSet& a, const IdSet& b) {
        if (a.size_ != b.size_) return false;
        for (const auto& id : a) {
            if (!b.contains(id)) return false;
        }
        return true;
    }

private:

    // Rehashes into a power-of-two table that holds n ids below 80% load.
    void grow(std::size_t n) {
        std::size_t capacity = 16;
        while (n * 5 > capacity * 4) capacity *= 2;
        if (capacity <= slots_.size()) return;
        std::vector<Slot> old = std::move(slots_);
        slots_ = std::vector<Slot>(capacity);
        mask_ = capacity - 1;
        for (Slot& s : old) {
            if (s.hash == 0) continue;
            std::size_t i = s.hash & mask_;
            while (slots_[i].hash != 0) i = (i + 1) & mask_;
            slots_[i].hash = s.hash;
            slots_[i].id = std::move(s.id);
        }
    }

    std::vector<Slot> slots_;  // size is zero or a power of two
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace ravik

namespace ravik {

// The int64 whose decimal text (as `display` writes an integer: an optional
// '-', no leading zeros, "0" for zero) is exactly `text`; empty for any
// other text ("05", "-0", "+5", "1e3", "5.0", out of range).
std::optional<std::int64_t> canonical_int(std::string_view text) noexcept;

// A set of int64 keys with open addressing (linear probing): 8 bytes a
// slot. The smallest int64 marks an empty slot; that key itself is kept
// aside as a flag.
class IntIdSet {
public:
    std::size_t size() const noexcept { return size_ + (has_min_ ? 1 : 0); }

    static std::uint64_t hash_of(std::int64_t v) noexcept {
        return static_cast<std::uint64_t>(v) * 0x9E3779B97F4A7C15ull;
    }
    void prefetch(std::uint64_t h) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[h >> shift_]);
    }
    bool contains(std::int64_t v) const noexcept {
        if (v == kEmpty) return has_min_;
        if (slots_.empty()) return false;
        for (std::size_t i = hash_of(v) >> shift_;; i = (i + 1) & mask_) {
            if (slots_[i] == v) return true;
            if (slots_[i] == kEmpty) return false;
        }
    }
    // True when v was not yet in the set (and is now).
    bool insert(std::int64_t v) { return insert_hashed(v, hash_of(v)); }
    bool insert_hashed(std::int64_t v, std::uint64_t h) {
        if (v == kEmpty) return !std::exchange(has_min_, true);
        if ((size_ + 1) * 5 > slots_.size() * 4) grow(size_ + 1), h = hash_of(v);
        for (std::size_t i = h >> shift_;; i = (i + 1) & mask_) {
            if (slots_[i] == v) return false;
            if (slots_[i] == kEmpty) {
                slots_[i] = v;
                ++size_;
                return true;
            }
        }
    }
    void reserve(std::size_t n) {
        if (n * 5 > slots_.size() * 4) grow(n);
    }
    template <class F>
    void for_each(F&& f) const {
        if (has_min_) f(kEmpty);
        for (const std::int64_t v : slots_) {
            if (v != kEmpty) f(v);
        }
    }

private:
    static constexpr std::int64_t kEmpty = INT64_MIN;

    void grow(std::size_t n) {
        std::size_t capacity = 16;
        unsigned bits = 4;
        while (n * 5 > capacity * 4) capacity *= 2, ++bits;
        if (capacity <= slots_.size()) return;
        std::vector<std::int64_t> old = std::move(slots_);
        slots_.assign(capacity, kEmpty);
        mask_ = capacity - 1;
        shift_ = 64 - bits;
        for (const std::int64_t v : old) {
            if (v == kEmpty) continue;
            std::size_t i = hash_of(v) >> shift_;
            while (slots_[i] != kEmpty) i = (i + 1) & mask_;
            slots_[i] = v;
        }
    }

    std::vector<std::int64_t> slots_;  // size zero or a power of two
    std::size_t mask_ = 0;
    unsigned shift_ = 63;
    std::size_t size_ = 0;  // keys in slots_
    bool has_min_ = false;
};

// The remembered event ids, compared by their text form. An id whose text
// is the canonical decimal text of an int64 is kept as that integer (8
// bytes, no string), every other id as its text; the two never overlap, so
// the set behaves exactly as one set of texts.
class EventIdSet {
public:
    std::size_t size() const noexcept { return ints_.size() + texts_.size(); }
    bool empty() const noexcept { return size() == 0; }

    // True when the id was not yet in the set (and is now).
    bool insert_int(std::int64_t v) { return ints_.insert(v); }
    bool insert_text(std::string_view id) {
        if (auto v = canonical_int(id)) return ints_.insert(*v);
        return texts_.insert(std::string(id));
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
