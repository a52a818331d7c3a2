// Hashes of keys that senders choose (event ids, group texts, window
// starts, dictionary values): XXH3 keyed with a random seed. Each table
// draws its own seed when it is made and keeps it (copies keep it too), so
// without the seed nobody can compute which keys share a slot: a sender
// cannot craft ids that pile up in one probe run. The seed belongs to the
// table, not to the process: the two extension modules each hold their own
// copy of this code, and both must hash a stream's tables alike. The tables
// index slots with the high bits of these hashes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

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

}  // namespace ravik
