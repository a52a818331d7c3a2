// Hopping, tumbling and session windows with every aggregate, against a
// plain reference: each event kept whole in every window that covers it
// (no slices, no merging), sessions as a list of intervals, each aggregate
// computed from the window's events when it is emitted. A byte string
// decodes into a plan (window kind, length, hop or gap, watermark,
// lateness, drop_late, a mean or not, a set of aggregates) and steps: runs
// of events (times out of order, three groups and none, numbers, NaN,
// infinities, texts, bools and nulls in the aggregated fields), flushes,
// and checkpoint round trips of the engine's state. Exact aggregates must
// be equal (values are quarters, whose sums are exact in any order);
// variance within 1e-9; distinct counts within 5% + 1; quantiles within
// 2% in rank (the sketch is exact below 200 values and states ~1.3%).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "checkpoint_format.hpp"
#include "columnar.hpp"
#include "core_processing.hpp"
#include "fuzz_bytes.hpp"
#include "fuzz_check.hpp"
#include "fuzz_state.hpp"

namespace {

using ravik_fuzz::Bytes;
using ravik_fuzz::same_double;

struct Event {
    std::int64_t t;
    std::uint64_t seq;
    ravik::Cell v;
    ravik::Cell u;
};

struct RefWindow {
    std::int64_t start;
    std::int64_t end;
    std::vector<Event> events;
};

// The reference: windows keyed by (start, group), sessions per group.
struct Reference {
    const ravik::PlanSpec& plan;
    std::int64_t max_time = ravik::kTimeUnset;
    std::int64_t closed = INT64_MIN;
    bool closed_set = false;
    std::uint64_t seq = 0;
    std::map<std::pair<std::int64_t, std::string>, RefWindow> windows;
    std::map<std::pair<std::int64_t, std::string>, RefWindow> late;
    std::map<std::string, std::vector<RefWindow>> sessions;  // by start

    void add(const Event& e, const std::string& g) {
        if (plan.session_gap_ms) {
            const std::int64_t gap = *plan.session_gap_ms;
            auto& list = sessions[g];
            RefWindow merged{e.t, e.t + gap, {e}};
            std::vector<RefWindow> rest;
            for (RefWindow& s : list) {
                if (s.start < e.t + gap && e.t < s.end) {
                    merged.start = std::min(merged.start, s.start);
                    merged.end = std::max(merged.end, s.end);
                    merged.events.insert(merged.events.end(), s.events.begin(), s.events.end());
                } else {
                    rest.push_back(std::move(s));
                }
            }
            rest.push_back(std::move(merged));
            std::sort(rest.begin(), rest.end(), [](const RefWindow& a, const RefWindow& b) { return a.start < b.start; });
            list = std::move(rest);
            return;
        }
        const std::int64_t length = plan.window_length_ms();
        const std::int64_t hop = plan.hop_ms.value_or(length);
        const std::int64_t slice = ravik::window_bounds(*plan.align_origin, e.t, hop).start;
        for (std::int64_t s = slice - length + hop; s <= slice; s += hop) {
            auto& target = closed_set && s + length <= closed ? late : windows;
            RefWindow& w = target[{s, g}];
            w.start = s;
            w.end = s + length;
            w.events.push_back(e);
        }
    }

    std::vector<std::pair<std::string, RefWindow>> close(bool all) {
        const std::int64_t lateness = std::max<std::int64_t>(plan.allowed_lateness_ms.value_or(0), 0);
        const std::int64_t bound = ravik::wrapping_sub(ravik::wrapping_sub(max_time, plan.watermark_ms.value_or(0)), lateness);
        std::vector<std::pair<std::string, RefWindow>> out;
        for (auto it = windows.begin(); it != windows.end();) {
            if (all || it->second.end <= bound) {
                out.emplace_back(it->first.second, std::move(it->second));
                it = windows.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& [g, list] : sessions) {
            std::vector<RefWindow> keep;
            for (RefWindow& s : list) {
                if (all || s.end <= bound) {
                    out.emplace_back(g, std::move(s));
                } else {
                    keep.push_back(std::move(s));
                }
            }
            list = std::move(keep);
        }
        for (auto& [key, w] : late) out.emplace_back(key.second, std::move(w));
        late.clear();
        if (!all && (!closed_set || bound > closed)) {
            closed = bound;
            closed_set = true;
        }
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
            if (a.second.end != b.second.end) return a.second.end < b.second.end;
            if (a.second.start != b.second.start) return a.second.start < b.second.start;
            return a.first < b.first;
        });
        return out;
    }
};

std::optional<double> number(const ravik::Cell& c) {
    if (c.index() == ravik::kInt) return static_cast<double>(std::get<std::int64_t>(c));
    if (c.index() == ravik::kFloat) return std::get<double>(c);
    return std::nullopt;
}

// One aggregate of a reference window against the engine's cell.
void check_aggregate(const ravik::AggregateSpec& a, const std::vector<Event>& events, const ravik::Cell& got) {
    const bool every = a.field == "*";
    std::vector<double> xs;
    std::vector<const Event*> numeric;
    std::set<std::string> distinct;
    std::uint64_t present = 0;
    for (const Event& e : events) {
        const ravik::Cell& c = a.field == "u" ? e.u : e.v;
        if (every || c.index() != ravik::kNull) ++present;
        if (c.index() != ravik::kNull) {
            const std::string text = ravik::display(c);
            const auto i = ravik::canonical_int(text);
            distinct.insert(i ? std::to_string(*i) : "t" + text);
        }
        if (auto x = number(c)) {
            xs.push_back(*x);
            numeric.push_back(&e);
        }
    }
    auto expect_float = [&](std::optional<double> want) {
        if (!want) {
            FUZZ_CHECK(got.index() == ravik::kNull);
            return;
        }
        FUZZ_CHECK(got.index() == ravik::kFloat);
        const double g = std::get<double>(got);
        FUZZ_CHECK(std::isnan(*want) ? std::isnan(g) : g == *want);
    };
    switch (a.func) {
        case ravik::AggFunc::Count:
            FUZZ_CHECK(got == ravik::Cell{static_cast<std::int64_t>(present)});
            return;
        case ravik::AggFunc::CountDistinct: {
            FUZZ_CHECK(got.index() == ravik::kInt);
            const double want = static_cast<double>(distinct.size());
            FUZZ_CHECK(std::fabs(static_cast<double>(std::get<std::int64_t>(got)) - want) <= 0.05 * want + 1);
            return;
        }
        default: break;
    }
    if (xs.empty()) {
        FUZZ_CHECK(got.index() == ravik::kNull);
        return;
    }
    double sum = 0;
    for (double x : xs) sum += x;
    std::vector<double> real;
    for (double x : xs) {
        if (!std::isnan(x)) real.push_back(x);
    }
    switch (a.func) {
        case ravik::AggFunc::Sum: expect_float(sum); return;
        case ravik::AggFunc::Mean: expect_float(sum / static_cast<double>(xs.size())); return;
        case ravik::AggFunc::Min:
            expect_float(real.empty() ? std::nullopt : std::optional(*std::min_element(real.begin(), real.end())));
            return;
        case ravik::AggFunc::Max:
            expect_float(real.empty() ? std::nullopt : std::optional(*std::max_element(real.begin(), real.end())));
            return;
        case ravik::AggFunc::First:
        case ravik::AggFunc::Last: {
            const Event* pick = numeric.front();
            for (const Event* e : numeric) {
                const bool earlier = e->t < pick->t || (e->t == pick->t && e->seq < pick->seq);
                if (a.func == ravik::AggFunc::First ? earlier : !earlier && e != pick) pick = e;
            }
            expect_float(number(a.field == "u" ? pick->u : pick->v));
            return;
        }
        case ravik::AggFunc::Var:
        case ravik::AggFunc::Stddev: {
            if (xs.size() < 2) {
                FUZZ_CHECK(got.index() == ravik::kNull);
                return;
            }
            FUZZ_CHECK(got.index() == ravik::kFloat);
            const double g = std::get<double>(got);
            if (!std::isfinite(sum)) return;  // (infinities or NaN: any non-finite result)
            const double mean = sum / static_cast<double>(xs.size());
            double m2 = 0;
            for (double x : xs) m2 += (x - mean) * (x - mean);
            double want = m2 / static_cast<double>(xs.size() - 1);
            if (a.func == ravik::AggFunc::Stddev) want = std::sqrt(want);
            FUZZ_CHECK(std::fabs(g - want) <= 1e-9 * std::max(1.0, std::fabs(want)));
            return;
        }
        case ravik::AggFunc::Quantile: {
            if (real.empty()) {
                FUZZ_CHECK(got.index() == ravik::kNull);
                return;
            }
            FUZZ_CHECK(got.index() == ravik::kFloat);
            const double g = std::get<double>(got);
            const double n = static_cast<double>(real.size());
            const double below = static_cast<double>(std::count_if(real.begin(), real.end(), [&](double x) { return x < g; }));
            const double upto = static_cast<double>(std::count_if(real.begin(), real.end(), [&](double x) { return x <= g; }));
            FUZZ_CHECK(upto >= 1);  // a value of the window
            FUZZ_CHECK(below / n <= a.arg + 0.02 + 1e-12 && upto / n >= a.arg - 0.02 - 1e-12);
            return;
        }
        default: return;
    }
}

void compare(const ravik::PlanSpec& plan, const ravik::Rows& got, const std::vector<std::pair<std::string, RefWindow>>& want) {
    std::size_t k = 0;
    for (const auto& [group, w] : want) {
        // Windows whose events all lacked the mean are not emitted.
        std::vector<Event> events;
        for (const Event& e : w.events) {
            if (!plan.mean || number(e.v)) events.push_back(e);
        }
        if (events.empty()) continue;
        FUZZ_CHECK(k < got.size());
        const ravik::Row& row = got[k++];
        FUZZ_CHECK(*row.find("window_start") == ravik::Cell{w.start});
        FUZZ_CHECK(*row.find("window_end") == ravik::Cell{w.end});
        FUZZ_CHECK(*row.find("g") == ravik::Cell{group});
        FUZZ_CHECK(*row.find("count") == ravik::Cell{static_cast<std::int64_t>(events.size())});
        if (plan.mean) {
            double sum = 0;
            for (const Event& e : events) sum += *number(e.v);
            FUZZ_CHECK(ravik_fuzz::same_double(std::get<double>(*row.find("m")), sum / static_cast<double>(events.size())) ||
                       (std::isnan(sum) && std::isnan(std::get<double>(*row.find("m")))));
        }
        for (const ravik::AggregateSpec& a : plan.aggregates) check_aggregate(a, events, *row.find(a.name));
    }
    FUZZ_CHECK(k == got.size());
}

ravik::Cell value(Bytes& in) {
    const std::uint8_t kind = in.u8();
    switch (kind % 8) {
        case 0: return ravik::Cell{ravik::Null{}};
        case 1: return ravik::Cell{(kind & 8) != 0};
        case 2: return ravik::Cell{"x" + std::to_string(in.u8() % 4)};
        case 3: return ravik::Cell{std::string(in.u8() & 1 ? "5" : "05")};
        case 4: {
            const double special[] = {std::nan(""), INFINITY, -INFINITY, 5.0};
            return ravik::Cell{special[in.u8() % 4]};
        }
        case 5: return ravik::Cell{static_cast<double>(in.i16()) / 4};
        default: return ravik::Cell{in.i16() % 64};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    ravik::PlanSpec plan;
    const std::uint8_t shape = in.u8();
    ravik::WindowSpec window;
    window.seconds = 1;
    window.by = "g";
    plan.window = window;
    plan.align_origin = (shape & 8) ? 0 : static_cast<std::int64_t>(in.u8()) * 7;
    const std::int64_t step = 100 * (1 + in.u8() % 8);
    if (shape & 1) {
        plan.session_gap_ms = step;
    } else {
        plan.window_ms = step * (1 + in.u8() % 4);
        if (shape & 2) plan.hop_ms = step;
    }
    if (shape & 4) plan.mean = ravik::MeanSpec{"v", "m"};
    const std::uint8_t wm = in.u8();
    if (wm & 1) plan.watermark_ms = 100 * ((wm >> 1) % 4);
    if (wm & 8) plan.allowed_lateness_ms = 100 * ((wm >> 4) % 4);
    plan.drop_late = (wm & 64) == 0;
    const std::uint16_t funcs = static_cast<std::uint16_t>(in.u8() << 8 | in.u8());
    for (int f = 0; f <= static_cast<int>(ravik::AggFunc::Quantile); ++f) {
        if (!(funcs >> f & 1)) continue;
        ravik::AggregateSpec a;
        a.func = static_cast<ravik::AggFunc>(f);
        a.name = "a" + std::to_string(f);
        a.field = a.func == ravik::AggFunc::Count && (funcs & 0x8000) ? "*" : (funcs & 0x4000) ? "u" : "v";
        a.arg = ravik::default_agg_arg(a.func);
        if (a.func == ravik::AggFunc::Quantile) a.arg = in.u8() / 255.0;
        plan.aggregates.push_back(a);
    }
    if (!plan.windowed() || !plan.sliced()) return 0;

    ravik::Stats stats;
    ravik::ProcessorState state;
    Reference ref{plan};
    const std::int64_t lateness = std::max<std::int64_t>(plan.allowed_lateness_ms.value_or(0), 0);
    std::int64_t base = static_cast<std::int64_t>(in.u8()) * 50;
    for (int steps = 0; steps < 24 && !in.empty(); ++steps) {
        const std::uint8_t op = in.u8();
        if (op % 8 == 0) {
            state = ravik::parse_checkpoint(ravik::format_checkpoint(state));
            continue;
        }
        const bool flush = op % 8 == 1;
        ravik::Rows rows;
        const std::size_t n = flush ? 0 : in.u8() % 24;
        for (std::size_t i = 0; i < n; ++i) {
            ravik::Row row;
            base += in.u8() % 5 == 0 ? -static_cast<std::int64_t>(in.u8()) * 10 : in.u8() % 200;
            row.set(std::string_view("timestamp"), ravik::Cell{base});
            const std::uint8_t g = in.u8();
            if (g % 4 != 3) row.set(std::string_view("g"), ravik::Cell{std::string(1, static_cast<char>('a' + g % 4))});
            row.set(std::string_view("v"), value(in));
            row.set(std::string_view("u"), value(in));
            rows.push_back(std::move(row));
        }
        // The reference takes the events through the same watermark rule.
        for (const ravik::Row& row : rows) {
            const std::int64_t t = std::get<std::int64_t>(*row.find("timestamp"));
            if (t > ref.max_time) ref.max_time = t;
            const std::int64_t w =
                plan.watermark_ms ? ravik::wrapping_sub(ref.max_time, *plan.watermark_ms) : ref.max_time;
            if (w > std::numeric_limits<std::int64_t>::min() / 2 && t + lateness < w && plan.drop_late) continue;
            const ravik::Cell& v = *row.find("v");
            if (plan.mean && !number(v)) continue;
            const ravik::Cell* g = row.find("g");
            ref.add(Event{t, ++ref.seq, v, *row.find("u")}, g ? std::get<std::string>(*g) : std::string());
        }
        ravik::ProcessOutput out;
        if (flush) {
            ravik::emit_windows(state, plan, true, out.windows);
        } else {
            std::vector<ravik::Chunk> chunks;
            ravik::Chunk c;
            c.end = rows.size();
            c.rows = std::move(rows);
            if (op & 16) {
                for (auto& batch : ravik::batches_of_rows(c.rows, 0, c.end)) {
                    ravik::Chunk b;
                    b.batch = batch;
                    b.end = batch->length;
                    chunks.push_back(std::move(b));
                }
            } else {
                chunks.push_back(std::move(c));
            }
            out = ravik::process_chunks(stats, state, chunks, plan);
        }
        compare(plan, ravik::rows_of(out, plan), ref.close(flush));
    }
    return 0;
}
