// Events held column-wise: a run of events sharing one schema, as typed
// columns. The queue, the batch cuts and the processing work on these; a
// Row (from emit_json or a datagram) travels in a run of rows and becomes
// columns only when it is processed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cell.hpp"
#include "core_processing.hpp"
#include "hashing.hpp"

namespace ravik {

enum class ColumnKind : std::uint8_t { Int, Float, Bool, Text, Cells };

// Texts back to back in one buffer: an entry costs its bytes and 8 bytes
// of offset, and no allocation of its own.
class TextDict {
public:
    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {bytes_.data() + begin, ends_[i] - begin};
    }
    void emplace_back(std::string_view s) {
        bytes_.append(s);
        ends_.push_back(bytes_.size());
    }
    void reserve(std::size_t entries) { ends_.reserve(entries); }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;  // end of entry i in bytes_
};

// A dictionary table (an entry per value) pays when a cut of a batch holds
// about as many events as the dictionary has values; otherwise each event
// looks at its own value, so that a cut of a large batch does not cost the
// whole batch.
inline bool per_code_tables_pay(std::size_t dict_size, std::size_t events) noexcept {
    return dict_size <= 4 * events + 64;
}

// One field of every event of a batch. Exactly one of the vectors holds the
// values, by kind: Text values are codes into `dict` (each distinct string
// of the column once); Cells holds a column that mixes types or holds nulls.
struct Column {
    std::string name;
    ColumnKind kind = ColumnKind::Cells;
    std::vector<std::int64_t> ints;
    std::vector<double> floats;
    std::vector<std::uint8_t> bools;
    std::vector<std::uint32_t> codes;
    TextDict dict;
    std::vector<Cell> cells;

    // The value of event i as a Cell (the row path's view of it).
    Cell cell_at(std::size_t i) const;
};

// Events that share one schema: columns sorted by name (byte-wise), names
// unique, every column `length` long. Immutable once queued: cuts share it.
struct ColumnBatch {
    std::vector<Column> columns;
    std::size_t length = 0;

    const Column* find(std::string_view name) const noexcept;
};

// Builds one column from values appended in order: typed while the values
// agree in type (and hold no null), Cells from the first that does not.
class ColumnBuilder {
public:
    explicit ColumnBuilder(std::string name) { column_.name = std::move(name); }
    void reserve(std::size_t n) { reserve_ = n; }
    void append(Cell cell);
    void append_int(std::int64_t v);
    // Appends n values at once.
    void append_ints(const std::int64_t* values, std::size_t n);
    void append_floats(const double* values, std::size_t n);
    void append_float(double v);
    void append_bool(bool v);
    // Appends a string; returns its code, which append_text_code takes for
    // the same string again while is_text() holds.
    std::uint32_t append_text(std::string_view s);
    void append_text_code(std::uint32_t code) {
        column_.codes.push_back(code);
        ++size_;
    }
    bool is_text() const noexcept { return started_ && column_.kind == ColumnKind::Text; }
    std::size_t size() const noexcept { return size_; }
    Column finish();

private:
    void start(ColumnKind kind);
    void reserve_storage() noexcept;
    void to_cells();
    Column column_;
    bool started_ = false;
    std::size_t size_ = 0;
    std::size_t reserve_ = 0;
    // Dictionary codes by text while the column is Text and deduplicates.
    CodeIndex index_;
    // Off once the values turn out mostly distinct (ids): each string is
    // then a dictionary entry of its own, without hashing.
    bool dedup_ = true;
    std::uint64_t seed_ = new_hash_seed();
    std::uint32_t index_find_or_add(std::string_view s);
};

// A run of queued events: a view [begin, end) of a column batch, or rows.
struct Chunk {
    std::shared_ptr<const ColumnBatch> batch;  // null for a run of rows
    std::size_t begin = 0;
    std::size_t end = 0;
    Rows rows;  // when batch is null: the events are rows[begin, end)

    std::size_t size() const noexcept { return end - begin; }
    // Splits off the first n events (n < size()) as a new chunk.
    Chunk take_front(std::size_t n);
};

// The events of one pass-through result: rows of a batch, in order.
struct Selection {
    std::shared_ptr<const ColumnBatch> batch;
    std::vector<std::uint32_t> rows;
};

// One aggregate's results, a row per emitted window: integers or doubles,
// valid[i] false where the window had no value for it (null).
struct AggColumn {
    bool integer = false;
    std::vector<std::int64_t> ints;
    std::vector<double> floats;
    std::vector<std::uint8_t> valid;
};

// The rows of emitted windows, column-wise, in emission order. Each
// distinct group text of the output is held once.
struct WindowRows {
    std::vector<std::int64_t> starts;
    std::vector<std::int64_t> ends;
    std::vector<double> means;
    std::vector<std::int64_t> counts;
    std::vector<std::uint32_t> groups;  // index into texts
    std::vector<std::string> texts;
    std::vector<AggColumn> aggs;  // plans with aggregates: one per aggregate, in plan order

    std::size_t size() const noexcept { return starts.size(); }
    bool empty() const noexcept { return starts.empty(); }
    void append(WindowRows&& more);
};

// What fills one column of a windowed plan's result: Agg + k is the plan's
// aggregate k.
enum class WindowField : std::uint16_t { Start, End, Group, Mean, Count, Missing, Agg };
inline WindowField agg_field(std::size_t k) noexcept {
    return static_cast<WindowField>(static_cast<std::size_t>(WindowField::Agg) + k);
}
inline std::size_t agg_index(WindowField f) noexcept {
    return static_cast<std::size_t>(f) - static_cast<std::size_t>(WindowField::Agg);
}

// The columns of a windowed plan's result, sorted by name and distinct: the
// window row's fields (a later field of the same name replacing an
// earlier one) or, with a select list, the selected names (Missing where
// the row has no such field).
std::vector<std::pair<std::string_view, WindowField>> window_fields(const PlanSpec& plan);

// Removes the windows the watermark has passed (every window when `all`)
// and appends the rows of those with events to `out`, in key order.
void emit_windows(ProcessorState& state, const PlanSpec& plan, bool all, WindowRows& out);

struct ProcessOutput {
    std::vector<Selection> passed;  // pass-through plans: the kept events, in order
    WindowRows windows;             // windowed plans: one row per emitted window
    std::vector<Selection> late;    // plans with late_side: the late events, in order
    std::size_t passed_count() const noexcept;
};

// process_rows for queued chunks, column at a time, with its exact
// results, counters and state changes. The caller holds the state lock.
ProcessOutput process_chunks(Stats& stats, ProcessorState& state, std::vector<Chunk>& chunks, const PlanSpec& plan);

// A batch of `length` events from columns in any order (names[i] names
// columns[i]): sorted by name, of two columns with one name the later kept,
// and a "timestamp" column of arrival times added when there is none (each
// event's own reading of the clock, as a row-wise reading gives).
std::shared_ptr<ColumnBatch> batch_of_columns(std::vector<std::string> names, std::vector<Column> columns,
                                              std::size_t length);

// Rows of a run of rows, grouped into batches of one schema each.
std::vector<std::shared_ptr<const ColumnBatch>> batches_of_rows(const Rows& rows, std::size_t begin, std::size_t end);

// The rows a result describes (for the reference comparisons); window rows
// as the plan's window_row builds them.
Rows rows_of(const ProcessOutput& out, const PlanSpec& plan);

}  // namespace ravik
