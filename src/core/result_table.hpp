// A processing result as typed columns in Arrow's memory layout: validity
// bitmaps, int64/double values, bit-packed booleans, UTF-8 text with 32-bit
// offsets. The exporters hand these buffers out without copying them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cell.hpp"
#include "columnar.hpp"

namespace ravik {

// The value type of one result column, chosen from all its values: Bool,
// Int, Float or Text; an Int column that also holds doubles is Float, any
// other mix is Text, and nulls never decide it (Unset: nothing but nulls).
enum class ValueType : std::uint8_t { Unset, Bool, Int, Float, Text };

ValueType value_type(const Cell& c) noexcept;
ValueType merge_value_type(ValueType column, ValueType value) noexcept;

// The value type of the column `name` over the rows a pass-through result
// selects from its batches; cols[p] is set to the column of part p (null
// where that batch lacks it). `cols` has one entry per part.
ValueType selection_value_type(const std::vector<Selection>& parts, std::string_view name,
                               std::vector<const Column*>& cols);

// The result's column names, sorted and distinct: the select list, or every
// field of the batches. The views point into `select` or the batches.
std::vector<std::string_view> selection_names(const std::vector<Selection>& parts,
                                              const std::optional<std::vector<std::string>>& select);

// Whether `s` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing beyond U+10FFFF).
bool valid_utf8(std::string_view s) noexcept;

// A field name as an Arrow field name, which must be UTF-8 (and, through
// the C data interface, has no NUL). Reversible, and the name itself for
// every well-formed UTF-8 name without NUL and without the text "\x":
// otherwise each NUL, each byte outside a well-formed sequence and each
// backslash becomes \xHH (two lower-case hex digits), so distinct names
// stay distinct. Decoding: a name holding "\x" has every \xHH replaced by
// its byte; any other name is itself.
std::string arrow_field_name(std::string_view name);

struct ResultColumn {
    std::string name;
    ValueType type = ValueType::Unset;  // Unset columns are exported as text, all null
    std::int64_t null_count = 0;
    std::vector<std::uint8_t> validity;  // bit i set: value i present; empty when null_count is 0
    std::vector<std::int64_t> ints;      // Int
    std::vector<double> floats;          // Float
    std::vector<std::uint8_t> bools;     // Bool, bit-packed like validity
    std::vector<std::int32_t> offsets;   // Text (and Unset): length + 1 entries
    std::string text;                    // Text: the values' UTF-8 bytes, back to back
};

struct ResultTable {
    std::vector<ResultColumn> columns;  // in byte-wise name order
    std::size_t length = 0;
};

// Replaces the text of a string that is not valid UTF-8 with valid UTF-8.
using TextRepair = std::string (*)(std::string_view);

// The result of one processing call as typed columns, with the select list
// applied: the same columns, types and values (text as display text) as the
// column dict the stream returns for it. `repair` is applied to every text
// value that is not valid UTF-8; field names become arrow_field_name's. Throws std::length_error
// when a text column would exceed 2 GiB.
ResultTable result_table(ProcessOutput& out, const PlanSpec& plan, TextRepair repair);

}  // namespace ravik
