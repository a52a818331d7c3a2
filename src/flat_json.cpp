// The datagram parser. One left-to-right scan over the trimmed text; every
// index is checked against the view's length, so the parser never reads
// outside the bytes it was given (datagrams carry no terminator).
#include "flat_json.hpp"

#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

namespace ravik {

namespace {

constexpr bool is_trim_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// isspace() of the C locale, fixed here so the process locale cannot widen it.
constexpr bool is_c_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

std::string_view trim_view(std::string_view text) noexcept {
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && is_trim_space(text[b])) ++b;
    while (e > b && is_trim_space(text[e - 1])) --e;
    return text.substr(b, e - b);
}

// Position of the first double quote at or after `from` that no backslash
// escapes (a backslash makes the byte after it ordinary), or npos.
std::size_t find_closing_quote(std::string_view s, std::size_t from) noexcept {
    std::size_t i = from;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\\') {
            i += 2;
        } else if (c == '"') {
            return i;
        } else {
            ++i;
        }
    }
    return std::string_view::npos;
}

// The inner bytes of a quoted text with backslash escapes resolved: a
// backslash followed by another inner byte yields that byte literally; a
// trailing backslash stays.
void append_unescaped(std::string& out, std::string_view inner) {
    out.reserve(out.size() + inner.size());
    std::size_t i = 0;
    while (i < inner.size()) {
        std::size_t j = i;
        while (j < inner.size() && inner[j] != '\\') ++j;
        out.append(inner.data() + i, j - i);
        if (j >= inner.size()) break;
        if (j + 1 < inner.size()) {
            out.push_back(inner[j + 1]);
            i = j + 2;
        } else {
            out.push_back('\\');
            i = j + 1;
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
        if (magnitude > (limit - digit) / 10u) return std::nullopt;  // out of range: strtoll's ERANGE
        magnitude = magnitude * 10u + digit;
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
std::optional<double> parse_double(std::string_view v) {
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

Cell value_cell(std::string_view raw) {
    const std::string_view v = trim_view(raw);
    if (v == "null") return Cell{Null{}};
    if (v == "true") return Cell{true};
    if (v == "false") return Cell{false};
    if (!v.empty() && v.front() == '"') {
        if (!is_quoted(v)) return Cell{std::string(v)};
        std::string out;
        append_unescaped(out, v.substr(1, v.size() - 2));
        return Cell{std::move(out)};
    }
    if (v.find_first_of(".eE") == std::string_view::npos) {
        if (auto i = parse_integer(v)) return Cell{*i};
    } else {
        if (auto d = parse_double(v)) return Cell{*d};
    }
    return Cell{std::string(v)};
}

}  // namespace

std::string trim(std::string_view text) { return std::string(trim_view(text)); }

std::string unquote(std::string_view text) {
    if (!is_quoted(text)) return std::string(text);
    std::string out;
    append_unescaped(out, text.substr(1, text.size() - 2));
    return out;
}

std::optional<Row> parse_flat_json_object(std::string_view text) {
    const std::string_view s = trim_view(text);
    const std::size_t n = s.size();
    if (n < 2 || s.front() != '{' || s.back() != '}') return std::nullopt;

    Row row;
    row.reserve(8);
    std::size_t pos = 1;
    std::string key_buf;
    while (n > 2) {
        while (pos < n && (s[pos] == ' ' || s[pos] == ',')) ++pos;
        if (pos >= n - 1) break;  // reached the closing brace
        if (s[pos] != '"') return std::nullopt;

        const std::size_t key_end = find_closing_quote(s, pos + 1);
        if (key_end == std::string_view::npos) return std::nullopt;
        const std::string_view key_inner = s.substr(pos + 1, key_end - pos - 1);

        // Whatever stands between the key and the first colon is ignored.
        const std::size_t colon = s.find(':', key_end + 1);
        if (colon == std::string_view::npos) return std::nullopt;

        std::size_t start = colon + 1;
        while (start < n && is_c_space(s[start])) ++start;

        std::string_view raw;
        std::size_t end = n;
        if (start < n && s[start] == '"') {
            const std::size_t close = find_closing_quote(s, start + 1);
            if (close == std::string_view::npos) {
                raw = s.substr(start);  // unterminated: up to the end, final brace included
                end = n;
            } else {
                raw = s.substr(start, close + 1 - start);
                end = close + 1;
            }
        } else {
            end = s.find_first_of(",}", start);
            if (end == std::string_view::npos) end = n;
            raw = s.substr(start, end - start);
        }

        Cell value = value_cell(raw);
        if (key_inner.find('\\') == std::string_view::npos) {
            row.set(key_inner, std::move(value));
        } else {
            key_buf.clear();
            append_unescaped(key_buf, key_inner);
            row.set(std::string_view(key_buf), std::move(value));
        }

        // On to the next comma (step past it) or brace (stay on it).
        pos = s.find_first_of(",}", end);
        if (pos == std::string_view::npos) {
            pos = n;
        } else if (s[pos] == ',') {
            ++pos;
        }
        if (pos + 1 >= n) break;
    }

    if (!row.contains("timestamp")) row.set(std::string_view("timestamp"), Cell{now_millis()});
    return row;
}

}  // namespace ravik
