// Per (window start, symbol) count and sum of trade values over raw arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ravik {

struct TradeGroup {
    std::int64_t window_start;
    std::int64_t symbol_id;
    double sum;
    std::int64_t count;
};

// Groups ordered by window start, then symbol id, both signed. window_ms > 0.
std::vector<TradeGroup> aggregate_trades(const std::int64_t* timestamps, const std::uint8_t* is_trade,
                                         const std::int64_t* symbol_id, const double* values,
                                         std::size_t n, std::int64_t window_ms);

}  // namespace ravik
