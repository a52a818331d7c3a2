// Cells (one scalar value) and Rows (one flat record of named cells).
#pragma once

#include <algorithm>
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

// printf-style %g with the given precision, independent of the process locale:
// always a '.' decimal point, never digit grouping; inf, -inf, nan, -nan.
std::string format_general(double value, int precision);
// Appends the decimal form of an integer to out (no locale involved).
void append_int(std::string& out, std::int64_t value);

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

}  // namespace ravik
