// The datagram parser: one flat JSON-like object of scalar members into a Row.
// Deliberately not a strict JSON parser; its acceptance rules are fixed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cell.hpp"

namespace ravik {

// Strips leading and trailing space, tab, CR and LF.
std::string trim(std::string_view text);
// Removes one pair of surrounding double quotes, resolving backslash escapes.
std::string unquote(std::string_view text);
// Why a text is not acceptable (static strings, for diagnostics).
inline constexpr const char* kNotAnObject = "not an object";
inline constexpr const char* kNameExpected = "member name expected";
inline constexpr const char* kUnterminatedName = "unterminated member name";
inline constexpr const char* kColonExpected = "colon expected";

// The Row the text describes (with a "timestamp" added when absent), or
// nothing when the text is not acceptable; then *reason (when given) names
// the rule it broke. Reads only [text.begin(), text.end()). Cost: linear in
// the text plus n log n in its n members.
std::optional<Row> parse_flat_json_object(std::string_view text, const char** reason = nullptr);

}  // namespace ravik
