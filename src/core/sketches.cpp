#include "sketches.hpp"

#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>

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

namespace {

// The library's deserialisers from a byte pointer trust the sizes the
// bytes state (a damaged file read past its buffer); those from a stream
// only ever read what is there. A KLL sketch must then serialise back to
// the very bytes (a state the library itself would have written: its
// levels are sizes into the items); an HLL sketch's values go in by
// insertion, so any it accepts is sound (and its serialised form is not
// canonical: the order of a coupon set follows its hash table).
template <class Sketch, class Serialize>
Sketch from_bytes(std::string_view bytes, const char* what, Serialize serialize) {
    try {
        std::istringstream in(std::string(bytes), std::ios::binary);
        Sketch sketch = Sketch::deserialize(in);
        if constexpr (!std::is_same_v<Serialize, std::nullptr_t>) {
            const auto again = serialize(sketch);
            if (std::string_view(reinterpret_cast<const char*>(again.data()), again.size()) != bytes) {
                throw std::invalid_argument("not in the library's own form");
            }
        }
        return sketch;
    } catch (const std::exception& e) {
        throw std::invalid_argument(std::string("not a ") + what + ": " + e.what());
    }
}

// Whether bytes are a KLL sketch of doubles as this program writes them
// (k 200, m 8), checked before the library sees them: its deserialisers
// take the level sizes and the item count as given and copy accordingly.
// The levels must rise within the capacity the library computes, the bytes
// hold exactly the items they bound, n must be the items' total weight
// (each level doubles it; the quantile search relies on it) and no item
// may be NaN (sorting needs an order).
bool sound_kll(std::string_view b) {
    auto u8 = [&](std::size_t at) { return static_cast<std::uint8_t>(b[at]); };
    auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(u8(at) | u8(at + 1) << 8); };
    auto u32 = [&](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, b.data() + at, sizeof v);
        return v;
    };
    auto no_nan = [&](std::size_t from) {
        for (std::size_t at = from; at + 8 <= b.size(); at += 8) {
            double d;
            std::memcpy(&d, b.data() + at, sizeof d);
            if (std::isnan(d)) return false;
        }
        return true;
    };
    if (b.size() < 8 || u16(4) != QuantileSketch::kQuantileK || u8(6) != 8) return false;
    const std::uint8_t flags = u8(3);
    if (flags & 1) return b.size() == 8;                  // empty
    if (flags & 4) return b.size() == 16 && no_nan(8);    // one item
    if (b.size() < 20) return false;
    std::uint64_t n;
    std::memcpy(&n, b.data() + 8, sizeof n);
    const std::uint8_t num_levels = u8(18);
    if (num_levels == 0 || num_levels > 60 || b.size() < 20 + 4u * num_levels) return false;
    const std::uint32_t capacity =
        datasketches::kll_helper::compute_total_capacity(QuantileSketch::kQuantileK, 8, num_levels);
    unsigned __int128 weight = 0;
    for (std::uint8_t i = 0; i < num_levels; ++i) {
        const std::uint32_t lo = u32(20 + 4u * i);
        const std::uint32_t hi = i + 1 < num_levels ? u32(20 + 4u * (i + 1)) : capacity;
        if (lo > hi || hi > capacity) return false;
        weight += static_cast<unsigned __int128>(hi - lo) << i;
    }
    const std::size_t items_at = 20 + 4u * num_levels + 16;  // (after the min and max items)
    return weight == n && b.size() == items_at + 8u * (capacity - u32(20)) && no_nan(20 + 4u * num_levels);
}

}  // namespace

std::unique_ptr<QuantileSketch> QuantileSketch::deserialize(std::string_view bytes) {
    if (!sound_kll(bytes)) throw std::invalid_argument("not a quantile sketch of this program's");
    auto out = std::make_unique<QuantileSketch>();
    out->impl_->sketch = from_bytes<datasketches::kll_sketch<double>>(
        bytes, "quantile sketch", [](const auto& sk) { return sk.serialize(); });
    return out;
}


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

std::string DistinctSketch::serialize() const {
    const auto bytes = impl_->sketch.serialize_compact();
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::unique_ptr<DistinctSketch> DistinctSketch::deserialize(std::string_view bytes, std::uint8_t lg_k) {
    auto out = std::make_unique<DistinctSketch>(lg_k);
    out->impl_->sketch = from_bytes<datasketches::hll_sketch>(bytes, "distinct-count sketch", nullptr);
    if (out->impl_->sketch.get_lg_config_k() != lg_k) throw std::invalid_argument("distinct-count sketch of another size");
    return out;
}

}  // namespace ravik
