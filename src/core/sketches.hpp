// Approximate aggregates over Apache DataSketches (third_party/datasketches):
// KLL for quantiles, HLL for distinct counts. The library's headers are
// compiled only in sketches.cpp; these classes hide them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ravik {

// Quantiles of doubles: kll_sketch<double> with k = kQuantileK, whose
// normalised rank error is about 1.33% (at one rank, 99% confidence).
class QuantileSketch {
public:
    static constexpr std::uint16_t kQuantileK = 200;
    QuantileSketch();
    ~QuantileSketch();
    QuantileSketch(const QuantileSketch& other);
    QuantileSketch& operator=(const QuantileSketch&) = delete;

    void update(double value);  // NaN is ignored
    void merge(const QuantileSketch& other);
    bool empty() const noexcept;
    // The value at normalised rank `rank` (0..1); none when empty.
    std::optional<double> quantile(double rank) const;
    // The library's serialised form; throws std::invalid_argument for bytes
    // that are not one.
    std::string serialize() const;
    static std::unique_ptr<QuantileSketch> deserialize(std::string_view bytes);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Distinct counts: hll_sketch of 2^lg_k buckets (HLL_8), relative standard
// error about 1.04 / sqrt(2^lg_k) (1.6% at the default lg_k 12).
class DistinctSketch {
public:
    static constexpr std::uint8_t kDefaultLgK = 12;
    explicit DistinctSketch(std::uint8_t lg_k);
    ~DistinctSketch();
    DistinctSketch(const DistinctSketch& other);
    DistinctSketch& operator=(const DistinctSketch&) = delete;

    void update_int(std::int64_t value);
    void update_text(std::string_view text);
    void merge(const DistinctSketch& other);
    double estimate() const;
    std::string serialize() const;
    static std::unique_ptr<DistinctSketch> deserialize(std::string_view bytes, std::uint8_t lg_k);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ravik
