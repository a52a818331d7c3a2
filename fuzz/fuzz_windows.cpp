// Windowed processing driven by a byte string decoded into a short sequence
// of plans, event batches, flushes and checkpoint round trips. Checks:
// counts add up (every accepted event is in exactly one open or emitted
// window), every window contains the times it was given, windows left open
// lie beyond the closing bound, a flush leaves nothing open, and the event-time
// high mark never falls and covers every event that cannot be a duplicate.
// Emitted windows come out in key order, span a whole number of seconds
// (one to five) and, when every value was finite, have a mean within the
// values' range [0, 254]; pass-through keeps the events' order. A checkpoint
// round trip restores the state field by field.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "checkpoint_format.hpp"
#include "core_processing.hpp"
#include "fuzz_bytes.hpp"
#include "fuzz_check.hpp"
#include "fuzz_state.hpp"

namespace {

using ravik_fuzz::Bytes;

std::uint64_t open_count(const ravik::ProcessorState& state) {
    std::uint64_t total = 0;
    for (const auto& [key, w] : state.windows.in_key_order()) total += w.count;
    return total;
}

ravik::PlanSpec decode_plan(Bytes& in) {
    ravik::PlanSpec plan;
    const std::uint8_t flags = in.u8();
    ravik::WindowSpec window;
    window.seconds = 1 + in.u8() % 5;
    if (flags & 1) window.by = "group";
    window.time_field = "timestamp";
    plan.window = window;
    if ((flags & 2) == 0) plan.mean = ravik::MeanSpec{"value", (flags & 64) ? "count" : "mean_value"};
    if (flags & 4) plan.watermark_ms = in.i16();
    if (flags & 8) plan.allowed_lateness_ms = in.i16();
    if (flags & 16) plan.event_id_field = "id";
    plan.drop_late = (flags & 32) == 0;
    return plan;
}

std::int64_t decode_time(Bytes& in) {
    const std::uint8_t mode = in.u8() % 4;
    const std::int64_t offset = in.i16();
    switch (mode) {
        case 0: return offset * 37;                          // around zero, negatives included
        case 1: return 1000000000000 + offset * 111;         // at the epoch-alignment threshold
        case 2: return 1700000000000 + offset * 97;          // epoch milliseconds
        default: return offset;
    }
}

// Checks the window rows of one pull and returns the events they counted.
// Rows come in key order; each spans one to five whole seconds; the mean of
// values from 0 to 254 (or NaN, for value byte 255) lies in that range.
// Without `by` the rows carry no group, so only "<start>|" of each key is
// known; that prefix decides the order of keys with different starts ('|'
// is neither a digit nor a sign), so those prefixes must not decrease.
std::uint64_t check_window_rows(const ravik::Rows& out, const ravik::PlanSpec& plan) {
    std::uint64_t emitted = 0;
    std::string previous_key;
    bool first = true;
    for (const auto& row : out) {
        const auto start = ravik::to_i64(*row.find("window_start"));
        const auto end = ravik::to_i64(*row.find("window_end"));
        const auto count = ravik::to_i64(*row.find("count"));
        FUZZ_CHECK(start && end && count && *count > 0);
        const std::int64_t span = ravik::wrapping_sub(*end, *start);
        FUZZ_CHECK(span >= 1000 && span <= 5000 && span % 1000 == 0);
        std::string group;
        if (plan.window->by) {
            const ravik::Cell* g = row.find(*plan.window->by);
            FUZZ_CHECK(g != nullptr && g->index() == ravik::kText);
            group = std::get<std::string>(*g);
        }
        const std::string key = ravik::window_key(*start, group);
        FUZZ_CHECK(first || (plan.window->by ? previous_key < key : previous_key <= key));
        previous_key = key;
        first = false;
        if (plan.mean->alias != "count") {
            const auto mean = ravik::to_f64(*row.find(plan.mean->alias));
            FUZZ_CHECK(mean && (std::isnan(*mean) || (*mean >= 0.0 && *mean <= 254.0)));
        }
        emitted += static_cast<std::uint64_t>(*count);
    }
    return emitted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    ravik::Stats stats;
    ravik::ProcessorState state;
    ravik::PlanSpec plan = decode_plan(in);

    for (int step = 0; step < 64 && !in.empty(); ++step) {
        switch (in.u8() % 4) {
            case 0:
                plan = decode_plan(in);
                break;
            case 1: {
                const std::size_t n = in.u8() % 9;
                ravik::Rows rows;
                std::int64_t max_unique = ravik::kTimeUnset;
                const std::int64_t width = plan.window->seconds * 1000;
                for (std::size_t i = 0; i < n; ++i) {
                    ravik::Row row;
                    const std::int64_t t = decode_time(in);
                    row.set(std::string_view("timestamp"), ravik::Cell{t});
                    row.set(std::string_view("group"), ravik::Cell{std::string("g") + char('0' + in.u8() % 4)});
                    const std::uint8_t v = in.u8();
                    row.set(std::string_view("value"), v == 255 ? ravik::Cell{std::nan("")} : ravik::Cell{double(v)});
                    const std::uint8_t id = in.u8();
                    if (id & 0x80) {
                        row.set(std::string_view("id"), ravik::Cell{std::int64_t{id % 16}});
                    } else if (t > max_unique) {
                        max_unique = t;  // an event without an id is never a duplicate
                    }
                    row.set(std::string_view("seq"), ravik::Cell{static_cast<std::int64_t>(i)});
                    rows.push_back(std::move(row));

                    // The window an event lands in contains its time.
                    ravik::ProcessorState probe = state;
                    const std::int64_t start = ravik::window_bucket_for(probe, t, width);
                    FUZZ_CHECK(start <= t && t < start + width);
                    if (t > ravik::kEpochAlignThreshold) FUZZ_CHECK((start - probe.window_origin) % width == 0);
                }
                const std::uint64_t dup_before = stats.duplicate_events.load();
                const std::uint64_t late_before = stats.late_events.load();
                const std::uint64_t open_before = open_count(state);
                const std::int64_t max_before = state.max_event_time;
                const ravik::Rows out = ravik::process_rows(stats, state, std::move(rows), plan);
                const std::uint64_t dups = stats.duplicate_events.load() - dup_before;
                const std::uint64_t late = stats.late_events.load() - late_before;
                FUZZ_CHECK(dups + late <= n);
                const std::uint64_t accepted = n - dups - (plan.drop_late ? late : 0);
                FUZZ_CHECK(state.max_event_time >= max_before);
                FUZZ_CHECK(state.max_event_time >= max_unique);
                if (!plan.windowed()) {
                    FUZZ_CHECK(out.size() == accepted);
                    for (std::size_t i = 1; i < out.size(); ++i) {
                        FUZZ_CHECK(*ravik::to_i64(*out[i - 1].find("seq")) < *ravik::to_i64(*out[i].find("seq")));
                    }
                    break;
                }
                const std::uint64_t emitted = check_window_rows(out, plan);
                FUZZ_CHECK(open_before + accepted == open_count(state) + emitted);
                const std::int64_t bound = ravik::wrapping_sub(
                    ravik::wrapping_sub(state.max_event_time, plan.watermark_ms.value_or(0)),
                    std::max<std::int64_t>(plan.allowed_lateness_ms.value_or(0), 0));
                for (const auto& [key, w] : state.windows.in_key_order()) {
                    FUZZ_CHECK(w.window_end > bound);
                    FUZZ_CHECK(key == ravik::window_key(w.window_start, w.group));
                }
                break;
            }
            case 2: {
                const std::uint64_t open_before = open_count(state);
                const ravik::Rows out = ravik::flush_all_windows(state, plan);
                if (plan.windowed()) {
                    FUZZ_CHECK(state.windows.empty());
                    FUZZ_CHECK(check_window_rows(out, plan) == open_before);
                } else {
                    FUZZ_CHECK(out.empty());
                }
                break;
            }
            default: {
                // Resume from a checkpoint of the current state.
                FUZZ_CHECK(ravik::checkpoint_representable(state));
                ravik::ProcessorState loaded = ravik::parse_checkpoint(ravik::format_checkpoint(state));
                FUZZ_CHECK(ravik_fuzz::same_state(loaded, state));
                state = std::move(loaded);
                break;
            }
        }
    }
    return 0;
}
