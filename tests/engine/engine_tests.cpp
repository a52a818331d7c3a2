// The stream engine without an interpreter: cuts, the bounded queue, the
// close and its final cut, receivers' shutdown, waits and checkpoints.
// Each test is a function; CHECK reports a failed condition with its line
// and the run goes on; the exit status is the number of failed tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "stream.hpp"

using namespace ravik;

namespace {

int failures_in_test = 0;

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
            ++failures_in_test;                                                       \
        }                                                                             \
    } while (0)

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();  // a linger that never elapses

Row event(std::int64_t i) {
    Row row;
    row.set(std::string("i"), Cell{i});
    row.set(std::string("timestamp"), Cell{std::int64_t{1000} * i});
    return row;
}

std::shared_ptr<ColumnBatch> column_of(std::vector<std::int64_t> values) {
    Column c;
    c.name = "i";
    c.kind = ColumnKind::Int;
    const std::size_t n = values.size();
    c.ints = std::move(values);
    std::vector<Column> columns;
    columns.push_back(std::move(c));
    return batch_of_columns({"i"}, std::move(columns), n);
}

// The "i" values of a pass-through result, in order.
std::vector<std::int64_t> values_of(const ProcessOutput& out) {
    std::vector<std::int64_t> values;
    for (const Selection& part : out.passed) {
        for (const Column& c : part.batch->columns) {
            if (c.name != "i") continue;
            for (const std::uint32_t row : part.rows) values.push_back(std::get<std::int64_t>(c.cell_at(row)));
        }
    }
    return values;
}

std::vector<std::int64_t> pull_values(Stream& s, std::uint64_t timeout_ms = 0) {
    ProcessOutput out;
    s.pull(PlanSpec{}, timeout_ms, out);
    return values_of(out);
}

std::vector<std::int64_t> range(std::int64_t first, std::int64_t end) {
    std::vector<std::int64_t> v;
    for (std::int64_t i = first; i < end; ++i) v.push_back(i);
    return v;
}

std::uint64_t stat(const Stream& s, const char* name) { return s.stats().at(name); }

// Polls `done` until it holds or 10 s pass.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// --- cuts ----------------------------------------------------------------------

void test_one_cut_per_linger_period_of_at_most_batch_size() {
    auto s = Stream::manual(2, 50, 64);
    for (std::int64_t i = 0; i < 5; ++i) s->push_event(event(i));
    std::vector<std::int64_t> got;
    CHECK(eventually([&] {
        const auto part = pull_values(*s, 10);
        got.insert(got.end(), part.begin(), part.end());
        return got.size() == 5;
    }));
    CHECK(got == range(0, 5));
    CHECK(stat(*s, "microbatches_emitted") == 3);
}

void test_cut_now_takes_everything_queued_in_one_batch() {
    auto s = Stream::manual(2, kNever, 64);
    s->push_batch(column_of(range(0, 10)));
    CHECK(pull_values(*s).empty());
    s->cut_now();
    CHECK(pull_values(*s) == range(0, 10));
    CHECK(stat(*s, "microbatches_emitted") == 1);
    s->cut_now();  // nothing queued: no batch
    CHECK(stat(*s, "microbatches_emitted") == 1);
}

// --- the bounded queue -----------------------------------------------------------

void test_offers_beyond_capacity_drop_the_newest() {
    auto s = Stream::manual(64, kNever, 3);
    s->push_event(event(10));
    s->push_batch(column_of({0, 1, 2}));  // room for two: the tail is dropped
    s->push_event(event(11));
    CHECK(stat(*s, "ingested") == 5);
    CHECK(stat(*s, "dropped") == 2);
    s->close();
    CHECK(pull_values(*s) == (std::vector<std::int64_t>{10, 0, 1}));
}

void test_room_freed_by_a_cut_is_reused() {
    auto s = Stream::manual(2, 20, 2);
    for (std::int64_t i = 0; i < 3; ++i) s->push_event(event(i));
    CHECK(stat(*s, "dropped") == 1);
    CHECK(eventually([&] { return stat(*s, "microbatches_emitted") == 1; }));
    s->push_events({event(3), event(4)});
    CHECK(stat(*s, "dropped") == 1);
    std::vector<std::int64_t> got;
    CHECK(eventually([&] {
        const auto part = pull_values(*s, 10);
        got.insert(got.end(), part.begin(), part.end());
        return got.size() == 4;
    }));
    CHECK(got == (std::vector<std::int64_t>{0, 1, 3, 4}));
}

// --- the close ---------------------------------------------------------------------

void test_final_cut_takes_everything_and_later_offers_are_ignored() {
    auto s = Stream::manual(16, kNever, 100000);
    for (std::int64_t k = 0; k < 10; ++k) s->push_batch(column_of(range(k * 1000, (k + 1) * 1000)));
    s->close();
    CHECK(s->is_closed());
    s->push_event(event(-1));  // after the close: counted, never processed
    s->push_batch(column_of({-2, -3}));
    s->cut_now();
    CHECK(pull_values(*s) == range(0, 10000));
    CHECK(pull_values(*s).empty());
    CHECK(stat(*s, "ingested") == 10003);
    CHECK(stat(*s, "microbatches_emitted") == 1);
    s->close();  // a second close returns at once
}

void test_closed_stream_flushes_its_windows_once() {
    auto s = Stream::manual(64, kNever, 64);
    for (std::int64_t i = 0; i < 25; ++i) s->push_event(event(i));
    PlanSpec plan;
    plan.window = WindowSpec{10, std::nullopt, "timestamp"};
    plan.mean = MeanSpec{"i", "avg_i"};
    ProcessOutput out;
    s->cut_now();
    CHECK(s->pull(plan, 0, out));
    // Event time alone (24 s) closes [0, 10 s) and [10 s, 20 s).
    CHECK(out.windows.counts == (std::vector<std::int64_t>{10, 10}));
    s->close();
    ProcessOutput kept;
    CHECK(!s->pull(plan, 0, kept, false));  // left open for a checkpoint
    ProcessOutput flushed;
    CHECK(s->pull(plan, 0, flushed));
    CHECK(flushed.windows.counts == (std::vector<std::int64_t>{5}));
    ProcessOutput after;
    CHECK(!s->pull(plan, 0, after));
}

void test_wait_ready_ends_with_a_close_on_another_thread() {
    auto s = Stream::manual(64, kNever, 64);
    CHECK(!s->wait_ready(5));
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        s->close();
    });
    CHECK(s->wait_ready(kNever));
    closer.join();
}

// --- UDP receivers ---------------------------------------------------------------------

void test_receivers_shut_down_and_lose_nothing_they_accepted() {
    constexpr std::uint32_t kReceivers = 4;
    auto s = Stream::udp_receivers("127.0.0.1", 0, kReceivers, 256, kNever, 1u << 20);
    const std::uint16_t port = s->address().second;
    CHECK(port != 0);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    constexpr std::int64_t kSent = 20000;
    for (std::int64_t i = 0; i < kSent; ++i) {
        // Each datagram from its own source port would spread over the
        // receivers; one socket's datagrams go to one of them, which is the
        // harder case for the close (one receiver holds them all).
        const std::string text = "{\"i\": " + std::to_string(i) + ", \"timestamp\": 1}";
        ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    ::close(fd);
    s->close();
    const auto got = pull_values(*s);
    const Stream::Diagnostics d = s->diagnostics();
    CHECK(static_cast<std::uint64_t>(got.size()) + stat(*s, "dropped") + d.kernel_dropped ==
          static_cast<std::uint64_t>(kSent));
    CHECK(stat(*s, "ingested") == got.size() + stat(*s, "dropped"));
    CHECK(stat(*s, "microbatches_emitted") == 1);
}

void test_idle_receivers_close_promptly() {
    auto s = Stream::udp_receivers("127.0.0.1", 0, 3, 64, 5, 64);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // every thread asleep
    const auto start = std::chrono::steady_clock::now();
    s->close();
    CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(5));
    CHECK(s->is_closed());
}

void test_bad_receiver_counts_and_addresses_are_refused() {
    bool refused = false;
    try {
        Stream::udp_receivers("127.0.0.1", 0, 0, 64, 5, 64);
    } catch (const std::invalid_argument&) {
        refused = true;
    }
    CHECK(refused);
    refused = false;
    try {
        Stream::udp("127.0.0.256", 0, 64, 5, 64);
    } catch (const std::invalid_argument& e) {
        refused = std::string(e.what()) == "invalid IPv4 address";
    }
    CHECK(refused);
}

// --- checkpoints ---------------------------------------------------------------------------

void test_checkpoint_round_trip_restores_the_state() {
    char dir_template[] = "/tmp/ravik-engine-XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    CHECK(dir != nullptr);
    if (dir == nullptr) return;
    const std::string path = std::string(dir) + "/state.tsv";
    PlanSpec plan;
    plan.window = WindowSpec{10, std::nullopt, "timestamp"};
    plan.mean = MeanSpec{"i", "avg_i"};
    plan.event_id_field = "i";
    auto first = Stream::manual(64, kNever, 64);
    ProcessOutput out = first->aggregate(column_of({1, 2, 3, 3}), plan);
    CHECK(out.windows.counts == (std::vector<std::int64_t>{3}));
    first->push_batch(column_of({4, 5}));
    first->cut_now();
    ProcessOutput open;
    first->pull(plan, 0, open);
    first->save_checkpoint(path);
    auto second = Stream::manual(64, kNever, 64);
    second->load_checkpoint(path);
    CHECK(stat(*second, "open_windows") == 1);
    CHECK(stat(*second, "seen_event_ids") == 5);
    second->push_batch(column_of({5, 6}));  // 5 is a duplicate across the restart
    second->close();
    ProcessOutput rest;
    CHECK(second->pull(plan, 0, rest));
    CHECK(rest.windows.counts == (std::vector<std::int64_t>{3}));
    CHECK(stat(*second, "duplicate_events") == 1);
    std::remove(path.c_str());
    ::rmdir(dir);
}

struct Test {
    const char* name;
    void (*run)();
};

}  // namespace

int main() {
    const Test tests[] = {
        {"one_cut_per_linger_period_of_at_most_batch_size", test_one_cut_per_linger_period_of_at_most_batch_size},
        {"cut_now_takes_everything_queued_in_one_batch", test_cut_now_takes_everything_queued_in_one_batch},
        {"offers_beyond_capacity_drop_the_newest", test_offers_beyond_capacity_drop_the_newest},
        {"room_freed_by_a_cut_is_reused", test_room_freed_by_a_cut_is_reused},
        {"final_cut_takes_everything_and_later_offers_are_ignored",
         test_final_cut_takes_everything_and_later_offers_are_ignored},
        {"closed_stream_flushes_its_windows_once", test_closed_stream_flushes_its_windows_once},
        {"wait_ready_ends_with_a_close_on_another_thread", test_wait_ready_ends_with_a_close_on_another_thread},
        {"receivers_shut_down_and_lose_nothing_they_accepted",
         test_receivers_shut_down_and_lose_nothing_they_accepted},
        {"idle_receivers_close_promptly", test_idle_receivers_close_promptly},
        {"bad_receiver_counts_and_addresses_are_refused", test_bad_receiver_counts_and_addresses_are_refused},
        {"checkpoint_round_trip_restores_the_state", test_checkpoint_round_trip_restores_the_state},
    };
    int failed = 0;
    for (const Test& t : tests) {
        failures_in_test = 0;
        try {
            t.run();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: threw %s\n", t.name, e.what());
            ++failures_in_test;
        }
        std::printf("%s %s\n", failures_in_test == 0 ? "ok  " : "FAIL", t.name);
        if (failures_in_test != 0) ++failed;
    }
    return failed;
}
