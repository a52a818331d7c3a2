// The datagram parser: one flat JSON-like object of scalar members into a Row.
// Deliberately not a strict JSON parser; its acceptance rules are fixed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cell.hpp"

namespace ravik {

// Strips leading and trailing space, tab, CR and LF.
std::string trim(std::string_view text);
// Removes one pair of surrounding double quotes, resolving backslash escapes
// (JSON's, with \uXXXX decoded into UTF-8; any other escaped byte literally).
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

// A member's key as it stands in the text (escapes unresolved), in text order.
struct MemberName {
    std::string_view inner;  // the bytes between the quotes
    bool escaped;            // a backslash stood among them
    std::string_view raw;    // the member's value text, as value_cell takes it
};
// The same, also giving the members' keys in text order (views into text),
// and adding to *lone_surrogates (when given) the \u escapes of a surrogate
// without its partner, which became U+FFFD.
std::optional<Row> parse_flat_json_object(std::string_view text, const char** reason,
                                          std::vector<MemberName>* names, std::uint64_t* lone_surrogates = nullptr);

// The Cell a member's raw value text becomes (the parser's value rule).
Cell value_cell(std::string_view raw, std::uint64_t* lone_surrogates = nullptr);

// The text of member `field` of an acceptable datagram, as the datagram
// writes it: a string's content (escapes resolved), a number's or a
// literal's own characters ("21" and "21.0" stay apart). Absent or null
// gives nullopt. *valid is false (and the result nullopt) when the text is
// not an acceptable datagram. Among repeated members the last one counts,
// as in the Row.
std::optional<std::string> member_text(std::string_view text, std::string_view field, bool& valid);

// When the text is an object whose members have exactly `names` (unique,
// without backslashes or quotes) in this order, as parse_flat_json_object
// reads it, stores their raw value texts in `raws` and returns true; false
// for any other text.
bool match_members(std::string_view text, const std::vector<std::string>& names,
                   std::vector<std::string_view>& raws);

}  // namespace ravik
