// Plans, filters, projection and the windowed processing of event rows.
// Python-free: the conversions from Python objects live in py_convert.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "cell.hpp"
#include "aggregates.hpp"
#include "id_set.hpp"
#include "sliced_windows.hpp"
#include "window_table.hpp"

namespace ravik {

struct FilterSpec {
    std::string field;
    std::string op;
    Cell value;
};

struct WindowSpec {
    std::int64_t seconds = 0;
    std::optional<std::string> by;
    std::string time_field = "timestamp";
};

struct MeanSpec {
    std::string field;
    std::string alias;
};

struct PlanSpec {
    std::vector<FilterSpec> filters;
    std::optional<std::vector<std::string>> select;
    std::optional<WindowSpec> window;
    std::optional<MeanSpec> mean;
    std::optional<std::int64_t> watermark_ms;
    std::optional<std::int64_t> allowed_lateness_ms;
    std::optional<std::string> event_id_field;
    bool drop_late = true;
    // Not part of the plan dict: a stream may set it from its own setting.
    // An event whose integer time lies more than this many milliseconds
    // ahead of the wall clock is dropped before anything else uses it, and
    // counted in Stats::future_events.
    std::optional<std::int64_t> max_future_ms;

    // Options beyond the plan dict's eight keys (its "options" entry, which
    // only the package's pulls take).
    // Windows [origin + k*w, origin + (k+1)*w) for every event, instead of
    // an origin taken from the stream's first epoch-scale event.
    std::optional<std::int64_t> align_origin;
    // Wall-clock milliseconds without an arriving event after which the
    // stream's newest event time advances with the wall clock (Stream::pull).
    std::optional<std::int64_t> idle_close_ms;
    // Late events are kept aside (ProcessOutput::late) instead of dropped.
    bool late_side = false;
    // Event ids are forgotten by generations once the newest event time has
    // passed them by more than this many milliseconds (see rotate_ids).
    std::optional<std::int64_t> dedup_horizon_ms;
    // Windows and aggregates beyond tumbling count and mean (SlicedWindows):
    // a length in ms (instead of the window's seconds), a hop (hopping
    // windows; the length is a multiple of it), a session gap (session
    // windows), aggregates in output order.
    std::optional<std::int64_t> window_ms;
    std::optional<std::int64_t> hop_ms;
    std::optional<std::int64_t> session_gap_ms;
    std::vector<AggregateSpec> aggregates;

    bool windowed() const noexcept { return window.has_value() && (mean.has_value() || !aggregates.empty()); }
    // Windowed through SlicedWindows rather than the contract's window table.
    bool sliced() const noexcept { return windowed() && (hop_ms || session_gap_ms || !aggregates.empty()); }
    std::int64_t window_length_ms() const noexcept { return window_ms ? *window_ms : window->seconds * 1000; }
    bool extended() const noexcept {
        return align_origin || idle_close_ms || late_side || dedup_horizon_ms || window_ms || hop_ms ||
               session_gap_ms || !aggregates.empty();
    }
};

// The stream's counters. Each is raised by a single relaxed atomic addition:
// they are independent tallies, no reader infers anything about other memory
// from their values, and no ordering between counters is promised.
struct Stats {
    std::atomic<std::uint64_t> ingested{0};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> microbatches_emitted{0};
    std::atomic<std::uint64_t> output_batches{0};
    std::atomic<std::uint64_t> output_rows{0};
    std::atomic<std::uint64_t> duplicate_events{0};
    std::atomic<std::uint64_t> late_events{0};
    std::atomic<std::uint64_t> checkpoint_saves{0};
    std::atomic<std::uint64_t> checkpoint_loads{0};
    // Diagnostics beyond the stats() dict (reported by the package).
    // Events timed by the wall clock: time field missing or not an integer.
    std::atomic<std::uint64_t> non_integer_times{0};
    // Windowed events dropped for want of a numeric mean field.
    std::atomic<std::uint64_t> events_without_mean{0};
    // Events dropped for a time too far ahead of the wall clock.
    std::atomic<std::uint64_t> future_events{0};

    static void add(std::atomic<std::uint64_t>& counter, std::uint64_t amount) noexcept {
        counter.fetch_add(amount, std::memory_order_relaxed);
    }
};

inline constexpr std::int64_t kTimeUnset = std::numeric_limits<std::int64_t>::min();
// Epoch-scale event times (above this) are aligned to the stream's window origin.
inline constexpr std::int64_t kEpochAlignThreshold = 1000000000000;

// Remembered event ids (EventIdSet, id_set.hpp). Membership is all
// processing needs; the checkpoint writer sorts their texts into byte order.
// Open windows (WindowTable, window_table.hpp): found by start and group,
// closed, flushed and written in byte-wise order of their key text.
using WindowMap = WindowTable;

struct ProcessorState {
    std::int64_t max_event_time = kTimeUnset;
    std::int64_t window_origin = kTimeUnset;
    EventIdSet seen_event_ids;
    WindowMap windows;
    // Plans with a dedup horizon: max_event_time when the live generation of
    // ids began (kTimeUnset: no generation yet). Written to a checkpoint
    // only when set.
    std::int64_t id_generation_start = kTimeUnset;
    // Open windows of plans with hopping or session windows or aggregates.
    SlicedWindows sliced;
};

// Before an event's id is looked up under a dedup horizon of `horizon` ms:
// when the newest event time has moved more than `horizon` past the live
// generation's start, the live ids become the previous generation and the
// one before is forgotten. Every id forgotten so has an event time more
// than `horizon` below the newest (it was at most the newest when the
// previous generation began); ids are kept for at most about twice that.
inline void rotate_ids(ProcessorState& state, std::int64_t horizon) {
    if (state.max_event_time == kTimeUnset) return;
    if (state.id_generation_start == kTimeUnset) {
        state.id_generation_start = state.max_event_time;
        return;
    }
    const auto since = static_cast<std::uint64_t>(state.max_event_time) - static_cast<std::uint64_t>(state.id_generation_start);
    if (state.max_event_time > state.id_generation_start && since > static_cast<std::uint64_t>(horizon)) {
        state.seen_event_ids.rotate();
        state.id_generation_start = state.max_event_time;
    }
}

// A filter's operator, read once per filter rather than once per event.
enum class Op { Eq, Ne, Gt, Ge, Lt, Le, Invalid };

inline Op parse_op(const std::string& op) noexcept {
    if (op == "==") return Op::Eq;
    if (op == "!=") return Op::Ne;
    if (op == ">") return Op::Gt;
    if (op == ">=") return Op::Ge;
    if (op == "<") return Op::Lt;
    if (op == "<=") return Op::Le;
    return Op::Invalid;
}

// Filters (all six operators; any other operator text compares false).
bool compare_cells(const Cell& lhs, const std::string& op, const Cell& rhs) noexcept;
bool passes_filters(const Row& row, const std::vector<FilterSpec>& filters) noexcept;
Rows project_rows(Rows rows, const std::optional<std::vector<std::string>>& select);

// Windowed processing. The caller holds the lock that guards `state`.
// With the plan's late_side, late events go to `late` (when given) instead
// of being dropped.
Rows process_rows(Stats& stats, ProcessorState& state, Rows rows, const PlanSpec& plan, Rows* late = nullptr);
Rows flush_all_windows(ProcessorState& state, const PlanSpec& plan);
std::int64_t plan_watermark(const PlanSpec& plan, const ProcessorState& state) noexcept;
// The window of event time t; width must be positive. Sets the window
// origin at the first epoch-scale time.
WindowBounds window_bounds_for(ProcessorState& state, std::int64_t t, std::int64_t width) noexcept;
// Its start.
std::int64_t window_bucket_for(ProcessorState& state, std::int64_t t, std::int64_t width) noexcept;
// The window of event time t under the plan: aligned to the plan's origin
// when it has one, else as window_bounds_for.
inline WindowBounds plan_window_bounds(const PlanSpec& plan, ProcessorState& state, std::int64_t t,
                                       std::int64_t width) noexcept {
    return plan.align_origin ? window_bounds(*plan.align_origin, t, width) : window_bounds_for(state, t, width);
}
std::string window_key(std::int64_t window_start, std::string_view group);
// Latest acceptable event time for a limit of `ahead` ms: the wall clock
// plus `ahead`, saturating.
std::int64_t future_limit(std::int64_t ahead) noexcept;
// The result row of one window.
Row window_row(const WindowView& w, const PlanSpec& plan);
// Closes the windows the watermark has passed (the end of a processing
// call), appending their rows to `out` in key order.
void close_windows(ProcessorState& state, const PlanSpec& plan, std::int64_t lateness, Rows& out);

}  // namespace ravik
