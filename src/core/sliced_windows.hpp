// Windows beyond the contract's tumbling count and mean: hopping windows
// (tumbling ones being those whose hop is their length), session windows,
// and any number of aggregates per window.
//
// Hopping windows are kept as slices one hop long: an event updates the one
// slice its time falls in, and a window's result merges the slices it
// covers when it closes. Sessions are kept per group as disjoint intervals
// [first event, last event + gap), ordered by start; an event whose own
// interval [t, t + gap) overlaps sessions joins them (merging two when it
// bridges them). A window closes when the closing bound (newest event time
// minus watermark minus lateness) reaches its end.
//
// Windows already emitted that a kept late event falls in are emitted again
// at the end of the same call, holding only the late events (as the
// contract's tumbling windows are); a session has no such case, a late
// event simply opens or joins a session.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "aggregates.hpp"
#include "window_table.hpp"

namespace ravik {

struct Column;
struct PlanSpec;
struct WindowRows;

class SlicedWindows {
public:
    // What the open panes were made with. Only the plan's shape of windows
    // and the aggregates' functions and fields count, not output names.
    struct Shape {
        bool session = false;
        std::int64_t length = 0;  // window length (hopping) or 0 (session)
        std::int64_t step = 0;    // hop, or the session gap
        std::string signature;    // functions, arguments and fields
        bool operator==(const Shape&) const = default;
    };
    static Shape shape_of(const PlanSpec& plan);

    // Takes the plan's shape. Panes made under another shape cannot serve
    // it: throws std::invalid_argument then (the caller flushes them with
    // the plan that made them first).
    void configure(const PlanSpec& plan);

    // The aggregates' columns of the batch whose events add() takes next:
    // cols[k] for aggregate k (null where the batch lacks the field).
    void bind(const Column* const* cols) noexcept {
        cols_ = cols;
        pending_.clear();  // (left only by a pass that threw)
    }
    // One event, row `row` of the bound batch, in group `group` at time t,
    // whose slice starts at `slice` (hopping); `mean` is the mean field's
    // value (0 without a mean clause). Its count and mean go in at once,
    // its aggregates at apply_pending.
    void add(std::uint32_t group, std::int64_t t, std::int64_t slice, double mean, std::uint32_t row);
    // The aggregates of the events added since the last call, a column at a
    // time (a loop per aggregate and column type, not a dispatch per value).
    void apply_pending();
    // Loads the pane the group's next event probably goes to.
    void prefetch(std::uint32_t group) const noexcept {
        if (group < hot_.size()) __builtin_prefetch(hot_[group].pane);
    }

    // Emits the windows whose end is at most `bound` (every window when
    // `all`), ordered by end, then start, then group text.
    void close(std::int64_t bound, bool all, const PlanSpec& plan, WindowRows& out);

    GroupPool& groups() noexcept { return groups_; }
    bool empty() const noexcept { return panes_ == 0; }
    std::size_t size() const noexcept { return panes_; }
    // At most the earliest end a close can reach (none without panes).
    std::optional<std::int64_t> earliest_end() const;

    // Checkpoint lines ("extension\t..." each, LF-terminated); none when
    // empty. read_line takes one such line (without "extension\t") and
    // returns false when it is not one of these.
    void write(std::string& out) const;
    bool read_line(std::string_view line);
    // False when a group text holds LF.
    bool representable() const;

private:
    struct Pane {
        std::uint64_t count = 0;
        double sum = 0.0;
        std::vector<Acc> accs;
    };
    struct Session {
        std::int64_t last = 0;
        Pane pane;
    };
    struct Slice {
        std::int64_t start;
        Pane pane;
    };
    struct Group {
        std::deque<Slice> slices;                  // hopping: by increasing start
        std::map<std::int64_t, Session> sessions;  // by first event time
        std::int64_t due = INT64_MAX;              // its entry in due_ (INT64_MAX: none)
    };
    // By group: the slice its last event went to, when no window over that
    // slice has been emitted (close_group clears it), so that the next event
    // of the slice goes straight there. Panes are map nodes, which do not
    // move; a copy of the whole starts without these.
    // Sessions: the group's newest session (its start in `slice`), while no
    // session after it exists.
    struct Hot {
        std::int64_t slice = 0;
        Pane* pane = nullptr;
        Session* session = nullptr;
    };
    struct HotCache : std::vector<Hot> {
        HotCache() = default;
        HotCache(HotCache&&) noexcept = default;
        HotCache& operator=(HotCache&&) noexcept = default;
        HotCache(const HotCache& o) : std::vector<Hot>(o.size()) {}
        HotCache& operator=(const HotCache& o) {
            assign(o.size(), Hot{});
            return *this;
        }
    };
    // A window on its way out: its count, sum and, from `results` on, one
    // result per aggregate in results_ (computed when it is emitted, so that
    // no window keeps a state of its own).
    struct Emitted {
        std::int64_t start;
        std::int64_t end;
        std::uint32_t group;
        std::uint64_t count;
        double sum;
        std::size_t results;
    };
    void emit(std::int64_t start, std::int64_t end, std::uint32_t group, const Pane& pane, std::vector<Emitted>& out);
    std::vector<AggResult> results_;  // of the windows of the close under way
    Pane scratch_;                     // a window's merge, reused

    void add_to(Pane& pane, std::int64_t t, double mean, std::uint32_t row);
    // The group's slice starting at `start`, made when missing.
    Pane& slice_for(std::uint32_t group, std::int64_t start);
    template <AggFunc F, class Get>
    void add_numbers(std::size_t k, Get get);
    template <class Get>
    void add_numbers_of(AggFunc f, std::size_t k, Get get);
    void merge_into(Pane& into, const Pane& from) const;
    void set_due(std::uint32_t group, std::int64_t due);
    void close_group(std::uint32_t group, std::int64_t bound, bool all, std::vector<Emitted>& out);

    Shape shape_;
    bool configured_ = false;
    bool fields_known_ = false;  // aggs_ from a plan, not from a checkpoint
    bool needs_accs_ = false;    // some aggregate keeps a state of its own
    void set_aggregates(const std::vector<AggregateSpec>& aggs);
    std::vector<AggregateSpec> aggs_;  // of the plan that configured (functions, fields, arguments)
    GroupPool groups_;
    // A deque: groups (and so their panes) stay put as groups are added.
    std::deque<Group> by_group_;
    HotCache hot_;
    // (due, group): a group may have a window to emit once the bound reaches
    // due (a lower bound: entries are refreshed when the group is closed).
    std::set<std::pair<std::int64_t, std::uint32_t>> due_;
    // Windows already emitted that kept late events fall in, this call only.
    std::map<std::pair<std::int64_t, std::uint32_t>, Pane> late_;
    std::size_t panes_ = 0;
    // Every window whose end is at most this has been emitted.
    std::int64_t closed_ = INT64_MIN;
    bool closed_set_ = false;
    // Arrival number of the next event (orders first and last on ties).
    std::uint64_t seq_ = 0;
    // Events whose aggregates are not applied yet (panes are map nodes,
    // which stay put until a close or a session merge; both apply first).
    struct Pending {
        Acc* accs;  // the pane's
        std::int64_t t;
        std::uint64_t seq;
        std::uint32_t row;
    };
    std::vector<Pending> pending_;
    const Column* const* cols_ = nullptr;
};

}  // namespace ravik
