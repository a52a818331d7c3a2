// Aggregates of a window beyond its count and mean: their specs, the state
// one aggregate keeps for one slice, session or window (Acc), how states
// merge, and their text form in checkpoints.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sketches.hpp"

namespace ravik {

enum class AggFunc : std::uint8_t { Count, Sum, Mean, Min, Max, First, Last, Var, Stddev, CountDistinct, Quantile };

std::optional<AggFunc> agg_func_of(std::string_view name) noexcept;
std::string_view agg_func_name(AggFunc f) noexcept;
// Count and count_distinct give integers; the others floats (null when
// the window had no value for them).
inline bool agg_gives_int(AggFunc f) noexcept { return f == AggFunc::Count || f == AggFunc::CountDistinct; }

// One aggregate of a plan: its output column, function, field and argument
// (the rank of a quantile; log2 of the buckets of a distinct count).
struct AggregateSpec {
    std::string name;
    AggFunc func = AggFunc::Count;
    std::string field;  // "*": every event (count only)
    double arg = 0.0;
};

// The argument an aggregate takes when the plan gives none, and whether a
// given one is sound (a message when it is not).
double default_agg_arg(AggFunc f) noexcept;
std::optional<std::string> check_agg(const AggregateSpec& spec);

// One value an event gives an aggregate: a number, a text, or nothing.
struct AggValue {
    enum Kind : std::uint8_t { None, Int, Float, Text } kind = None;
    std::int64_t i = 0;
    double f = 0.0;
    std::string_view text;
};

// The state of one aggregate over some events.
//   Count: n. Sum/Mean: n, a = sum. Min/Max: n, a. First/Last: n, a = value,
//   t = its event time, seq = its arrival number. Var/Stddev: n, a = mean,
//   b = sum of squared deviations (merged with Chan's parallel formula).
//   CountDistinct: distinct. Quantile: quantiles.
struct Acc {
    std::uint64_t n = 0;
    double a = 0.0;
    double b = 0.0;
    std::int64_t t = 0;
    std::uint64_t seq = 0;
    std::unique_ptr<DistinctSketch> distinct;
    std::unique_ptr<QuantileSketch> quantiles;

    Acc() = default;
    Acc(Acc&&) noexcept = default;
    Acc& operator=(Acc&&) noexcept = default;
    // Copies are deep (the sketches too).
    Acc(const Acc& other) : Acc(other.clone()) {}
    Acc& operator=(const Acc& other) { return *this = other.clone(); }
    Acc clone() const;
};

void acc_add(Acc& acc, const AggregateSpec& spec, const AggValue& v, std::int64_t t, std::uint64_t seq);

// A number into an aggregate F that takes numbers (all but CountDistinct):
// what acc_add does for one, with the function known at compile time.
template <AggFunc F>
inline void acc_add_number(Acc& acc, double x, std::int64_t t, std::uint64_t seq) {
    if constexpr (F == AggFunc::Sum || F == AggFunc::Mean) {
        acc.a += x;
    } else if constexpr (F == AggFunc::Min || F == AggFunc::Max) {
        if (x != x) return;  // NaN is no value for them
        if (acc.n == 0 || (F == AggFunc::Min ? x < acc.a : x > acc.a)) acc.a = x;
    } else if constexpr (F == AggFunc::First || F == AggFunc::Last) {
        const bool earlier = t < acc.t || (t == acc.t && seq < acc.seq);
        if (acc.n == 0 || (F == AggFunc::First ? earlier : !earlier)) {
            acc.a = x;
            acc.t = t;
            acc.seq = seq;
        }
    } else if constexpr (F == AggFunc::Var || F == AggFunc::Stddev) {
        const double d = x - acc.a;
        acc.a += d / static_cast<double>(acc.n + 1);
        acc.b += d * (x - acc.a);
    } else if constexpr (F == AggFunc::Quantile) {
        if (x != x) return;
        if (!acc.quantiles) acc.quantiles = std::make_unique<QuantileSketch>();
        acc.quantiles->update(x);
    }
    ++acc.n;
}
void acc_merge(Acc& into, const Acc& from, const AggregateSpec& spec);
// The result: an integer (Count, CountDistinct), a double, or none.
struct AggResult {
    bool valid = false;
    std::int64_t i = 0;
    double f = 0.0;
};
AggResult acc_result(const Acc& acc, const AggregateSpec& spec);

// Text form for a checkpoint line: no TAB, no LF. Sketches are the
// library's serialised bytes in base64. acc_parse throws
// std::invalid_argument for a text that is not one.
std::string acc_text(const Acc& acc, const AggregateSpec& spec);
Acc acc_parse(std::string_view text, const AggregateSpec& spec);

std::string base64_encode(std::string_view bytes);
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace ravik
