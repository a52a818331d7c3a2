/* Bare UDP receiver for the ingest ceiling: binds 127.0.0.1:0 with the same
 * 16 MiB receive buffer a UDP stream asks for, prints its port, then counts
 * datagrams with non-blocking recvmmsg (64 per call) and does nothing else;
 * an empty socket costs a pause of PAUSE_US (0: spin). Never sleeping in the
 * socket spares the sender (which runs the loopback delivery) a wake-up per
 * datagram. It stops once EXPECTED datagrams have come, or when none has come
 * for IDLE_MS after the first one (or for 5 s before it), and prints the count.
 *
 *   udp_count EXPECTED IDLE_MS PAUSE_US
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#define CHUNK 64
#define SLOT 2048

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s EXPECTED IDLE_MS PAUSE_US\n", argv[0]);
        return 2;
    }
    long expected = atol(argv[1]);
    long idle_ms = atol(argv[2]);
    long pause_us = atol(argv[3]);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        return 1;
    }
    int size = 16 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)); /* refused unless privileged: harmless */
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (bind(fd, (struct sockaddr*)&addr, sizeof(addr)) != 0) {
        perror("bind");
        return 1;
    }
    socklen_t len = sizeof(addr);
    getsockname(fd, (struct sockaddr*)&addr, &len);
    printf("%d\n", ntohs(addr.sin_port));
    fflush(stdout);

    static char bufs[CHUNK][SLOT];
    struct iovec iov[CHUNK];
    struct mmsghdr msgs[CHUNK];
    for (int i = 0; i < CHUNK; ++i) {
        iov[i].iov_base = bufs[i];
        iov[i].iov_len = SLOT;
        memset(&msgs[i], 0, sizeof(msgs[i]));
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    long count = 0;
    double last = now_s();
    while (count < expected) {
        int got = recvmmsg(fd, msgs, CHUNK, MSG_DONTWAIT, NULL);
        if (got > 0) {
            count += got;
            last = now_s();
            continue;
        }
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            perror("recvmmsg");
            return 1;
        }
        if (now_s() - last > (count == 0 ? 5.0 : (double)idle_ms / 1000.0)) break; /* the sender is done */
        if (pause_us > 0) {
            struct timespec nap = {0, pause_us * 1000};
            nanosleep(&nap, NULL);
        }
    }
    printf("%ld\n", count);
    close(fd);
    return 0;
}
