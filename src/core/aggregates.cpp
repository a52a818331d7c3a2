#include "aggregates.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "cell.hpp"
#include "hashing.hpp"
#include "id_set.hpp"

namespace ravik {

namespace {

constexpr std::string_view kNames[] = {"count", "sum",    "mean",   "min",           "max",     "first",
                                       "last",  "var",    "stddev", "count_distinct", "quantile"};

bool numeric(const AggValue& v) noexcept { return v.kind == AggValue::Int || v.kind == AggValue::Float; }
double number(const AggValue& v) noexcept { return v.kind == AggValue::Int ? static_cast<double>(v.i) : v.f; }
// Seeds the check hash of sketch states in checkpoints (fixed: files
// outlive processes).
constexpr std::uint64_t kSketchCheckSeed = 0x72617669'6b736b65ull;

bool is_sketch(AggFunc f) noexcept { return f == AggFunc::CountDistinct || f == AggFunc::Quantile; }
std::uint8_t lg_k_of(const AggregateSpec& spec) noexcept { return static_cast<std::uint8_t>(spec.arg); }

// (t, seq) ordering of first and last: by event time, ties by arrival.
bool before(std::int64_t t1, std::uint64_t s1, std::int64_t t2, std::uint64_t s2) noexcept {
    return t1 < t2 || (t1 == t2 && s1 < s2);
}

void put_number(std::string& out, double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}
template <class T>
void put_integer(std::string& out, T v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

template <class T>
T take(std::string_view& text) {
    const std::size_t comma = text.find(',');
    const std::string_view field = text.substr(0, comma);
    T v{};
    const auto r = std::from_chars(field.data(), field.data() + field.size(), v);
    if (r.ec != std::errc{} || r.ptr != field.data() + field.size()) throw std::invalid_argument("aggregate state is malformed");
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    return v;
}

}  // namespace

std::optional<AggFunc> agg_func_of(std::string_view name) noexcept {
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        if (kNames[i] == name) return static_cast<AggFunc>(i);
    }
    return std::nullopt;
}

std::string_view agg_func_name(AggFunc f) noexcept { return kNames[static_cast<std::size_t>(f)]; }

double default_agg_arg(AggFunc f) noexcept {
    if (f == AggFunc::Quantile) return 0.5;
    if (f == AggFunc::CountDistinct) return DistinctSketch::kDefaultLgK;
    return 0.0;
}

std::optional<std::string> check_agg(const AggregateSpec& spec) {
    if (spec.name.empty()) return "an aggregate's name must not be empty";
    if (spec.field.empty()) return "aggregate " + spec.name + " needs a field";
    if (spec.field == "*" && spec.func != AggFunc::Count) return "only count takes the field '*' (every event)";
    if (spec.func == AggFunc::Quantile && !(spec.arg >= 0.0 && spec.arg <= 1.0)) {
        return "quantile " + spec.name + " needs a rank between 0 and 1";
    }
    if (spec.func == AggFunc::CountDistinct && !(spec.arg >= 4 && spec.arg <= 21 && spec.arg == std::floor(spec.arg))) {
        return "count_distinct " + spec.name + " takes log2 of its buckets, an integer from 4 to 21";
    }
    return std::nullopt;
}

Acc Acc::clone() const {
    Acc c;
    c.n = n;
    c.a = a;
    c.b = b;
    c.t = t;
    c.seq = seq;
    if (distinct) c.distinct = std::make_unique<DistinctSketch>(*distinct);
    if (quantiles) c.quantiles = std::make_unique<QuantileSketch>(*quantiles);
    return c;
}

void acc_add(Acc& acc, const AggregateSpec& spec, const AggValue& v, std::int64_t t, std::uint64_t seq) {
    if (v.kind == AggValue::None) return;
    switch (spec.func) {
        case AggFunc::Count: ++acc.n; return;
        case AggFunc::CountDistinct: {
            if (!acc.distinct) acc.distinct = std::make_unique<DistinctSketch>(lg_k_of(spec));
            // Values count by text form, as event ids do: 5, 5.0 and "5" are one.
            if (v.kind == AggValue::Int) {
                acc.distinct->update_int(v.i);
            } else if (v.kind == AggValue::Text) {
                if (auto i = canonical_int(v.text)) {
                    acc.distinct->update_int(*i);
                } else {
                    acc.distinct->update_text(v.text);
                }
            } else {
                const std::string text = display(Cell{v.f});
                if (auto i = canonical_int(text)) {
                    acc.distinct->update_int(*i);
                } else {
                    acc.distinct->update_text(text);
                }
            }
            ++acc.n;
            return;
        }
        default: break;
    }
    if (!numeric(v)) return;
    const double x = number(v);
    switch (spec.func) {
        case AggFunc::Sum: acc_add_number<AggFunc::Sum>(acc, x, t, seq); break;
        case AggFunc::Mean: acc_add_number<AggFunc::Mean>(acc, x, t, seq); break;
        case AggFunc::Min: acc_add_number<AggFunc::Min>(acc, x, t, seq); break;
        case AggFunc::Max: acc_add_number<AggFunc::Max>(acc, x, t, seq); break;
        case AggFunc::First: acc_add_number<AggFunc::First>(acc, x, t, seq); break;
        case AggFunc::Last: acc_add_number<AggFunc::Last>(acc, x, t, seq); break;
        case AggFunc::Var: acc_add_number<AggFunc::Var>(acc, x, t, seq); break;
        case AggFunc::Stddev: acc_add_number<AggFunc::Stddev>(acc, x, t, seq); break;
        case AggFunc::Quantile: acc_add_number<AggFunc::Quantile>(acc, x, t, seq); break;
        default: break;
    }
}

void acc_merge(Acc& into, const Acc& from, const AggregateSpec& spec) {
    if (from.n == 0) return;
    if (into.n == 0) {
        into = from.clone();
        return;
    }
    switch (spec.func) {
        case AggFunc::Count: break;
        case AggFunc::Sum:
        case AggFunc::Mean: into.a += from.a; break;
        case AggFunc::Min: into.a = std::min(into.a, from.a); break;
        case AggFunc::Max: into.a = std::max(into.a, from.a); break;
        case AggFunc::First:
            if (before(from.t, from.seq, into.t, into.seq)) into.a = from.a, into.t = from.t, into.seq = from.seq;
            break;
        case AggFunc::Last:
            if (before(into.t, into.seq, from.t, from.seq)) into.a = from.a, into.t = from.t, into.seq = from.seq;
            break;
        case AggFunc::Var:
        case AggFunc::Stddev: {
            const double na = static_cast<double>(into.n);
            const double nb = static_cast<double>(from.n);
            const double n = na + nb;
            const double delta = from.a - into.a;
            into.a += delta * nb / n;
            into.b += from.b + delta * delta * na * nb / n;
            break;
        }
        case AggFunc::CountDistinct: into.distinct->merge(*from.distinct); break;
        case AggFunc::Quantile: into.quantiles->merge(*from.quantiles); break;
    }
    into.n += from.n;
}

AggResult acc_result(const Acc& acc, const AggregateSpec& spec) {
    AggResult r;
    switch (spec.func) {
        case AggFunc::Count: return {true, static_cast<std::int64_t>(acc.n), 0.0};
        case AggFunc::CountDistinct:
            return {true, acc.distinct ? static_cast<std::int64_t>(std::llround(acc.distinct->estimate())) : 0, 0.0};
        default: break;
    }
    if (acc.n == 0) return r;
    r.valid = true;
    switch (spec.func) {
        case AggFunc::Mean: r.f = acc.a / static_cast<double>(acc.n); break;
        case AggFunc::Var:
        case AggFunc::Stddev:
            if (acc.n < 2) return AggResult{};
            r.f = acc.b / static_cast<double>(acc.n - 1);
            if (spec.func == AggFunc::Stddev) r.f = std::sqrt(r.f);
            break;
        case AggFunc::Quantile: {
            const auto q = acc.quantiles ? acc.quantiles->quantile(spec.arg) : std::nullopt;
            if (!q) return AggResult{};
            r.f = *q;
            break;
        }
        default: r.f = acc.a; break;
    }
    return r;
}

std::string acc_text(const Acc& acc, const AggregateSpec& spec) {
    std::string out;
    put_integer(out, acc.n);
    out += ',';
    if (is_sketch(spec.func)) {
        const std::string bytes = acc.distinct ? acc.distinct->serialize() : acc.quantiles ? acc.quantiles->serialize() : "";
        if (bytes.empty()) return out;
        out += base64_encode(bytes);
        out += ',';
        put_integer(out, hash_bytes(bytes, kSketchCheckSeed));
        return out;
    }
    put_number(out, acc.a);
    out += ',';
    put_number(out, acc.b);
    out += ',';
    put_integer(out, acc.t);
    out += ',';
    put_integer(out, acc.seq);
    return out;
}

Acc acc_parse(std::string_view text, const AggregateSpec& spec) {
    Acc acc;
    acc.n = take<std::uint64_t>(text);
    if (is_sketch(spec.func)) {
        if (text.empty()) {
            if (acc.n != 0) throw std::invalid_argument("aggregate state is malformed");
            return acc;
        }
        const std::size_t comma = text.find(',');
        const auto bytes = base64_decode(text.substr(0, comma));
        if (!bytes || comma == std::string_view::npos) throw std::invalid_argument("aggregate sketch is not base64");
        std::string_view check = text.substr(comma + 1);
        // The library checks too little of what it reads (a distinct-count
        // sketch's counts are taken as they come): a damaged line stops here.
        if (take<std::uint64_t>(check) != hash_bytes(*bytes, kSketchCheckSeed) || !check.empty()) {
            throw std::invalid_argument("aggregate sketch fails its check");
        }
        if (spec.func == AggFunc::CountDistinct) {
            acc.distinct = DistinctSketch::deserialize(*bytes, lg_k_of(spec));
        } else {
            acc.quantiles = QuantileSketch::deserialize(*bytes);
        }
        return acc;
    }
    acc.a = take<double>(text);
    acc.b = take<double>(text);
    acc.t = take<std::int64_t>(text);
    acc.seq = take<std::uint64_t>(text);
    if (!text.empty()) throw std::invalid_argument("aggregate state is malformed");
    return acc;
}

namespace {
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64_encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        for (int s = 18; s >= 0; s -= 6) out += kB64[(v >> s) & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        const std::uint32_t v = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += rest == 2 ? kB64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::uint32_t v = 0;
        int pad = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                ++pad;
                v <<= 6;
                continue;
            }
            const int d = value(c);
            if (d < 0 || pad > 0) return std::nullopt;
            v = v << 6 | static_cast<std::uint32_t>(d);
        }
        out += static_cast<char>((v >> 16) & 0xFF);
        if (pad < 2) out += static_cast<char>((v >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(v & 0xFF);
    }
    return out;
}

}  // namespace ravik
