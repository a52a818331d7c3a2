#include "window_table.hpp"

#include <algorithm>
#include <unordered_map>

#include "cell.hpp"

namespace ravik {

// --------------------------------------------------------------- groups

std::uint32_t GroupPool::intern_hashed(std::string_view text, std::uint64_t h) {
    const auto next = static_cast<std::uint32_t>(refs_.size());
    const auto [code, added] =
        index_.find_or_add(h, next, [&](std::uint32_t c) { return arena_.view(refs_[c]) == text; });
    if (added) refs_.push_back(arena_.append(text));
    return code;
}

// -------------------------------------------------------------- windows

WindowTable::Slot* WindowTable::find(std::int64_t start, std::uint32_t group) noexcept {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_hash(start, group) >> shift_;; i = (i + 1) & mask) {
        Slot& s = slots_[i];
        if (s.key_group == kEmpty) return nullptr;
        if (s.key_start == start && s.key_group == group) return &s;
    }
}

WindowTable::Slot& WindowTable::find_or_create(std::int64_t start, std::uint32_t group, std::int64_t end) {
    if ((count_ + 1) * 4 > slots_.size() * 3) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_hash(start, group) >> shift_;; i = (i + 1) & mask) {
        Slot& s = slots_[i];
        if (s.key_start == start && s.key_group == group) return s;
        if (s.key_group == kEmpty) {
            s = Slot{start, group, group, 0, end, 0.0, 0};
            ++count_;
            index_end(start, group, end);
            return s;
        }
    }
}

void WindowTable::grow() {
    const std::size_t capacity = std::max<std::size_t>(slots_.size() * 2, 16);
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{0, kEmpty, kEmpty, 0, 0, 0.0, 0});
    shift_ = home_shift(capacity);
    const std::size_t mask = capacity - 1;
    for (const Slot& s : old) {
        if (s.key_group == kEmpty) continue;
        std::size_t i = slot_hash(s.key_start, s.key_group) >> shift_;
        while (slots_[i].key_group != kEmpty) i = (i + 1) & mask;
        slots_[i] = s;
    }
    ++generation_;
}

// Backward-shift deletion: the slots after the hole that would no longer
// be found from their home move into it, so no probe run is ever broken.
void WindowTable::erase(Slot* slot) noexcept {
    const std::size_t mask = slots_.size() - 1;
    auto hole = static_cast<std::size_t>(slot - slots_.data());
    for (std::size_t i = (hole + 1) & mask;; i = (i + 1) & mask) {
        Slot& s = slots_[i];
        if (s.key_group == kEmpty) break;
        const std::size_t home = slot_hash(s.key_start, s.key_group) >> shift_;
        // s may move into the hole when its home is not in (hole, i].
        if (((i - home) & mask) >= ((i - hole) & mask)) {
            slots_[hole] = s;
            hole = i;
        }
    }
    slots_[hole].key_group = kEmpty;
    --count_;
    ++generation_;
}

void WindowTable::index_end(std::int64_t start, std::uint32_t group, std::int64_t end) {
    if (last_end_.list == nullptr || last_end_.end != end) {
        last_end_.list = &by_end_[end];
        last_end_.end = end;
    }
    last_end_.list->push_back(Key{start, group});
}

// Whether the windows listed under ends up to `bound` are at least half
// the table (counting stale entries too: a guess that errs on the side of
// the pass over the table, which is then still proportional to the work).
bool WindowTable::closes_most(std::int64_t bound) const noexcept {
    if (count_ < 64) return false;
    std::size_t listed = 0;
    for (auto it = by_end_.begin(); it != by_end_.end() && it->first <= bound; ++it) {
        listed += it->second.size();
        if (listed * 2 >= count_) return true;
    }
    return false;
}

void WindowTable::assign(std::string_view key, const WindowAggregate& window) {
    const auto bar = key.find('|');
    if (bar != std::string_view::npos) {
        if (auto start = canonical_int(key.substr(0, bar))) {
            const std::uint32_t group = groups_.intern(key.substr(bar + 1));
            Slot& s = find_or_create(*start, group, window.window_end);
            if (s.window_end != window.window_end) index_end(*start, group, window.window_end);
            s.group = groups_.intern(window.group);
            s.window_start = window.window_start;
            s.window_end = window.window_end;
            s.sum = window.sum;
            s.count = window.count;
            return;
        }
    }
    // Not of the form an event's key has: no event ever reaches it.
    odd_.insert_or_assign(std::string(key), window);
}

void WindowTable::take_closed(std::int64_t bound, bool all, Closed& out) {
    if (all) {
        out.slots.reserve(count_);
        for (const Slot& s : slots_) {
            if (s.key_group != kEmpty) out.slots.push_back(s);
        }
        slots_.clear();
        shift_ = 64;
        count_ = 0;
        ++generation_;
        by_end_.clear();
    } else if (closes_most(bound)) {
        // Most windows close: one pass over the table beats a lookup and a
        // removal per window; what stays open is placed anew.
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.size(), Slot{0, kEmpty, kEmpty, 0, 0, 0.0, 0});
        count_ = 0;
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.key_group == kEmpty) continue;
            if (s.window_end <= bound) {
                out.slots.push_back(s);
                continue;
            }
            std::size_t i = slot_hash(s.key_start, s.key_group) >> shift_;
            while (slots_[i].key_group != kEmpty) i = (i + 1) & mask;
            slots_[i] = s;
            ++count_;
        }
        ++generation_;
        by_end_.erase(by_end_.begin(), by_end_.upper_bound(bound));
    } else {
        while (!by_end_.empty() && by_end_.begin()->first <= bound) {
            auto node = by_end_.extract(by_end_.begin());
            const std::int64_t end = node.key();
            for (const Key& k : node.mapped()) {
                Slot* s = find(k.start, k.group);
                // Absent: closed before; another end: listed there too.
                if (s == nullptr || s->window_end != end) continue;
                out.slots.push_back(*s);
                erase(s);
            }
        }
    }
    last_end_.list = nullptr;
    for (auto it = odd_.begin(); it != odd_.end();) {
        if (all || it->second.window_end <= bound) {
            auto node = odd_.extract(it++);
            out.odd.emplace_back(std::move(node.key()), std::move(node.mapped()));
        } else {
            ++it;
        }
    }
    sort_slots(out.slots);
}

namespace {

// Byte-wise order of "<a>|" against "<b>|", for two decimal texts.
bool start_text_less(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = std::max(a.size(), b.size()) + 1;
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : '|');
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : '|');
        if (x != y) return x < y;
    }
    return false;
}

// The first 8 bytes of a text, big-endian, zero-padded: comparing two of
// these as integers orders the texts unless they tie.
std::uint64_t prefix_of(std::string_view s) noexcept {
    std::uint64_t p = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        p = (p << 8) | (i < s.size() ? static_cast<unsigned char>(s[i]) : 0u);
    }
    return p;
}

}  // namespace

// Key order "<start>|<group>": by the start's text (with its separator),
// then by the group's bytes.
void WindowTable::sort_slots(std::vector<Slot>& slots) const {
    if (slots.size() < 2) return;
    const std::size_t n = slots.size();
    // Distinct starts: usually a handful, found among the recent ones.
    std::vector<std::int64_t> starts;
    for (const Slot& s : slots) {
        const std::size_t look = std::min<std::size_t>(starts.size(), 8);
        if (std::find(starts.end() - static_cast<std::ptrdiff_t>(look), starts.end(), s.key_start) == starts.end()) {
            starts.push_back(s.key_start);
        }
    }
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    // Rank of each distinct start in the order of its text.
    std::vector<std::string> texts(starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) append_int(texts[i], starts[i]);
    std::vector<std::uint32_t> by_text(starts.size());
    for (std::uint32_t i = 0; i < by_text.size(); ++i) by_text[i] = i;
    std::sort(by_text.begin(), by_text.end(),
              [&](std::uint32_t a, std::uint32_t b) { return start_text_less(texts[a], texts[b]); });
    std::vector<std::uint32_t> start_rank(starts.size());
    for (std::uint32_t r = 0; r < by_text.size(); ++r) start_rank[by_text[r]] = r;
    auto start_rank_of = [&](std::int64_t start) {
        if (starts.size() == 1) return start_rank[0];
        return start_rank[static_cast<std::size_t>(std::lower_bound(starts.begin(), starts.end(), start) - starts.begin())];
    };

    // Distinct group codes in numeric order: by marks over the pool when
    // the pool is not much larger than the windows sorted, else by sorting.
    const bool direct = groups_.size() <= 4 * n + 64;
    std::vector<std::uint32_t> codes;
    std::vector<std::uint32_t> rank_by_code;
    if (direct) {
        rank_by_code.assign(groups_.size(), 0);
        for (const Slot& s : slots) rank_by_code[s.key_group] = 1;
        for (std::uint32_t c = 0; c < rank_by_code.size(); ++c) {
            if (rank_by_code[c] != 0) codes.push_back(c);
        }
    } else {
        codes.reserve(n);
        for (const Slot& s : slots) codes.push_back(s.key_group);
        std::sort(codes.begin(), codes.end());
        codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    }
    // Rank of each distinct group in the order of its text: the texts are
    // compared once per distinct group, not once per window.
    std::vector<std::uint32_t> code_order(codes.size());
    for (std::uint32_t i = 0; i < code_order.size(); ++i) code_order[i] = i;
    // The 8 bytes after the prefix all texts share ("sensor-" of
    // "sensor-17"): those usually decide, as integers.
    std::size_t shared = codes.empty() ? 0 : groups_.text(codes[0]).size();
    for (std::size_t i = 1; i < codes.size() && shared != 0; ++i) {
        const std::string_view a = groups_.text(codes[0]);
        const std::string_view b = groups_.text(codes[i]);
        std::size_t k = 0;
        const std::size_t limit = std::min({shared, a.size(), b.size()});
        while (k < limit && a[k] == b[k]) ++k;
        shared = k;
    }
    std::vector<std::uint64_t> prefixes(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) prefixes[i] = prefix_of(groups_.text(codes[i]).substr(shared));
    std::sort(code_order.begin(), code_order.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (prefixes[a] != prefixes[b]) return prefixes[a] < prefixes[b];
        return groups_.text(codes[a]) < groups_.text(codes[b]);
    });
    std::vector<std::uint32_t> group_rank(codes.size());
    for (std::uint32_t r = 0; r < code_order.size(); ++r) group_rank[code_order[r]] = r;
    if (direct) {
        for (std::size_t i = 0; i < codes.size(); ++i) rank_by_code[codes[i]] = group_rank[i];
    }
    auto group_rank_of = [&](std::uint32_t code) {
        if (direct) return rank_by_code[code];
        return group_rank[static_cast<std::size_t>(std::lower_bound(codes.begin(), codes.end(), code) - codes.begin())];
    };

    // Each window's place: (start rank, group rank) in one key. Keys are
    // distinct (one window per start and group), so a counting sort over
    // all keys orders them when there are not many more keys than windows.
    const std::uint64_t groups = codes.size();
    const std::uint64_t keys = starts.size() * groups;
    std::vector<Slot> sorted(n);
    if (keys <= 4 * n + 64) {
        std::vector<std::uint32_t> place(keys + 1, 0);
        std::vector<std::uint64_t> key(n);
        for (std::size_t i = 0; i < n; ++i) {
            key[i] = start_rank_of(slots[i].key_start) * groups + group_rank_of(slots[i].key_group);
            place[key[i] + 1] = 1;
        }
        for (std::size_t k = 1; k <= keys; ++k) place[k] += place[k - 1];
        for (std::size_t i = 0; i < n; ++i) sorted[place[key[i]]] = slots[i];
    } else {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> order(n);
        for (std::size_t i = 0; i < n; ++i) {
            order[i] = {(std::uint64_t{start_rank_of(slots[i].key_start)} << 32) | group_rank_of(slots[i].key_group),
                        static_cast<std::uint32_t>(i)};
        }
        std::sort(order.begin(), order.end());
        for (std::size_t i = 0; i < n; ++i) sorted[i] = slots[order[i].second];
    }
    slots = std::move(sorted);
}

std::string WindowTable::key_text(const Slot& s) const {
    std::string key;
    const std::string_view g = groups_.text(s.key_group);
    key.reserve(21 + g.size());
    append_int(key, s.key_start);
    key.push_back('|');
    key.append(g);
    return key;
}

std::vector<std::pair<std::string, WindowAggregate>> WindowTable::in_key_order() const {
    std::vector<std::pair<std::string, WindowAggregate>> out;
    out.reserve(size());
    for (const Slot& s : slots_) {
        if (s.key_group == kEmpty) continue;
        out.emplace_back(key_text(s),
                         WindowAggregate{s.sum, s.count, s.window_start, s.window_end, std::string(groups_.text(s.group))});
    }
    for (const auto& [key, w] : odd_) out.emplace_back(key, w);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

}  // namespace ravik
