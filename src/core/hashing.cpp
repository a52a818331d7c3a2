#include "hashing.hpp"

#include <atomic>
#include <chrono>
#include <random>

namespace ravik {

std::uint64_t new_hash_seed() noexcept {
    static const std::uint64_t base = [] {
        try {
            std::random_device device;
            return (static_cast<std::uint64_t>(device()) << 32) ^ device();
        } catch (...) {
            // No random device: the address of a local and the clock still
            // differ from run to run.
            int local = 0;
            return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&local)) ^
                   static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        }
    }();
    static std::atomic<std::uint64_t> step{0};
    // splitmix64: consecutive steps give unrelated seeds.
    std::uint64_t x = base + step.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace ravik
