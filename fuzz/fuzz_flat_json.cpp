// The datagram parser on arbitrary bytes: never crashes, never reads outside
// the input, and every accepted object has strictly ascending field names and
// carries a "timestamp". The same bytes used as one member's value must give
// the cell the C library's strtoll_l / strtod_l (C locale) give, which checks
// the parser's own integer reader and its from_chars fast path for doubles.
#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "columnar.hpp"
#include "datagram_batch.hpp"
#include "flat_json.hpp"
#include "fuzz_check.hpp"
#include "fuzz_state.hpp"

namespace {

using ravik_fuzz::same_cell;
using ravik_fuzz::same_rows;

bool c_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool trim_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The cell that the member value text `raw` must become (the parser's value
// rules for unquoted text, with the C library as the reference for numbers).
ravik::Cell expected_cell(std::string_view raw) {
    while (!raw.empty() && c_space(raw.front())) raw.remove_prefix(1);
    while (!raw.empty() && trim_space(raw.back())) raw.remove_suffix(1);
    if (raw == "null") return ravik::Cell{ravik::Null{}};
    if (raw == "true") return ravik::Cell{true};
    if (raw == "false") return ravik::Cell{false};
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const std::string text(raw);  // NUL-terminated for the C library
    char* end = nullptr;
    errno = 0;
    if (raw.find_first_of(".eE") == std::string_view::npos) {
        const long long value = strtoll_l(text.c_str(), &end, 10, c_locale);
        if (end != text.c_str() && errno != ERANGE) return ravik::Cell{static_cast<std::int64_t>(value)};
    } else {
        const double value = strtod_l(text.c_str(), &end, c_locale);
        if (end != text.c_str() && errno != ERANGE) return ravik::Cell{value};
    }
    return ravik::Cell{text};
}

// The rows of a turn's chunks, in order.
ravik::Rows rows_of_chunks(const std::vector<ravik::Chunk>& chunks) {
    ravik::Rows rows;
    for (const auto& chunk : chunks) {
        for (std::size_t i = chunk.begin; i < chunk.end; ++i) {
            if (!chunk.batch) {
                rows.push_back(chunk.rows[i]);
                continue;
            }
            ravik::Row row;
            for (const auto& column : chunk.batch->columns) row.append_sorted(column.name, column.cell_at(i));
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

// The input as a turn of datagrams separated by the byte 0x1E: the batcher
// (columns for datagrams of the last schema) against the general parser.
void check_turn(std::string_view text) {
    ravik::testing::frozen_now_ms.store(1700000000000, std::memory_order_relaxed);
    ravik::DatagramBatcher batcher;
    ravik::Rows expected;
    for (int turn = 0; turn < 2; ++turn) {
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find('\x1e', start);
            if (end == std::string_view::npos) end = text.size();
            const std::string_view datagram = text.substr(start, end - start);
            const char* general_reason = nullptr;
            const char* batch_reason = nullptr;
            auto row = ravik::parse_flat_json_object(datagram, &general_reason);
            const bool added = batcher.add(datagram, &batch_reason);
            FUZZ_CHECK(added == row.has_value());
            if (row) expected.push_back(std::move(*row));
            else FUZZ_CHECK(std::string_view(batch_reason) == general_reason);
            start = end + 1;
        }
        FUZZ_CHECK(same_rows(rows_of_chunks(batcher.take()), expected));
        expected.clear();
    }
    ravik::testing::frozen_now_ms.store(0, std::memory_order_relaxed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_turn(text);
    const auto row = ravik::parse_flat_json_object(text);
    if (row) {
        FUZZ_CHECK(row->contains("timestamp"));
        for (std::size_t i = 1; i < row->size(); ++i) FUZZ_CHECK(row->field_at(i - 1).name < row->field_at(i).name);
    }

    const std::string trimmed = ravik::trim(text);
    FUZZ_CHECK(ravik::trim(trimmed) == trimmed);
    FUZZ_CHECK(trimmed.size() <= size);
    const std::string inner = ravik::unquote(text);
    FUZZ_CHECK(inner.size() <= size);

    // The input as the value of one member: without quotes, commas and braces
    // it is the whole value text.
    if (text.find_first_of("\",}") == std::string_view::npos) {
        std::string object = "{\"v\":";
        object.append(text);
        object += '}';
        const auto member = ravik::parse_flat_json_object(object);
        FUZZ_CHECK(member && member->size() == 2);
        const ravik::Cell* cell = member->find("v");
        FUZZ_CHECK(cell != nullptr && same_cell(*cell, expected_cell(text)));
    }
    return 0;
}
