// The datagram parser. One left-to-right scan over the trimmed text; every
// index is checked against the view's length, so the parser never reads
// outside the bytes it was given (datagrams carry no terminator).
#include "flat_json.hpp"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace ravik {

namespace {

constexpr bool is_trim_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// isspace() of the C locale, fixed here so the process locale cannot widen it.
constexpr bool is_c_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Position of the first comma or closing brace at or after `from`, or the
// view's length. (A plain loop: find_first_of searches the set per byte.)
std::size_t find_member_end(std::string_view s, std::size_t from) noexcept {
    std::size_t i = from;
    while (i < s.size() && s[i] != ',' && s[i] != '}') ++i;
    return i;
}

bool has_float_marker(std::string_view v) noexcept {
    for (const char c : v) {
        if (c == '.' || c == 'e' || c == 'E') return true;
    }
    return false;
}

std::string_view trim_view(std::string_view text) noexcept {
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && is_trim_space(text[b])) ++b;
    while (e > b && is_trim_space(text[e - 1])) --e;
    return text.substr(b, e - b);
}

// Position of the first double quote at or after `from` that no backslash
// escapes (a backslash makes the byte after it ordinary), or npos.
// `escaped` tells whether a backslash was met on the way.
std::size_t find_closing_quote(std::string_view s, std::size_t from, bool& escaped) noexcept {
    std::size_t i = from;
    escaped = false;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\\') {
            escaped = true;
            i += 2;
        } else if (c == '"') {
            return i;
        } else {
            ++i;
        }
    }
    return std::string_view::npos;
}

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of a \uXXXX escape starting at inner[at] (the backslash), or
// -1 when four hex digits do not follow the u.
long utf16_unit(std::string_view inner, std::size_t at) noexcept {
    if (at + 6 > inner.size() || inner[at] != '\\' || inner[at + 1] != 'u') return -1;
    long unit = 0;
    for (std::size_t k = at + 2; k < at + 6; ++k) {
        const int d = hex_digit(inner[k]);
        if (d < 0) return -1;
        unit = unit * 16 + d;
    }
    return unit;
}

// The inner bytes of a quoted text with backslash escapes resolved. JSON's
// escapes are decoded: \" \\ \/ \b \f \n \r \t, and \uXXXX into UTF-8 (a
// surrogate pair into one code point, a surrogate without its partner into
// U+FFFD, counted in *lone_surrogates when given). Any other backslash
// followed by another inner byte yields that byte literally (\x is x, \u
// without four hex digits is u); a trailing backslash stays.
void append_unescaped(std::string& out, std::string_view inner, std::uint64_t* lone_surrogates) {
    out.reserve(out.size() + inner.size());
    std::size_t i = 0;
    while (i < inner.size()) {
        std::size_t j = i;
        while (j < inner.size() && inner[j] != '\\') ++j;
        out.append(inner.data() + i, j - i);
        if (j >= inner.size()) break;
        if (j + 1 >= inner.size()) {
            out.push_back('\\');
            break;
        }
        i = j + 2;
        switch (inner[j + 1]) {
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                const long unit = utf16_unit(inner, j);
                if (unit < 0) {
                    out.push_back('u');
                    break;
                }
                i = j + 6;
                auto cp = static_cast<std::uint32_t>(unit);
                if (unit >= 0xD800 && unit <= 0xDFFF) {
                    const long low = unit <= 0xDBFF ? utf16_unit(inner, i) : -1;
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(low) - 0xDC00);
                        i += 6;
                    } else {
                        cp = 0xFFFD;
                        if (lone_surrogates != nullptr) ++*lone_surrogates;
                    }
                }
                append_utf8(out, cp);  // never a surrogate here
                break;
            }
            default: out.push_back(inner[j + 1]);  // \" \\ \/ and the literal rule
        }
    }
}

bool is_quoted(std::string_view text) noexcept {
    return text.size() >= 2 && text.front() == '"' && text.back() == '"';
}

// Base-10 integer in the manner of strtoll: leading C-locale whitespace, an
// optional sign, digits, trailing bytes ignored. Empty when no digit was read
// or the value leaves the signed 64-bit range. Accumulates the magnitude in
// unsigned arithmetic, so overflow is detected without signed wrap-around.
std::optional<std::int64_t> parse_integer(std::string_view v) noexcept {
    std::size_t i = 0;
    while (i < v.size() && is_c_space(v[i])) ++i;
    bool negative = false;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) {
        negative = v[i] == '-';
        ++i;
    }
    if (i >= v.size() || !is_digit(v[i])) return std::nullopt;
    const std::uint64_t limit = negative ? static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1u
                                         : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t magnitude = 0;
    for (; i < v.size() && is_digit(v[i]); ++i) {
        const auto digit = static_cast<std::uint64_t>(v[i] - '0');
        // Out of range is strtoll's ERANGE. The magnitude never wraps: each
        // step is checked before it could exceed 64 bits.
        if (__builtin_mul_overflow(magnitude, std::uint64_t{10}, &magnitude) ||
            __builtin_add_overflow(magnitude, digit, &magnitude) || magnitude > limit) {
            return std::nullopt;
        }
    }
    if (negative) return static_cast<std::int64_t>(0u - magnitude);  // two's complement of the magnitude
    return static_cast<std::int64_t>(magnitude);
}

// The C locale as a handle for the *_l functions, created once. Null only if
// the C library could not allocate it.
locale_t c_locale() noexcept {
    static const locale_t handle = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return handle;
}

// A double in the manner of strtod (C locale, whatever the process locale):
// leading whitespace, trailing bytes ignored. Empty when nothing could be
// read or the value is out of range (overflow or underflow, ERANGE).
std::optional<double> parse_double_strtod(std::string_view v) {
    const locale_t loc = c_locale();
    if (loc == static_cast<locale_t>(nullptr)) return std::nullopt;
    // strtod needs a terminator: parse a NUL-terminated copy of the value.
    char small[128];
    std::unique_ptr<char[]> large;
    char* buf = small;
    if (v.size() >= sizeof(small)) {
        large.reset(new char[v.size() + 1]);
        buf = large.get();
    }
    std::memcpy(buf, v.data(), v.size());
    buf[v.size()] = '\0';
    char* end = nullptr;
    errno = 0;
    const double value = strtod_l(buf, &end, loc);
    if (end == buf || errno == ERANGE) return std::nullopt;
    return value;
}

// The same value as parse_double_strtod, taking std::from_chars (locale-free,
// correctly rounded like strtod, and much cheaper) for plain decimal text
// whose result is a normal number or a true zero. Everything else (leading
// whitespace or '+', hexadecimal, inf and nan, overflow, underflow and
// subnormal results with their ERANGE rules) is left to strtod itself.
std::optional<double> parse_double(std::string_view v) {
    const char* const first = v.data();
    const char* const last = first + v.size();
    const char* p = first;
    if (p < last && *p == '-') ++p;
    const bool plain_start = p < last && (is_digit(*p) || *p == '.');
    const bool hex = p + 1 < last && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    if (plain_start && !hex) {
        double value = 0.0;
        const auto [end, ec] = std::from_chars(first, last, value);
        if (ec == std::errc{} && std::isfinite(value)) {
            if (std::isnormal(value)) return value;
            if (value == 0.0) {
                // A true zero only when no significant digit was nonzero;
                // otherwise it is an underflow and strtod's rule applies.
                bool nonzero_digit = false;
                for (const char* q = first; q < end && *q != 'e' && *q != 'E'; ++q) {
                    if (*q >= '1' && *q <= '9') nonzero_digit = true;
                }
                if (!nonzero_digit) return value;
            }
        }
    }
    return parse_double_strtod(v);
}

}  // namespace

Cell value_cell(std::string_view raw, std::uint64_t* lone_surrogates) {
    const std::string_view v = trim_view(raw);
    if (v == "null") return Cell{Null{}};
    if (v == "true") return Cell{true};
    if (v == "false") return Cell{false};
    if (!v.empty() && v.front() == '"') {
        if (!is_quoted(v)) return Cell{std::string(v)};
        std::string out;
        append_unescaped(out, v.substr(1, v.size() - 2), lone_surrogates);
        return Cell{std::move(out)};
    }
    if (!has_float_marker(v)) {
        if (auto i = parse_integer(v)) return Cell{*i};
    } else {
        if (auto d = parse_double(v)) return Cell{*d};
    }
    return Cell{std::string(v)};
}

namespace {

constexpr std::string_view kTimestamp = "timestamp";

// Collects the members in text order and hands them to the Row sorted by
// name, so each field is moved into place once. One stable sort over all
// members, whatever their number: a datagram's cost stays n log n in its
// members (inserting each into a sorted Row would be quadratic, and a
// datagram of 8,000 members in descending order would take the worker a
// tenth of a second).
class RowBuilder {
public:
    // Records a member: the quoted key's inner bytes (escapes still in place)
    // and the raw value text, both views into the datagram, which outlives
    // the builder. Values are converted only when the Row is built, so an
    // occurrence that a later one of the same name replaces is never converted.
    void add(std::string_view key_inner, bool key_escaped, std::string_view raw, std::uint64_t* lone_surrogates) {
        Member m;
        m.raw = raw;
        if (!key_escaped) {
            m.name = key_inner;
            m.in_arena = false;
        } else {
            m.arena_offset = arena_.size();
            append_unescaped(arena_, key_inner, lone_surrogates);
            m.arena_length = arena_.size() - m.arena_offset;
            m.in_arena = true;
        }
        if (count_ < kInline) {
            inline_[count_] = m;
        } else {
            if (count_ == kInline) spilled_.assign(inline_.begin(), inline_.end());
            spilled_.push_back(m);
        }
        ++count_;
    }

    // The Row, with a "timestamp" of the current wall-clock milliseconds
    // when no member had that name.
    Row finish(std::uint64_t* lone_surrogates) {
        Member* members = count_ <= kInline ? inline_.data() : spilled_.data();
        // Names are resolved only now: the arena may have moved while it grew.
        for (std::size_t i = 0; i < count_; ++i) {
            Member& m = members[i];
            if (m.in_arena) m.name = std::string_view(arena_).substr(m.arena_offset, m.arena_length);
        }
        // Stable: among equal names the text order is kept, so the last of
        // a run is the occurrence that wins.
        if (count_ <= kInline) {
            for (std::size_t i = 1; i < count_; ++i) {
                const Member m = members[i];
                std::size_t j = i;
                while (j > 0 && name_less(m.name, members[j - 1].name)) {
                    members[j] = members[j - 1];
                    --j;
                }
                members[j] = m;
            }
        } else {
            std::stable_sort(members, members + count_,
                             [](const Member& a, const Member& b) { return name_less(a.name, b.name); });
        }
        Row row;
        row.reserve(count_ + 1);
        bool timestamp_placed = false;
        for (std::size_t k = 0; k < count_; ++k) {
            const std::string_view name = members[k].name;
            if (k + 1 < count_ && members[k + 1].name == name) continue;  // a later one wins
            if (!timestamp_placed && !name_less(name, kTimestamp)) {
                if (name != kTimestamp) row.append_sorted(std::string(kTimestamp), Cell{now_millis()});
                timestamp_placed = true;
            }
            row.append_sorted(std::string(name), value_cell(members[k].raw, lone_surrogates));
        }
        if (!timestamp_placed) row.append_sorted(std::string(kTimestamp), Cell{now_millis()});
        return row;
    }

private:
    static constexpr std::size_t kInline = 16;
    // Trivial on purpose: the inline buffer costs nothing to create and destroy.
    struct Member {
        std::string_view name;  // unescaped key: in the text, or (once finished) in the arena
        std::size_t arena_offset;
        std::size_t arena_length;
        bool in_arena;
        std::string_view raw;
    };

    // Byte-wise (unsigned) order, the Row's order; most names differ in the
    // first byte, so that is compared before the library call.
    static bool name_less(std::string_view a, std::string_view b) noexcept {
        if (!a.empty() && !b.empty() && a.front() != b.front()) {
            return static_cast<unsigned char>(a.front()) < static_cast<unsigned char>(b.front());
        }
        return a < b;
    }

    std::array<Member, kInline> inline_;
    std::vector<Member> spilled_;  // all members, once there are more than kInline
    std::size_t count_ = 0;
    std::string arena_;  // unescaped keys that differ from their text
};

}  // namespace

std::string trim(std::string_view text) { return std::string(trim_view(text)); }

std::string unquote(std::string_view text) {
    if (!is_quoted(text)) return std::string(text);
    std::string out;
    append_unescaped(out, text.substr(1, text.size() - 2), nullptr);
    return out;
}

std::optional<Row> parse_flat_json_object(std::string_view text, const char** reason) {
    return parse_flat_json_object(text, reason, nullptr);
}

std::optional<Row> parse_flat_json_object(std::string_view text, const char** reason,
                                          std::vector<MemberName>* names, std::uint64_t* lone_surrogates) {
    if (names != nullptr) names->clear();
    auto reject = [reason](const char* why) -> std::optional<Row> {
        if (reason != nullptr) *reason = why;
        return std::nullopt;
    };
    const std::string_view s = trim_view(text);
    const std::size_t n = s.size();
    if (n < 2 || s.front() != '{' || s.back() != '}') return reject(kNotAnObject);

    RowBuilder row;
    std::size_t pos = 1;
    while (n > 2) {
        while (pos < n && (s[pos] == ' ' || s[pos] == ',')) ++pos;
        if (pos >= n - 1) break;  // reached the closing brace
        if (s[pos] != '"') return reject(kNameExpected);

        bool key_escaped = false;
        const std::size_t key_end = find_closing_quote(s, pos + 1, key_escaped);
        if (key_end == std::string_view::npos) return reject(kUnterminatedName);
        const std::string_view key_inner = s.substr(pos + 1, key_end - pos - 1);

        // Whatever stands between the key and the first colon is ignored.
        std::size_t colon = key_end + 1;
        while (colon < n && s[colon] != ':') ++colon;
        if (colon >= n) return reject(kColonExpected);

        std::size_t start = colon + 1;
        while (start < n && is_c_space(s[start])) ++start;

        std::string_view raw;
        std::size_t end = n;
        if (start < n && s[start] == '"') {
            bool value_escaped = false;
            const std::size_t close = find_closing_quote(s, start + 1, value_escaped);
            if (close == std::string_view::npos) {
                raw = s.substr(start);  // unterminated: up to the end, final brace included
                end = n;
            } else {
                raw = s.substr(start, close + 1 - start);
                end = close + 1;
            }
        } else {
            end = find_member_end(s, start);
            raw = s.substr(start, end - start);
        }

        row.add(key_inner, key_escaped, raw, lone_surrogates);
        if (names != nullptr) names->push_back(MemberName{key_inner, key_escaped, raw});

        // On to the next comma (step past it) or brace (stay on it).
        pos = find_member_end(s, end);
        if (pos < n && s[pos] == ',') ++pos;
        if (pos + 1 >= n) break;
    }

    return row.finish(lone_surrogates);
}

std::optional<std::string> member_text(std::string_view text, std::string_view field, bool& valid) {
    std::vector<MemberName> names;
    valid = parse_flat_json_object(text, nullptr, &names).has_value();
    if (!valid) return std::nullopt;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (it->escaped) {
            std::string name;
            append_unescaped(name, it->inner, nullptr);
            if (name != field) continue;
        } else if (it->inner != field) {
            continue;
        }
        const std::string_view v = trim_view(it->raw);
        if (v == "null") return std::nullopt;
        if (!v.empty() && v.front() == '"' && is_quoted(v)) {
            std::string out;
            append_unescaped(out, v.substr(1, v.size() - 2), nullptr);
            return out;
        }
        return std::string(v);
    }
    return std::nullopt;
}

bool match_members(std::string_view text, const std::vector<std::string>& names,
                   std::vector<std::string_view>& raws) {
    // The steps of parse_flat_json_object, for an object whose keys are
    // exactly `names`; anything else is left to it.
    const std::string_view s = trim_view(text);
    const std::size_t n = s.size();
    const std::size_t m = names.size();
    if (m == 0 || n <= 2 || s.front() != '{' || s.back() != '}') return false;
    raws.clear();
    std::size_t pos = 1;
    for (std::size_t j = 0; j < m; ++j) {
        while (pos < n && (s[pos] == ' ' || s[pos] == ',')) ++pos;
        if (pos >= n - 1 || s[pos] != '"') return false;
        const std::string& key = names[j];
        // The key has no backslash and no quote, so its closing quote is the
        // first quote after it.
        if (n - pos - 1 <= key.size() || s.compare(pos + 1, key.size(), key) != 0 || s[pos + 1 + key.size()] != '"') {
            return false;
        }
        std::size_t colon = pos + 2 + key.size();
        while (colon < n && s[colon] != ':') ++colon;
        if (colon >= n) return false;
        std::size_t start = colon + 1;
        while (start < n && is_c_space(s[start])) ++start;
        std::size_t end = n;
        if (start < n && s[start] == '"') {
            bool escaped = false;
            const std::size_t close = find_closing_quote(s, start + 1, escaped);
            if (close == std::string_view::npos) {
                raws.push_back(s.substr(start));
                end = n;
            } else {
                raws.push_back(s.substr(start, close + 1 - start));
                end = close + 1;
            }
        } else {
            end = find_member_end(s, start);
            raws.push_back(s.substr(start, end - start));
        }
        pos = find_member_end(s, end);
        if (pos < n && s[pos] == ',') ++pos;
        if (pos + 1 >= n) return j + 1 == m;  // the object ends here
    }
    // More text after the last expected member: only commas and spaces up to
    // the closing brace, or it holds another member.
    while (pos < n && (s[pos] == ' ' || s[pos] == ',')) ++pos;
    return pos >= n - 1;
}

}  // namespace ravik
