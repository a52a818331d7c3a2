// A worker turn's datagrams as queued events. Datagrams whose members have
// the names, in the order, of an earlier datagram's (the stream's last
// schema) are parsed straight into the columns of one batch; every other
// datagram goes through the general parser and travels as a row, and may
// become the schema for the ones after it. Either way an event is exactly
// the Row the general parser makes of its datagram.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columnar.hpp"
#include "flat_json.hpp"

namespace ravik {

class DatagramBatcher {
public:
    // Parses one datagram into the turn; false, with *reason set, when the
    // datagram is not an acceptable object (nothing is added then).
    bool add(std::string_view datagram, const char** reason);
    // The same, with `stamp_ms` instead of the clock as the "timestamp" of
    // an object that has none (a message's own time, say).
    bool add(std::string_view datagram, const char** reason, std::int64_t stamp_ms);
    // The turn's events in arrival order, as chunks; the next turn starts
    // empty (the schema stays).
    std::vector<Chunk> take();
    // Lone surrogates (\u escapes made U+FFFD) met since the last call.
    std::uint64_t take_lone_surrogates() noexcept;

private:
    struct Schema {
        std::vector<std::string> names;      // in text order; unique, no escapes
        std::vector<std::size_t> column_of;  // text position -> column (name order)
        std::vector<std::string> columns;    // column names in byte order, "timestamp" included
        std::size_t timestamp_column = 0;
        bool timestamp_added = false;        // no member is named "timestamp"
    };

    bool add_stamped(std::string_view datagram, const char** reason, const std::optional<std::int64_t>& stamp);
    bool add_fast(std::string_view datagram, const std::optional<std::int64_t>& stamp);
    void learn(const std::vector<MemberName>& names);
    void start_batch();
    void flush_batch();
    void flush_rows();

    std::optional<Schema> schema_;
    std::vector<ColumnBuilder> builders_;
    std::size_t batch_length_ = 0;
    Rows rows_;
    std::vector<Chunk> out_;
    std::vector<std::string_view> raws_;  // scratch: one datagram's raw values
    std::vector<MemberName> names_;       // scratch: a datagram's member names
    std::uint64_t lone_surrogates_ = 0;
};

}  // namespace ravik
