// Field-by-field comparison of two processing states, for the round-trip
// checks of the fuzz targets.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core_processing.hpp"

namespace ravik_fuzz {

// Same double, bit for bit; for NaN only the sign counts (the text form keeps
// the sign, not the payload).
inline bool same_double(double a, double b) noexcept {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// Same cell; doubles compared as same_double does.
inline bool same_cell(const ravik::Cell& a, const ravik::Cell& b) {
    if (a.index() == ravik::kFloat && b.index() == ravik::kFloat) {
        return same_double(std::get<double>(a), std::get<double>(b));
    }
    return a == b;
}

// Same rows: names in order, cells as same_cell.
inline bool same_rows(const ravik::Rows& a, const ravik::Rows& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].size() != b[i].size()) return false;
        for (std::size_t k = 0; k < a[i].size(); ++k) {
            if (a[i].field_at(k).name != b[i].field_at(k).name) return false;
            if (!same_cell(a[i].field_at(k).value, b[i].field_at(k).value)) return false;
        }
    }
    return true;
}

inline bool same_state(const ravik::ProcessorState& a, const ravik::ProcessorState& b) {
    if (a.max_event_time != b.max_event_time || a.window_origin != b.window_origin) return false;
    if (a.id_generation_start != b.id_generation_start) return false;
    if (a.seen_event_ids != b.seen_event_ids || a.windows.size() != b.windows.size()) return false;
    const auto aw = a.windows.in_key_order();
    const auto bw = b.windows.in_key_order();
    for (auto x = aw.begin(), y = bw.begin(); x != aw.end(); ++x, ++y) {
        const ravik::WindowAggregate& v = x->second;
        const ravik::WindowAggregate& w = y->second;
        if (x->first != y->first || !same_double(v.sum, w.sum) || v.count != w.count ||
            v.window_start != w.window_start || v.window_end != w.window_end || v.group != w.group) {
            return false;
        }
    }
    return true;
}

}  // namespace ravik_fuzz
