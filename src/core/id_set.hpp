// A set of byte strings with open addressing (linear probing). Each slot
// holds the string and its hash, so a lookup of an absent id usually costs
// one cache miss: the remembered event ids outgrow the caches quickly, and a
// node-based set pays two or three misses per lookup there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
