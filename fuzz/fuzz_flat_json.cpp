// The datagram parser on arbitrary bytes: never crashes, never reads outside
// the input, and every accepted object carries a "timestamp".
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "flat_json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto row = ravik::parse_flat_json_object(text);
    if (row) FUZZ_CHECK(row->contains("timestamp"));

    const std::string trimmed = ravik::trim(text);
    FUZZ_CHECK(ravik::trim(trimmed) == trimmed);
    FUZZ_CHECK(trimmed.size() <= size);
    const std::string inner = ravik::unquote(text);
    FUZZ_CHECK(inner.size() <= size);
    return 0;
}
