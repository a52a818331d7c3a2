#include "datagram_batch.hpp"

#include <algorithm>
#include <memory>
#include <numeric>
#include <utility>

namespace ravik {

namespace {
// Schemas of more members are not learned: such datagrams are rare, and the
// general parser handles them in n log n.
constexpr std::size_t kMaxSchemaMembers = 64;
constexpr std::string_view kTimestamp = "timestamp";
}  // namespace

bool DatagramBatcher::add(std::string_view datagram, const char** reason) {
    return add_stamped(datagram, reason, std::nullopt);
}

bool DatagramBatcher::add(std::string_view datagram, const char** reason, std::int64_t stamp_ms) {
    return add_stamped(datagram, reason, stamp_ms);
}

bool DatagramBatcher::add_stamped(std::string_view datagram, const char** reason,
                                  const std::optional<std::int64_t>& stamp) {
    if (schema_ && add_fast(datagram, stamp)) return true;
    auto row = parse_flat_json_object(datagram, reason, &names_, &lone_surrogates_);
    if (!row) return false;
    if (stamp) {
        // The parser added the clock's "timestamp" unless a member has that
        // name (an escaped name counts by its resolved text).
        const bool has_own = std::any_of(names_.begin(), names_.end(), [](const MemberName& m) {
            if (!m.escaped) return m.inner == kTimestamp;
            std::string quoted;
            quoted.reserve(m.inner.size() + 2);
            quoted.push_back('"');
            quoted.append(m.inner);
            quoted.push_back('"');
            return unquote(quoted) == kTimestamp;
        });
        if (!has_own) row->set(kTimestamp, Cell{*stamp});
    }
    flush_batch();
    rows_.push_back(std::move(*row));
    learn(names_);
    return true;
}

bool DatagramBatcher::add_fast(std::string_view datagram, const std::optional<std::int64_t>& stamp) {
    if (!match_members(datagram, schema_->names, raws_)) return false;
    flush_rows();  // rows that came before stay before
    if (builders_.empty()) start_batch();
    for (std::size_t j = 0; j < raws_.size(); ++j) builders_[schema_->column_of[j]].append(value_cell(raws_[j], &lone_surrogates_));
    if (schema_->timestamp_added) builders_[schema_->timestamp_column].append_int(stamp ? *stamp : now_millis());
    ++batch_length_;
    return true;
}

void DatagramBatcher::learn(const std::vector<MemberName>& names) {
    Schema schema;
    if (names.empty() || names.size() > kMaxSchemaMembers) return;
    for (const MemberName& name : names) {
        if (name.escaped) return;
        schema.names.emplace_back(name.inner);
    }
    std::vector<std::size_t> order(schema.names.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return schema.names[a] < schema.names[b]; });
    for (std::size_t k = 1; k < order.size(); ++k) {
        if (schema.names[order[k]] == schema.names[order[k - 1]]) return;  // a repeated name
    }
    if (schema_ && schema_->names == schema.names) return;
    schema.timestamp_added = std::find(schema.names.begin(), schema.names.end(), kTimestamp) == schema.names.end();
    schema.column_of.resize(schema.names.size());
    for (std::size_t k = 0; k < order.size(); ++k) schema.columns.push_back(schema.names[order[k]]);
    if (schema.timestamp_added) {
        auto at = std::lower_bound(schema.columns.begin(), schema.columns.end(), kTimestamp);
        schema.timestamp_column = static_cast<std::size_t>(at - schema.columns.begin());
        schema.columns.insert(at, std::string(kTimestamp));
    }
    for (std::size_t j = 0; j < schema.names.size(); ++j) {
        const auto at = std::lower_bound(schema.columns.begin(), schema.columns.end(), schema.names[j]);
        schema.column_of[j] = static_cast<std::size_t>(at - schema.columns.begin());
    }
    schema_ = std::move(schema);
    builders_.clear();  // the batch under way (if any) was flushed before
}

void DatagramBatcher::start_batch() {
    builders_.clear();
    builders_.reserve(schema_->columns.size());
    for (const std::string& name : schema_->columns) builders_.emplace_back(name);
    batch_length_ = 0;
}

void DatagramBatcher::flush_batch() {
    if (batch_length_ == 0) return;
    auto batch = std::make_shared<ColumnBatch>();
    batch->length = batch_length_;
    batch->columns.reserve(builders_.size());
    for (ColumnBuilder& b : builders_) batch->columns.push_back(b.finish());
    Chunk chunk;
    chunk.end = batch_length_;
    chunk.batch = std::move(batch);
    out_.push_back(std::move(chunk));
    builders_.clear();
    batch_length_ = 0;
}

void DatagramBatcher::flush_rows() {
    if (rows_.empty()) return;
    Chunk chunk;
    chunk.end = rows_.size();
    chunk.rows = std::move(rows_);
    rows_ = Rows();
    out_.push_back(std::move(chunk));
}

std::uint64_t DatagramBatcher::take_lone_surrogates() noexcept {
    const std::uint64_t n = lone_surrogates_;
    lone_surrogates_ = 0;
    return n;
}

std::vector<Chunk> DatagramBatcher::take() {
    flush_batch();
    flush_rows();
    std::vector<Chunk> out = std::move(out_);
    out_.clear();
    return out;
}

}  // namespace ravik
