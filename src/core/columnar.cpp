#include "columnar.hpp"

#include <algorithm>
#include <climits>
#include <exception>
#include <limits>
#include <unordered_map>
#include <utility>

namespace ravik {

// --------------------------------------------------------------- columns

Cell Column::cell_at(std::size_t i) const {
    switch (kind) {
        case ColumnKind::Int: return Cell{ints[i]};
        case ColumnKind::Float: return Cell{floats[i]};
        case ColumnKind::Bool: return Cell{bools[i] != 0};
        case ColumnKind::Text: return Cell{std::string(dict[codes[i]])};
        default: return cells[i];
    }
}

const Column* ColumnBatch::find(std::string_view name) const noexcept {
    auto it = std::lower_bound(columns.begin(), columns.end(), name,
                               [](const Column& c, std::string_view n) { return std::string_view(c.name) < n; });
    return it != columns.end() && it->name == name ? &*it : nullptr;
}

void ColumnBuilder::start(ColumnKind kind) {
    started_ = true;
    column_.kind = kind;
    reserve_storage();
}

// Reserves room for the expected number of values; a number too large to
// reserve is no error here (the values then grow as appended).
void ColumnBuilder::reserve_storage() noexcept {
    try {
        switch (column_.kind) {
            case ColumnKind::Int: column_.ints.reserve(reserve_); break;
            case ColumnKind::Float: column_.floats.reserve(reserve_); break;
            case ColumnKind::Bool: column_.bools.reserve(reserve_); break;
            case ColumnKind::Text: column_.codes.reserve(reserve_); break;
            case ColumnKind::Cells: column_.cells.reserve(reserve_); break;
        }
    } catch (const std::exception&) {
    }
}

// Moves the values so far into Cells; the column stays Cells from here on.
void ColumnBuilder::to_cells() {
    std::vector<Cell> cells;
    try {
        cells.reserve(std::max(reserve_, size_));
    } catch (const std::exception&) {
    }
    for (std::size_t i = 0; i < size_; ++i) cells.push_back(column_.cell_at(i));
    column_.ints = {};
    column_.floats = {};
    column_.bools = {};
    column_.codes = {};
    column_.dict = {};
    index_.clear();
    column_.cells = std::move(cells);
    column_.kind = ColumnKind::Cells;
}

void ColumnBuilder::append(Cell cell) {
    switch (cell.index()) {
        case kInt: return append_int(std::get<std::int64_t>(cell));
        case kFloat: return append_float(std::get<double>(cell));
        case kBool: return append_bool(std::get<bool>(cell));
        case kText: {
            if (!started_ || column_.kind == ColumnKind::Text) {
                append_text(std::get<std::string>(cell));
                return;
            }
            break;
        }
        default: break;
    }
    if (!started_) start(ColumnKind::Cells);
    if (column_.kind != ColumnKind::Cells) to_cells();
    column_.cells.push_back(std::move(cell));
    ++size_;
}

void ColumnBuilder::append_int(std::int64_t v) {
    if (!started_) start(ColumnKind::Int);
    if (column_.kind == ColumnKind::Int) {
        column_.ints.push_back(v);
        ++size_;
        return;
    }
    if (column_.kind != ColumnKind::Cells) to_cells();
    column_.cells.emplace_back(v);
    ++size_;
}

void ColumnBuilder::append_ints(const std::int64_t* values, std::size_t n) {
    if (!started_) start(ColumnKind::Int);
    if (column_.kind != ColumnKind::Int) {
        for (std::size_t i = 0; i < n; ++i) append_int(values[i]);
        return;
    }
    column_.ints.insert(column_.ints.end(), values, values + n);
    size_ += n;
}

void ColumnBuilder::append_floats(const double* values, std::size_t n) {
    if (!started_) start(ColumnKind::Float);
    if (column_.kind != ColumnKind::Float) {
        for (std::size_t i = 0; i < n; ++i) append_float(values[i]);
        return;
    }
    column_.floats.insert(column_.floats.end(), values, values + n);
    size_ += n;
}

void ColumnBuilder::append_float(double v) {
    if (!started_) start(ColumnKind::Float);
    if (column_.kind == ColumnKind::Float) {
        column_.floats.push_back(v);
        ++size_;
        return;
    }
    if (column_.kind != ColumnKind::Cells) to_cells();
    column_.cells.emplace_back(v);
    ++size_;
}

void ColumnBuilder::append_bool(bool v) {
    if (!started_) start(ColumnKind::Bool);
    if (column_.kind == ColumnKind::Bool) {
        column_.bools.push_back(v ? 1 : 0);
        ++size_;
        return;
    }
    if (column_.kind != ColumnKind::Cells) to_cells();
    column_.cells.emplace_back(v);
    ++size_;
}

std::uint32_t ColumnBuilder::append_text(std::string_view s) {
    if (!started_) start(ColumnKind::Text);
    if (column_.kind == ColumnKind::Text) {
        const std::uint32_t code = index_find_or_add(s);
        column_.codes.push_back(code);
        ++size_;
        return code;
    }
    if (column_.kind != ColumnKind::Cells) to_cells();
    column_.cells.emplace_back(std::string(s));
    ++size_;
    return 0;
}

std::uint32_t ColumnBuilder::index_find_or_add(std::string_view s) {
    const auto next = static_cast<std::uint32_t>(column_.dict.size());
    if (!dedup_) {
        column_.dict.emplace_back(s);
        return next;
    }
    // Checked every 65,536 values: nearly all distinct so far means ids.
    if ((size_ & 65535) == 65535 && next * 10 > size_ * 9) {
        dedup_ = false;
        index_.clear();
        column_.dict.emplace_back(s);
        return next;
    }
    const auto [code, added] =
        index_.find_or_add(hash_bytes(s, seed_), next, [&](std::uint32_t c) { return column_.dict[c] == s; });
    if (added) column_.dict.emplace_back(s);
    return code;
}

Column ColumnBuilder::finish() {
    if (!started_) start(ColumnKind::Cells);
    index_.clear();
    return std::move(column_);
}

Chunk Chunk::take_front(std::size_t n) {
    Chunk front;
    if (batch) {
        front.batch = batch;
        front.begin = begin;
        front.end = begin + n;
    } else {
        front.rows.reserve(n);
        for (std::size_t i = begin; i < begin + n; ++i) front.rows.push_back(std::move(rows[i]));
        front.begin = 0;
        front.end = n;
    }
    begin += n;
    return front;
}

std::size_t ProcessOutput::passed_count() const noexcept {
    std::size_t n = 0;
    for (const auto& s : passed) n += s.rows.size();
    return n;
}

std::vector<std::shared_ptr<const ColumnBatch>> batches_of_rows(const Rows& rows, std::size_t begin,
                                                                std::size_t end) {
    std::vector<std::shared_ptr<const ColumnBatch>> out;
    auto same_names = [](const Row& a, const Row& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t k = 0; k < a.size(); ++k) {
            if (a.field_at(k).name != b.field_at(k).name) return false;
        }
        return true;
    };
    std::size_t i = begin;
    while (i < end) {
        std::size_t j = i + 1;
        while (j < end && same_names(rows[i], rows[j])) ++j;
        auto batch = std::make_shared<ColumnBatch>();
        batch->length = j - i;
        batch->columns.reserve(rows[i].size());
        for (std::size_t k = 0; k < rows[i].size(); ++k) {
            ColumnBuilder builder(rows[i].field_at(k).name);
            builder.reserve(j - i);
            for (std::size_t r = i; r < j; ++r) builder.append(rows[r].field_at(k).value);
            batch->columns.push_back(builder.finish());
        }
        out.push_back(std::move(batch));
        i = j;
    }
    return out;
}

std::shared_ptr<ColumnBatch> batch_of_columns(std::vector<std::string> names, std::vector<Column> columns,
                                              std::size_t length) {
    std::vector<std::size_t> order(names.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
    auto batch = std::make_shared<ColumnBatch>();
    batch->length = length;
    batch->columns.reserve(order.size() + 1);
    bool has_timestamp = false;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k + 1 < order.size() && names[order[k]] == names[order[k + 1]]) continue;
        has_timestamp = has_timestamp || names[order[k]] == "timestamp";
        columns[order[k]].name = std::move(names[order[k]]);
        batch->columns.push_back(std::move(columns[order[k]]));
    }
    if (!has_timestamp) {
        ColumnBuilder stamps("timestamp");
        stamps.reserve(length);
        for (std::size_t i = 0; i < length; ++i) stamps.append_int(now_millis());
        auto at = std::lower_bound(batch->columns.begin(), batch->columns.end(), std::string_view("timestamp"),
                                   [](const Column& c, std::string_view name) { return std::string_view(c.name) < name; });
        batch->columns.insert(at, stamps.finish());
    }
    return batch;
}

Rows rows_of(const ProcessOutput& out, const PlanSpec& plan) {
    Rows rows;
    for (const auto& s : out.passed) {
        for (const std::uint32_t i : s.rows) {
            Row row;
            row.reserve(s.batch->columns.size());
            for (const Column& c : s.batch->columns) row.append_sorted(c.name, c.cell_at(i));
            rows.push_back(std::move(row));
        }
    }
    const WindowRows& w = out.windows;
    for (std::size_t i = 0; i < w.size(); ++i) {
        // A mean of sum/count times count gives back a sum whose division
        // yields the mean again only approximately; build the row directly.
        Row row;
        row.set(std::string_view("window_start"), Cell{w.starts[i]});
        row.set(std::string_view("window_end"), Cell{w.ends[i]});
        if (plan.window->by) row.set(std::string_view(*plan.window->by), Cell{w.texts[w.groups[i]]});
        if (plan.mean) row.set(std::string_view(plan.mean->alias), Cell{w.means[i]});
        row.set(std::string_view("count"), Cell{w.counts[i]});
        for (std::size_t k = 0; k < plan.aggregates.size() && k < w.aggs.size(); ++k) {
            const AggColumn& a = w.aggs[k];
            Cell v;
            if (a.valid[i]) v = a.integer ? Cell{a.ints[i]} : Cell{a.floats[i]};
            row.set(std::string_view(plan.aggregates[k].name), std::move(v));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void WindowRows::append(WindowRows&& more) {
    const auto base = static_cast<std::uint32_t>(texts.size());
    starts.insert(starts.end(), more.starts.begin(), more.starts.end());
    ends.insert(ends.end(), more.ends.begin(), more.ends.end());
    means.insert(means.end(), more.means.begin(), more.means.end());
    counts.insert(counts.end(), more.counts.begin(), more.counts.end());
    for (const std::uint32_t g : more.groups) groups.push_back(base + g);
    if (aggs.empty()) aggs.resize(more.aggs.size());
    for (std::size_t k = 0; k < more.aggs.size() && k < aggs.size(); ++k) {
        AggColumn& to = aggs[k];
        AggColumn& from = more.aggs[k];
        to.integer = from.integer;
        to.ints.insert(to.ints.end(), from.ints.begin(), from.ints.end());
        to.floats.insert(to.floats.end(), from.floats.begin(), from.floats.end());
        to.valid.insert(to.valid.end(), from.valid.begin(), from.valid.end());
    }
    for (std::string& t : more.texts) texts.push_back(std::move(t));
}

std::vector<std::pair<std::string_view, WindowField>> window_fields(const PlanSpec& plan) {
    // The emission order of window_row; a later name replaces an earlier one.
    std::vector<std::pair<std::string_view, WindowField>> row;
    auto set = [&](std::string_view name, WindowField f) {
        for (auto& [n, field] : row) {
            if (n == name) {
                field = f;
                return;
            }
        }
        row.emplace_back(name, f);
    };
    set("window_start", WindowField::Start);
    set("window_end", WindowField::End);
    if (plan.window->by) set(*plan.window->by, WindowField::Group);
    if (plan.mean) set(plan.mean->alias, WindowField::Mean);
    set("count", WindowField::Count);
    for (std::size_t k = 0; k < plan.aggregates.size(); ++k) set(plan.aggregates[k].name, agg_field(k));
    std::vector<std::pair<std::string_view, WindowField>> out;
    if (plan.select) {
        for (const std::string& name : *plan.select) {
            WindowField f = WindowField::Missing;
            for (const auto& [n, field] : row) {
                if (n == name) f = field;
            }
            out.emplace_back(name, f);
        }
    } else {
        out = row;
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.erase(std::unique(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
              out.end());
    return out;
}

void emit_windows(ProcessorState& state, const PlanSpec& plan, bool all, WindowRows& out) {
    if (plan.sliced()) {
        state.sliced.configure(plan);
        const std::int64_t lateness =
            plan.allowed_lateness_ms ? std::max<std::int64_t>(*plan.allowed_lateness_ms, 0) : 0;
        state.sliced.close(wrapping_sub(wrapping_sub(state.max_event_time, plan.watermark_ms.value_or(0)), lateness),
                           all, plan, out);
        return;
    }
    // Group texts of this output, by pool code: through a table the size of
    // the pool when every window goes out (or the pool is tiny), else
    // through a hash map, so that a close costs what closes.
    const std::size_t pool = state.windows.groups().size();
    const bool direct = pool <= 64 || (all && pool <= 4 * state.windows.size());
    std::vector<std::uint32_t> by_code(direct ? pool : 0, UINT32_MAX);
    std::unordered_map<std::uint32_t, std::uint32_t> by_code_map;
    auto text_index = [&](const WindowView& w) -> std::uint32_t {
        std::uint32_t* slot = nullptr;
        if (w.group_code != kNoGroupCode) {
            if (direct) {
                slot = &by_code[w.group_code];
            } else {
                slot = &by_code_map.try_emplace(w.group_code, UINT32_MAX).first->second;
            }
            if (*slot != UINT32_MAX) return *slot;
        }
        const auto index = static_cast<std::uint32_t>(out.texts.size());
        out.texts.emplace_back(w.group);
        if (slot != nullptr) *slot = index;
        return index;
    };
    auto emit = [&](const WindowView& w) {
        if (w.count == 0) return;
        out.starts.push_back(w.window_start);
        out.ends.push_back(w.window_end);
        out.means.push_back(w.sum / static_cast<double>(w.count));
        out.counts.push_back(static_cast<std::int64_t>(w.count));
        out.groups.push_back(text_index(w));
    };
    if (all) {
        state.windows.remove_all(emit);
        return;
    }
    const std::int64_t lateness = plan.allowed_lateness_ms ? std::max<std::int64_t>(*plan.allowed_lateness_ms, 0) : 0;
    const std::int64_t bound =
        wrapping_sub(wrapping_sub(state.max_event_time, plan.watermark_ms.value_or(0)), lateness);
    state.windows.close_until(bound, emit);
}

}  // namespace ravik
