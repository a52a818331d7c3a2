#include "sliced_windows.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <unordered_map>

#include "columnar.hpp"
#include "core_processing.hpp"

namespace ravik {

namespace {

// Times near the ends of the 64-bit range saturate rather than wrap.
std::int64_t sat_add(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}
std::int64_t sat_sub(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b > 0 ? INT64_MIN : INT64_MAX;
    return r;
}

template <class T>
void put(std::string& out, T v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
    out += '\t';
}

// Splits off the next TAB-separated field.
std::string_view next_field(std::string_view& line) {
    const std::size_t tab = line.find('\t');
    const std::string_view field = line.substr(0, tab);
    line = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
    return field;
}

template <class T>
T number_field(std::string_view& line) {
    const std::string_view f = next_field(line);
    T v{};
    const auto r = std::from_chars(f.data(), f.data() + f.size(), v);
    if (r.ec != std::errc{} || r.ptr != f.data() + f.size()) throw std::invalid_argument("window pane is malformed");
    return v;
}

// The value event i gives an aggregate: bools and texts as texts (counted,
// never summed), numbers as numbers, nulls and missing fields as none.
AggValue agg_value(const Column* col, std::uint32_t i, const AggregateSpec& spec) noexcept {
    AggValue v;
    if (col == nullptr) {
        if (spec.field == "*") v.kind = AggValue::Int;
        return v;
    }
    switch (col->kind) {
        case ColumnKind::Int: v.kind = AggValue::Int, v.i = col->ints[i]; break;
        case ColumnKind::Float: v.kind = AggValue::Float, v.f = col->floats[i]; break;
        case ColumnKind::Bool: v.kind = AggValue::Text, v.text = col->bools[i] ? "true" : "false"; break;
        case ColumnKind::Text: v.kind = AggValue::Text, v.text = col->dict[col->codes[i]]; break;
        case ColumnKind::Cells: {
            const Cell& c = col->cells[i];
            switch (c.index()) {
                case kInt: v.kind = AggValue::Int, v.i = std::get<std::int64_t>(c); break;
                case kFloat: v.kind = AggValue::Float, v.f = std::get<double>(c); break;
                case kBool: v.kind = AggValue::Text, v.text = std::get<bool>(c) ? "true" : "false"; break;
                case kText: v.kind = AggValue::Text, v.text = std::get<std::string>(c); break;
                default: break;
            }
            break;
        }
    }
    return v;
}

}  // namespace

namespace {
bool counts_every(const AggregateSpec& a) noexcept { return a.func == AggFunc::Count && a.field == "*"; }
}  // namespace

SlicedWindows::Shape SlicedWindows::shape_of(const PlanSpec& plan) {
    Shape s;
    s.session = plan.session_gap_ms.has_value();
    s.length = s.session ? 0 : plan.window_length_ms();
    s.step = s.session ? *plan.session_gap_ms : plan.hop_ms.value_or(s.length);
    s.signature = plan.mean ? "mean:" + plan.mean->field : std::string("events");
    for (const AggregateSpec& a : plan.aggregates) {
        s.signature += ';';
        s.signature += agg_func_name(a.func);
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, a.arg);
        s.signature.append(buf, static_cast<std::size_t>(r.ptr - buf));
        s.signature += ':';
        s.signature += a.field;
    }
    return s;
}

void SlicedWindows::configure(const PlanSpec& plan) {
    Shape s = shape_of(plan);
    if (configured_ && s == shape_) {
        // Same functions, arguments and fields (a loaded state knows the
        // fields only through the signature).
        if (!fields_known_) set_aggregates(plan.aggregates);
        fields_known_ = true;
        return;
    }
    if (panes_ != 0) {
        throw std::invalid_argument(
            "the stream's open windows were made by a plan with other windows or aggregates; "
            "pull with that plan until they close, or start from a checkpoint made without them");
    }
    shape_ = std::move(s);
    set_aggregates(plan.aggregates);
    configured_ = true;
    fields_known_ = true;
}

void SlicedWindows::set_aggregates(const std::vector<AggregateSpec>& aggs) {
    aggs_ = aggs;
    // A count of every event is the pane's own count: it needs no state.
    needs_accs_ = std::any_of(aggs_.begin(), aggs_.end(), [](const AggregateSpec& a) { return !counts_every(a); });
}

void SlicedWindows::set_due(std::uint32_t group, std::int64_t due) {
    Group& g = by_group_[group];
    if (due >= g.due) return;
    if (g.due != INT64_MAX) due_.erase({g.due, group});
    g.due = due;
    due_.emplace(due, group);
}

void SlicedWindows::add_to(Pane& pane, std::int64_t t, double mean, std::uint32_t row) {
    ++pane.count;
    pane.sum += mean;
    if (!needs_accs_) return;
    if (pane.accs.empty()) pane.accs.resize(aggs_.size());
    pending_.push_back({pane.accs.data(), t, seq_, row});
    // Blocks small enough to stay in cache.
    if (pending_.size() == 512) apply_pending();
}

template <AggFunc F, class Get>
void SlicedWindows::add_numbers(std::size_t k, Get get) {
    for (const Pending& p : pending_) acc_add_number<F>(p.accs[k], get(p.row), p.t, p.seq);
}

template <class Get>
void SlicedWindows::add_numbers_of(AggFunc f, std::size_t k, Get get) {
    switch (f) {
        case AggFunc::Sum: add_numbers<AggFunc::Sum>(k, get); break;
        case AggFunc::Mean: add_numbers<AggFunc::Mean>(k, get); break;
        case AggFunc::Min: add_numbers<AggFunc::Min>(k, get); break;
        case AggFunc::Max: add_numbers<AggFunc::Max>(k, get); break;
        case AggFunc::First: add_numbers<AggFunc::First>(k, get); break;
        case AggFunc::Last: add_numbers<AggFunc::Last>(k, get); break;
        case AggFunc::Var: add_numbers<AggFunc::Var>(k, get); break;
        case AggFunc::Stddev: add_numbers<AggFunc::Stddev>(k, get); break;
        case AggFunc::Quantile: add_numbers<AggFunc::Quantile>(k, get); break;
        case AggFunc::Count:
            for (const Pending& p : pending_) ++p.accs[k].n;
            break;
        case AggFunc::CountDistinct: break;  // (not through here)
    }
}

void SlicedWindows::apply_pending() {
    if (pending_.empty()) return;
    for (std::size_t k = 0; k < aggs_.size(); ++k) {
        const AggregateSpec& spec = aggs_[k];
        const Column* col = cols_ ? cols_[k] : nullptr;
        if (col == nullptr || counts_every(spec)) continue;  // (no value; or the pane's count)
        if (spec.func != AggFunc::CountDistinct && col->kind == ColumnKind::Float) {
            const double* v = col->floats.data();
            add_numbers_of(spec.func, k, [v](std::uint32_t row) { return v[row]; });
        } else if (spec.func != AggFunc::CountDistinct && col->kind == ColumnKind::Int) {
            const std::int64_t* v = col->ints.data();
            add_numbers_of(spec.func, k, [v](std::uint32_t row) { return static_cast<double>(v[row]); });
        } else {
            for (const Pending& p : pending_) acc_add(p.accs[k], spec, agg_value(col, p.row, spec), p.t, p.seq);
        }
    }
    pending_.clear();
}

void SlicedWindows::merge_into(Pane& into, const Pane& from) const {
    into.count += from.count;
    into.sum += from.sum;
    if (from.accs.empty()) return;
    if (into.accs.empty()) into.accs.resize(aggs_.size());
    for (std::size_t k = 0; k < aggs_.size(); ++k) acc_merge(into.accs[k], from.accs[k], aggs_[k]);
}

void SlicedWindows::add(std::uint32_t group, std::int64_t t, std::int64_t slice, double mean, std::uint32_t row) {
    ++seq_;
    if (group < hot_.size()) {
        const Hot& h = hot_[group];
        if (h.pane != nullptr && h.slice == slice && !shape_.session) {
            add_to(*h.pane, t, mean, row);
            return;
        }
        // Within the newest session, or extending it (nothing lies after it).
        if (Session* s = h.session; s != nullptr && t >= h.slice && t < sat_add(s->last, shape_.step)) {
            if (t > s->last) s->last = t;
            add_to(s->pane, t, mean, row);
            return;
        }
    }
    if (group >= by_group_.size()) {
        by_group_.resize(group + 1);
        hot_.resize(group + 1);
    }
    Group& g = by_group_[group];
    Hot& hot = hot_[group];
    if (shape_.session) {
        const std::int64_t gap = shape_.step;
        const std::int64_t reach = sat_add(t, gap);
        auto hi = g.sessions.lower_bound(reach);
        auto lo = hi;
        while (lo != g.sessions.begin()) {
            auto prev = std::prev(lo);
            if (sat_add(prev->second.last, gap) <= t) break;
            lo = prev;
        }
        auto keep_newest = [&](std::map<std::int64_t, Session>::iterator it) {
            hot = std::next(it) == g.sessions.end() ? Hot{it->first, nullptr, &it->second} : Hot{};
        };
        if (lo == hi) {
            auto it = g.sessions.try_emplace(t).first;
            it->second.last = t;
            add_to(it->second.pane, t, mean, row);
            ++panes_;
            set_due(group, reach);
            keep_newest(it);
            return;
        }
        if (std::next(lo) == hi && lo->first <= t) {
            Session& s = lo->second;
            s.last = std::max(s.last, t);
            add_to(s.pane, t, mean, row);
            keep_newest(lo);
            return;
        }
        // The event reaches before a session's start or bridges sessions:
        // one session from the first start to the last event. (Pending
        // events of the sessions merged go in first: their panes move.)
        apply_pending();
        Session merged;
        const std::int64_t start = std::min(lo->first, t);
        merged.last = t;
        for (auto it = lo; it != hi; ++it) {
            merged.last = std::max(merged.last, it->second.last);
            merge_into(merged.pane, it->second.pane);
            --panes_;
        }
        g.sessions.erase(lo, hi);
        auto it = g.sessions.emplace(start, std::move(merged)).first;
        add_to(it->second.pane, t, mean, row);
        ++panes_;
        set_due(group, sat_add(t, gap));
        keep_newest(it);
        return;
    }

    const std::int64_t length = shape_.length;
    const std::int64_t hop = shape_.step;
    if (closed_set_ && sat_add(slice, hop) <= closed_) {
        // Windows over this slice that were emitted take the event as late
        // windows of their own; the open ones through the slice below.
        for (std::int64_t s = sat_add(sat_sub(slice, length), hop); s <= slice; s = sat_add(s, hop)) {
            if (sat_add(s, length) <= closed_) add_to(late_[{s, group}], t, mean, row);
            if (s == INT64_MAX) break;
        }
        if (sat_add(slice, length) <= closed_) return;
        // (Not cached: the next event of this slice has to come this way too.)
        add_to(slice_for(group, slice), t, mean, row);
        return;
    }
    Pane& pane = slice_for(group, slice);
    hot_[group] = {slice, &pane, nullptr};
    add_to(pane, t, mean, row);
}

SlicedWindows::Pane& SlicedWindows::slice_for(std::uint32_t group, std::int64_t start) {
    Group& g = by_group_[group];
    // Slices mostly come in time order: the end is the usual place, and a
    // deque keeps what points at its other elements when it grows there.
    if (g.slices.empty() || g.slices.back().start < start) {
        ++panes_;
        set_due(group, sat_add(start, shape_.step));
        return g.slices.emplace_back(Slice{start, Pane{}}).pane;
    }
    auto it = std::lower_bound(g.slices.begin(), g.slices.end(), start,
                               [](const Slice& a, std::int64_t v) { return a.start < v; });
    if (it != g.slices.end() && it->start == start) return it->pane;
    // A slice inside moves the group's others: what points at them goes first.
    apply_pending();
    hot_[group] = Hot{};
    ++panes_;
    set_due(group, sat_add(start, shape_.step));
    return g.slices.insert(it, Slice{start, Pane{}})->pane;
}

void SlicedWindows::emit(std::int64_t start, std::int64_t end, std::uint32_t group, const Pane& pane,
                         std::vector<Emitted>& out) {
    out.push_back({start, end, group, pane.count, pane.sum, results_.size()});
    static const Acc kEmpty;
    for (std::size_t k = 0; k < aggs_.size(); ++k) {
        results_.push_back(counts_every(aggs_[k]) ? AggResult{true, static_cast<std::int64_t>(pane.count), 0.0}
                                                  : acc_result(pane.accs.empty() ? kEmpty : pane.accs[k], aggs_[k]));
    }
}

void SlicedWindows::close_group(std::uint32_t group, std::int64_t bound, bool all, std::vector<Emitted>& out) {
    Group& g = by_group_[group];
    if (shape_.session) {
        hot_[group] = Hot{};
        const std::int64_t gap = shape_.step;
        while (!g.sessions.empty()) {
            auto it = g.sessions.begin();
            const std::int64_t end = sat_add(it->second.last, gap);
            if (!all && end > bound) break;
            emit(it->first, end, group, it->second.pane, out);
            g.sessions.erase(it);
            --panes_;
        }
        if (!g.sessions.empty()) {
            g.due = sat_add(g.sessions.begin()->second.last, gap);
            due_.emplace(g.due, group);
        }
        return;
    }
    const std::int64_t length = shape_.length;
    const std::int64_t hop = shape_.step;
    hot_[group] = Hot{};
    auto& slices = g.slices;
    std::size_t done = 0;  // slices no open window covers any more: slices[0, done)
    if (length == hop) {
        // Tumbling: a window is its one slice, which no other window needs.
        for (; done < slices.size(); ++done) {
            Slice& sl = slices[done];
            const std::int64_t end = sat_add(sl.start, length);
            if (!all && end > bound) break;
            emit(sl.start, end, group, sl.pane, out);
        }
    } else if (!slices.empty()) {
        const std::int64_t first = slices.front().start;
        std::int64_t s = sat_add(sat_sub(first, length), hop);
        if (closed_set_ && sat_add(first, hop) <= closed_) {
            // Skip the windows emitted already (their ends are at most closed_).
            const auto behind = static_cast<std::uint64_t>(closed_) - static_cast<std::uint64_t>(sat_add(first, hop));
            const std::uint64_t steps = behind / static_cast<std::uint64_t>(hop) + 1;
            s = static_cast<std::int64_t>(static_cast<std::uint64_t>(s) + steps * static_cast<std::uint64_t>(hop));
        }
        // The windows of one call go by increasing start, so their merges
        // use two stacks: slices enter `back` (one running merge) as windows
        // reach them; when `front` runs empty, back's slices move there as
        // suffix merges (front.back() covers every front slice). A window
        // is then front.back() merged with back: a few merges a window
        // whatever length / hop is.
        std::vector<std::pair<std::int64_t, Pane>> front;
        std::vector<std::size_t> back_slices;
        Pane back;
        auto first_at_or_after = [&](std::int64_t at) {
            return static_cast<std::size_t>(
                std::lower_bound(slices.begin(), slices.end(), at,
                                 [](const Slice& a, std::int64_t v) { return a.start < v; }) -
                slices.begin());
        };
        std::size_t next = first_at_or_after(s);
        std::size_t i = next;
        while (true) {
            const std::int64_t end = sat_add(s, length);
            if (!all && end > bound) break;
            while (i < slices.size() && slices[i].start < s) ++i;
            if (i == slices.size()) break;
            if (slices[i].start >= end) {
                s = sat_add(sat_sub(slices[i].start, length), hop);
                continue;
            }
            // Slices before this window never entered (windows skipped wholesale).
            next = std::max(next, i);
            for (; next < slices.size() && slices[next].start < end; ++next) {
                // The states of a slice ahead: each pane's are a heap block of their own.
                if (next + 8 < slices.size()) __builtin_prefetch(slices[next + 8].pane.accs.data());
                merge_into(back, slices[next].pane);
                back_slices.push_back(next);
            }
            while (!front.empty() && front.back().first < s) front.pop_back();
            if (front.empty()) {
                Pane running;
                for (auto b = back_slices.rbegin(); b != back_slices.rend(); ++b) {
                    if (back_slices.rend() - b > 8) __builtin_prefetch(slices[*(b + 8)].pane.accs.data());
                    if (slices[*b].start < s) break;
                    merge_into(running, slices[*b].pane);
                    front.emplace_back(slices[*b].start, running);
                }
                back_slices.clear();
                back = Pane{};
            }
            if (front.empty()) {
                emit(s, end, group, back, out);
            } else if (back.count == 0) {
                emit(s, end, group, front.back().second, out);
            } else {
                scratch_.count = front.back().second.count;
                scratch_.sum = front.back().second.sum;
                scratch_.accs = front.back().second.accs;  // (element-wise into the capacity it has)
                merge_into(scratch_, back);
                emit(s, end, group, scratch_, out);
            }
            if (end == INT64_MAX) break;
            s = sat_add(s, hop);
        }
        front.clear();
        while (done < slices.size() && (all || sat_add(slices[done].start, length) <= bound)) ++done;
    }
    slices.erase(slices.begin(), slices.begin() + static_cast<std::ptrdiff_t>(done));
    panes_ -= done;
    if (!g.slices.empty()) {
        g.due = std::max(sat_add(g.slices.front().start, hop), sat_add(bound, 1));
        due_.emplace(g.due, group);
    }
}

void SlicedWindows::close(std::int64_t bound, bool all, const PlanSpec& plan, WindowRows& out) {
    std::vector<Emitted> emitted;
    // (A flush knows how many windows go out: as many as panes, for tumbling windows and sessions.)
    if (all && (shape_.length == shape_.step || shape_.session)) emitted.reserve(panes_);
    results_.clear();
    results_.reserve(emitted.capacity() * aggs_.size());
    if (all) {
        due_.clear();
        for (std::uint32_t g = 0; g < by_group_.size(); ++g) {
            by_group_[g].due = INT64_MAX;
            close_group(g, bound, true, emitted);
        }
        due_.clear();
        for (Group& g : by_group_) g.due = INT64_MAX;
    } else {
        while (!due_.empty() && due_.begin()->first <= bound) {
            const std::uint32_t g = due_.begin()->second;
            due_.erase(due_.begin());
            by_group_[g].due = INT64_MAX;
            close_group(g, bound, false, emitted);
        }
    }
    for (auto& [key, pane] : late_) emit(key.first, sat_add(key.first, shape_.length), key.second, pane, emitted);
    late_.clear();
    if (!all && (!closed_set_ || bound > closed_)) {
        closed_ = bound;
        closed_set_ = true;
    }

    // Ordered by end, start and group text: the texts ranked once.
    std::vector<std::uint32_t> codes;
    codes.reserve(emitted.size());
    for (const Emitted& e : emitted) codes.push_back(e.group);
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    std::sort(codes.begin(), codes.end(), [&](std::uint32_t a, std::uint32_t b) { return groups_.text(a) < groups_.text(b); });
    std::unordered_map<std::uint32_t, std::uint32_t> rank;
    rank.reserve(codes.size());
    for (std::uint32_t r = 0; r < codes.size(); ++r) rank.emplace(codes[r], r);
    struct Order {
        std::int64_t end;
        std::int64_t start;
        std::uint32_t rank;
        std::uint32_t index;
    };
    std::vector<Order> order;
    order.reserve(emitted.size());
    for (std::size_t i = 0; i < emitted.size(); ++i) {
        const Emitted& e = emitted[i];
        order.push_back({e.end, e.start, rank[e.group], static_cast<std::uint32_t>(i)});
    }
    std::sort(order.begin(), order.end(), [](const Order& a, const Order& b) {
        if (a.end != b.end) return a.end < b.end;
        if (a.start != b.start) return a.start < b.start;
        return a.rank < b.rank;
    });
    if (out.aggs.size() != plan.aggregates.size()) {
        out.aggs.resize(plan.aggregates.size());
        for (std::size_t k = 0; k < plan.aggregates.size(); ++k) out.aggs[k].integer = agg_gives_int(plan.aggregates[k].func);
    }
    // Output text index by rank.
    std::vector<std::uint32_t> text_index(codes.size(), UINT32_MAX);
    out.starts.reserve(out.starts.size() + emitted.size());
    out.ends.reserve(out.ends.size() + emitted.size());
    out.means.reserve(out.means.size() + emitted.size());
    out.counts.reserve(out.counts.size() + emitted.size());
    out.groups.reserve(out.groups.size() + emitted.size());
    for (const Order& o : order) {
        const Emitted& e = emitted[o.index];
        if (e.count == 0) continue;
        out.starts.push_back(e.start);
        out.ends.push_back(e.end);
        out.means.push_back(e.sum / static_cast<double>(e.count));
        out.counts.push_back(static_cast<std::int64_t>(e.count));
        std::uint32_t& text = text_index[o.rank];
        if (text == UINT32_MAX) {
            text = static_cast<std::uint32_t>(out.texts.size());
            out.texts.emplace_back(groups_.text(e.group));
        }
        out.groups.push_back(text);
        for (std::size_t k = 0; k < plan.aggregates.size(); ++k) {
            const AggResult& r = results_[e.results + k];
            AggColumn& col = out.aggs[k];
            col.valid.push_back(r.valid ? 1 : 0);
            if (col.integer) {
                col.ints.push_back(r.i);
            } else {
                col.floats.push_back(r.f);
            }
        }
    }
    // A large close's results are not kept for the next one.
    if (results_.capacity() > (std::size_t{1} << 16)) std::vector<AggResult>().swap(results_);
}

std::optional<std::int64_t> SlicedWindows::earliest_end() const {
    if (due_.empty()) return std::nullopt;
    return due_.begin()->first;
}

bool SlicedWindows::representable() const {
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        if (groups_.text(static_cast<std::uint32_t>(g)).find('\n') != std::string_view::npos) return false;
    }
    return true;
}

void SlicedWindows::write(std::string& out) const {
    if (panes_ == 0 && !closed_set_) return;
    out += "extension\twindow_shape\t";
    out += shape_.session ? "session\t" : "hop\t";
    put(out, shape_.length);
    put(out, shape_.step);
    put(out, closed_set_ ? 1 : 0);
    put(out, closed_);
    put(out, seq_);
    put(out, aggs_.size());
    for (const AggregateSpec& a : aggs_) {
        out += agg_func_name(a.func);
        out += ':';
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, a.arg);
        out.append(buf, static_cast<std::size_t>(r.ptr - buf));
        out += '\t';
    }
    // The signature (fields included) last: field names may hold TABs.
    out += shape_.signature;
    out += '\n';
    auto pane_line = [&](std::int64_t start, std::int64_t last, const Pane& p, std::uint32_t group) {
        out += "extension\twindow_pane\t";
        put(out, start);
        put(out, last);
        put(out, p.count);
        put(out, p.sum);
        for (std::size_t k = 0; k < aggs_.size(); ++k) {
            out += p.accs.empty() ? acc_text(Acc{}, aggs_[k]) : acc_text(p.accs[k], aggs_[k]);
            out += '\t';
        }
        out += groups_.text(group);
        out += '\n';
    };
    for (std::uint32_t g = 0; g < by_group_.size(); ++g) {
        for (const Slice& sl : by_group_[g].slices) pane_line(sl.start, sl.start, sl.pane, g);
        for (const auto& [start, s] : by_group_[g].sessions) pane_line(start, s.last, s.pane, g);
    }
}

bool SlicedWindows::read_line(std::string_view line) {
    if (line.starts_with("window_shape\t")) {
        if (configured_) throw std::invalid_argument("window shape repeated");
        line.remove_prefix(13);
        Shape s;
        const std::string_view kind = next_field(line);
        if (kind != "session" && kind != "hop") throw std::invalid_argument("window shape is malformed");
        s.session = kind == "session";
        s.length = number_field<std::int64_t>(line);
        s.step = number_field<std::int64_t>(line);
        closed_set_ = number_field<int>(line) != 0;
        closed_ = number_field<std::int64_t>(line);
        seq_ = number_field<std::uint64_t>(line);
        const auto n = number_field<std::size_t>(line);
        if (s.step <= 0 || (!s.session && (s.length <= 0 || s.length % s.step != 0)) || n > 4096) {
            throw std::invalid_argument("window shape is malformed");
        }
        // The fields are in the signature; states need only function and argument.
        aggs_.assign(n, AggregateSpec{"a", AggFunc::Count, "x", 0.0});
        needs_accs_ = true;  // (until a plan gives the fields)
        for (AggregateSpec& a : aggs_) {
            const std::string_view f = next_field(line);
            const std::size_t colon = f.find(':');
            const auto func = agg_func_of(f.substr(0, colon));
            if (colon == std::string_view::npos || !func) throw std::invalid_argument("window shape is malformed");
            a.func = *func;
            const std::string_view arg = f.substr(colon + 1);
            const auto r = std::from_chars(arg.data(), arg.data() + arg.size(), a.arg);
            if (r.ec != std::errc{} || r.ptr != arg.data() + arg.size()) throw std::invalid_argument("window shape is malformed");
            if (check_agg(a)) throw std::invalid_argument("window shape is malformed");
        }
        s.signature = std::string(line);
        shape_ = std::move(s);
        configured_ = true;
        fields_known_ = false;
        return true;
    }
    if (line.starts_with("window_pane\t")) {
        if (!configured_) throw std::invalid_argument("window pane before its shape");
        line.remove_prefix(12);
        const auto start = number_field<std::int64_t>(line);
        const auto last = number_field<std::int64_t>(line);
        Pane p;
        p.count = number_field<std::uint64_t>(line);
        p.sum = number_field<double>(line);
        if (!aggs_.empty()) {
            p.accs.reserve(aggs_.size());
            for (const AggregateSpec& a : aggs_) p.accs.push_back(acc_parse(next_field(line), a));
        }
        const std::uint32_t group = groups_.intern(line);
        if (group >= by_group_.size()) {
            by_group_.resize(group + 1);
            hot_.resize(group + 1);
        }
        Group& g = by_group_[group];
        if (shape_.session) {
            if (last < start) throw std::invalid_argument("window pane is malformed");
            if (!g.sessions.try_emplace(start, Session{last, std::move(p)}).second) {
                throw std::invalid_argument("window pane repeated");
            }
            set_due(group, sat_add(last, shape_.step));
        } else {
            const std::size_t before = panes_;
            Pane& slot = slice_for(group, start);
            if (panes_ == before) throw std::invalid_argument("window pane repeated");
            slot = std::move(p);
            return true;
        }
        ++panes_;
        return true;
    }
    return false;
}

}  // namespace ravik
