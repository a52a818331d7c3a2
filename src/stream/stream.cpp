#include "stream.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <linux/futex.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <algorithm>
#include <unistd.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>


namespace ravik {

namespace {

std::int64_t steady_now_ns() noexcept {
    return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
}

// Milliseconds as nanoseconds, saturating at the signed 64-bit maximum.
std::int64_t millis_to_ns_saturated(std::uint64_t ms) noexcept {
    constexpr std::uint64_t kMaxMs = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / 1000000u;
    if (ms > kMaxMs) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(ms * 1000000u);
}

// The moment timeout_ms from now, or none when that lies beyond the clock's
// range (then there is no deadline at all). Formed here rather than by
// wait_for, which adds the timeout to the clock unchecked.
std::optional<std::chrono::steady_clock::time_point> deadline_after(std::uint64_t timeout_ms) noexcept {
    const std::int64_t timeout_ns = millis_to_ns_saturated(timeout_ms);
    const auto now = std::chrono::steady_clock::now();
    const std::int64_t now_ns = static_cast<std::int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count());
    if (now_ns > 0 && timeout_ns > std::numeric_limits<std::int64_t>::max() - now_ns) return std::nullopt;
    return now + std::chrono::nanoseconds(timeout_ns);
}

// A bare futex on the word of an atomic: a sleep that any thread can end, with
// no waiter bookkeeping in user space, so that a forked child (which has no
// worker) can still signal and destroy it, unlike a condition variable
// with the worker among its waiters.
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t seen, const timespec* timeout) noexcept {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, timeout, nullptr, 0);
}

void futex_wake_all(std::atomic<std::uint32_t>& word) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

timespec timespec_of_ns(std::int64_t ns) noexcept {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    return t;
}

void sleep_one_millisecond() noexcept {
    timespec remaining{0, 1000000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace

// Every live stream of the process, so that a fork can hold all their locks.
// Never destroyed: a stream whose Python owner is never freed (one held by a
// daemon thread at exit) outlives static destruction.
struct Stream::Registry {
    std::mutex mutex;                   // guards streams; taken before any stream lock
    std::vector<Stream*> streams;

    static Registry& get() {
        static Registry* const registry = [] {
            auto* r = new Registry;
            if (::pthread_atfork(&Stream::before_fork, &Stream::after_fork_in_parent,
                                 &Stream::after_fork_in_child) != 0) {
                delete r;
                throw std::bad_alloc();
            }
            return r;
        }();
        return *registry;
    }
};

// fork() copies only the calling thread. Holding every stream's two locks
// across it means that no lock is copied in the middle of another thread's
// critical section (the worker's batch cut, say), so the child can still lock
// them. The calling thread holds at most the interpreter lock here; every
// holder of a stream lock finishes without waiting for anything else.
void Stream::before_fork() noexcept {
    Registry& r = Registry::get();
    r.mutex.lock();
    for (Stream* s : r.streams) {
        s->queue_mutex.lock();
        s->state_mutex.lock();
    }
}

void Stream::after_fork_in_parent() noexcept {
    Registry& r = Registry::get();
    for (Stream* s : r.streams) {
        s->state_mutex.unlock();
        s->queue_mutex.unlock();
    }
    r.mutex.unlock();
}

// The child has no worker threads: every stream is Closing from here on, so
// next_batch never waits for a cut that cannot come, and stop() releases the
// parent's thread handle without joining it.
void Stream::after_fork_in_child() noexcept {
    Registry& r = Registry::get();
    for (Stream* s : r.streams) {
        s->forked_child = true;
        s->closed = true;
        s->drained = true;
        s->worker_sleeping = false;  // there is no worker to wake here
        s->state_mutex.unlock();
        s->queue_mutex.unlock();
    }
    r.mutex.unlock();
}

Stream::Stream(std::string host_, std::uint16_t port_, std::uint32_t batch_size_,
                           std::uint64_t linger_ms_, std::uint32_t capacity_, bool udp_mode_,
                           std::uint32_t receiver_count)
    : host(std::move(host_)),
      port(port_),
      batch_size(batch_size_ == 0 ? 1 : batch_size_),
      linger_ms(linger_ms_),
      capacity(capacity_ == 0 ? 1 : capacity_),
      udp_mode(udp_mode_) {
    if (udp_mode) {
        bind_udp(receiver_count);
        worker_wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (worker_wake_fd < 0) {
            close_sockets();
            throw std::runtime_error("udp socket create failed");
        }
    }
    try {
        {
            Registry& r = Registry::get();
            std::lock_guard<std::mutex> lock(r.mutex);
            r.streams.push_back(this);
        }
        try {
            worker = std::thread([this] { worker_loop(); });
        } catch (...) {
            unregister();
            throw;
        }
    } catch (...) {
        close_sockets();
        close_wake_fd();
        throw;
    }
    try {
        start_receivers();
    } catch (...) {
        stop(true);
        unregister();
        close_wake_fd();
        throw;
    }
}

void Stream::close_wake_fd() noexcept {
    if (worker_wake_fd >= 0) ::close(worker_wake_fd);
    worker_wake_fd = -1;
}

void Stream::start_receivers() {
    for (std::size_t k = 1; k < receivers.size(); ++k) {
        Receiver* r = receivers[k].get();
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            ++active_receivers;
        }
        try {
            r->thread = std::thread([this, r] { receiver_loop(*r); });
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(queue_mutex);
                --active_receivers;
            }
            queue_cv.notify_all();
            throw;
        }
    }
}

void Stream::close_sockets() noexcept {
    for (auto& r : receivers) {
        if (r->fd >= 0) ::close(r->fd);
        r->fd = -1;
    }
}

void Stream::unregister() noexcept {
    Registry& r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::erase(r.streams, this);
}

Stream::~Stream() {
    try {
        stop(true);
    } catch (...) {
        // A destructor must not throw; stop() only fails on a lock error.
    }
    unregister();
    // The worker is joined (or, in a forked child, never ran here).
    close_wake_fd();
}

std::unique_ptr<Stream> Stream::manual(std::uint32_t batch_size_, std::uint64_t linger_ms_,
                                                   std::uint32_t capacity_) {
    return std::make_unique<Stream>("manual", 0, batch_size_, linger_ms_, capacity_, false);
}

std::unique_ptr<Stream> Stream::udp(const std::string& host_, std::uint16_t port_,
                                                std::uint32_t batch_size_, std::uint64_t linger_ms_,
                                                std::uint32_t capacity_) {
    return std::make_unique<Stream>(host_, port_, batch_size_, linger_ms_, capacity_, true);
}

std::unique_ptr<Stream> Stream::udp_receivers(const std::string& host_, std::uint16_t port_,
                                                          std::uint32_t receiver_count, std::uint32_t batch_size_,
                                                          std::uint64_t linger_ms_, std::uint32_t capacity_) {
    if (receiver_count < 1 || receiver_count > kMaxReceivers) {
        throw std::invalid_argument("receivers must be from 1 to " + std::to_string(kMaxReceivers));
    }
    return std::make_unique<Stream>(host_, port_, batch_size_, linger_ms_, capacity_, true, receiver_count);
}

std::pair<std::string, std::uint16_t> Stream::address() const { return {host, port}; }

bool Stream::is_closed() const {
    std::lock_guard<std::mutex> lock(queue_mutex);
    return closed;
}

void Stream::close() { stop(true); }

void Stream::stop(bool join) {
    if (forked_child) {
        // A forked child: the worker thread was not copied into this process
        // (after_fork_in_child has already marked the stream closed and left
        // its locks free). Give up the parent's thread handle without joining
        // it, and close this process's copy of the socket; shutdown() would
        // act on the socket the parent still receives on.
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            closed = true;
        }
        if (worker.joinable()) {
            new std::thread(std::move(worker));  // intentionally leaked; joining would hang
        }
        for (auto& r : receivers) {
            if (r->thread.joinable()) new std::thread(std::move(r->thread));  // leaked likewise
        }
        close_sockets();
        return;
    }
    // A concurrent stop() may hold stop_mutex while it joins: a binding
    // must not hold a lock here that the joined threads could need (the
    // engine's threads take none but the stream's own).
    std::lock_guard<std::mutex> stopping(stop_mutex);
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (closed && !worker.joinable()) return;
        closed = true;
        wake_locked();
        signal_worker_locked();
    }
    queue_cv.notify_all();
    // Shut down, a socket wakes whoever waits on it and still hands out the
    // datagrams it holds: the receivers take those before the final cut.
    for (auto& r : receivers) {
        if (r->fd >= 0) ::shutdown(r->fd, SHUT_RDWR);
    }
    if (join) {
        // The receivers first: the worker's final cut waits for them.
        for (auto& r : receivers) {
            if (r->thread.joinable()) r->thread.join();
        }
        if (worker.joinable()) worker.join();
    }
    if (!worker.joinable()) {
        close_sockets();
        std::lock_guard<std::mutex> lock(queue_mutex);
        close_wake_fd();  // the worker that slept on it is gone; nothing writes it now
    }
}

namespace {
// A run of rows takes more rows only while it is this short and uncut, so
// that the rows a cut has moved out never pile up at a run's front.
constexpr std::size_t kRowRun = 1024;
}  // namespace

void Stream::append_row_locked(Row&& row) {
    if (events.empty() || events.back().batch || events.back().begin != 0 || events.back().size() >= kRowRun) {
        events.emplace_back();
    }
    Chunk& run = events.back();
    run.rows.push_back(std::move(row));
    run.end = run.rows.size();
    ++queued;
}

void Stream::push_event(Row row) {
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        Stats::add(counters.ingested, 1);
        if (queued >= capacity) {
            Stats::add(counters.dropped, 1);
            return;
        }
        append_row_locked(std::move(row));
        offered_locked();
    }
    queue_cv.notify_all();
}

void Stream::push_events(Rows rows) {
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        Stats::add(counters.ingested, rows.size());
        const std::size_t room = capacity > queued ? capacity - queued : 0;
        const std::size_t kept = std::min(room, rows.size());
        for (std::size_t i = 0; i < kept; ++i) append_row_locked(std::move(rows[i]));
        if (kept < rows.size()) Stats::add(counters.dropped, rows.size() - kept);
        if (kept > 0) offered_locked();
    }
    queue_cv.notify_all();
}

void Stream::push_batch(std::shared_ptr<const ColumnBatch> batch) {
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        const std::size_t n = batch ? batch->length : 0;
        Stats::add(counters.ingested, n);
        const std::size_t room = capacity > queued ? capacity - queued : 0;
        const std::size_t kept = std::min(room, n);
        if (kept > 0) {
            Chunk view;
            view.batch = std::move(batch);
            view.begin = 0;
            view.end = kept;
            events.push_back(std::move(view));
            queued += kept;
            offered_locked();
        }
        if (kept < n) Stats::add(counters.dropped, n - kept);
    }
    queue_cv.notify_all();
}

void Stream::push_chunks(std::vector<Chunk> chunks) {
    if (chunks.empty()) return;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        for (Chunk& chunk : chunks) {
            const std::size_t n = chunk.size();
            Stats::add(counters.ingested, n);
            const std::size_t room = capacity > queued ? capacity - queued : 0;
            const std::size_t kept = std::min(room, n);
            if (kept < n) Stats::add(counters.dropped, n - kept);
            if (kept == 0) continue;
            if (kept < n) chunk = chunk.take_front(kept);
            queued += kept;
            events.push_back(std::move(chunk));
        }
        if (queued > 0) offered_locked();
    }
    queue_cv.notify_all();
}

void Stream::offered_locked() noexcept {
    if (!worker_sleeping) return;
    worker_sleeping = false;  // one signal wakes it
    signal_worker_locked();
}

void Stream::signal_worker_locked() noexcept {
    if (udp_mode) {
        if (worker_wake_fd < 0) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(worker_wake_fd, &one, sizeof(one));
    } else {
        worker_signals.fetch_add(1, std::memory_order_relaxed);
        futex_wake_all(worker_signals);
    }
}

void Stream::drain_queue_locked(std::size_t limit) {
    std::size_t take = std::min(limit, queued);
    if (take == 0) return;
    std::vector<Chunk> batch;
    queued -= take;
    while (take > 0) {
        Chunk& front = events.front();
        if (front.size() <= take) {
            take -= front.size();
            batch.push_back(std::move(front));
            events.pop_front();
        } else {
            batch.push_back(front.take_front(take));
            take = 0;
        }
    }
    ready_batches.push_back(std::move(batch));
    Stats::add(counters.microbatches_emitted, 1);
    wake_locked();
    queue_cv.notify_all();
}

void Stream::cut_now() {
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        // After the final cut nothing is cut any more: events offered after
        // the close are counted and ignored.
        if (queued == 0 || drained) return;
        std::vector<Chunk> batch(std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));
        events.clear();
        queued = 0;
        ready_batches.push_back(std::move(batch));
        Stats::add(counters.microbatches_emitted, 1);
        wake_locked();
    }
    queue_cv.notify_all();
}

void Stream::wake_locked() noexcept {
    const std::uint64_t one = 1;
    for (const int fd : wakers) {
        // A full counter (2^64 - 2 wake-ups unread) or a closed descriptor
        // is nothing to report: the reader is woken already, or gone.
        [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof(one));
    }
}

void Stream::add_waker(int fd) {
    std::lock_guard<std::mutex> lock(queue_mutex);
    wakers.push_back(fd);
    // A reader registered after the close still has to see it.
    if (closed) wake_locked();
}

void Stream::remove_waker(int fd) noexcept {
    std::lock_guard<std::mutex> lock(queue_mutex);
    std::erase(wakers, fd);
}

bool Stream::wait_ready(std::uint64_t timeout_ms) {
    std::unique_lock<std::mutex> lock(queue_mutex);
    const auto ready = [this] { return !ready_batches.empty() || closed; };
    const auto deadline = deadline_after(timeout_ms);
    if (!deadline) {
        queue_cv.wait(lock, ready);
        return true;
    }
    return queue_cv.wait_until(lock, *deadline, ready);
}

void Stream::worker_turn(std::int64_t& last_flush_ns) {
    const std::int64_t now = steady_now_ns();
    if (now - last_flush_ns >= millis_to_ns_saturated(linger_ms)) {
        std::lock_guard<std::mutex> lock(queue_mutex);
        drain_queue_locked(batch_size);
        last_flush_ns = now;
    }
    // The turn's pause comes first: a UDP stream then receives what arrived
    // during it all at once, rather than waking for the first datagram and
    // receiving the rest a few at a time.
    sleep_one_millisecond();
    if (udp_mode && !receivers.empty() && receive_udp(*receivers.front()) > 0) return;
    wait_for_work(last_flush_ns);
}

void Stream::wait_for_work(std::int64_t& last_flush_ns) {
    const std::int64_t linger_ns = millis_to_ns_saturated(linger_ms);
    bool idle = false;
    {
        std::unique_lock<std::mutex> lock(queue_mutex);
        if (closed) return;
        const bool pending = queued > 0;
        // With events queued the next cut is due at last_flush + linger;
        // the saturated sum of a huge linger means never.
        const std::int64_t due_ns =
            last_flush_ns > std::numeric_limits<std::int64_t>::max() - linger_ns ? std::numeric_limits<std::int64_t>::max()
                                                                                : last_flush_ns + linger_ns;
        const std::int64_t now = steady_now_ns();
        if (pending && now >= due_ns) return;
        idle = !pending;
        const bool forever = !pending || due_ns == std::numeric_limits<std::int64_t>::max();
        const timespec timeout = timespec_of_ns(forever ? 0 : due_ns - now);
        // Offers wake a sleeping worker only when nothing is queued: with
        // events queued the deadline comes anyway. The close always does.
        worker_sleeping = !pending;
        const std::uint32_t seen = worker_signals.load(std::memory_order_relaxed);
        lock.unlock();
        if (!udp_mode) {
            futex_wait(worker_signals, seen, forever ? nullptr : &timeout);
        } else {
            // A datagram waiting also ends the sleep.
            pollfd fds[2] = {{receivers.front()->fd, POLLIN, 0}, {worker_wake_fd, POLLIN, 0}};
            ::ppoll(fds, 2, forever ? nullptr : &timeout, nullptr);
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(worker_wake_fd, &count, sizeof(count));
        }
        lock.lock();
        worker_sleeping = false;
    }
    // A worker that slept through cut periods with nothing queued resumes
    // their rhythm: the next cut comes at the period boundary it would have
    // had, as if the empty periods had been cut.
    const std::int64_t now = steady_now_ns();
    if (idle && linger_ns > 0 && now - last_flush_ns >= linger_ns) {
        last_flush_ns += (now - last_flush_ns) / linger_ns * linger_ns;
    }
}

void Stream::await_datagram(const Receiver& receiver) noexcept {
    pollfd fd{receiver.fd, POLLIN, 0};
    while (::poll(&fd, 1, -1) < 0 && errno == EINTR) {
    }
}

void Stream::receiver_loop(Receiver& receiver) noexcept {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            if (closed) break;
        }
        try {
            sleep_one_millisecond();
            // Nothing waiting: sleep until a datagram comes or the close
            // shuts the socket down (which wakes the wait).
            if (receive_udp(receiver) == 0) await_datagram(receiver);
        } catch (...) {
            // Out of memory: the turn is abandoned; the datagrams it had
            // parsed but not offered are lost (the next turn goes on).
            sleep_one_millisecond();
        }
    }
    receive_remaining(receiver);
    read_kernel_drops(receiver);
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        --active_receivers;
    }
    queue_cv.notify_all();
}

void Stream::worker_loop() noexcept {
    std::int64_t last_flush_ns = steady_now_ns();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            if (closed) break;
        }
        try {
            worker_turn(last_flush_ns);
        } catch (...) {
            // Out of memory or a lock error: the turn is abandoned (its rows
            // stay queued or counted), and the next turn tries again.
            sleep_one_millisecond();
        }
    }
    if (udp_mode && !receivers.empty()) {
        receive_remaining(*receivers.front());
        read_kernel_drops(*receivers.front());
    }
    {
        std::unique_lock<std::mutex> lock(queue_mutex);
        // Every receiver has offered its last events before the last cut,
        // which takes everything queued: nothing offered before the close
        // is left behind.
        queue_cv.wait(lock, [this] { return active_receivers == 0; });
        try {
            drain_queue_locked(queued);
        } catch (...) {
            // Out of memory: the queued events stay where they are.
        }
        drained = true;
        wake_locked();
    }
    queue_cv.notify_all();
}

void Stream::await_final_cut_locked(std::unique_lock<std::mutex>& lock) {
    // Woken by the worker's notification after it set `drained`; the
    // predicate absorbs every other wake-up. The worker and the receivers
    // notice `closed` within one turn each and wait for nothing else, so
    // this wait is short.
    if (closed) queue_cv.wait(lock, [this] { return drained; });
}

PlanSpec Stream::stream_plan(PlanSpec plan) const {
    const std::int64_t ahead = max_future_ms.load(std::memory_order_relaxed);
    if (ahead >= 0) plan.max_future_ms = ahead;
    return plan;
}

Stream::Diagnostics Stream::diagnostics() const {
    Diagnostics d{};
    auto load = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
    d.malformed_datagrams = load(malformed_datagrams);
    d.kernel_dropped = load(kernel_dropped);
    d.non_integer_times = load(counters.non_integer_times);
    d.events_without_mean = load(counters.events_without_mean);
    d.future_events = load(counters.future_events);
    d.lone_surrogates = load(lone_surrogates);
    std::lock_guard<std::mutex> lock(diagnostics_mutex);
    d.recent_malformed.assign(recent_malformed.begin(), recent_malformed.end());
    return d;
}

void Stream::note_malformed(std::string_view datagram, const char* reason) {
    malformed_datagrams.fetch_add(1, std::memory_order_relaxed);
    MalformedDatagram sample{std::string(datagram.substr(0, kMalformedSampleBytes)), reason};
    std::lock_guard<std::mutex> lock(diagnostics_mutex);
    if (recent_malformed.size() == kMalformedSamples) recent_malformed.pop_front();
    recent_malformed.push_back(std::move(sample));
}

void Stream::count_output(std::size_t rows) noexcept {
    Stats::add(counters.output_batches, 1);
    Stats::add(counters.output_rows, rows);
}

bool Stream::pull(const PlanSpec& plan, std::uint64_t timeout_ms, ProcessOutput& out, bool flush_closed) {
    std::vector<Chunk> chunks;
    bool was_closed = false;
    {
        std::unique_lock<std::mutex> lock(queue_mutex);
        if (ready_batches.empty() && !closed && timeout_ms > 0) {
            // One wait, ended by any notification, a spurious wake-up or the
            // deadline; the caller re-checks nothing and takes what is ready.
            if (const auto deadline = deadline_after(timeout_ms)) {
                queue_cv.wait_until(lock, *deadline);
            } else {
                queue_cv.wait(lock);
            }
        }
        // On a closed stream every batch has to be in before anything is
        // taken: windows are flushed only when nothing else comes out, and
        // a batch cut after that flush would open them again.
        await_final_cut_locked(lock);
        for (auto& cut : ready_batches) {
            for (Chunk& chunk : cut) chunks.push_back(std::move(chunk));
        }
        ready_batches.clear();
        was_closed = closed;
    }
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        out = process_chunks(counters, state, chunks, plan);
        if (out.passed_count() == 0 && out.windows.empty() && was_closed && flush_closed) {
            if (plan.windowed()) emit_windows(state, plan, true, out.windows);
        }
    }
    return out.passed_count() + out.windows.size() > 0;
}

ProcessOutput Stream::aggregate(std::shared_ptr<const ColumnBatch> batch, const PlanSpec& plan) {
    std::vector<Chunk> chunks;
    if (batch) {
        Chunk all;
        all.end = batch->length;
        all.batch = std::move(batch);
        chunks.push_back(std::move(all));
    }
    ProcessOutput out;
    std::lock_guard<std::mutex> lock(state_mutex);
    out = process_chunks(counters, state, chunks, plan);
    if (plan.windowed()) emit_windows(state, plan, true, out.windows);
    return out;
}

void Stream::count_stateless_aggregation(std::uint64_t taken, std::size_t rows) noexcept {
    Stats::add(counters.ingested, taken);
    Stats::add(counters.output_batches, 1);
    Stats::add(counters.output_rows, rows);
}

std::map<std::string, std::uint64_t> Stream::stats() const {
    std::lock_guard<std::mutex> lock(state_mutex);
    auto load = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
    return {
        {"ingested", load(counters.ingested)},
        {"dropped", load(counters.dropped)},
        {"microbatches_emitted", load(counters.microbatches_emitted)},
        {"output_batches", load(counters.output_batches)},
        {"output_rows", load(counters.output_rows)},
        {"duplicate_events", load(counters.duplicate_events)},
        {"late_events", load(counters.late_events)},
        {"checkpoint_saves", load(counters.checkpoint_saves)},
        {"checkpoint_loads", load(counters.checkpoint_loads)},
        {"open_windows", state.windows.size()},
        {"seen_event_ids", state.seen_event_ids.size()},
    };
}

}  // namespace ravik
