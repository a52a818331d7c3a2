// Windowed processing as plainly as it can be written: event ids in an
// ordered set of their texts, open windows in an ordered map keyed by their
// "<start>|<group>" text, every close a walk over all windows. Slow and
// obviously right; the fuzz targets hold the engine's tables to it.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core_processing.hpp"
#include "fuzz_state.hpp"

namespace ravik_fuzz {

// The model adds the same values in the same order, but which NaN a sum of
// two NaNs keeps (and so its sign) is the compiler's and the processor's
// choice: against the model, any NaN equals any NaN.
inline bool model_double(double a, double b) noexcept {
    return (std::isnan(a) && std::isnan(b)) || same_double(a, b);
}

inline bool model_rows(const ravik::Rows& a, const ravik::Rows& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].size() != b[i].size()) return false;
        for (std::size_t k = 0; k < a[i].size(); ++k) {
            const ravik::Cell& x = a[i].field_at(k).value;
            const ravik::Cell& y = b[i].field_at(k).value;
            if (a[i].field_at(k).name != b[i].field_at(k).name) return false;
            if (x.index() == ravik::kFloat && y.index() == ravik::kFloat) {
                if (!model_double(std::get<double>(x), std::get<double>(y))) return false;
            } else if (!(x == y)) {
                return false;
            }
        }
    }
    return true;
}

struct ModelState {
    std::int64_t max_event_time = ravik::kTimeUnset;
    std::int64_t window_origin = ravik::kTimeUnset;
    std::set<std::string> ids;
    // Under a dedup horizon: the generation before `ids`, and when `ids` began.
    std::set<std::string> previous;
    std::int64_t id_generation_start = ravik::kTimeUnset;
    std::map<std::string, ravik::WindowAggregate> windows;

    // The state a checkpoint holds, taken from the engine's.
    static ModelState of(const ravik::ProcessorState& s) {
        ModelState m;
        m.max_event_time = s.max_event_time;
        m.window_origin = s.window_origin;
        m.id_generation_start = s.id_generation_start;
        s.seen_event_ids.ints().for_each([&](std::int64_t v) { m.ids.insert(std::to_string(v)); });
        s.seen_event_ids.texts().for_each([&](std::string_view id) { m.ids.emplace(id); });
        for (auto& [key, w] : s.windows.in_key_order()) m.windows.emplace(key, w);
        return m;
    }

    bool same_as(const ravik::ProcessorState& s) const {
        const ModelState other = of(s);
        std::set<std::string> remembered = ids;
        remembered.insert(previous.begin(), previous.end());
        if (max_event_time != other.max_event_time || window_origin != other.window_origin ||
            remembered != other.ids || id_generation_start != other.id_generation_start ||
            windows.size() != other.windows.size()) {
            return false;
        }
        for (auto a = windows.begin(), b = other.windows.begin(); a != windows.end(); ++a, ++b) {
            if (a->first != b->first || !model_double(a->second.sum, b->second.sum) ||
                a->second.count != b->second.count || a->second.window_start != b->second.window_start ||
                a->second.window_end != b->second.window_end || a->second.group != b->second.group) {
                return false;
            }
        }
        return true;
    }
};

inline ravik::Row model_window_row(const ravik::WindowAggregate& w, const ravik::PlanSpec& plan) {
    return ravik::window_row(ravik::WindowView{w.sum, w.count, w.window_start, w.window_end, w.group, 0}, plan);
}

// Emits (and removes) the windows `closes` selects, in key order.
template <class Pred>
void model_close(ModelState& m, const ravik::PlanSpec& plan, Pred closes, ravik::Rows& out) {
    std::vector<std::string> keys;
    for (const auto& [key, w] : m.windows) {
        if (closes(w)) keys.push_back(key);
    }
    for (const std::string& key : keys) {
        auto it = m.windows.find(key);
        if (it->second.count != 0) out.push_back(model_window_row(it->second, plan));
        m.windows.erase(it);
    }
}

inline ravik::Rows model_process(ravik::Stats& stats, ModelState& m, const ravik::Rows& rows,
                                 const ravik::PlanSpec& plan, ravik::Rows* late = nullptr) {
    using ravik::Cell;
    const std::int64_t lateness = std::max<std::int64_t>(plan.allowed_lateness_ms.value_or(0), 0);
    const std::string time_field = plan.window ? plan.window->time_field : "timestamp";
    const std::int64_t future_cap = plan.max_future_ms ? ravik::future_limit(*plan.max_future_ms) : INT64_MAX;
    ravik::Rows out;
    for (const ravik::Row& row : rows) {
        if (!ravik::passes_filters(row, plan.filters)) continue;
        const Cell* tc = row.find(time_field);
        const bool integer_time = tc != nullptr && tc->index() == ravik::kInt;
        const std::int64_t t = integer_time ? std::get<std::int64_t>(*tc) : ravik::now_millis();
        if (integer_time && t > future_cap) {
            ravik::Stats::add(stats.future_events, 1);
            continue;
        }
        // Ids expire in generations: the live ones become the previous ones
        // once the newest time is more than the horizon past the live
        // generation's start.
        if (plan.dedup_horizon_ms && m.max_event_time != ravik::kTimeUnset) {
            if (m.id_generation_start == ravik::kTimeUnset) {
                m.id_generation_start = m.max_event_time;
            } else if (m.max_event_time > m.id_generation_start &&
                       static_cast<std::uint64_t>(m.max_event_time) - static_cast<std::uint64_t>(m.id_generation_start) >
                           static_cast<std::uint64_t>(*plan.dedup_horizon_ms)) {
                m.previous = std::move(m.ids);
                m.ids.clear();
                m.id_generation_start = m.max_event_time;
            }
        }
        if (plan.event_id_field) {
            if (const Cell* id = row.find(*plan.event_id_field)) {
                const std::string text = ravik::display(*id);
                if (!text.empty() && (m.previous.count(text) != 0 || !m.ids.insert(text).second)) {
                    ravik::Stats::add(stats.duplicate_events, 1);
                    continue;
                }
            }
        }
        if (!integer_time) ravik::Stats::add(stats.non_integer_times, 1);
        if (t > m.max_event_time) m.max_event_time = t;
        const std::int64_t watermark =
            plan.watermark_ms ? ravik::wrapping_sub(m.max_event_time, *plan.watermark_ms) : m.max_event_time;
        if (watermark > std::numeric_limits<std::int64_t>::min() / 2 && ravik::wrapping_add(t, lateness) < watermark) {
            ravik::Stats::add(stats.late_events, 1);
            if (plan.late_side) {
                if (late) late->push_back(row);
                continue;
            }
            if (plan.drop_late) continue;
        }
        if (!plan.windowed()) {
            out.push_back(row);
            continue;
        }
        const std::int64_t width = plan.window->seconds * 1000;
        std::int64_t base = 0;
        if (plan.align_origin) {
            base = *plan.align_origin;
        } else if (t > ravik::kEpochAlignThreshold) {
            if (m.window_origin == ravik::kTimeUnset) m.window_origin = t;
            base = m.window_origin;
        }
        const ravik::WindowBounds bounds = ravik::window_bounds(base, t, width);
        std::string group;
        if (plan.window->by) {
            if (const Cell* g = row.find(*plan.window->by)) group = ravik::display(*g);
        }
        const Cell* mc = row.find(plan.mean->field);
        const auto value = mc ? ravik::to_f64(*mc) : std::nullopt;
        if (!value) {
            ravik::Stats::add(stats.events_without_mean, 1);
            continue;
        }
        ravik::WindowAggregate& w = m.windows[ravik::window_key(bounds.start, group)];
        w.window_start = bounds.start;
        w.window_end = bounds.end;
        w.group = group;
        w.count += 1;
        w.sum += *value;
    }
    if (plan.windowed()) {
        const std::int64_t bound =
            ravik::wrapping_sub(ravik::wrapping_sub(m.max_event_time, plan.watermark_ms.value_or(0)), lateness);
        model_close(m, plan, [bound](const ravik::WindowAggregate& w) { return w.window_end <= bound; }, out);
    }
    return out;
}

inline ravik::Rows model_flush(ModelState& m, const ravik::PlanSpec& plan) {
    ravik::Rows out;
    if (plan.windowed()) model_close(m, plan, [](const ravik::WindowAggregate&) { return true; }, out);
    return out;
}

}  // namespace ravik_fuzz
