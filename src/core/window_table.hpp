// The open windows of a stream. A window is known by its key text
// "<start>|<group>" (the start in decimal), and windows close, flush and
// are written out in byte-wise order of that text.
//
// Held so that costs follow the work, not the number of open windows:
// group texts are interned once for the stream's life (GroupPool); windows
// live in one open-addressing table keyed by (start, group code) with their
// aggregates inline; an index by window end finds the windows a pull closes
// without visiting the others, and only those are sorted into key order.
// Key texts are made only for checkpoints.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "id_set.hpp"

namespace ravik {

// One open window as the checkpoint file and the loader see it.
struct WindowAggregate {
    double sum = 0.0;
    std::uint64_t count = 0;
    std::int64_t window_start = 0;
    std::int64_t window_end = 0;
    std::string group;
};

// A window handed out when it closes or is flushed.
struct WindowView {
    double sum;
    std::uint64_t count;
    std::int64_t window_start;
    std::int64_t window_end;
    std::string_view group;
    std::uint32_t group_code;  // in the table's GroupPool; kNoGroupCode for a window loaded under an odd key
};
inline constexpr std::uint32_t kNoGroupCode = UINT32_MAX;

// Texts interned to dense codes 0, 1, 2, ... for the pool's life.
class GroupPool {
public:
    std::uint32_t intern(std::string_view text) { return intern_hashed(text, hash_bytes(text, seed_)); }
    std::uint32_t intern_hashed(std::string_view text, std::uint64_t h);
    std::string_view text(std::uint32_t code) const noexcept { return arena_.view(refs_[code]); }
    std::size_t size() const noexcept { return refs_.size(); }

private:
    ByteArena arena_;
    std::vector<ByteArena::Ref> refs_;  // by code
    CodeIndex index_;
    std::uint64_t seed_ = new_hash_seed();
};

class WindowTable {
public:
    // One slot of the table: a window with its key (start, group code).
    struct Slot {
        std::int64_t key_start;
        std::uint32_t key_group;  // kEmpty: free slot
        std::uint32_t group;      // code of the window's `group` value
        std::int64_t window_start;
        std::int64_t window_end;
        double sum;
        std::uint64_t count;
    };
    static constexpr std::uint32_t kEmpty = UINT32_MAX;

    GroupPool& groups() noexcept { return groups_; }
    const GroupPool& groups() const noexcept { return groups_; }

    std::size_t size() const noexcept { return count_ + odd_.size(); }
    // At most the smallest end of an open window (an index entry may be
    // stale, so earlier); none when no window is open or only windows
    // loaded under odd keys are: the hint is for a wake-up, never a close.
    std::optional<std::int64_t> earliest_end_hint() const noexcept {
        if (count_ == 0 || by_end_.empty()) return std::nullopt;
        return by_end_.begin()->first;
    }
    bool empty() const noexcept { return size() == 0; }
    void clear() noexcept { *this = WindowTable(); }

    // Raised whenever slots move (growth, removal): a Slot* taken before
    // is then stale.
    std::uint64_t generation() const noexcept { return generation_; }

    // The window keyed (start, group), created all zero but for its key and
    // its end when absent.
    Slot& find_or_create(std::int64_t start, std::uint32_t group, std::int64_t end);

    // Starts loading the slot where the window (start, group) is probed first.
    void prefetch(std::int64_t start, std::uint32_t group) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[slot_hash(start, group) >> shift_]);
    }

    // Adds one event's value, as processing does: the window takes its
    // key's start and group and the end of the current window length.
    void add(Slot& w, std::int64_t end, double value) {
        w.window_start = w.key_start;
        if (w.window_end != end) {
            w.window_end = end;
            index_end(w.key_start, w.key_group, end);
        }
        w.group = w.key_group;
        w.count += 1;
        w.sum += value;
    }

    // Stores a window under a key text (a checkpoint's line), replacing a
    // window of the same key.
    void assign(std::string_view key, const WindowAggregate& window);

    // Removes every window whose end is at most `bound` and hands each to
    // emit (a WindowView), in byte-wise key order.
    template <class Emit>
    void close_until(std::int64_t bound, Emit&& emit) {
        Closed closed;
        take_closed(bound, false, closed);
        emit_in_order(closed, emit);
    }
    // Removes every window, handing each to emit in byte-wise key order.
    template <class Emit>
    void remove_all(Emit&& emit) {
        Closed closed;
        take_closed(0, true, closed);
        emit_in_order(closed, emit);
    }

    // Every window with its key text, in byte-wise key order.
    std::vector<std::pair<std::string, WindowAggregate>> in_key_order() const;

    friend bool operator==(const WindowTable& a, const WindowTable& b) = delete;

private:
    struct Key {
        std::int64_t start;
        std::uint32_t group;
    };
    // Windows removed by one close: from the table in key order, and
    // loaded ones under other key texts (in key order too).
    struct Closed {
        std::vector<Slot> slots;
        std::vector<std::pair<std::string, WindowAggregate>> odd;
    };

    WindowView view_of(const Slot& s) const noexcept {
        return {s.sum, s.count, s.window_start, s.window_end, groups_.text(s.group), s.group};
    }
    static WindowView view_of(const WindowAggregate& w) noexcept {
        return {w.sum, w.count, w.window_start, w.window_end, w.group, kNoGroupCode};
    }
    // Merges the two ordered lists; key texts are made only when both have some.
    template <class Emit>
    void emit_in_order(const Closed& closed, Emit& emit) const {
        std::size_t j = 0;
        for (const Slot& s : closed.slots) {
            if (j < closed.odd.size()) {
                const std::string key = key_text(s);
                while (j < closed.odd.size() && closed.odd[j].first < key) emit(view_of(closed.odd[j++].second));
            }
            emit(view_of(s));
        }
        while (j < closed.odd.size()) emit(view_of(closed.odd[j++].second));
    }
    std::string key_text(const Slot& s) const;
    std::uint64_t slot_hash(std::int64_t start, std::uint32_t group) const noexcept {
        return hash_pair(start, group, seed_);
    }
    Slot* find(std::int64_t start, std::uint32_t group) noexcept;
    void erase(Slot* slot) noexcept;
    void grow();
    void index_end(std::int64_t start, std::uint32_t group, std::int64_t end);
    void take_closed(std::int64_t bound, bool all, Closed& out);
    bool closes_most(std::int64_t bound) const noexcept;
    void sort_slots(std::vector<Slot>& slots) const;

    GroupPool groups_;
    std::vector<Slot> slots_;  // size zero or a power of two
    unsigned shift_ = 64;      // home slot: hash >> shift_
    std::size_t count_ = 0;
    std::uint64_t generation_ = 0;
    std::uint64_t seed_ = new_hash_seed();
    // Invariant: every window of the table is listed under its current
    // window_end (and may also be listed, stale, under earlier ends).
    std::map<std::int64_t, std::vector<Key>> by_end_;
    // The by_end_ list of the last window indexed, for runs of one end.
    // Copies start without it (it points into the map it was taken from).
    struct EndCache {
        std::int64_t end = 0;
        std::vector<Key>* list = nullptr;
        EndCache() = default;
        EndCache(const EndCache&) noexcept {}
        EndCache& operator=(const EndCache&) noexcept {
            list = nullptr;
            return *this;
        }
    };
    EndCache last_end_;
    // Windows loaded from a checkpoint under a key text that no event
    // makes (not "<canonical int>|<group>"); rare, scanned at every close.
    std::map<std::string, WindowAggregate> odd_;
};

}  // namespace ravik
