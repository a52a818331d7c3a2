// Hashes of keys that senders choose (event ids, group texts, window starts).
// XXH3 keyed with a secret drawn at random once per process: without the
// secret, nobody can compute which keys share a slot, so a sender cannot
// craft ids that pile up in one probe run. The tables index slots with the
// high bits of these hashes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace ravik {

namespace hashing_detail {
// The process's secret: random bytes, filled during static initialisation
// (hashing.cpp) and never changed afterwards.
alignas(64) extern unsigned char secret[XXH3_SECRET_DEFAULT_SIZE];
}  // namespace hashing_detail

inline std::uint64_t hash_bytes(std::string_view s) noexcept {
    return XXH3_64bits_withSecret(s.data(), s.size(), hashing_detail::secret, XXH3_SECRET_DEFAULT_SIZE);
}

inline std::uint64_t hash_int(std::int64_t v) noexcept {
    unsigned char bytes[8];
    std::memcpy(bytes, &v, sizeof bytes);
    return XXH3_64bits_withSecret(bytes, sizeof bytes, hashing_detail::secret, XXH3_SECRET_DEFAULT_SIZE);
}

// A pair (a 64-bit start and a 32-bit code), hashed as its 12 bytes.
inline std::uint64_t hash_pair(std::int64_t a, std::uint32_t b) noexcept {
    unsigned char bytes[12];
    std::memcpy(bytes, &a, 8);
    std::memcpy(bytes + 8, &b, 4);
    return XXH3_64bits_withSecret(bytes, sizeof bytes, hashing_detail::secret, XXH3_SECRET_DEFAULT_SIZE);
}

}  // namespace ravik
