// Stream: construction, shutdown, fork handling, the bounded queue and its
// batch cuts, wakers.
#include "stream.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "timing.hpp"

namespace ravik {

using namespace timing;


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
        bool kept_any = false;
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
            kept_any = true;
        }
        if (kept_any) offered_locked();
    }
    queue_cv.notify_all();
}

void Stream::arrived_locked() noexcept { last_arrival_ms.store(wall_now_ms(), std::memory_order_relaxed); }

std::int64_t Stream::wall_now_ms() const noexcept {
    const std::int64_t fixed = clock_override_ms.load(std::memory_order_relaxed);
    if (fixed != kTimeUnset) return fixed;
    // The coarse clock (a few ms of resolution, no system call) is enough
    // for idleness measured in hundreds of ms, and costs an offer nothing.
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void Stream::offered_locked() noexcept {
    arrived_locked();
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
    ready_events += take;
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

void Stream::discard_front_locked(std::size_t n) noexcept {
    n = std::min(n, queued);
    queued -= n;
    while (n > 0) {
        Chunk& front = events.front();
        if (front.size() <= n) {
            n -= front.size();
            events.pop_front();
        } else {
            front.begin += n;  // a view or a run: the events before `begin` are gone
            n = 0;
        }
    }
}

void Stream::cut_now() {
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        // After the final cut nothing is cut any more: events offered after
        // the close are counted and ignored.
        if (queued == 0 || drained) return;
        std::vector<Chunk> batch(std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));
        events.clear();
        ready_events += queued;
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

}  // namespace ravik
