// NativeStream: one event stream with its queue, worker thread, UDP socket,
// processing state and counters.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "cell.hpp"
#include "core_processing.hpp"
#include "python_abi.hpp"

namespace ravik {

namespace py = pybind11;

using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using UInt8Array = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
using Float64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

class NativeStream {
public:
    NativeStream(std::string host, std::uint16_t port, std::uint32_t batch_size, std::uint64_t linger_ms,
                 std::uint32_t capacity, bool udp_mode);
    ~NativeStream();
    NativeStream(const NativeStream&) = delete;
    NativeStream& operator=(const NativeStream&) = delete;
    NativeStream(NativeStream&&) = delete;
    NativeStream& operator=(NativeStream&&) = delete;

    static std::unique_ptr<NativeStream> udp(const std::string& host, std::uint16_t port,
                                             std::uint32_t batch_size, std::uint64_t linger_ms,
                                             std::uint32_t capacity);
    static std::unique_ptr<NativeStream> manual(std::uint32_t batch_size, std::uint64_t linger_ms,
                                                std::uint32_t capacity);

    std::pair<std::string, std::uint16_t> address() const;
    bool is_closed() const;
    void close();

    void emit_json(const py::dict& event);
    void emit_columns(const py::dict& columns);
    py::object next_batch(const py::dict& plan, std::uint64_t timeout_ms);
    py::dict aggregate_columns(const py::dict& columns, const py::dict& plan);
    py::dict aggregate_trade_numeric(const Int64Array& timestamps, const UInt8Array& is_trade,
                                     const Int64Array& symbol_id, const Float64Array& values,
                                     std::int64_t window_ms);
    void save_checkpoint(const std::string& path);
    void load_checkpoint(const std::string& path);
    std::map<std::string, std::uint64_t> stats() const;

    // Offers one row to the bounded queue (dropped and counted when full).
    void push_event(Row row);
    // Offers rows in order under one hold of queue_mutex; notifies once.
    void push_events(Rows rows);

private:
    struct Registry;
    // pthread_atfork handlers over every live stream (see Registry).
    static void before_fork() noexcept;
    static void after_fork_in_parent() noexcept;
    static void after_fork_in_child() noexcept;
    void unregister() noexcept;

    void stop(bool join);
    void worker_loop() noexcept;
    void worker_turn(std::int64_t& last_flush_ns);
    void drain_queue_locked();
    void bind_udp();
    // Receives the datagrams waiting on the socket (a bounded number per
    // call), waiting up to wait_ms for the first one. Worker thread only.
    void receive_udp(int wait_ms);

    // Configuration: written only during construction, read without a lock.
    std::string host;
    std::uint16_t port;
    std::uint32_t batch_size;
    std::uint64_t linger_ms;
    std::uint32_t capacity;
    bool udp_mode;
    // Written during construction and by stop() after the worker is joined.
    int socket_fd = -1;
    // Receive area of the worker's UDP step, allocated by the worker at its
    // first receive; touched by the worker thread only.
    std::unique_ptr<char[]> udp_buffer;

    mutable std::mutex queue_mutex;
    // Woken after each single queued row, once per multi-row offer, after each
    // batch cut, when the worker exits and on close. Carries no predicate:
    // waiters must re-check ready_batches and closed.
    std::condition_variable queue_cv;
    bool closed = false;               // guarded by queue_mutex; set once, never cleared
    std::deque<Row> events;            // guarded by queue_mutex; at most `capacity` rows
    std::deque<Rows> ready_batches;    // guarded by queue_mutex; oldest first

    // Serialises shutdown so the worker is joined exactly once; later callers
    // block here (interpreter lock released) until the first has finished.
    std::mutex stop_mutex;
    std::thread worker;                // joined only by stop(), under stop_mutex
    // Process that started the worker. A forked child owns no worker thread.
    int owner_pid;

    mutable std::mutex state_mutex;
    ProcessorState state;              // guarded by state_mutex

    Stats counters;                    // the stream's `Stats`; atomics, no lock needed
};

}  // namespace ravik
