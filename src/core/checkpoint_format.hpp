// Text form of a ProcessorState: the checkpoint file's writer and reader.
#pragma once

#include <string>
#include <string_view>

#include "core_processing.hpp"

namespace ravik {

// False when an id, window key or group holds a byte the line format cannot
// carry (LF anywhere; TAB in a window key).
bool checkpoint_representable(const ProcessorState& state);
// The whole file content for the state.
std::string format_checkpoint(const ProcessorState& state);
// Parses file content into a fresh state; never throws for malformed input.
ProcessorState parse_checkpoint(std::string_view text);

}  // namespace ravik
