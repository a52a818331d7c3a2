#include "hashing.hpp"

#include <random>

namespace ravik::hashing_detail {

alignas(64) unsigned char secret[XXH3_SECRET_DEFAULT_SIZE];

namespace {

// XXH3_generateSecret spreads the random bytes over the whole secret.
bool draw_secret() {
    std::random_device device;
    std::uint32_t seed[16];
    for (auto& word : seed) word = device();
    return XXH3_generateSecret(secret, sizeof secret, seed, sizeof seed) == XXH_OK;
}

// Drawn once per process, before main; fork children share it.
[[maybe_unused]] const bool drawn = draw_secret();

}  // namespace

}  // namespace ravik::hashing_detail
