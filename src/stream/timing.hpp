// Clocks, deadlines and sleeps of the stream's threads.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <limits>
#include <optional>

namespace ravik::timing {

inline std::int64_t steady_now_ns() noexcept {
    return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
}

// Milliseconds as nanoseconds, saturating at the signed 64-bit maximum.
inline std::int64_t millis_to_ns_saturated(std::uint64_t ms) noexcept {
    constexpr std::uint64_t kMaxMs = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / 1000000u;
    if (ms > kMaxMs) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(ms * 1000000u);
}

// The moment timeout_ms from now, or none when that lies beyond the clock's
// range (then there is no deadline at all). Formed here rather than by
// wait_for, which adds the timeout to the clock unchecked.
inline std::optional<std::chrono::steady_clock::time_point> deadline_after(std::uint64_t timeout_ms) noexcept {
    const std::int64_t timeout_ns = millis_to_ns_saturated(timeout_ms);
    const auto now = std::chrono::steady_clock::now();
    const std::int64_t now_ns = static_cast<std::int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count());
    if (now_ns > 0 && timeout_ns > std::numeric_limits<std::int64_t>::max() - now_ns) return std::nullopt;
    return now + std::chrono::nanoseconds(timeout_ns);
}

// A bare futex on the word of an atomic: a sleep that any thread can end, with
// no waiter bookkeeping in user space, so that a forked child (which has no
// worker) can still signal and destroy it, unlike a condition variable
// with the worker among its waiters.
inline void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t seen, const timespec* timeout) noexcept {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, timeout, nullptr, 0);
}

inline void futex_wake_all(std::atomic<std::uint32_t>& word) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

inline timespec timespec_of_ns(std::int64_t ns) noexcept {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    return t;
}

inline void sleep_one_millisecond() noexcept {
    timespec remaining{0, 1000000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace ravik::timing
