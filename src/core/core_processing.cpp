#include "core_processing.hpp"

#include <climits>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

namespace ravik {

namespace {

bool is_numeric(const Cell& c) noexcept { return c.index() == kInt || c.index() == kFloat; }

double as_double(const Cell& c) noexcept {
    return c.index() == kInt ? static_cast<double>(std::get<std::int64_t>(c)) : std::get<double>(c);
}

}  // namespace

std::int64_t future_limit(std::int64_t ahead) noexcept {
    const std::int64_t now = now_millis();
    std::int64_t limit;
    if (__builtin_add_overflow(now, ahead, &limit)) return ahead > 0 ? INT64_MAX : INT64_MIN;
    return limit;
}

Row window_row(const WindowView& w, const PlanSpec& plan) {
    Row row;
    row.reserve(5);
    row.set(std::string_view("window_start"), Cell{w.window_start});
    row.set(std::string_view("window_end"), Cell{w.window_end});
    if (plan.window->by) row.set(std::string_view(*plan.window->by), Cell{std::string(w.group)});
    row.set(std::string_view(plan.mean->alias), Cell{w.sum / static_cast<double>(w.count)});
    row.set(std::string_view("count"), Cell{static_cast<std::int64_t>(w.count)});
    return row;
}

void close_windows(ProcessorState& state, const PlanSpec& plan, std::int64_t lateness, Rows& out) {
    const std::int64_t bound =
        wrapping_sub(wrapping_sub(state.max_event_time, plan.watermark_ms.value_or(0)), lateness);
    state.windows.close_until(bound, [&](const WindowView& w) {
        if (w.count != 0) out.push_back(window_row(w, plan));
    });
}

bool compare_cells(const Cell& lhs, const std::string& op_text, const Cell& rhs) noexcept {
    const Op op = parse_op(op_text);
    if (op == Op::Invalid) return false;
    if (is_numeric(lhs) && is_numeric(rhs)) {
        const double a = as_double(lhs);
        const double b = as_double(rhs);
        switch (op) {
            case Op::Eq: return a == b;
            case Op::Ne: return a != b;
            case Op::Gt: return a > b;
            case Op::Ge: return a >= b;
            case Op::Lt: return a < b;
            case Op::Le: return a <= b;
            default: return false;
        }
    }
    if (lhs.index() == kText && rhs.index() == kText) {
        const bool eq = std::get<std::string>(lhs) == std::get<std::string>(rhs);
        return op == Op::Eq ? eq : op == Op::Ne ? !eq : false;
    }
    if (lhs.index() == kBool && rhs.index() == kBool) {
        const bool eq = std::get<bool>(lhs) == std::get<bool>(rhs);
        return op == Op::Eq ? eq : op == Op::Ne ? !eq : false;
    }
    return false;
}

bool passes_filters(const Row& row, const std::vector<FilterSpec>& filters) noexcept {
    for (const auto& f : filters) {
        const Cell* v = row.find(f.field);
        if (v == nullptr || !compare_cells(*v, f.op, f.value)) return false;
    }
    return true;
}

Rows project_rows(Rows rows, const std::optional<std::vector<std::string>>& select) {
    if (!select) return rows;
    Rows out;
    out.reserve(rows.size());
    for (const Row& row : rows) {
        Row projected;
        projected.reserve(select->size());
        for (const auto& name : *select) {
            const Cell* v = row.find(name);
            projected.set(std::string_view(name), v ? *v : Cell{});
        }
        out.push_back(std::move(projected));
    }
    return out;
}

std::int64_t plan_watermark(const PlanSpec& plan, const ProcessorState& state) noexcept {
    if (plan.watermark_ms) return wrapping_sub(state.max_event_time, *plan.watermark_ms);
    return state.max_event_time;
}

WindowBounds window_bounds_for(ProcessorState& state, std::int64_t t, std::int64_t width) noexcept {
    if (t > kEpochAlignThreshold) {
        if (state.window_origin == kTimeUnset) state.window_origin = t;
        return window_bounds(state.window_origin, t, width);
    }
    return window_bounds(0, t, width);
}

std::int64_t window_bucket_for(ProcessorState& state, std::int64_t t, std::int64_t width) noexcept {
    return window_bounds_for(state, t, width).start;
}

std::string window_key(std::int64_t window_start, std::string_view group) {
    std::string key;
    key.reserve(21 + group.size());
    append_int(key, window_start);
    key.push_back('|');
    key.append(group);
    return key;
}

Rows process_rows(Stats& stats, ProcessorState& state, Rows rows, const PlanSpec& plan, Rows* late) {
    const std::int64_t lateness =
        plan.allowed_lateness_ms ? std::max<std::int64_t>(*plan.allowed_lateness_ms, 0) : 0;
    const std::string_view time_field =
        plan.window ? std::string_view(plan.window->time_field) : std::string_view("timestamp");
    // Hopping and session windows and aggregates are the package's
    // (process_chunks); the plan dict of next_batch cannot ask for them.
    if (plan.sliced()) throw std::invalid_argument("this plan's windows are pulled with the ravik package");
    const bool windowed = plan.windowed();
    // parse_plan guarantees a positive length that fits in 64 bits.
    const std::int64_t width = windowed ? plan.window_length_ms() : 0;
    constexpr std::int64_t kLatenessThreshold = std::numeric_limits<std::int64_t>::min() / 2;
    const std::int64_t future_cap = plan.max_future_ms ? future_limit(*plan.max_future_ms) : INT64_MAX;

    Rows result;
    constexpr std::size_t kIdBlock = 32;
    struct PendingId {
        bool present;    // the row has the field and its text is not empty
        bool is_int;
        std::int64_t value;
        std::string text;
        std::uint64_t hash;
    };
    PendingId ids[kIdBlock];
    IntIdSet& int_ids = state.seen_event_ids.ints();
    IdSet& text_ids = state.seen_event_ids.texts();
    for (std::size_t index = 0; index < rows.size(); ++index) {
        const std::size_t slot = index % kIdBlock;
        if (plan.event_id_field && slot == 0) {
            const std::size_t block_end = std::min(rows.size(), index + kIdBlock);
            for (std::size_t j = index; j < block_end; ++j) {
                PendingId& id = ids[j - index];
                const Cell* id_cell = rows[j].find(*plan.event_id_field);
                id.present = id_cell != nullptr;
                if (!id.present) continue;
                if (id_cell->index() == kInt) {
                    id.is_int = true;
                    id.value = std::get<std::int64_t>(*id_cell);
                } else {
                    id.text = display(*id_cell);
                    const auto v = canonical_int(id.text);
                    id.is_int = v.has_value();
                    id.value = v.value_or(0);
                    id.present = !id.text.empty();
                }
                if (id.is_int) {
                    id.hash = int_ids.hash_of(id.value);
                    int_ids.prefetch(id.hash);
                } else if (id.present) {
                    id.hash = text_ids.hash_of(id.text);
                    text_ids.prefetch(id.hash);
                }
            }
        }
        Row& row = rows[index];
        if (!passes_filters(row, plan.filters)) continue;

        const Cell* time_cell = row.find(time_field);
        const bool integer_time = time_cell && time_cell->index() == kInt;
        const std::int64_t t = integer_time ? std::get<std::int64_t>(*time_cell) : now_millis();
        // Checked before the id is remembered: the same event resent with
        // a sound time is then no duplicate.
        if (integer_time && t > future_cap) {
            Stats::add(stats.future_events, 1);
            continue;
        }

        if (plan.dedup_horizon_ms) rotate_ids(state, *plan.dedup_horizon_ms);
        if (plan.event_id_field && ids[slot].present) {
            PendingId& id = ids[slot];
            const bool fresh = id.is_int ? int_ids.insert_hashed(id.value, id.hash)
                                         : text_ids.insert_hashed(id.text, id.hash);
            if (!fresh) {
                Stats::add(stats.duplicate_events, 1);
                continue;
            }
        }

        if (!integer_time) Stats::add(stats.non_integer_times, 1);
        if (t > state.max_event_time) state.max_event_time = t;
        const std::int64_t watermark = plan_watermark(plan, state);
        if (watermark > kLatenessThreshold && wrapping_add(t, lateness) < watermark) {
            Stats::add(stats.late_events, 1);
            if (plan.late_side) {
                if (late) late->push_back(std::move(row));
                continue;
            }
            if (plan.drop_late) continue;
        }

        if (!windowed) {
            result.push_back(std::move(row));
            continue;
        }

        const WindowBounds bounds = plan_window_bounds(plan, state, t, width);
        const std::int64_t start = bounds.start;
        std::string_view group;
        std::string group_text;
        if (plan.window->by) {
            if (const Cell* g = row.find(*plan.window->by)) {
                if (const auto* s = std::get_if<std::string>(g)) {
                    group = *s;
                } else {
                    group_text = display(*g);
                    group = group_text;
                }
            }
        }
        const Cell* mean_cell = row.find(plan.mean->field);
        const std::optional<double> value = mean_cell ? to_f64(*mean_cell) : std::nullopt;
        if (!value) {
            Stats::add(stats.events_without_mean, 1);
            continue;
        }

        WindowTable& windows = state.windows;
        const std::uint32_t code = windows.groups().intern(group);
        windows.add(windows.find_or_create(start, code, bounds.end), bounds.end, *value);
    }

    if (windowed) close_windows(state, plan, lateness, result);
    return result;
}

Rows flush_all_windows(ProcessorState& state, const PlanSpec& plan) {
    Rows result;
    if (!plan.windowed() || plan.sliced()) return result;
    result.reserve(state.windows.size());
    state.windows.remove_all([&](const WindowView& w) {
        if (w.count != 0) result.push_back(window_row(w, plan));
    });
    return result;
}

}  // namespace ravik
