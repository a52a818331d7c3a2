#include "checkpoint_format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

namespace ravik {

namespace {

// ---------------------------------------------------------------------------
// Writer

void append_uint(std::string& out, std::uint64_t value) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

// The shortest %g form (precision 6 to 17) that reads back as the same
// double, so a restored window emits the mean it would have emitted without
// the restart. Non-finite sums are written as inf, -inf, nan or -nan, which
// the reader below accepts for `sum` only.
std::string format_sum(double value) {
    if (!std::isfinite(value)) return format_general(value, 6);
    for (int precision = 6; precision < 17; ++precision) {
        std::string text = format_general(value, precision);
        double back = 0.0;
        const auto res = std::from_chars(text.data(), text.data() + text.size(), back);
        if (res.ec == std::errc() && res.ptr == text.data() + text.size() && back == value) return text;
    }
    return format_general(value, 17);  // 17 significant digits restore every double
}

// ---------------------------------------------------------------------------
// Reader

constexpr bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Sequential extraction over a block of text with the behaviour of a
// classic-locale input stream: numbers skip leading whitespace and end at the
// first byte that cannot continue them; a read that fails, and any read that
// reaches the end of the text, makes the cursor `spent`, after which every
// further read leaves its target untouched. A failed number is stored as 0,
// an out-of-range one as the limit of its type. Nothing here allocates or
// reads outside `text`.
class Cursor {
public:
    explicit Cursor(std::string_view text) noexcept : text_(text) {}

    // A read failed: a number that was not there (or out of range), a label
    // where only whitespace was left. Reaching the end is not a failure.
    bool failed() const noexcept { return failed_; }
    bool at_end() const noexcept { return spent_ || pos_ == text_.size(); }
    // Only whitespace is left to read.
    bool blank() const noexcept {
        for (std::size_t i = pos_; i < text_.size(); ++i) {
            if (!is_space(text_[i])) return false;
        }
        return true;
    }

    // Skips whitespace, then one word (the unchecked label of a header line).
    void skip_word() noexcept {
        if (!start_read()) return;
        while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
        if (pos_ == text_.size()) spent_ = true;
    }

    // Discards the rest of the current line, its LF included. Consuming the
    // LF does not look past it: a line read right after the text's final LF
    // still yields one empty line.
    void skip_line() noexcept {
        if (spent_) return;
        const auto lf = text_.find('\n', pos_);
        if (lf == std::string_view::npos) {
            pos_ = text_.size();
            spent_ = true;
        } else {
            pos_ = lf + 1;
        }
    }

    // The next line without its LF. False once nothing more can be read;
    // *ended tells whether the line had its LF.
    bool read_line(std::string_view& line, bool* ended = nullptr) noexcept {
        if (spent_) return false;
        const auto lf = text_.find('\n', pos_);
        if (ended != nullptr) *ended = lf != std::string_view::npos;
        if (lf == std::string_view::npos) {
            line = text_.substr(pos_);
            pos_ = text_.size();
            spent_ = true;  // an empty `line` here is the one read past the end
        } else {
            line = text_.substr(pos_, lf - pos_);
            pos_ = lf + 1;
        }
        return true;
    }

    // Skips exactly one byte, whatever it is.
    void skip_one() noexcept {
        if (spent_) return;
        if (pos_ < text_.size()) ++pos_;
        if (pos_ == text_.size()) spent_ = true;
    }

    // Everything left, verbatim.
    std::string_view rest() noexcept {
        if (spent_) return {};
        const auto out = text_.substr(pos_);
        pos_ = text_.size();
        spent_ = true;
        return out;
    }

    // Optional sign and decimal digits. For unsigned types a leading minus
    // negates modulo 2^bits (as strtoul does); the magnitude must still fit.
    template <typename T>
    void read_integer(T& out) noexcept {
        static_assert(std::is_integral_v<T>);
        if (!start_read()) return;
        bool negative = false;
        if (text_[pos_] == '-' || text_[pos_] == '+') {
            negative = text_[pos_] == '-';
            ++pos_;
        }
        std::uint64_t magnitude = 0;
        bool overflow = false;
        std::size_t digits = 0;
        while (pos_ < text_.size() && is_digit(text_[pos_])) {
            const auto d = static_cast<std::uint64_t>(text_[pos_] - '0');
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
                overflow = true;
            } else {
                magnitude = magnitude * 10 + d;
            }
            ++digits;
            ++pos_;
        }
        if (digits == 0) {
            out = 0;
            spent_ = failed_ = true;
            return;
        }
        std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
        if (std::is_signed_v<T> && negative) limit += 1;  // the magnitude of the minimum
        if (overflow || magnitude > limit) {
            out = (std::is_signed_v<T> && negative) ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
            spent_ = failed_ = true;
            return;
        }
        // Negation through unsigned arithmetic, then a modular conversion.
        out = static_cast<T>(negative ? 0 - magnitude : magnitude);
        if (pos_ == text_.size()) spent_ = true;
    }

    // Optional sign, digits with an optional '.', an optional exponent. A
    // dangling exponent ("1e", "1e+") makes the whole read fail. Overflow
    // stores the largest finite value of that sign and fails; underflow stores
    // the rounded (possibly zero) value and succeeds. With `non_finite`, the
    // words inf, -inf, nan and -nan are accepted as well.
    void read_double(double& out, bool non_finite) noexcept {
        if (!start_read()) return;
        bool negative = false;
        if (text_[pos_] == '-' || text_[pos_] == '+') {
            negative = text_[pos_] == '-';
            ++pos_;
            if (non_finite && negative && read_non_finite(out, true)) return;
        } else if (non_finite && read_non_finite(out, false)) {
            return;
        }
        const std::size_t start = pos_;  // the unsigned part
        bool mantissa = false;
        bool point = false;
        bool exponent = false;
        std::size_t exponent_digits = 0;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (is_digit(c)) {
                if (exponent) {
                    ++exponent_digits;
                } else {
                    mantissa = true;
                }
            } else if (c == '.' && !point && !exponent) {
                point = true;
            } else if ((c == 'e' || c == 'E') && !exponent && mantissa) {
                exponent = true;
                if (pos_ + 1 < text_.size() && (text_[pos_ + 1] == '+' || text_[pos_ + 1] == '-')) ++pos_;
            } else {
                break;
            }
            ++pos_;
        }
        if (!mantissa || (exponent && exponent_digits == 0)) {
            out = 0.0;
            spent_ = failed_ = true;
            return;
        }
        const std::string_view digits = text_.substr(start, pos_ - start);
        double magnitude = 0.0;
        const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
        if (res.ec == std::errc::result_out_of_range) {
            if (decimal_magnitude(digits) > 0) {
                out = negative ? -std::numeric_limits<double>::max() : std::numeric_limits<double>::max();
                spent_ = failed_ = true;
                return;
            }
            magnitude = 0.0;
        } else if (res.ec != std::errc() || res.ptr != digits.data() + digits.size()) {
            out = 0.0;  // not reached for a token of the shape checked above
            spent_ = failed_ = true;
            return;
        }
        out = negative ? -magnitude : magnitude;
        if (pos_ == text_.size()) spent_ = true;
    }

private:
    // Skips whitespace before a read; false (and failed) when nothing is left to read.
    bool start_read() noexcept {
        if (!spent_ && skip_space()) return true;
        failed_ = true;
        return false;
    }

    // False (and spent) when only whitespace is left.
    bool skip_space() noexcept {
        while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
        if (pos_ == text_.size()) {
            spent_ = true;
            return false;
        }
        return true;
    }

    bool read_non_finite(double& out, bool negative) noexcept {
        const std::string_view ahead = text_.substr(pos_);
        double value = 0.0;
        if (ahead.starts_with("inf")) {
            value = std::numeric_limits<double>::infinity();
        } else if (ahead.starts_with("nan")) {
            value = std::numeric_limits<double>::quiet_NaN();
        } else {
            return false;
        }
        pos_ += 3;
        out = negative ? -value : value;  // negation keeps the sign of a NaN
        if (pos_ == text_.size()) spent_ = true;
        return true;
    }

    // Decimal exponent of the first non-zero digit of a well-formed unsigned
    // number, positive for values of at least 1 (only its sign is used, to
    // tell overflow from underflow).
    static long long decimal_magnitude(std::string_view digits) noexcept {
        long long position = 0;  // digits before the point, counted from the first non-zero one
        bool seen_nonzero = false;
        bool after_point = false;
        long long leading_fraction_zeros = 0;
        std::size_t i = 0;
        for (; i < digits.size(); ++i) {
            const char c = digits[i];
            if (c == '.') {
                after_point = true;
            } else if (is_digit(c)) {
                if (c != '0') seen_nonzero = true;
                if (!after_point) {
                    if (seen_nonzero) ++position;
                } else if (!seen_nonzero) {
                    ++leading_fraction_zeros;
                }
            } else {
                break;  // 'e' or 'E'
            }
        }
        long long exp = 0;
        bool exp_negative = false;
        if (i < digits.size()) {
            ++i;
            if (i < digits.size() && (digits[i] == '+' || digits[i] == '-')) {
                exp_negative = digits[i] == '-';
                ++i;
            }
            for (; i < digits.size(); ++i) {
                exp = std::min(exp * 10 + (digits[i] - '0'), 1000000000LL);
            }
        }
        const long long base = position > 0 ? position : -leading_fraction_zeros;
        return base + (exp_negative ? -exp : exp);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    bool spent_ = false;
    bool failed_ = false;
};

[[noreturn]] void refuse(const std::string& cause) { throw CheckpointError("read checkpoint failed: " + cause); }

// One window line, parsed on its own: key up to the first TAB, then sum,
// count, start and end, each after one skipped byte, then the group. False
// when a field is missing or not a number (the line was cut short or damaged).
bool parse_window_line(std::string_view line, WindowMap& windows) {
    WindowAggregate window;
    const auto tab = line.find('\t');
    if (tab == std::string_view::npos) return false;
    const std::string_view key = line.substr(0, tab);
    Cursor fields(line.substr(tab + 1));
    fields.read_double(window.sum, true);
    fields.skip_one();
    fields.read_integer(window.count);
    fields.skip_one();
    fields.read_integer(window.window_start);
    fields.skip_one();
    fields.read_integer(window.window_end);
    if (fields.failed() || fields.at_end()) return false;  // no separator before the group
    fields.skip_one();
    window.group = std::string(fields.rest());
    windows.assign(key, window);
    return true;
}

std::string count_text(std::uint64_t n) { return std::to_string(n); }

}  // namespace

bool checkpoint_representable(const ProcessorState& state) {
    bool plain = true;
    state.seen_event_ids.texts().for_each([&](std::string_view id) {
        plain = plain && id.find('\n') == std::string_view::npos;
    });
    for (const auto& [key, window] : state.windows.in_key_order()) {
        if (key.find_first_of("\t\n") != std::string::npos) return false;
        if (window.group.find('\n') != std::string::npos) return false;
    }
    return plain && state.sliced.representable();
}

std::string format_checkpoint(const ProcessorState& state) {
    // Integer ids become their texts here; all are sorted together.
    std::vector<std::string> int_texts;
    int_texts.reserve(state.seen_event_ids.ints().size());
    state.seen_event_ids.ints().for_each([&](std::int64_t v) {
        std::string text;
        append_int(text, v);
        int_texts.push_back(std::move(text));
    });
    std::vector<std::string_view> ids;
    ids.reserve(state.seen_event_ids.size());
    std::size_t size = 128;
    for (const auto& id : int_texts) ids.emplace_back(id);
    state.seen_event_ids.texts().for_each([&](std::string_view id) { ids.push_back(id); });
    for (const std::string_view id : ids) size += id.size() + 1;
    // std::string_view compares bytes as unsigned char, a prefix first.
    std::sort(ids.begin(), ids.end());
    const auto windows = state.windows.in_key_order();
    for (const auto& [key, window] : windows) size += key.size() + window.group.size() + 80;

    std::string out;
    out.reserve(size);
    out += "max_event_time\t";
    append_int(out, state.max_event_time);
    out += "\nwindow_origin\t";
    append_int(out, state.window_origin);
    out += "\nseen_event_ids\t";
    append_uint(out, ids.size());
    out += '\n';
    for (const std::string_view id : ids) {
        out += id;
        out += '\n';
    }
    out += "window_state\t";
    append_uint(out, state.windows.size());
    out += '\n';
    for (const auto& [key, window] : windows) {
        out += key;
        out += '\t';
        out += format_sum(window.sum);
        out += '\t';
        append_uint(out, window.count);
        out += '\t';
        append_int(out, window.window_start);
        out += '\t';
        append_int(out, window.window_end);
        out += '\t';
        out += window.group;
        out += '\n';
    }
    // Additions of later versions: one "extension" line each, after the
    // sections, only for state that today's plans never make (so their
    // files stay as they were).
    if (state.id_generation_start != kTimeUnset) {
        out += "extension\tid_generation_start\t";
        append_int(out, state.id_generation_start);
        out += '\n';
    }
    state.sliced.write(out);
    return out;
}

ProcessorState parse_checkpoint(std::string_view text) {
    ProcessorState state;
    Cursor in(text);
    // An empty file (or one of whitespace only) is a fresh state.
    if (text.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos) return state;
    in.skip_word();
    in.read_integer(state.max_event_time);
    if (in.failed()) refuse("max_event_time missing or not a number");
    in.skip_word();
    in.read_integer(state.window_origin);
    if (in.failed()) refuse("window_origin missing or not a number");

    // Counts are 32-bit; a count with a minus sign wraps as strtoul's does.
    std::uint32_t id_count = 0;
    in.skip_word();
    in.read_integer(id_count);
    if (in.failed()) refuse("count of event ids missing or not a number");
    in.skip_line();
    std::string_view line;
    bool ended = true;
    for (std::uint32_t i = 0; i < id_count; ++i) {
        if (!in.read_line(line, &ended) || !ended) {
            refuse("cut short: " + count_text(i) + " of " + count_text(id_count) + " event ids");
        }
        state.seen_event_ids.emplace(line);
    }

    std::uint32_t window_count = 0;
    const bool no_window_section = in.at_end() || in.blank();
    in.skip_word();
    in.read_integer(window_count);
    if (in.failed()) refuse(no_window_section ? "cut short: no window section" : "count of windows missing or not a number");
    in.skip_line();
    for (std::uint32_t i = 0; i < window_count; ++i) {
        if (!in.read_line(line, &ended) || !ended) {
            refuse("cut short: " + count_text(i) + " of " + count_text(window_count) + " windows");
        }
        if (!parse_window_line(line, state.windows)) refuse("window " + count_text(i + 1) + " is malformed");
    }
    while (in.read_line(line, &ended)) {
        if (line.find_first_not_of(" \t\v\f\r") == std::string_view::npos) continue;
        constexpr std::string_view kGeneration = "extension\tid_generation_start\t";
        if (line.starts_with(kGeneration) && state.id_generation_start == kTimeUnset) {
            if (!ended) refuse("cut short: extension line");
            Cursor value(line.substr(kGeneration.size()));
            std::int64_t start = 0;
            value.read_integer(start);
            if (value.failed() || start == kTimeUnset) refuse("extension id_generation_start is not a number");
            state.id_generation_start = start;
            continue;
        }
        if (line.starts_with("extension\t")) {
            if (!ended) refuse("cut short: extension line");
            bool known = false;
            try {
                known = state.sliced.read_line(line.substr(10));
            } catch (const std::invalid_argument& e) {
                refuse(e.what());
            }
            if (known) continue;
        }
        refuse("more lines than its header counts");
    }
    return state;
}

}  // namespace ravik
