// Hashes of keys that senders choose (event ids, group texts, window
// starts, dictionary values): XXH3 keyed with a random seed. Each table
// draws its own seed when it is made and keeps it (copies keep it too), so
// without the seed nobody can compute which keys share a slot: a sender
// cannot craft ids that pile up in one probe run. The seed belongs to the
// table, not to the process: the two extension modules each hold their own
// copy of this code, and both must hash a stream's tables alike. The tables
// index slots with the high bits of these hashes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace ravik {

// A fresh random seed (a random base drawn once, stepped and mixed).
std::uint64_t new_hash_seed() noexcept;

inline std::uint64_t hash_bytes(std::string_view s, std::uint64_t seed) noexcept {
    return XXH3_64bits_withSeed(s.data(), s.size(), seed);
}

inline std::uint64_t hash_int(std::int64_t v, std::uint64_t seed) noexcept {
    unsigned char bytes[8];
    std::memcpy(bytes, &v, sizeof bytes);
    return XXH3_64bits_withSeed(bytes, sizeof bytes, seed);
}

// A pair (a 64-bit start and a 32-bit code), hashed as its 12 bytes.
inline std::uint64_t hash_pair(std::int64_t a, std::uint32_t b, std::uint64_t seed) noexcept {
    unsigned char bytes[12];
    std::memcpy(bytes, &a, 8);
    std::memcpy(bytes + 8, &b, 4);
    return XXH3_64bits_withSeed(bytes, sizeof bytes, seed);
}

// The shift that takes a hash's high bits to a slot of a power-of-two
// table of `capacity` slots: slot = hash >> shift.
inline unsigned home_shift(std::size_t capacity) noexcept {
    unsigned bits = 0;
    while ((std::size_t{1} << bits) < capacity) ++bits;
    return 64 - bits;
}

// Codes 0, 1, 2, ... of texts held elsewhere, found by their hash: open
// addressing over 8-byte slots (0 empty, else the hash's high 32 bits << 32
// | code + 1), so growth needs neither the texts nor their hashes again.
class CodeIndex {
public:
    // The code whose text `same` accepts among those of hash h, or `next`
    // (then stored) when there is none; second: whether it was stored.
    template <class Same>
    std::pair<std::uint32_t, bool> find_or_add(std::uint64_t h, std::uint32_t next, Same&& same) {
        if ((std::size_t{next} + 1) * 4 > slots_.size() * 3) grow();
        const std::uint64_t tag = h & kTagMask;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h >> shift_;; i = (i + 1) & mask) {
            const std::uint64_t e = slots_[i];
            if (e == 0) {
                slots_[i] = tag | (std::uint64_t{next} + 1);
                return {next, true};
            }
            if ((e & kTagMask) == tag) {
                const auto code = static_cast<std::uint32_t>((e & ~kTagMask) - 1);
                if (same(code)) return {code, false};
            }
        }
    }
    void clear() noexcept { *this = CodeIndex(); }

private:
    static constexpr std::uint64_t kTagMask = 0xffffffff00000000u;

    // Doubles the table; the stored high half of each hash gives the new home.
    void grow() {
        const std::size_t capacity = std::max<std::size_t>(slots_.size() * 2, 16);
        std::vector<std::uint64_t> old = std::move(slots_);
        slots_.assign(capacity, 0);
        shift_ = home_shift(capacity);
        const std::size_t mask = capacity - 1;
        for (const std::uint64_t e : old) {
            if (e == 0) continue;
            std::size_t i = e >> shift_;
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = e;
        }
    }

    std::vector<std::uint64_t> slots_;  // size zero or a power of two
    unsigned shift_ = 64;
};

}  // namespace ravik
