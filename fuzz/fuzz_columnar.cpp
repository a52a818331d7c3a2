// The columnar processing against the row-at-a-time reference and a plain
// model of the state (ordered set and map, reference_model.hpp). A byte
// string decodes into a sequence of plans and event runs (mixed types and
// nulls in one field, several schemas, ids of every kind, times around zero,
// at the epoch-alignment threshold and at the ends of the range, NaN and
// infinite values, undecodable bytes), each run split into chunks of rows
// and of columns. Both paths process the same events from equal states;
// their results, counters and checkpoint texts must be identical, step
// after step (flushes included). Between steps the states may go through a
// checkpoint (saved and loaded into fresh states); groups may be many
// (hundreds of texts) and integer ids crafted to share a multiplicative
// hash's slot.
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "checkpoint_format.hpp"
#include "columnar.hpp"
#include "core_processing.hpp"
#include "fuzz_bytes.hpp"
#include "fuzz_check.hpp"
#include "fuzz_state.hpp"
#include "reference_model.hpp"

namespace {

using ravik_fuzz::Bytes;
using ravik_fuzz::same_cell;
using ravik_fuzz::same_rows;

constexpr const char* kNames[] = {"a", "g", "id", "t", "timestamp", "v", "\xff"};

ravik::Cell decode_cell(Bytes& in) {
    const std::uint8_t kind = in.u8();
    switch (kind % 14) {
        case 12: {
            // j * C^-1 mod 2^64 for the golden-ratio multiplier C: keys that a
            // multiplicative hash puts into one probe run.
            constexpr std::uint64_t kInverse = 0xF1DE83E19937733Dull;
            const std::uint64_t j = (static_cast<std::uint64_t>(in.u8()) << 40) | in.u8();
            return ravik::Cell{static_cast<std::int64_t>(j * kInverse)};
        }
        case 13: return ravik::Cell{"group-" + std::to_string(in.i16() & 0x3ff)};
        case 0: return ravik::Cell{ravik::Null{}};
        case 1: return ravik::Cell{(kind & 16) != 0};
        case 2: return ravik::Cell{in.i16()};
        case 3: return ravik::Cell{1700000000000 + in.i16() * 97};
        case 4: return ravik::Cell{1000000000000 + in.i16()};
        case 5: return ravik::Cell{(kind & 16) ? INT64_MIN + in.u8() : INT64_MAX - in.u8()};
        case 6: return ravik::Cell{static_cast<double>(in.i16()) / 4};
        case 7: {
            const double special[] = {std::nan(""), -std::nan(""), INFINITY, -INFINITY, 5.0, 1e6, -0.0, 1234567.0};
            return ravik::Cell{special[in.u8() % 8]};
        }
        case 8: {
            const char* texts[] = {"5", "05", "", "x", "1e+06", "true", "-0", "\xff\xfe", "-9223372036854775808", "g1"};
            return ravik::Cell{std::string(texts[in.u8() % 10])};
        }
        default: return ravik::Cell{std::string("g") + static_cast<char>('0' + in.u8() % 4)};
    }
}

ravik::PlanSpec decode_plan(Bytes& in) {
    ravik::PlanSpec plan;
    const std::uint8_t flags = in.u8();
    const std::uint8_t more = in.u8();
    const std::size_t filters = more % 3;
    const char* ops[] = {"==", "!=", ">", ">=", "<", "<=", "=~"};
    for (std::size_t f = 0; f < filters; ++f) {
        plan.filters.push_back(ravik::FilterSpec{kNames[in.u8() % 7], ops[in.u8() % 7], decode_cell(in)});
    }
    if (more & 4) {
        std::vector<std::string> select;
        const std::size_t n = in.u8() % 4;
        for (std::size_t k = 0; k < n; ++k) select.push_back((in.u8() & 1) ? kNames[in.u8() % 7] : "missing");
        plan.select = select;
    }
    if (flags & 1) {
        ravik::WindowSpec window;
        window.seconds = 1 + in.u8() % 3;
        if (flags & 2) window.by = (more & 8) ? "g" : "a";
        window.time_field = (more & 16) ? "t" : "timestamp";
        plan.window = window;
    }
    if (flags & 4) plan.mean = ravik::MeanSpec{(more & 32) ? "a" : "v", (more & 64) ? "count" : "m"};
    if (flags & 8) plan.watermark_ms = in.i16();
    if (flags & 16) plan.allowed_lateness_ms = in.i16();
    if (flags & 32) plan.event_id_field = (more & 128) ? "a" : "id";
    plan.drop_late = (flags & 64) == 0;
    if (flags & 128) plan.max_future_ms = in.u8() * 1000;
    // Options beyond the plan dict: alignment, late events aside, an id horizon.
    const std::uint8_t options = in.u8();
    if (options & 1) plan.align_origin = (options & 2) ? 0 : in.i16();
    if (options & 4) plan.late_side = plan.drop_late;
    if (options & 8) plan.dedup_horizon_ms = in.u8() * 16;
    return plan;
}

ravik::Rows decode_rows(Bytes& in) {
    ravik::Rows rows;
    const std::size_t n = in.u8() % 48;
    for (std::size_t i = 0; i < n; ++i) {
        // A few schemas, so that runs of one schema form batches.
        const std::uint8_t schema = in.u8();
        ravik::Row row;
        for (std::size_t k = 0; k < 7; ++k) {
            if ((schema >> (k % 7)) & 1 || k == 4) row.set(std::string_view(kNames[k]), decode_cell(in));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

bool same_stats(const ravik::Stats& a, const ravik::Stats& b) {
    return a.duplicate_events.load() == b.duplicate_events.load() && a.late_events.load() == b.late_events.load() &&
           a.non_integer_times.load() == b.non_integer_times.load() &&
           a.events_without_mean.load() == b.events_without_mean.load() &&
           a.future_events.load() == b.future_events.load();
}

// The rows as queued chunks: cut at the given points, each chunk either a
// run of rows or a column batch (one per schema run).
std::vector<ravik::Chunk> chunks_of(const ravik::Rows& rows, Bytes& in) {
    std::vector<ravik::Chunk> chunks;
    std::size_t i = 0;
    while (i < rows.size()) {
        const std::size_t n = std::min<std::size_t>(rows.size() - i, 1 + in.u8() % 8);
        if (in.u8() & 1) {
            ravik::Chunk c;
            c.rows.assign(rows.begin() + static_cast<std::ptrdiff_t>(i),
                          rows.begin() + static_cast<std::ptrdiff_t>(i + n));
            c.begin = 0;
            c.end = n;
            chunks.push_back(std::move(c));
        } else {
            for (auto& batch : ravik::batches_of_rows(rows, i, i + n)) {
                // A view into a batch that is larger than the view.
                ravik::Chunk c;
                c.batch = batch;
                c.begin = 0;
                c.end = batch->length;
                chunks.push_back(std::move(c));
            }
        }
        i += n;
    }
    return chunks;
}

// Saves a state and loads the text into a fresh one, as a checkpoint does.
ravik::ProcessorState through_checkpoint(const ravik::ProcessorState& s) {
    return ravik::parse_checkpoint(ravik::format_checkpoint(s));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    ravik::testing::frozen_now_ms.store(1700000000000 + 1234, std::memory_order_relaxed);
    ravik::Stats ref_stats, col_stats, model_stats;
    ravik::ProcessorState ref, col;
    ravik_fuzz::ModelState model;
    for (int step = 0; step < 48 && !in.empty(); ++step) {
        const ravik::PlanSpec plan = decode_plan(in);
        const std::uint8_t action = in.u8();
        if ((action & 7) == 0) {
            const ravik::Rows a = ravik::flush_all_windows(ref, plan);
            const ravik::Rows b = ravik::flush_all_windows(col, plan);
            FUZZ_CHECK(same_rows(a, b));
            FUZZ_CHECK(ravik_fuzz::model_rows(ravik_fuzz::model_flush(model, plan), a));
            continue;
        }
        if ((action & 7) == 1 && ravik::checkpoint_representable(ref)) {
            ref = through_checkpoint(ref);
            col = through_checkpoint(col);
            model = ravik_fuzz::ModelState::of(ref);
        }
        const ravik::Rows rows = decode_rows(in);
        std::vector<ravik::Chunk> chunks = chunks_of(rows, in);
        ravik::Rows late, model_late;
        const ravik::Rows expected = ravik::process_rows(ref_stats, ref, rows, plan, &late);
        ravik::ProcessOutput got = ravik::process_chunks(col_stats, col, chunks, plan);
        FUZZ_CHECK(same_rows(ravik::rows_of(got, plan), expected));
        FUZZ_CHECK(ravik_fuzz::model_rows(ravik_fuzz::model_process(model_stats, model, rows, plan, &model_late), expected));
        // The late events kept aside, every field, in order.
        ravik::ProcessOutput aside;
        aside.passed = std::move(got.late);
        const ravik::Rows late_got = ravik::rows_of(aside, ravik::PlanSpec{});
        FUZZ_CHECK(same_rows(late_got, late));
        FUZZ_CHECK(ravik_fuzz::model_rows(model_late, late));
        FUZZ_CHECK(same_stats(ref_stats, col_stats));
        FUZZ_CHECK(same_stats(ref_stats, model_stats));
        FUZZ_CHECK(ravik_fuzz::same_state(ref, col));
        FUZZ_CHECK(model.same_as(col));
        if (ravik::checkpoint_representable(ref)) {
            FUZZ_CHECK(ravik::format_checkpoint(ref) == ravik::format_checkpoint(col));
        }
    }
    ravik::testing::frozen_now_ms.store(0, std::memory_order_relaxed);
    return 0;
}
