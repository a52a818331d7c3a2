// Stream: one event stream with its queue, worker thread, UDP sockets,
// processing state and counters. Python-free: the bindings (src/python) hold
// a Stream inside each NativeStream object and convert arguments and
// results. Calls that block (close, wait_ready, join_multicast, a pull with a
// timeout) block the calling thread; a binding that holds the interpreter
// lock decides whether to release it around them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "cell.hpp"
#include "columnar.hpp"
#include "datagram_batch.hpp"
#include "core_processing.hpp"

namespace ravik {

// A socket operation of a stream failed. what() is the stream's own message
// ("udp bind failed", ...); `code` is the system's errno, for callers that
// add its text.
class SocketError : public std::runtime_error {
public:
    SocketError(const char* what, int code_) : std::runtime_error(what), code(code_) {}
    int code;
};

class Stream {
public:
    // `receivers` sockets (UDP streams only): more than one are bound to the
    // same address with SO_REUSEPORT, each received on by its own thread.
    Stream(std::string host, std::uint16_t port, std::uint32_t batch_size, std::uint64_t linger_ms,
                 std::uint32_t capacity, bool udp_mode, std::uint32_t receivers = 1);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    Stream(Stream&&) = delete;
    Stream& operator=(Stream&&) = delete;

    static std::unique_ptr<Stream> udp(const std::string& host, std::uint16_t port,
                                             std::uint32_t batch_size, std::uint64_t linger_ms,
                                             std::uint32_t capacity);
    // A UDP stream whose reception and parsing run on `receivers` threads
    // (1 to kMaxReceivers), all offering into the one queue.
    static std::unique_ptr<Stream> udp_receivers(const std::string& host, std::uint16_t port,
                                                       std::uint32_t receivers, std::uint32_t batch_size,
                                                       std::uint64_t linger_ms, std::uint32_t capacity);
    static constexpr std::uint32_t kMaxReceivers = 256;
    static std::unique_ptr<Stream> manual(std::uint32_t batch_size, std::uint64_t linger_ms,
                                                std::uint32_t capacity);

    std::pair<std::string, std::uint16_t> address() const;
    bool is_closed() const;
    // Closes the stream: later offers are counted and ignored, the worker
    // makes its final cut, and the threads are joined (so close blocks until
    // they end; the destructor does the same). Idempotent; a concurrent
    // caller blocks until the first has finished.
    void close();

    // The plan with the stream's own limits applied (max_future_ms).
    PlanSpec stream_plan(PlanSpec plan) const;
    // Takes the ready batches and processes them; false when nothing came
    // out. With timeout_ms > 0 and nothing ready on an open stream, first
    // waits once, at most timeout_ms (ended by any batch cut, the close or a
    // spurious wake-up). A closed stream's last cut is always waited for. On a
    // closed stream that produced nothing else, the open windows are flushed,
    // unless `flush_closed` is false (for a checkpoint taken after the last
    // pull). The caller converts `out` and then counts it with count_output.
    bool pull(const PlanSpec& plan, std::uint64_t timeout_ms, ProcessOutput& out, bool flush_closed = true);
    // Processes one batch handed in by the caller (null: no event) against
    // the stream's state, without the queue, and flushes every open window.
    ProcessOutput aggregate(std::shared_ptr<const ColumnBatch> batch, const PlanSpec& plan);
    // Counts one result of `rows` rows handed to the caller.
    void count_output(std::size_t rows) noexcept;
    // Plans with idle_close_ms: wall-clock milliseconds from now until the
    // earliest moment a pull may close a window for idleness (0: now);
    // none when no window is open or nothing has arrived.
    std::optional<std::int64_t> idle_close_due_in_ms(const PlanSpec& plan) const;
    // The late events kept aside by pulls of late_side plans, oldest first,
    // and no longer kept. At most `capacity` events are kept; later ones are
    // dropped and counted (late_side_dropped).
    std::vector<Selection> take_late_events();
    // The wall clock of arrivals and idle closing: the system's (none) or a
    // fixed value in ms (tests drive it).
    void set_clock(std::optional<std::int64_t> ms) noexcept {
        clock_override_ms.store(ms.value_or(kTimeUnset), std::memory_order_relaxed);
    }
    std::int64_t wall_now_ms() const noexcept;
    // Bounds the events held in cut but unpulled batches: a periodic cut
    // keeps at most what fits under `bound` and drops the rest of its
    // events (counted in pending_dropped). 0: unbounded (the default).
    void set_max_pending(std::uint64_t bound) noexcept { max_pending.store(bound, std::memory_order_relaxed); }
    // Counts an aggregation of `taken` caller-supplied events that gave
    // `rows` rows without touching the processing state.
    void count_stateless_aggregation(std::uint64_t taken, std::size_t rows) noexcept;
    void save_checkpoint(const std::string& path);
    void load_checkpoint(const std::string& path);
    std::map<std::string, std::uint64_t> stats() const;

    // What the stream dropped or repaired beyond the stats() counters.
    struct MalformedDatagram {
        std::string bytes;  // the first kMalformedSampleBytes bytes
        const char* reason; // a static string
    };
    struct Diagnostics {
        std::uint64_t malformed_datagrams;
        std::uint64_t kernel_dropped;
        std::uint64_t non_integer_times;
        std::uint64_t events_without_mean;
        std::uint64_t future_events;
        std::uint64_t lone_surrogates;
        std::uint64_t pending_dropped;
        std::uint64_t late_side_dropped;
        // kTimeUnset when unknown: no event yet, or no pull yet (watermark).
        std::int64_t newest_event_time;
        std::int64_t watermark;
        std::int64_t now_ms;  // the stream's wall clock when read
        std::vector<MalformedDatagram> recent_malformed;  // oldest first
    };
    static constexpr std::size_t kMalformedSampleBytes = 256;
    static constexpr std::size_t kMalformedSamples = 8;
    Diagnostics diagnostics() const;
    // Events whose integer time lies more than ms ahead of the wall clock
    // are dropped (and counted) from the next pull on; a negative value
    // turns the check off (the default).
    void set_max_future_ms(std::int64_t ms) noexcept { max_future_ms.store(ms, std::memory_order_relaxed); }

    // Waits at most timeout_ms, without any stream lock held on return,
    // until a batch is ready or the stream is closed; true then.
    bool wait_ready(std::uint64_t timeout_ms);
    // Registers a descriptor (an eventfd) that is written after every batch
    // cut and when the stream closes; remove_waker unregisters it. The
    // caller owns the descriptor and unregisters it before closing it.
    void add_waker(int fd);
    void remove_waker(int fd) noexcept;

    // Parses the newline-separated lines of `text` as datagrams are parsed and
    // offers their events at once (malformed lines are counted as malformed
    // datagrams; empty lines carry nothing). Only lines ended by a newline
    // are taken, or all of them when `final`; returns the bytes consumed.
    // Python-free: callers may release the interpreter lock around it.
    std::size_t ingest_lines(std::string_view text, bool final);
    // Parses each text as one datagram and offers their events at once;
    // `stamps` (empty, or one per text) stand in for the clock as the
    // "timestamp" of objects without one. Python-free.
    void ingest_datagrams(const std::vector<std::string_view>& texts, const std::vector<std::int64_t>& stamps);
    // Cuts every queued event into one batch now (none when nothing is
    // queued), so that the next pull takes all that was offered before.
    void cut_now();
    // Joins an IPv4 multicast group on the UDP socket, on the interface with
    // the given address (empty: the system's choice).
    void join_multicast(const std::string& group, const std::string& interface_address);

    // Offers one row to the bounded queue (dropped and counted when full).
    void push_event(Row row);
    // Offers rows in order under one hold of queue_mutex; notifies once.
    void push_events(Rows rows);
    // Offers a batch's events in order under one hold of queue_mutex (those
    // beyond the queue's room are dropped and counted); notifies once. A
    // null batch offers nothing and still notifies.
    void push_batch(std::shared_ptr<const ColumnBatch> batch);
    // Offers runs of events in order under one hold of queue_mutex, with one
    // notification when there were any (the same drop rule).
    void push_chunks(std::vector<Chunk> chunks);

private:
    struct Registry;
    // pthread_atfork handlers over every live stream (see Registry).
    static void before_fork() noexcept;
    static void after_fork_in_parent() noexcept;
    static void after_fork_in_child() noexcept;
    void unregister() noexcept;
    void close_wake_fd() noexcept;

    // One UDP socket and what receiving on it needs. The worker receives on
    // the first; each further one has a thread of its own.
    struct Receiver {
        // Written during construction and by stop() once no thread receives on it.
        int fd = -1;
        // Receive area, allocated at the first receive; its receiving thread only.
        std::unique_ptr<char[]> buffer;
        // Parses the datagrams into batches of the last schema seen; its receiving thread only.
        DatagramBatcher batcher;
        // The socket's last drop count read; its receiving thread only.
        std::uint32_t last_drops = 0;
        // The receiving thread of a receiver after the first; joined only by stop().
        std::thread thread;
    };

    void stop(bool join);
    void worker_loop() noexcept;
    void receiver_loop(Receiver& receiver) noexcept;
    void start_receivers();
    void worker_turn(std::int64_t& last_flush_ns);
    // Sleeps until there is work: an event offered or a datagram waiting
    // (when nothing is queued), the next cut due (when something is), or the
    // close. Returns at once when the stream is closed or a cut is due.
    void wait_for_work(std::int64_t& last_flush_ns);
    // Cuts at most `limit` of the oldest queued events into one batch.
    void drain_queue_locked(std::size_t limit);
    // Drops the n oldest queued events (no more than are queued).
    void discard_front_locked(std::size_t n) noexcept;
    // After offering events: wakes the worker if it sleeps for want of them.
    void offered_locked() noexcept;
    // Ends the worker's sleep.
    void signal_worker_locked() noexcept;
    // Appends a row to the queue's last run of rows, or starts a new run.
    void append_row_locked(Row&& row);
    void bind_udp(std::uint32_t count);
    void close_sockets() noexcept;
    // Receives every datagram waiting on the socket (a bounded number per
    // call) and offers their events at once; returns how many it took. The
    // receiver's thread only.
    std::size_t receive_udp(Receiver& receiver);
    // After the close: receives what the socket still holds (datagrams the
    // system accepted before the close), within a bound, so that they come
    // out with the final cut rather than vanish uncounted.
    void receive_remaining(Receiver& receiver) noexcept;
    // Blocks until the receiver's socket has a datagram or is shut down.
    static void await_datagram(const Receiver& receiver) noexcept;

    // Configuration: written only during construction, read without a lock.
    std::string host;
    std::uint16_t port;
    std::uint32_t batch_size;
    std::uint64_t linger_ms;
    std::uint32_t capacity;
    bool udp_mode;
    // UDP streams: one per socket, made during construction (the vector is
    // not changed afterwards).
    std::vector<std::unique_ptr<Receiver>> receivers;

    // Counts (and keeps a sample of) a datagram the parser rejected. Worker thread.
    void note_malformed(std::string_view datagram, const char* reason);
    // Adds the batcher's lone surrogates to the diagnostics.
    void count_lone_surrogates(DatagramBatcher& batcher) noexcept;
    // Reads the socket's count of datagrams the kernel dropped. The receiver's thread.
    void read_kernel_drops(Receiver& receiver) noexcept;
    // Waits, with queue_mutex held through `lock`, until the worker's final
    // cut is in ready_batches; returns at once unless the stream is closed.
    void await_final_cut_locked(std::unique_lock<std::mutex>& lock);
    // Writes to every registered waker. Caller holds queue_mutex.
    void wake_locked() noexcept;

    mutable std::mutex queue_mutex;
    // Woken after each single queued row, once per multi-row offer, after each
    // batch cut, when the worker exits and on close. Carries no predicate:
    // waiters must re-check ready_batches and closed.
    std::condition_variable queue_cv;
    bool closed = false;               // guarded by queue_mutex; set once, never cleared
    // Guarded by queue_mutex; set once, by the worker after its final cut
    // (with a notification of queue_cv), so that no batch is ever cut
    // after it. A closed stream that is not yet drained has its last batch
    // still to come: pulls wait for it before they flush windows.
    bool drained = false;
    // Guarded by queue_mutex: receiving threads (beyond the worker) still
    // running. The worker's final cut waits for it to reach 0, so that no
    // receiver offers events after the last cut.
    std::uint32_t active_receivers = 0;
    // Guarded by queue_mutex: the queued events, oldest first, in runs of
    // rows or views of column batches; `queued` of them (at most `capacity`).
    std::deque<Chunk> events;
    std::size_t queued = 0;
    std::deque<std::vector<Chunk>> ready_batches;  // guarded by queue_mutex; oldest first
    std::vector<int> wakers;                       // guarded by queue_mutex; not owned
    // How the worker sleeps between turns with nothing to do, and is woken by
    // offers from other threads and by the close. UDP streams: an eventfd
    // (owned; made during construction, closed by the destructor) polled
    // together with the socket. Manual streams, which need no descriptor: a
    // futex on worker_signals, raised for every wake-up.
    int worker_wake_fd = -1;
    std::atomic<std::uint32_t> worker_signals{0};
    // Guarded by queue_mutex: the worker sleeps with nothing queued; the
    // next offer wakes it.
    bool worker_sleeping = false;

    // Serialises shutdown so the worker is joined exactly once; later callers
    // block here (interpreter lock released) until the first has finished.
    std::mutex stop_mutex;
    std::thread worker;                // joined only by stop(), under stop_mutex
    // True in a child process made by fork(), which owns no worker thread.
    // Written only by the fork handler, while the child has one thread.
    bool forked_child = false;

    mutable std::mutex state_mutex;
    ProcessorState state;              // guarded by state_mutex
    // Idle closing, guarded by state_mutex: the newest event time that
    // events made, and the value max_event_time was last advanced to for
    // idleness (kTimeUnset: never). An advance starts from the former.
    std::int64_t idle_base = kTimeUnset;
    std::int64_t idle_advanced = kTimeUnset;
    // Advances the newest event time for idleness and closes what it passes.
    void close_idle_locked(const PlanSpec& plan, ProcessOutput& out);
    // Moves late events into late_kept, within its bound. Caller holds state_mutex.
    void keep_late_locked(std::vector<Selection>& late);
    // Late events kept aside, guarded by state_mutex, and how many.
    std::vector<Selection> late_kept;
    std::size_t late_kept_events = 0;
    std::atomic<std::uint64_t> late_side_dropped{0};
    // The watermark_ms of the last pull's plan (kTimeUnset before any), for
    // the diagnostics' watermark.
    std::atomic<std::int64_t> last_watermark_ms{kTimeUnset};
    // Wall-clock ms of the last offer that kept an event (kTimeUnset: none).
    std::atomic<std::int64_t> last_arrival_ms{kTimeUnset};
    std::atomic<std::int64_t> clock_override_ms{kTimeUnset};
    // The backlog bound (0: none) and what it dropped; ready_events is the
    // number of events in ready_batches, guarded by queue_mutex.
    std::atomic<std::uint64_t> max_pending{0};
    std::atomic<std::uint64_t> pending_dropped{0};
    std::size_t ready_events = 0;
    // After an offer kept events: the arrival time. Caller holds queue_mutex.
    void arrived_locked() noexcept;

    Stats counters;                    // the stream's `Stats`; atomics, no lock needed

    // Diagnostics. Relaxed atomics: independent tallies, like the counters.
    std::atomic<std::uint64_t> malformed_datagrams{0};
    // The sockets' drop counts (the kernel's, cumulative), read by each
    // receiving thread once per turn and once more before it exits.
    std::atomic<std::uint64_t> kernel_dropped{0};
    std::atomic<std::int64_t> max_future_ms{-1};
    // \u escapes of a surrogate without its partner, decoded as U+FFFD.
    std::atomic<std::uint64_t> lone_surrogates{0};
    mutable std::mutex diagnostics_mutex;
    std::deque<MalformedDatagram> recent_malformed;  // guarded by diagnostics_mutex
};

}  // namespace ravik
