// process_chunks: one pass over queued chunks, a vector at a time: filters
// into a selection, event ids, times, the watermark and lateness, windows or
// the kept events. The reference it must match is process_rows.
#include "columnar.hpp"

#include <algorithm>
#include <climits>
#include <exception>
#include <limits>
#include <unordered_map>
#include <utility>

namespace ravik {

// ------------------------------------------------------------ processing

namespace {

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
    const Column* mean_col = windowed && plan.mean ? b.find(plan.mean->field) : nullptr;
    // Plans through SlicedWindows: each aggregate's column, its value for
    // the event at hand, and group codes by dictionary code.
    const bool sliced = windowed && plan.sliced();
    const bool mean_col_needed = windowed && plan.mean.has_value();
    std::vector<const Column*> agg_cols;
    std::vector<std::uint32_t> sliced_codes;
    if (sliced) {
        for (const AggregateSpec& a : plan.aggregates) agg_cols.push_back(a.field == "*" ? nullptr : b.find(a.field));
        state.sliced.bind(agg_cols.data());
        if (group_col && group_col->kind == ColumnKind::Text && per_code_tables_pay(group_col->dict.size(), sel.size())) {
            sliced_codes.assign(group_col->dict.size(), UINT32_MAX);
        }
    }
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
    if (!sliced && group_col && group_col->kind == ColumnKind::Text && group_col->dict.size() * 2 <= sel.size()) {
        code_windows.resize(group_col->dict.size());
    }
    Selection passed{batch_ptr, {}};
    Selection late{batch_ptr, {}};
    const std::optional<std::int64_t> horizon = plan.dedup_horizon_ms;
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
        if ((int_id_column || text_id_column) && k + kPrefetch < sel.size()) {
            hash_ahead(k + kPrefetch);
            // Under a horizon a fresh id is also looked up in the previous
            // generation (same seed, so the same hash); which of the two
            // id tables it belongs to is not kept, so both are fetched.
            if (horizon) {
                const std::uint64_t h = ring[(k + kPrefetch) % kPrefetch];
                int_ids.prefetch_previous(h);
                if (text_id_column) text_ids.prefetch_previous(h);
            }
        }
        if (!sliced_codes.empty() && k + kPrefetch < sel.size()) {
            const std::uint32_t code = sliced_codes[group_col->codes[sel[k + kPrefetch]]];
            if (code != UINT32_MAX) state.sliced.prefetch(code);
        }
        // The window of an event ahead, when its group code is known and its
        // time is an integer: its slot is loaded while this event runs (a
        // guess: an origin not yet set only makes it miss).
        if (!code_windows.empty() && k + kPrefetch < sel.size()) {
            const std::uint32_t ahead = sel[k + kPrefetch];
            const CodeWindow& cw = code_windows[group_col->codes[ahead]];
            if (k + 2 * kPrefetch < sel.size()) __builtin_prefetch(&code_windows[group_col->codes[sel[k + 2 * kPrefetch]]]);
            if (cw.group != kNoCode && time_col != nullptr && time_col->kind == ColumnKind::Int) {
                const std::int64_t at = time_col->ints[ahead];
                const std::int64_t origin =
                    plan.align_origin ? *plan.align_origin : at > kEpochAlignThreshold ? state.window_origin : 0;
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

        if (horizon) rotate_ids(state, *horizon);
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
            if (plan.late_side) {
                late.rows.push_back(i);
                continue;
            }
            if (plan.drop_late) continue;
        }

        if (!windowed) {
            passed.rows.push_back(i);
            continue;
        }

        const WindowBounds bounds =
            plan.session_gap_ms ? WindowBounds{t, t} : plan_window_bounds(plan, state, t, width);
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
        if (!value && mean_col_needed) {
            Stats::add(stats.events_without_mean, 1);
            continue;
        }
        if (sliced) {
            SlicedWindows& sw = state.sliced;
            std::uint32_t code;
            if (!sliced_codes.empty()) {
                std::uint32_t& c = sliced_codes[group_col->codes[i]];
                if (c == UINT32_MAX) c = sw.groups().intern(group);
                code = c;
            } else {
                code = sw.groups().intern(group);
            }
            sw.add(code, t, bounds.start, value.value_or(0.0), i);
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
    if (sliced) state.sliced.apply_pending();
    if (!passed.rows.empty()) out.passed.push_back(std::move(passed));
    if (!late.rows.empty()) out.late.push_back(std::move(late));
}

}  // namespace

ProcessOutput process_chunks(Stats& stats, ProcessorState& state, std::vector<Chunk>& chunks, const PlanSpec& plan) {
    ProcessOutput out;
    const bool windowed = plan.windowed();
    if (windowed && plan.sliced()) state.sliced.configure(plan);
    Pass pass{stats,
              state,
              plan,
              plan.allowed_lateness_ms ? std::max<std::int64_t>(*plan.allowed_lateness_ms, 0) : 0,
              plan.window ? std::string_view(plan.window->time_field) : std::string_view("timestamp"),
              windowed,
              // parse_plan guarantees a positive length that fits in 64 bits.
              !windowed ? 0 : plan.sliced() && !plan.session_gap_ms ? plan.hop_ms.value_or(plan.window_length_ms())
                                                                   : plan.window_length_ms(),
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
