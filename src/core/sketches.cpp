#include "sketches.hpp"

#include <cmath>
#include <stdexcept>

#include <hll.hpp>
#include <kll_sketch.hpp>

namespace ravik {

struct QuantileSketch::Impl {
    datasketches::kll_sketch<double> sketch{kQuantileK};
};

QuantileSketch::QuantileSketch() : impl_(std::make_unique<Impl>()) {}
QuantileSketch::~QuantileSketch() = default;
QuantileSketch::QuantileSketch(const QuantileSketch& other) : impl_(std::make_unique<Impl>(*other.impl_)) {}

void QuantileSketch::update(double value) {
    if (!std::isnan(value)) impl_->sketch.update(value);
}
void QuantileSketch::merge(const QuantileSketch& other) { impl_->sketch.merge(other.impl_->sketch); }
bool QuantileSketch::empty() const noexcept { return impl_->sketch.is_empty(); }

std::optional<double> QuantileSketch::quantile(double rank) const {
    if (impl_->sketch.is_empty()) return std::nullopt;
    return impl_->sketch.get_quantile(rank);
}

std::string QuantileSketch::serialize() const {
    const auto bytes = impl_->sketch.serialize();
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::unique_ptr<QuantileSketch> QuantileSketch::deserialize(std::string_view bytes) {
    auto out = std::make_unique<QuantileSketch>();
    try {
        out->impl_->sketch = datasketches::kll_sketch<double>::deserialize(bytes.data(), bytes.size());
    } catch (const std::exception& e) {
        throw std::invalid_argument(std::string("not a quantile sketch: ") + e.what());
    }
    return out;
}

double QuantileSketch::rank_error() const { return impl_->sketch.get_normalized_rank_error(false); }

struct DistinctSketch::Impl {
    explicit Impl(std::uint8_t lg_k) : sketch(lg_k, datasketches::HLL_8) {}
    datasketches::hll_sketch sketch;
};

DistinctSketch::DistinctSketch(std::uint8_t lg_k) : impl_(std::make_unique<Impl>(lg_k)) {}
DistinctSketch::~DistinctSketch() = default;
DistinctSketch::DistinctSketch(const DistinctSketch& other) : impl_(std::make_unique<Impl>(*other.impl_)) {}

void DistinctSketch::update_int(std::int64_t value) { impl_->sketch.update(value); }
void DistinctSketch::update_text(std::string_view text) { impl_->sketch.update(text.data(), text.size()); }

void DistinctSketch::merge(const DistinctSketch& other) {
    datasketches::hll_union u(impl_->sketch.get_lg_config_k());
    u.update(impl_->sketch);
    u.update(other.impl_->sketch);
    impl_->sketch = u.get_result(datasketches::HLL_8);
}

double DistinctSketch::estimate() const { return impl_->sketch.get_estimate(); }
double DistinctSketch::lower_bound(std::uint8_t sigmas) const { return impl_->sketch.get_lower_bound(sigmas); }
double DistinctSketch::upper_bound(std::uint8_t sigmas) const { return impl_->sketch.get_upper_bound(sigmas); }

std::string DistinctSketch::serialize() const {
    const auto bytes = impl_->sketch.serialize_compact();
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::unique_ptr<DistinctSketch> DistinctSketch::deserialize(std::string_view bytes, std::uint8_t lg_k) {
    auto out = std::make_unique<DistinctSketch>(lg_k);
    try {
        out->impl_->sketch = datasketches::hll_sketch::deserialize(bytes.data(), bytes.size());
    } catch (const std::exception& e) {
        throw std::invalid_argument(std::string("not a distinct-count sketch: ") + e.what());
    }
    if (out->impl_->sketch.get_lg_config_k() != lg_k) throw std::invalid_argument("distinct-count sketch of another size");
    return out;
}

}  // namespace ravik
