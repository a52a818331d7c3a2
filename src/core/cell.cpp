#include "cell.hpp"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <system_error>

namespace ravik {

std::optional<double> to_f64(const Cell& cell) noexcept {
    if (const auto* i = std::get_if<std::int64_t>(&cell)) return static_cast<double>(*i);
    if (const auto* d = std::get_if<double>(&cell)) return *d;
    return std::nullopt;
}

std::optional<std::int64_t> to_i64(const Cell& cell) noexcept {
    if (const auto* i = std::get_if<std::int64_t>(&cell)) return *i;
    return std::nullopt;
}

void append_int(std::string& out, std::int64_t value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

std::string format_general(double value, int precision) {
    // std::to_chars formats as printf would in the "C" locale, whatever the
    // process locale is; NaN keeps its sign as printf prints it (-nan).
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, precision);
    return std::string(buf, res.ptr);
}

std::string display(const Cell& cell) {
    switch (cell.index()) {
        case kNull:
            return {};
        case kBool:
            return std::get<bool>(cell) ? "true" : "false";
        case kInt: {
            std::string out;
            append_int(out, std::get<std::int64_t>(cell));
            return out;
        }
        case kFloat:
            return format_general(std::get<double>(cell), 6);
        default:
            return std::get<std::string>(cell);
    }
}

namespace testing {
std::atomic<std::int64_t> frozen_now_ms{0};
}

std::int64_t now_millis() noexcept {
    if (const std::int64_t frozen = testing::frozen_now_ms.load(std::memory_order_relaxed)) return frozen;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    return static_cast<std::int64_t>(ns / 1000000);
}

bool append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp <= 0x10FFFF) {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        return false;
    }
    return true;
}

}  // namespace ravik
