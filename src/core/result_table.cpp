#include "result_table.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <unordered_map>

namespace ravik {

ValueType value_type(const Cell& c) noexcept {
    switch (c.index()) {
        case kBool: return ValueType::Bool;
        case kInt: return ValueType::Int;
        case kFloat: return ValueType::Float;
        case kText: return ValueType::Text;
        default: return ValueType::Unset;  // Null: does not decide the type
    }
}

ValueType merge_value_type(ValueType t, ValueType c) noexcept {
    if (c == ValueType::Unset || c == t) return t;
    if (t == ValueType::Unset) return c;
    if ((t == ValueType::Int && c == ValueType::Float) || (t == ValueType::Float && c == ValueType::Int)) {
        return ValueType::Float;
    }
    return ValueType::Text;
}

ValueType selection_value_type(const std::vector<Selection>& parts, std::string_view name,
                               std::vector<const Column*>& cols) {
    ValueType type = ValueType::Unset;
    for (std::size_t p = 0; p < parts.size(); ++p) {
        const Column* col = cols[p] = parts[p].batch->find(name);
        if (col == nullptr) continue;
        switch (col->kind) {
            case ColumnKind::Int: type = merge_value_type(type, ValueType::Int); break;
            case ColumnKind::Float: type = merge_value_type(type, ValueType::Float); break;
            case ColumnKind::Bool: type = merge_value_type(type, ValueType::Bool); break;
            case ColumnKind::Text: type = merge_value_type(type, ValueType::Text); break;
            case ColumnKind::Cells:
                for (const std::uint32_t i : parts[p].rows) type = merge_value_type(type, value_type(col->cells[i]));
                break;
        }
    }
    return type;
}

namespace {

// The length of the well-formed UTF-8 sequence at p (Unicode, table 3-7:
// the second byte's range depends on the first, which excludes overlong
// forms, surrogates and code points past U+10FFFF), or 0 when there is none.
std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end) noexcept {
    const unsigned char b = *p;
    if (b < 0x80) return 1;
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(end - p) < len) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (std::size_t k = 2; k < len; ++k) {
        if (p[k] < 0x80 || p[k] > 0xBF) return 0;
    }
    return len;
}

}  // namespace

bool valid_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const std::size_t len = utf8_sequence(p, end);
        if (len == 0) return false;
        p += len;
    }
    return true;
}

std::string arrow_field_name(std::string_view name) {
    const bool plain = valid_utf8(name) && name.find('\0') == std::string_view::npos &&
                       name.find("\\x") == std::string_view::npos;
    if (plain) return std::string(name);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(name.size() + 8);
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    const auto* end = p + name.size();
    while (p < end) {
        const std::size_t len = utf8_sequence(p, end);
        if (len == 0 || *p == 0 || *p == '\\') {
            out += "\\x";
            out.push_back(kHex[*p >> 4]);
            out.push_back(kHex[*p & 0xF]);
            ++p;
        } else {
            out.append(reinterpret_cast<const char*>(p), len);
            p += len;
        }
    }
    return out;
}

namespace {

void set_bit(std::vector<std::uint8_t>& bits, std::size_t i) noexcept {
    bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | (1u << (i % 8)));
}
void clear_bit(std::vector<std::uint8_t>& bits, std::size_t i) noexcept {
    bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] & ~(1u << (i % 8)));
}

// Fills one column of `n` values, appended in order.
class ColumnWriter {
public:
    ColumnWriter(ResultColumn& column, std::size_t n, TextRepair repair) : c_(column), repair_(repair) {
        c_.validity.assign((n + 7) / 8, 0xFF);
        switch (c_.type) {
            case ValueType::Int: c_.ints.reserve(n); break;
            case ValueType::Float: c_.floats.reserve(n); break;
            case ValueType::Bool: c_.bools.assign((n + 7) / 8, 0); break;
            default:
                c_.offsets.reserve(n + 1);
                c_.offsets.push_back(0);
                break;
        }
    }

    void null() {
        clear_bit(c_.validity, at_);
        ++c_.null_count;
        switch (c_.type) {
            case ValueType::Int: c_.ints.push_back(0); break;
            case ValueType::Float: c_.floats.push_back(0.0); break;
            case ValueType::Bool: break;
            default: c_.offsets.push_back(c_.offsets.back()); break;
        }
        ++at_;
    }

    void cell(const Cell& v) {
        if (v.index() == kNull) return null();
        switch (c_.type) {
            case ValueType::Int: c_.ints.push_back(std::get<std::int64_t>(v)); break;
            case ValueType::Float: c_.floats.push_back(*to_f64(v)); break;
            case ValueType::Bool:
                if (std::get<bool>(v)) set_bit(c_.bools, at_);
                break;
            default:
                if (const auto* s = std::get_if<std::string>(&v)) {
                    text(*s);
                } else {
                    text(display(v));
                }
                return;
        }
        ++at_;
    }

    void text(std::string_view s) {
        if (valid_utf8(s)) {
            c_.text.append(s);
        } else {
            c_.text.append(repair_(s));
        }
        push_offset();
        ++at_;
    }

    void int_value(std::int64_t v) {
        c_.ints.push_back(v);
        ++at_;
    }
    void float_value(double v) {
        c_.floats.push_back(v);
        ++at_;
    }

    // Text already checked and repaired, given by its bytes.
    void checked_text(std::string_view s) {
        c_.text.append(s);
        push_offset();
        ++at_;
    }

    void finish() {
        if (c_.null_count == 0) c_.validity = {};
    }

private:
    void push_offset() {
        if (c_.text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            throw std::length_error("a text column of the result exceeds 2 GiB");
        }
        c_.offsets.push_back(static_cast<std::int32_t>(c_.text.size()));
    }

    ResultColumn& c_;
    TextRepair repair_;
    std::size_t at_ = 0;
};

ResultTable table_of_selections(const std::vector<Selection>& parts,
                                const std::optional<std::vector<std::string>>& select, TextRepair repair) {
    ResultTable table;
    for (const auto& part : parts) table.length += part.rows.size();
    if (table.length == 0) return table;

    const std::vector<std::string_view> names = selection_names(parts, select);

    std::vector<const Column*> cols(parts.size());
    table.columns.reserve(names.size());
    for (const std::string_view name : names) {
        ResultColumn& out = table.columns.emplace_back();
        out.name = arrow_field_name(name);
        const ValueType type = selection_value_type(parts, name, cols);
        out.type = type;
        ColumnWriter w(out, table.length, repair);
        for (std::size_t p = 0; p < parts.size(); ++p) {
            const Column* col = cols[p];
            const std::vector<std::uint32_t>& rows = parts[p].rows;
            if (col == nullptr) {
                for (std::size_t k = 0; k < rows.size(); ++k) w.null();
            } else if (col->kind == ColumnKind::Int && type == ValueType::Int) {
                for (const std::uint32_t i : rows) w.int_value(col->ints[i]);
            } else if (col->kind == ColumnKind::Float && type == ValueType::Float) {
                for (const std::uint32_t i : rows) w.float_value(col->floats[i]);
            } else if (col->kind == ColumnKind::Text && type == ValueType::Text) {
                // Each dictionary entry is checked (and repaired) once, through
                // a table when the dictionary is not much larger than the rows.
                if (!per_code_tables_pay(col->dict.size(), rows.size())) {
                    for (const std::uint32_t i : rows) w.text(col->dict[col->codes[i]]);
                    continue;
                }
                std::vector<std::uint8_t> checked(col->dict.size(), 0);
                std::unordered_map<std::uint32_t, std::string> fixed;  // rare: text that is not UTF-8
                for (const std::uint32_t i : rows) {
                    const std::uint32_t code = col->codes[i];
                    if (checked[code] == 0) {
                        checked[code] = valid_utf8(col->dict[code]) ? 1 : 2;
                        if (checked[code] == 2) fixed.emplace(code, repair(col->dict[code]));
                    }
                    w.checked_text(checked[code] == 1 ? std::string_view(col->dict[code])
                                                      : std::string_view(fixed.at(code)));
                }
            } else {
                for (const std::uint32_t i : rows) w.cell(col->cell_at(i));
            }
        }
        w.finish();
    }
    return table;
}

ResultTable table_of_windows(const WindowRows& rows, const PlanSpec& plan, TextRepair repair) {
    ResultTable table;
    table.length = rows.size();
    if (rows.empty()) return table;
    const std::size_t n = rows.size();
    // Each distinct group text checked (and repaired) once.
    std::vector<std::string> repaired;
    std::vector<std::uint8_t> valid;
    for (const auto& [name, field] : window_fields(plan)) {
        ResultColumn& out = table.columns.emplace_back();
        out.name = arrow_field_name(name);
        switch (field) {
            case WindowField::Start: out.type = ValueType::Int; out.ints = rows.starts; break;
            case WindowField::End: out.type = ValueType::Int; out.ints = rows.ends; break;
            case WindowField::Count: out.type = ValueType::Int; out.ints = rows.counts; break;
            case WindowField::Mean: out.type = ValueType::Float; out.floats = rows.means; break;
            case WindowField::Group: {
                out.type = ValueType::Text;
                if (valid.empty()) {
                    valid.resize(rows.texts.size());
                    repaired.resize(rows.texts.size());
                    for (std::size_t t = 0; t < rows.texts.size(); ++t) {
                        valid[t] = valid_utf8(rows.texts[t]) ? 1 : 0;
                        if (valid[t] == 0) repaired[t] = repair(rows.texts[t]);
                    }
                }
                ColumnWriter w(out, n, repair);
                for (const std::uint32_t g : rows.groups) w.checked_text(valid[g] ? rows.texts[g] : repaired[g]);
                w.finish();
                break;
            }
            case WindowField::Missing: {
                ColumnWriter w(out, n, repair);
                for (std::size_t i = 0; i < n; ++i) w.null();
                w.finish();
                break;
            }
            default: {
                const AggColumn& a = rows.aggs[agg_index(field)];
                out.type = a.integer ? ValueType::Int : ValueType::Float;
                ColumnWriter w(out, n, repair);
                for (std::size_t i = 0; i < n; ++i) {
                    if (!a.valid[i]) {
                        w.null();
                    } else if (a.integer) {
                        w.int_value(a.ints[i]);
                    } else {
                        w.float_value(a.floats[i]);
                    }
                }
                w.finish();
                break;
            }
        }
    }
    return table;
}

}  // namespace

std::vector<std::string_view> selection_names(const std::vector<Selection>& parts,
                                              const std::optional<std::vector<std::string>>& select) {
    std::vector<std::string_view> names;
    if (select) {
        names.assign(select->begin(), select->end());
    } else {
        for (const auto& part : parts) {
            for (const Column& c : part.batch->columns) names.emplace_back(c.name);
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

ResultTable result_table(ProcessOutput& out, const PlanSpec& plan, TextRepair repair) {
    const std::optional<std::vector<std::string>>& select = plan.select;
    // A plan either passes events through or emits windows, never both.
    if (!out.passed.empty()) return table_of_selections(out.passed, select, repair);
    return table_of_windows(out.windows, plan, repair);
}

}  // namespace ravik
