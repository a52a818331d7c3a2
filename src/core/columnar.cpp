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
        row.set(std::string_view(plan.mean->alias), Cell{w.means[i]});
        row.set(std::string_view("count"), Cell{w.counts[i]});
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
    set(plan.mean->alias, WindowField::Mean);
    set("count", WindowField::Count);
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

// ------------------------------------------------------------ processing

namespace {

enum class Op { Eq, Ne, Gt, Ge, Lt, Le, Invalid };

Op parse_op(const std::string& op) noexcept {
    if (op == "==") return Op::Eq;
    if (op == "!=") return Op::Ne;
    if (op == ">") return Op::Gt;
    if (op == ">=") return Op::Ge;
    if (op == "<") return Op::Lt;
    if (op == "<=") return Op::Le;
    return Op::Invalid;
}

template <class Get>
void keep_numeric(std::vector<std::uint32_t>& sel, Op op, double c, Get&& get) {
    auto keep = [&](auto&& cmp) {
        std::size_t n = 0;
        for (const std::uint32_t i : sel) {
            sel[n] = i;
            n += cmp(get(i)) ? std::size_t{1} : std::size_t{0};
        }
        sel.resize(n);
    };
    switch (op) {
        case Op::Eq: keep([c](double a) { return a == c; }); break;
        case Op::Ne: keep([c](double a) { return a != c; }); break;
        case Op::Gt: keep([c](double a) { return a > c; }); break;
        case Op::Ge: keep([c](double a) { return a >= c; }); break;
        case Op::Lt: keep([c](double a) { return a < c; }); break;
        case Op::Le: keep([c](double a) { return a <= c; }); break;
        default: sel.clear(); break;
    }
}

template <class Pred>
void keep_if(std::vector<std::uint32_t>& sel, Pred&& pred) {
    std::size_t n = 0;
    for (const std::uint32_t i : sel) {
        sel[n] = i;
        n += pred(i) ? std::size_t{1} : std::size_t{0};
    }
    sel.resize(n);
}

// compare_cells(value of the column, op, constant) for every selected event,
// with the operator and the pairing of types resolved once per column.
void apply_filter(const Column* col, const FilterSpec& f, std::vector<std::uint32_t>& sel) {
    const Op op = parse_op(f.op);
    if (col == nullptr || op == Op::Invalid) {
        sel.clear();
        return;
    }
    const Cell& rhs = f.value;
    const bool rhs_numeric = rhs.index() == kInt || rhs.index() == kFloat;
    const bool equality = op == Op::Eq || op == Op::Ne;
    switch (col->kind) {
        case ColumnKind::Int:
        case ColumnKind::Float: {
            if (!rhs_numeric) {
                sel.clear();
                return;
            }
            const double c = rhs.index() == kInt ? static_cast<double>(std::get<std::int64_t>(rhs)) : std::get<double>(rhs);
            if (col->kind == ColumnKind::Int) {
                const std::int64_t* v = col->ints.data();
                keep_numeric(sel, op, c, [v](std::uint32_t i) { return static_cast<double>(v[i]); });
            } else {
                const double* v = col->floats.data();
                keep_numeric(sel, op, c, [v](std::uint32_t i) { return v[i]; });
            }
            return;
        }
        case ColumnKind::Bool: {
            if (rhs.index() != kBool || !equality) {
                sel.clear();
                return;
            }
            const std::uint8_t want = std::get<bool>(rhs) ? 1 : 0;
            const bool eq = op == Op::Eq;
            const std::uint8_t* v = col->bools.data();
            keep_if(sel, [=](std::uint32_t i) { return (v[i] == want) == eq; });
            return;
        }
        case ColumnKind::Text: {
            if (rhs.index() != kText || !equality) {
                sel.clear();
                return;
            }
            const std::string& want = std::get<std::string>(rhs);
            const bool eq = op == Op::Eq;
            const std::uint32_t* codes = col->codes.data();
            if (!per_code_tables_pay(col->dict.size(), sel.size())) {
                keep_if(sel, [&](std::uint32_t i) { return (col->dict[codes[i]] == want) == eq; });
                return;
            }
            std::vector<std::uint8_t> pass(col->dict.size());
            for (std::size_t d = 0; d < col->dict.size(); ++d) pass[d] = (col->dict[d] == want) == eq ? 1 : 0;
            keep_if(sel, [&](std::uint32_t i) { return pass[codes[i]] != 0; });
            return;
        }
        case ColumnKind::Cells:
            keep_if(sel, [&](std::uint32_t i) { return compare_cells(col->cells[i], f.op, rhs); });
            return;
    }
}

// An event's id as processing keys it: an int64 when its text form is an
// int64's canonical text, else that text; absent for an empty text.
struct IdKey {
    bool present = false;
    bool is_int = false;
    std::int64_t value = 0;
    std::string text;
};

IdKey id_key_of_text(std::string text) {
    IdKey k;
    if (text.empty()) return k;
    k.present = true;
    if (auto v = canonical_int(text)) {
        k.is_int = true;
        k.value = *v;
    } else {
        k.text = std::move(text);
    }
    return k;
}

// The state one call's processing carries from event to event.
struct Pass {
    Stats& stats;
    ProcessorState& state;
    const PlanSpec& plan;
    std::int64_t lateness;
    std::string_view time_field;
    bool windowed;
    std::int64_t width;
    std::int64_t future_cap;
    ProcessOutput& out;

    void run(const std::shared_ptr<const ColumnBatch>& batch, std::size_t begin, std::size_t end);
};

void Pass::run(const std::shared_ptr<const ColumnBatch>& batch_ptr, std::size_t begin, std::size_t end) {
    const ColumnBatch& b = *batch_ptr;
    std::vector<std::uint32_t> sel(end - begin);
    for (std::size_t i = begin; i < end; ++i) sel[i - begin] = static_cast<std::uint32_t>(i);
    for (const FilterSpec& f : plan.filters) {
        if (sel.empty()) break;
        apply_filter(b.find(f.field), f, sel);
    }
    if (sel.empty()) return;

    const Column* time_col = b.find(time_field);
    const Column* id_col = plan.event_id_field ? b.find(*plan.event_id_field) : nullptr;
    const Column* group_col = windowed && plan.window->by ? b.find(*plan.window->by) : nullptr;
    const Column* mean_col = windowed ? b.find(plan.mean->field) : nullptr;
    IntIdSet& int_ids = state.seen_event_ids.ints();
    IdSet& text_ids = state.seen_event_ids.texts();

    auto id_of = [&](std::uint32_t i) -> IdKey {
        switch (id_col->kind) {
            case ColumnKind::Int: {
                IdKey k;
                k.present = k.is_int = true;
                k.value = id_col->ints[i];
                return k;
            }
            case ColumnKind::Float: return id_key_of_text(format_general(id_col->floats[i], 6));
            case ColumnKind::Bool: return id_key_of_text(id_col->bools[i] ? "true" : "false");
            default: {
                const Cell& c = id_col->cells[i];
                if (c.index() == kInt) {
                    IdKey k;
                    k.present = k.is_int = true;
                    k.value = std::get<std::int64_t>(c);
                    return k;
                }
                return id_key_of_text(display(c));
            }
        }
    };
    const bool int_id_column = id_col && id_col->kind == ColumnKind::Int;
    const bool text_id_column = id_col && id_col->kind == ColumnKind::Text;
    constexpr std::size_t kPrefetch = 16;

    // Hashes of the ids kPrefetch events ahead, whose slots are loaded while
    // the events before them run; ring[k % kPrefetch] is event k's.
    std::uint64_t ring[kPrefetch] = {};
    auto hash_ahead = [&](std::size_t k) {
        const std::uint32_t i = sel[k];
        std::uint64_t h = 0;
        if (int_id_column) {
            h = int_ids.hash_of(id_col->ints[i]);
            int_ids.prefetch(h);
        } else {
            const std::string_view text = id_col->dict[id_col->codes[i]];
            if (auto v = canonical_int(text)) {
                h = int_ids.hash_of(*v);
                int_ids.prefetch(h);
            } else {
                h = text_ids.hash_of(text);
                text_ids.prefetch(h);
            }
        }
        ring[k % kPrefetch] = h;
    };
    if (int_id_column || text_id_column) {
        // A cut at least as large as the ids remembered so far makes room for
        // its ids at once (a pause in proportion to the cut, not the state):
        // cheaper than growing step by step through it.
        if (sel.size() >= int_ids.size() + text_ids.size()) {
            if (int_id_column) {
                int_ids.reserve(int_ids.size() + sel.size());
            } else {
                text_ids.reserve(text_ids.size() + sel.size());
            }
        }
        for (std::size_t k = 0; k < std::min(kPrefetch, sel.size()); ++k) hash_ahead(k);
    }
    // For a Text group column whose dictionary is at most half the cut: each
    // value's group code, and the window it went to last (valid
    // while the table's generation holds), so that an event of a window seen
    // before finds it without hashing its text.
    WindowTable& windows = state.windows;
    constexpr std::uint32_t kNoCode = UINT32_MAX;
    struct CodeWindow {
        std::uint32_t group = kNoCode;
        std::int64_t start = 0;
        WindowTable::Slot* window = nullptr;
        std::uint64_t generation = 0;
    };
    std::vector<CodeWindow> code_windows;
    // (A column whose values are mostly distinct, its dictionary not
    // deduplicated, has codes used about once: the table would not pay.)
    if (group_col && group_col->kind == ColumnKind::Text && group_col->dict.size() * 2 <= sel.size()) {
        code_windows.resize(group_col->dict.size());
    }
    Selection passed{batch_ptr, {}};
    if (!windowed) passed.rows.reserve(sel.size());
    std::string group_text;
    // The window of the previous event, for runs of one window.
    WindowTable::Slot* last_window = nullptr;
    std::int64_t last_start = 0;
    std::uint32_t last_group = 0;
    std::uint64_t last_generation = 0;
    constexpr std::int64_t kLatenessThreshold = std::numeric_limits<std::int64_t>::min() / 2;

    for (std::size_t k = 0; k < sel.size(); ++k) {
        const std::uint32_t i = sel[k];
        const std::uint64_t id_hash = ring[k % kPrefetch];
        if ((int_id_column || text_id_column) && k + kPrefetch < sel.size()) hash_ahead(k + kPrefetch);
        // The window of an event ahead, when its group code is known and its
        // time is an integer: its slot is loaded while this event runs (a
        // guess: an origin not yet set only makes it miss).
        if (!code_windows.empty() && k + kPrefetch < sel.size()) {
            const std::uint32_t ahead = sel[k + kPrefetch];
            const CodeWindow& cw = code_windows[group_col->codes[ahead]];
            if (k + 2 * kPrefetch < sel.size()) __builtin_prefetch(&code_windows[group_col->codes[sel[k + 2 * kPrefetch]]]);
            if (cw.group != kNoCode && time_col != nullptr && time_col->kind == ColumnKind::Int) {
                const std::int64_t at = time_col->ints[ahead];
                const std::int64_t origin = at > kEpochAlignThreshold ? state.window_origin : 0;
                if (origin != kTimeUnset) windows.prefetch(window_bounds(origin, at, width).start, cw.group);
            }
        }

        std::int64_t t;
        bool integer_time = false;
        if (time_col && time_col->kind == ColumnKind::Int) {
            t = time_col->ints[i];
            integer_time = true;
        } else if (time_col && time_col->kind == ColumnKind::Cells && time_col->cells[i].index() == kInt) {
            t = std::get<std::int64_t>(time_col->cells[i]);
            integer_time = true;
        } else {
            t = now_millis();
        }
        if (integer_time && t > future_cap) {
            Stats::add(stats.future_events, 1);
            continue;
        }

        if (int_id_column) {
            if (!int_ids.insert_hashed(id_col->ints[i], id_hash)) {
                Stats::add(stats.duplicate_events, 1);
                continue;
            }
        } else if (text_id_column) {
            const std::string_view text = id_col->dict[id_col->codes[i]];
            if (!text.empty()) {
                const auto v = canonical_int(text);
                const bool fresh = v ? int_ids.insert_hashed(*v, id_hash) : text_ids.insert_hashed(text, id_hash);
                if (!fresh) {
                    Stats::add(stats.duplicate_events, 1);
                    continue;
                }
            }
        } else if (id_col) {
            IdKey id = id_of(i);
            if (id.present) {
                const bool fresh = id.is_int ? int_ids.insert(id.value) : text_ids.insert(id.text);
                if (!fresh) {
                    Stats::add(stats.duplicate_events, 1);
                    continue;
                }
            }
        }

        if (!integer_time) Stats::add(stats.non_integer_times, 1);
        if (t > state.max_event_time) state.max_event_time = t;
        const std::int64_t watermark = plan_watermark(plan, state);
        if (watermark > kLatenessThreshold && wrapping_add(t, lateness) < watermark) {
            Stats::add(stats.late_events, 1);
            if (plan.drop_late) continue;
        }

        if (!windowed) {
            passed.rows.push_back(i);
            continue;
        }

        const WindowBounds bounds = window_bounds_for(state, t, width);
        std::string_view group;
        if (group_col) {
            switch (group_col->kind) {
                case ColumnKind::Text: group = group_col->dict[group_col->codes[i]]; break;
                case ColumnKind::Cells:
                    if (const auto* s = std::get_if<std::string>(&group_col->cells[i])) {
                        group = *s;
                        break;
                    }
                    [[fallthrough]];
                default:
                    group_text = display(group_col->cell_at(i));
                    group = group_text;
                    break;
            }
        }
        std::optional<double> value;
        if (mean_col) {
            switch (mean_col->kind) {
                case ColumnKind::Int: value = static_cast<double>(mean_col->ints[i]); break;
                case ColumnKind::Float: value = mean_col->floats[i]; break;
                case ColumnKind::Cells: value = to_f64(mean_col->cells[i]); break;
                default: break;
            }
        }
        if (!value) {
            Stats::add(stats.events_without_mean, 1);
            continue;
        }
        if (!code_windows.empty()) {
            CodeWindow& cw = code_windows[group_col->codes[i]];
            if (cw.group == kNoCode) cw.group = windows.groups().intern(group);
            if (cw.window == nullptr || cw.start != bounds.start || cw.generation != windows.generation()) {
                cw.window = &windows.find_or_create(bounds.start, cw.group, bounds.end);
                cw.start = bounds.start;
                cw.generation = windows.generation();
            }
            windows.add(*cw.window, bounds.end, *value);
            continue;
        }
        const std::uint32_t code = windows.groups().intern(group);
        if (last_window == nullptr || bounds.start != last_start || code != last_group ||
            last_generation != windows.generation()) {
            last_window = &windows.find_or_create(bounds.start, code, bounds.end);
            last_start = bounds.start;
            last_group = code;
            last_generation = windows.generation();
        }
        windows.add(*last_window, bounds.end, *value);
    }
    if (!passed.rows.empty()) out.passed.push_back(std::move(passed));
}

}  // namespace

ProcessOutput process_chunks(Stats& stats, ProcessorState& state, std::vector<Chunk>& chunks, const PlanSpec& plan) {
    ProcessOutput out;
    const bool windowed = plan.windowed();
    Pass pass{stats,
              state,
              plan,
              plan.allowed_lateness_ms ? std::max<std::int64_t>(*plan.allowed_lateness_ms, 0) : 0,
              plan.window ? std::string_view(plan.window->time_field) : std::string_view("timestamp"),
              windowed,
              // parse_plan guarantees a positive length that fits in 64 bits.
              windowed ? plan.window->seconds * 1000 : 0,
              plan.max_future_ms ? future_limit(*plan.max_future_ms) : INT64_MAX,
              out};
    for (Chunk& chunk : chunks) {
        if (chunk.batch) {
            pass.run(chunk.batch, chunk.begin, chunk.end);
        } else {
            for (const auto& batch : batches_of_rows(chunk.rows, chunk.begin, chunk.end)) {
                pass.run(batch, 0, batch->length);
            }
        }
    }
    if (windowed) emit_windows(state, plan, false, out.windows);
    return out;
}

}  // namespace ravik
