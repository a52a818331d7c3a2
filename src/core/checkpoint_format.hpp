// Text form of a ProcessorState: the checkpoint file's writer and reader.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "core_processing.hpp"

namespace ravik {

// False when an id, window key or group holds a byte the line format cannot
// carry (LF anywhere; TAB in a window key).
bool checkpoint_representable(const ProcessorState& state);
// The whole file content for the state.
std::string format_checkpoint(const ProcessorState& state);
// A checkpoint's content that does not describe a whole state: a header
// that is missing or not a number, sections holding fewer or more records
// than the header counts, a record line cut short. The message begins with
// "read checkpoint failed: " and names the cause.
class CheckpointError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses file content into a fresh state (an empty file is the initial
// state); throws CheckpointError for content that is not a whole checkpoint.
ProcessorState parse_checkpoint(std::string_view text);

}  // namespace ravik
