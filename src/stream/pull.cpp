// Pulling from a stream: waits for ready batches, processing under the state
// lock, caller-supplied batches, counters and diagnostics.
#include "stream.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>

#include "timing.hpp"

namespace ravik {

using namespace timing;

bool Stream::wait_ready(std::uint64_t timeout_ms) {
    std::unique_lock<std::mutex> lock(queue_mutex);
    const auto ready = [this] { return !ready_batches.empty() || closed; };
    const auto deadline = deadline_after(timeout_ms);
    if (!deadline) {
        queue_cv.wait(lock, ready);
        return true;
    }
    return queue_cv.wait_until(lock, *deadline, ready);
}

void Stream::await_final_cut_locked(std::unique_lock<std::mutex>& lock) {
    // Woken by the worker's notification after it set `drained`; the
    // predicate absorbs every other wake-up. The worker and the receivers
    // notice `closed` within one turn each and wait for nothing else, so
    // this wait is short.
    if (closed) queue_cv.wait(lock, [this] { return drained; });
}

PlanSpec Stream::stream_plan(PlanSpec plan) const {
    const std::int64_t ahead = max_future_ms.load(std::memory_order_relaxed);
    if (ahead >= 0) plan.max_future_ms = ahead;
    return plan;
}

Stream::Diagnostics Stream::diagnostics() const {
    Diagnostics d{};
    auto load = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
    d.malformed_datagrams = load(malformed_datagrams);
    d.kernel_dropped = load(kernel_dropped);
    d.non_integer_times = load(counters.non_integer_times);
    d.events_without_mean = load(counters.events_without_mean);
    d.future_events = load(counters.future_events);
    d.lone_surrogates = load(lone_surrogates);
    d.pending_dropped = load(pending_dropped);
    d.late_side_dropped = load(late_side_dropped);
    d.now_ms = wall_now_ms();
    {
        std::lock_guard<std::mutex> state_lock(state_mutex);
        d.newest_event_time = idle_advanced == state.max_event_time && idle_base != kTimeUnset ? idle_base
                                                                                               : state.max_event_time;
        const std::int64_t wm = last_watermark_ms.load(std::memory_order_relaxed);
        d.watermark = wm == kTimeUnset || state.max_event_time == kTimeUnset
                          ? kTimeUnset
                          : static_cast<std::int64_t>(static_cast<std::uint64_t>(state.max_event_time) -
                                                      static_cast<std::uint64_t>(wm));
    }
    std::lock_guard<std::mutex> lock(diagnostics_mutex);
    d.recent_malformed.assign(recent_malformed.begin(), recent_malformed.end());
    return d;
}

void Stream::note_malformed(std::string_view datagram, const char* reason) {
    malformed_datagrams.fetch_add(1, std::memory_order_relaxed);
    MalformedDatagram sample{std::string(datagram.substr(0, kMalformedSampleBytes)), reason};
    std::lock_guard<std::mutex> lock(diagnostics_mutex);
    if (recent_malformed.size() == kMalformedSamples) recent_malformed.pop_front();
    recent_malformed.push_back(std::move(sample));
}

void Stream::count_output(std::size_t rows) noexcept {
    Stats::add(counters.output_batches, 1);
    Stats::add(counters.output_rows, rows);
}

bool Stream::pull(const PlanSpec& plan, std::uint64_t timeout_ms, ProcessOutput& out, bool flush_closed) {
    std::vector<Chunk> chunks;
    bool was_closed = false;
    {
        std::unique_lock<std::mutex> lock(queue_mutex);
        if (ready_batches.empty() && !closed && timeout_ms > 0) {
            // One wait, ended by any notification, a spurious wake-up or the
            // deadline; the caller re-checks nothing and takes what is ready.
            if (const auto deadline = deadline_after(timeout_ms)) {
                queue_cv.wait_until(lock, *deadline);
            } else {
                queue_cv.wait(lock);
            }
        }
        // On a closed stream every batch has to be in before anything is
        // taken: windows are flushed only when nothing else comes out, and
        // a batch cut after that flush would open them again.
        await_final_cut_locked(lock);
        for (auto& cut : ready_batches) {
            for (Chunk& chunk : cut) chunks.push_back(std::move(chunk));
        }
        ready_batches.clear();
        ready_events = 0;
        was_closed = closed;
    }
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        out = process_chunks(counters, state, chunks, plan);
        last_watermark_ms.store(plan.watermark_ms.value_or(0), std::memory_order_relaxed);
        if (plan.idle_close_ms) close_idle_locked(plan, out);
        if (!out.late.empty()) keep_late_locked(out.late);
        if (out.passed_count() == 0 && out.windows.empty() && was_closed && flush_closed) {
            if (plan.windowed()) emit_windows(state, plan, true, out.windows);
        }
    }
    return out.passed_count() + out.windows.size() > 0;
}

void Stream::close_idle_locked(const PlanSpec& plan, ProcessOutput& out) {
    if (state.max_event_time == kTimeUnset) return;
    // Events (or a loaded checkpoint) moved the newest time past the last
    // advance: that is the new base.
    if (state.max_event_time != idle_advanced) idle_base = state.max_event_time;
    const std::int64_t arrival = last_arrival_ms.load(std::memory_order_relaxed);
    if (arrival == kTimeUnset) return;
    const std::int64_t now = wall_now_ms();
    if (now - arrival < *plan.idle_close_ms) return;
    std::int64_t target = 0;
    if (__builtin_add_overflow(idle_base, now - arrival, &target)) target = std::numeric_limits<std::int64_t>::max();
    if (target <= state.max_event_time) return;
    state.max_event_time = target;
    idle_advanced = target;
    if (plan.windowed()) emit_windows(state, plan, false, out.windows);
}

std::optional<std::int64_t> Stream::idle_close_due_in_ms(const PlanSpec& plan) const {
    if (!plan.idle_close_ms || !plan.windowed()) return std::nullopt;
    const std::int64_t arrival = last_arrival_ms.load(std::memory_order_relaxed);
    if (arrival == kTimeUnset) return std::nullopt;
    std::optional<std::int64_t> end;
    std::int64_t base = kTimeUnset;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        end = plan.sliced() ? state.sliced.earliest_end() : state.windows.earliest_end_hint();
        base = state.max_event_time != idle_advanced || idle_base == kTimeUnset ? state.max_event_time : idle_base;
    }
    if (!end || base == kTimeUnset) return std::nullopt;
    // A window ending at `end` closes once base + idle - watermark -
    // lateness reaches it, and idleness counts only from idle_close_ms on.
    const long double needed = static_cast<long double>(*end) + static_cast<long double>(plan.watermark_ms.value_or(0)) +
                               static_cast<long double>(std::max<std::int64_t>(plan.allowed_lateness_ms.value_or(0), 0)) -
                               static_cast<long double>(base);
    const long double idle = std::max(needed, static_cast<long double>(*plan.idle_close_ms));
    const long double due = static_cast<long double>(arrival) + idle - static_cast<long double>(wall_now_ms());
    // At least a millisecond: a stale index entry must not make a waiter spin.
    if (due < 1) return 1;
    if (due >= static_cast<long double>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(due);
}

void Stream::keep_late_locked(std::vector<Selection>& late) {
    for (Selection& part : late) {
        const std::size_t room = capacity > late_kept_events ? capacity - late_kept_events : 0;
        if (part.rows.size() > room) {
            late_side_dropped.fetch_add(part.rows.size() - room, std::memory_order_relaxed);
            part.rows.resize(room);
        }
        if (part.rows.empty()) continue;
        late_kept_events += part.rows.size();
        late_kept.push_back(std::move(part));
    }
    late.clear();
}

std::vector<Selection> Stream::take_late_events() {
    std::lock_guard<std::mutex> lock(state_mutex);
    late_kept_events = 0;
    return std::exchange(late_kept, {});
}

ProcessOutput Stream::aggregate(std::shared_ptr<const ColumnBatch> batch, const PlanSpec& plan) {
    std::vector<Chunk> chunks;
    if (batch) {
        Chunk all;
        all.end = batch->length;
        all.batch = std::move(batch);
        chunks.push_back(std::move(all));
    }
    ProcessOutput out;
    std::lock_guard<std::mutex> lock(state_mutex);
    out = process_chunks(counters, state, chunks, plan);
    last_watermark_ms.store(plan.watermark_ms.value_or(0), std::memory_order_relaxed);
    if (!out.late.empty()) keep_late_locked(out.late);
    if (plan.windowed()) emit_windows(state, plan, true, out.windows);
    return out;
}

void Stream::count_stateless_aggregation(std::uint64_t taken, std::size_t rows) noexcept {
    Stats::add(counters.ingested, taken);
    Stats::add(counters.output_batches, 1);
    Stats::add(counters.output_rows, rows);
}

std::map<std::string, std::uint64_t> Stream::stats() const {
    std::lock_guard<std::mutex> lock(state_mutex);
    auto load = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
    return {
        {"ingested", load(counters.ingested)},
        {"dropped", load(counters.dropped)},
        {"microbatches_emitted", load(counters.microbatches_emitted)},
        {"output_batches", load(counters.output_batches)},
        {"output_rows", load(counters.output_rows)},
        {"duplicate_events", load(counters.duplicate_events)},
        {"late_events", load(counters.late_events)},
        {"checkpoint_saves", load(counters.checkpoint_saves)},
        {"checkpoint_loads", load(counters.checkpoint_loads)},
        {"open_windows", state.windows.size() + state.sliced.size()},
        {"seen_event_ids", state.seen_event_ids.size()},
    };
}

}  // namespace ravik
