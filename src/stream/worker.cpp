// The stream's threads: the worker (batch cuts by time, receiving on the
// first socket, sleeping while idle, the final cut) and the further receivers.
#include "stream.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "timing.hpp"

namespace ravik {

using namespace timing;

void Stream::worker_turn(std::int64_t& last_flush_ns) {
    const std::int64_t now = steady_now_ns();
    if (now - last_flush_ns >= millis_to_ns_saturated(linger_ms)) {
        std::lock_guard<std::mutex> lock(queue_mutex);
        std::size_t take = std::min<std::size_t>(batch_size, queued);
        if (const std::uint64_t bound = max_pending.load(std::memory_order_relaxed); bound > 0) {
            // Of a cut beyond the backlog's room, the oldest events are kept
            // and the newer ones dropped, so that what comes out has no gap.
            const std::size_t room = bound > ready_events ? static_cast<std::size_t>(bound - ready_events) : 0;
            if (take > room) {
                drain_queue_locked(room);
                discard_front_locked(take - room);
                pending_dropped.fetch_add(take - room, std::memory_order_relaxed);
                take = 0;
            }
        }
        if (take > 0) drain_queue_locked(take);
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

}  // namespace ravik
