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
// The Row the text describes (with a "timestamp" added when absent), or
// nothing when the text is not acceptable. Reads only [text.begin(), text.end()).
std::optional<Row> parse_flat_json_object(std::string_view text);

}  // namespace ravik
