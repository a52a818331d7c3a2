// The checkpoint reader on arbitrary bytes: never crashes, refuses or reads,
// and whatever it reads, writing that state and reading it back gives the
// same state (every field of every window) and the same text again.
#include <cstdint>
#include <string>
#include <string_view>

#include "checkpoint_format.hpp"
#include "fuzz_check.hpp"
#include "fuzz_state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ravik::ProcessorState first;
    try {
        first = ravik::parse_checkpoint(text);
    } catch (const ravik::CheckpointError&) {
        return 0;  // not a whole checkpoint: refused, nothing else to check
    }
    if (!ravik::checkpoint_representable(first)) return 0;
    const std::string written = ravik::format_checkpoint(first);
    const ravik::ProcessorState second = ravik::parse_checkpoint(written);
    FUZZ_CHECK(ravik_fuzz::same_state(first, second));
    FUZZ_CHECK(ravik::format_checkpoint(second) == written);
    return 0;
}
