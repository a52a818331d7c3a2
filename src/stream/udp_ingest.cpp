// Datagram ingestion of a Stream: socket set-up, multicast membership,
// the worker's receive step, and recorded datagrams given as lines of text.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sock_diag.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "datagram_batch.hpp"
#include "flat_json.hpp"
#include "stream.hpp"

namespace ravik {

namespace {

// recvmmsg takes up to kChunk datagrams per call into kChunk slots of
// kSlotBytes each: more than the largest IPv4 UDP payload, so no datagram is
// ever truncated.
constexpr std::size_t kChunk = 64;
constexpr std::size_t kSlotBytes = 65536;
// Datagrams taken per worker turn at most, so that a sender that never pauses
// cannot keep the worker from its batch cuts or from noticing close. Turns
// come about once a millisecond: 4,096 a turn is over 4 million a second.
constexpr std::size_t kMaxPerTurn = 4096;
// Receive buffer asked of the system. Refusal is harmless: a smaller buffer
// only means a sender outpacing the worker loses datagrams sooner.
constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;

void close_quietly(int& fd) noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void enlarge_receive_buffer(int fd) noexcept {
    int size = kReceiveBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    int granted = 0;
    socklen_t len = sizeof(granted);
    // The system reports twice the usable size. Capped below the request (by
    // the system-wide maximum), a privileged process may still go past it.
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 && granted < kReceiveBufferBytes) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
    }
}


}  // namespace

void Stream::bind_udp(std::uint32_t count) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    receivers.reserve(count);
    for (std::uint32_t k = 0; k < count; ++k) {
        auto r = std::make_unique<Receiver>();
        r->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (r->fd < 0) {
            const int err = errno;
            close_sockets();
            throw SocketError("udp socket create failed", err);
        }
        if (k == 0) {
            // Dotted-quad text only; no name is resolved. A NUL inside the
            // text would end it early for inet_pton, so such a text is not an
            // address either.
            if (host.find('\0') != std::string::npos || ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
                close_quietly(r->fd);
                throw std::invalid_argument("invalid IPv4 address");
            }
        }
        // Several sockets share the address only with SO_REUSEPORT, set on
        // every one of them before it is bound; the kernel then spreads the
        // datagrams over them by a hash of the sender's address and port. A
        // single socket keeps the plain bind (a port in use stays refused).
        const int one = 1;
        if ((count > 1 && ::setsockopt(r->fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) != 0) ||
            ::bind(r->fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
            const int err = errno;
            close_quietly(r->fd);
            close_sockets();
            throw SocketError("udp bind failed", err);
        }
        if (k == 0) {
            // The rest bind the port this one got (port 0 picks a free one).
            sockaddr_in bound{};
            socklen_t bound_len = sizeof(bound);
            if (::getsockname(r->fd, reinterpret_cast<sockaddr*>(&bound), &bound_len) == 0 &&
                bound.sin_family == AF_INET) {
                char text[INET_ADDRSTRLEN] = {};
                if (::inet_ntop(AF_INET, &bound.sin_addr, text, sizeof(text)) != nullptr) {
                    host = text;
                    port = ntohs(bound.sin_port);
                }
                addr.sin_port = bound.sin_port;
            }
        }
        const int flags = ::fcntl(r->fd, F_GETFL, 0);
        ::fcntl(r->fd, F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK);
        enlarge_receive_buffer(r->fd);
        receivers.push_back(std::move(r));
    }
}

std::size_t Stream::receive_udp(Receiver& receiver) {
    if (receiver.fd < 0) return 0;
    if (!receiver.buffer) receiver.buffer.reset(new char[kChunk * kSlotBytes]);
    char* const buffer = receiver.buffer.get();
    std::array<iovec, kChunk> iov{};
    std::array<mmsghdr, kChunk> msgs{};
    for (std::size_t i = 0; i < kChunk; ++i) {
        iov[i].iov_base = buffer + i * kSlotBytes;
        iov[i].iov_len = kSlotBytes;
    }

    // Every datagram waiting now (up to a bound), parsed without any lock;
    // the turn's events are offered at once, in arrival order, under one
    // hold of the queue lock with one notification.
    std::size_t taken = 0;
    while (taken < kMaxPerTurn) {
        for (std::size_t i = 0; i < kChunk; ++i) {
            msgs[i] = mmsghdr{};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;  // the sender's address is not asked for
        }
        const int got = ::recvmmsg(receiver.fd, msgs.data(), static_cast<unsigned>(kChunk), MSG_DONTWAIT, nullptr);
        if (got <= 0) break;  // nothing waiting, shut down, or an error: nothing to report
        const auto count = static_cast<std::size_t>(got);
        taken += count;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t len = msgs[i].msg_len;
            if (len == 0 || len > kSlotBytes) {  // an empty datagram carries no event
                note_malformed({}, "empty datagram");
                continue;
            }
            const std::string_view datagram(buffer + i * kSlotBytes, len);
            const char* reason = nullptr;
            if (!receiver.batcher.add(datagram, &reason)) note_malformed(datagram, reason);
        }
        if (count < kChunk) break;  // the socket had no more waiting
    }
    if (taken > 0) {
        push_chunks(receiver.batcher.take());
        count_lone_surrogates(receiver.batcher);
        read_kernel_drops(receiver);
    }
    return taken;
}

void Stream::receive_remaining(Receiver& receiver) noexcept {
    // A bound, since a sender may go on sending to the shut-down socket: a
    // receive buffer holds far fewer datagrams than this.
    constexpr std::size_t kMaxTurns = 256;
    try {
        for (std::size_t turn = 0; turn < kMaxTurns; ++turn) {
            if (receive_udp(receiver) < kMaxPerTurn) break;
        }
    } catch (...) {
        // Out of memory: what was not received stays in the socket.
    }
}

namespace {

bool parse_ipv4(const std::string& text, in_addr& out) noexcept {
    // As for the bind address: dotted-quad text only, no NUL inside.
    return text.find('\0') == std::string::npos && ::inet_pton(AF_INET, text.c_str(), &out) == 1;
}

bool blank(std::string_view line) noexcept {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

void Stream::join_multicast(const std::string& group, const std::string& interface_address) {
    ip_mreq request{};
    if (!parse_ipv4(group, request.imr_multiaddr) || !IN_MULTICAST(ntohl(request.imr_multiaddr.s_addr))) {
        throw std::invalid_argument("invalid IPv4 multicast group");
    }
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    if (!interface_address.empty() && !parse_ipv4(interface_address, request.imr_interface)) {
        throw std::invalid_argument("invalid IPv4 address");
    }
    if (!udp_mode) throw std::invalid_argument("not a UDP stream");
    // stop_mutex keeps close() from closing the socket under the call; a
    // close in progress holds it while it joins the worker (so this call may
    // block until that close ends).
    std::lock_guard<std::mutex> stopping(stop_mutex);
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (closed || receivers.empty() || receivers.front()->fd < 0) throw std::runtime_error("stream is closed");
    }
    // Every socket of the port receives its share of the group's datagrams.
    for (const auto& r : receivers) {
        if (::setsockopt(r->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) != 0) {
            const int err = errno;
            throw std::runtime_error(std::string("multicast join failed: ") + std::strerror(err));
        }
    }
}

std::size_t Stream::ingest_lines(std::string_view text, bool final) {
    // Its own batcher: the receivers' belong to their threads, and the
    // schema a file's lines share is learnt from its first lines anyway.
    DatagramBatcher lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t newline = text.find('\n', pos);
        if (newline == std::string_view::npos && !final) break;
        const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
        std::string_view line = text.substr(pos, end - pos);
        pos = newline == std::string_view::npos ? text.size() : newline + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (blank(line)) continue;
        const char* reason = nullptr;
        if (!lines.add(line, &reason)) note_malformed(line, reason);
    }
    push_chunks(lines.take());
    count_lone_surrogates(lines);
    return pos;
}

void Stream::ingest_datagrams(const std::vector<std::string_view>& texts,
                                    const std::vector<std::int64_t>& stamps) {
    DatagramBatcher batcher;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string_view text = texts[i];
        if (text.empty()) {
            note_malformed({}, "empty datagram");
            continue;
        }
        const char* reason = nullptr;
        const bool taken = stamps.empty() ? batcher.add(text, &reason) : batcher.add(text, &reason, stamps[i]);
        if (!taken) note_malformed(text, reason);
    }
    push_chunks(batcher.take());
    count_lone_surrogates(batcher);
}

void Stream::count_lone_surrogates(DatagramBatcher& batcher) noexcept {
    if (const std::uint64_t n = batcher.take_lone_surrogates()) lone_surrogates.fetch_add(n, std::memory_order_relaxed);
}

void Stream::read_kernel_drops(Receiver& receiver) noexcept {
    // SO_MEMINFO reports the socket's drop count (datagrams the kernel
    // discarded, above all for want of room in the receive buffer) at the
    // moment of asking, unlike SO_RXQ_OVFL, which tells it only with the next
    // datagram received. The count is 32 bits wide; it is widened here by
    // adding each step modulo 2^32.
    if (receiver.fd < 0) return;
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof(info);
    if (::getsockopt(receiver.fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0 ||
        len < sizeof(std::uint32_t) * (SK_MEMINFO_DROPS + 1)) {
        return;
    }
    const std::uint32_t now = info[SK_MEMINFO_DROPS];
    const std::uint32_t step = now - receiver.last_drops;
    receiver.last_drops = now;
    if (step != 0) kernel_dropped.fetch_add(step, std::memory_order_relaxed);
}

}  // namespace ravik
