// Cells (one scalar value) and Rows (one flat record of named cells).
#pragma once

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace ravik {

struct Null {
    friend bool operator==(Null, Null) { return true; }
};

// Alternative indices are part of the contract: 0 Null, 1 bool, 2 int64, 3 double, 4 bytes.
using Cell = std::variant<Null, bool, std::int64_t, double, std::string>;

enum CellIndex : std::size_t { kNull = 0, kBool = 1, kInt = 2, kFloat = 3, kText = 4 };

// A flat record whose fields iterate in byte-wise ascending name order.
// Stored as a sorted vector: events have a handful of fields, so a binary
// search over contiguous entries beats a node-based map in both time and memory.
class Row {
public:
    struct Field {
        std::string name;
        Cell value;
    };
    using const_iterator = std::vector<Field>::const_iterator;
    using iterator = std::vector<Field>::iterator;

    Row() = default;

    void reserve(std::size_t n) { fields_.reserve(n); }
    std::size_t size() const noexcept { return fields_.size(); }
    bool empty() const noexcept { return fields_.empty(); }

    const_iterator begin() const noexcept { return fields_.begin(); }
    const_iterator end() const noexcept { return fields_.end(); }
    iterator begin() noexcept { return fields_.begin(); }
    iterator end() noexcept { return fields_.end(); }

    // Field value by name, or nullptr when the row has no such field.
    const Cell* find(std::string_view name) const noexcept {
        auto it = lower_bound(name);
        if (it != fields_.end() && it->name == name) return &it->value;
        return nullptr;
    }
    bool contains(std::string_view name) const noexcept { return find(name) != nullptr; }

    // Stores the cell under the name, replacing an earlier value of the same name.
    void set(std::string_view name, Cell value) {
        auto it = lower_bound(name);
        if (it != fields_.end() && it->name == name) {
            it->value = std::move(value);
        } else {
            fields_.insert(it, Field{std::string(name), std::move(value)});
        }
    }
    void set(std::string&& name, Cell value) {
        auto it = lower_bound(name);
        if (it != fields_.end() && it->name == name) {
            it->value = std::move(value);
        } else {
            fields_.insert(it, Field{std::move(name), std::move(value)});
        }
    }

    // A Row of the given fields in any order: sorted once, stably, so that of
    // several fields with the same name the last one wins; a "timestamp" of
    // now() is added when no field has that name. n log n in the fields.
    template <class Clock>
    static Row from_fields(std::vector<Field> fields, Clock&& now) {
        // Stable either way; the insertion sort needs no buffer, which
        // std::stable_sort allocates (most events have a handful of fields).
        if (fields.size() <= 16) {
            for (std::size_t i = 1; i < fields.size(); ++i) {
                for (std::size_t j = i; j > 0 && fields[j].name < fields[j - 1].name; --j) {
                    std::swap(fields[j], fields[j - 1]);
                }
            }
        } else {
            std::stable_sort(fields.begin(), fields.end(),
                             [](const Field& a, const Field& b) { return a.name < b.name; });
        }
        Row row;
        row.fields_.reserve(fields.size() + 1);
        bool has_timestamp = false;
        for (std::size_t k = 0; k < fields.size(); ++k) {
            if (k + 1 < fields.size() && fields[k + 1].name == fields[k].name) continue;  // a later one wins
            if (!has_timestamp && fields[k].name >= std::string_view("timestamp")) {
                if (fields[k].name != "timestamp") row.fields_.push_back(Field{"timestamp", Cell{now()}});
                has_timestamp = true;
            }
            row.fields_.push_back(std::move(fields[k]));
        }
        if (!has_timestamp) row.fields_.push_back(Field{"timestamp", Cell{now()}});
        return row;
    }

    // Appends a field whose name sorts after every name already present
    // (callers that produce names in order skip the search).
    void append_sorted(std::string name, Cell value) { fields_.push_back(Field{std::move(name), std::move(value)}); }
    const Field& field_at(std::size_t i) const noexcept { return fields_[i]; }

    friend bool operator==(const Row& a, const Row& b) {
        if (a.fields_.size() != b.fields_.size()) return false;
        for (std::size_t i = 0; i < a.fields_.size(); ++i) {
            if (a.fields_[i].name != b.fields_[i].name || !(a.fields_[i].value == b.fields_[i].value)) {
                return false;
            }
        }
        return true;
    }

private:
    // std::string's operator< compares as unsigned bytes (char_traits<char>::lt),
    // a proper prefix sorting first: the byte-wise order rows must iterate in.
    std::vector<Field>::iterator lower_bound(std::string_view name) {
        return std::lower_bound(fields_.begin(), fields_.end(), name,
                                [](const Field& f, std::string_view n) { return std::string_view(f.name) < n; });
    }
    std::vector<Field>::const_iterator lower_bound(std::string_view name) const {
        return std::lower_bound(fields_.begin(), fields_.end(), name,
                                [](const Field& f, std::string_view n) { return std::string_view(f.name) < n; });
    }

    std::vector<Field> fields_;  // sorted by name, names unique
};

using Rows = std::vector<Row>;

std::optional<double> to_f64(const Cell& cell) noexcept;
std::optional<std::int64_t> to_i64(const Cell& cell) noexcept;
std::string display(const Cell& cell);
std::int64_t now_millis() noexcept;
namespace testing {
// When not zero, now_millis() returns this instead of the clock: the
// differential fuzz target compares two paths that each read the clock.
extern std::atomic<std::int64_t> frozen_now_ms;
}  // namespace testing

// printf-style %g with the given precision, independent of the process locale:
// always a '.' decimal point, never digit grouping; inf, -inf, nan, -nan.
std::string format_general(double value, int precision);
// Appends the decimal form of an integer to out (no locale involved).
void append_int(std::string& out, std::int64_t value);
// Appends one code point as UTF-8; false (nothing appended) for surrogates
// and values beyond U+10FFFF.
bool append_utf8(std::string& out, std::uint32_t cp);

// Two's-complement wrapping arithmetic, computed through unsigned types so that
// overflow is defined behaviour.
constexpr std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
constexpr std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
constexpr std::int64_t wrapping_mul(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

constexpr std::int64_t clamp_to_i64(__int128 v) noexcept {
    return v < static_cast<__int128>(INT64_MIN)   ? INT64_MIN
           : v > static_cast<__int128>(INT64_MAX) ? INT64_MAX
                                                  : static_cast<std::int64_t>(v);
}

// A tumbling window [start, end), both clamped to the signed 64-bit range.
struct WindowBounds {
    std::int64_t start;
    std::int64_t end;
};

// The window of length `width` (> 0) that contains t, among the windows
// aligned to `base`: start = base + floor((t - base) / width) * width.
// Computed in 128 bits, then clamped: start <= t < end holds for every t
// whose window lies inside the range; the window holding the smallest times
// starts at the smallest value, and the window holding the largest times
// ends at the largest value (so it holds t = 2^63 - 1 itself although its
// end is exclusive everywhere else).
constexpr WindowBounds window_bounds(std::int64_t base, std::int64_t t, std::int64_t width) noexcept {
    // In 64 bits while nothing overflows (nearly always), else in 128.
    std::int64_t offset64 = 0;
    if (!__builtin_sub_overflow(t, base, &offset64)) {
        std::int64_t q = offset64 / width;
        if (offset64 % width < 0) --q;
        std::int64_t span = 0, start = 0, end = 0;
        if (!__builtin_mul_overflow(q, width, &span) && !__builtin_add_overflow(base, span, &start) &&
            !__builtin_add_overflow(start, width, &end)) {
            return {start, end};
        }
    }
    using Wide = __int128;
    const Wide offset = static_cast<Wide>(t) - base;
    Wide q = offset / width;
    if (offset % width < 0) --q;
    const Wide start = static_cast<Wide>(base) + q * width;
    return {clamp_to_i64(start), clamp_to_i64(start + width)};
}

}  // namespace ravik
