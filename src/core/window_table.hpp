// The open windows of a stream. A window is known by its key text
// "<start>|<group>" (the start in decimal), and windows close, flush and
// are written out in byte-wise order of that text. Events find their
// window by (start, group) through a hash table, without making the text;
// the text is made only for the few windows that close, and for
// checkpoints.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cell.hpp"
#include "id_set.hpp"

namespace ravik {

struct WindowAggregate {
    double sum = 0.0;
    std::uint64_t count = 0;
    std::int64_t window_start = 0;
    std::int64_t window_end = 0;
    std::string group;
};

class WindowTable {
public:
    static std::uint64_t hash_of(std::int64_t start, std::string_view group) noexcept {
        return std::hash<std::string_view>{}(group) ^ (static_cast<std::uint64_t>(start) * 0x9E3779B97F4A7C15ull);
    }

    std::size_t size() const noexcept { return by_start_.size() + odd_.size(); }
    bool empty() const noexcept { return size() == 0; }
    void clear() noexcept {
        by_start_.clear();
        odd_.clear();
    }

    // The window keyed "<start>|<group>", created all zero when absent.
    // References stay valid until the window is removed.
    WindowAggregate& find_or_create(std::int64_t start, std::string_view group) {
        auto it = by_start_.find(KeyView{start, group});
        if (it == by_start_.end()) it = by_start_.emplace(Key{start, std::string(group)}, WindowAggregate{}).first;
        return it->second;
    }

    // Stores a window under a key text (a checkpoint's line), replacing a
    // window of the same key.
    void assign(std::string_view key, WindowAggregate window) {
        const auto bar = key.find('|');
        if (bar != std::string_view::npos) {
            if (auto start = canonical_int(key.substr(0, bar))) {
                by_start_.insert_or_assign(Key{*start, std::string(key.substr(bar + 1))}, std::move(window));
                return;
            }
        }
        // Not of the form an event's key has: no event ever reaches it.
        odd_.insert_or_assign(std::string(key), std::move(window));
    }

    // Every window with its key text, in byte-wise key order.
    std::vector<std::pair<std::string, const WindowAggregate*>> in_key_order() const {
        std::vector<std::pair<std::string, const WindowAggregate*>> out;
        out.reserve(size());
        for (const auto& [key, w] : by_start_) out.emplace_back(key.text(), &w);
        for (const auto& [key, w] : odd_) out.emplace_back(key, &w);
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        return out;
    }

    // Removes the windows that `closes` selects and hands each to emit, in
    // byte-wise key order.
    template <class Pred, class Emit>
    void remove_if(Pred&& closes, Emit&& emit) {
        std::vector<std::pair<std::string, WindowAggregate>> closed;
        for (auto it = by_start_.begin(); it != by_start_.end();) {
            if (closes(it->second)) {
                closed.emplace_back(it->first.text(), std::move(it->second));
                it = by_start_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = odd_.begin(); it != odd_.end();) {
            if (closes(it->second)) {
                closed.emplace_back(it->first, std::move(it->second));
                it = odd_.erase(it);
            } else {
                ++it;
            }
        }
        std::sort(closed.begin(), closed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [key, w] : closed) emit(w);
    }

    friend bool operator==(const WindowTable& a, const WindowTable& b) = delete;

private:
    struct Key {
        std::int64_t start;
        std::string group;
        std::string text() const {
            std::string out;
            out.reserve(21 + group.size());
            append_int(out, start);
            out.push_back('|');
            out += group;
            return out;
        }
    };
    struct KeyView {
        std::int64_t start;
        std::string_view group;
    };
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(const Key& k) const noexcept { return hash_of(k.start, k.group); }
        std::size_t operator()(const KeyView& k) const noexcept { return hash_of(k.start, k.group); }
    };
    struct Equal {
        using is_transparent = void;
        template <class A, class B>
        bool operator()(const A& a, const B& b) const noexcept {
            return a.start == b.start && std::string_view(a.group) == std::string_view(b.group);
        }
    };

    // Windows whose key text is "<canonical int>|<group>": every window an
    // event opens, and most loaded ones.
    std::unordered_map<Key, WindowAggregate, Hash, Equal> by_start_;
    // Windows loaded from a checkpoint under any other key text.
    std::map<std::string, WindowAggregate> odd_;
};

}  // namespace ravik
