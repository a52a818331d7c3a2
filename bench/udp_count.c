/* Bare UDP receiver for the ingest ceiling: binds 127.0.0.1:0 with the same
 * 16 MiB receive buffer a UDP stream asks for, prints its port, then counts
 * datagrams with blocking recvmmsg (64 per call) and does nothing else.
 * It stops once EXPECTED datagrams have come, or when none has come for
 * IDLE_MS after the first one (or for 5 s before it), and prints the count.
 *
 *   udp_count EXPECTED IDLE_MS
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
#include <unistd.h>

#define CHUNK 64
#define SLOT 2048

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s EXPECTED IDLE_MS\n", argv[0]);
        return 2;
    }
    long expected = atol(argv[1]);
    long idle_ms = atol(argv[2]);

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

    struct timeval first_wait = {5, 0};
    struct timeval idle = {idle_ms / 1000, (idle_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &first_wait, sizeof(first_wait));

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
    while (count < expected) {
        /* MSG_WAITFORONE: block for the first datagram, then take what is there. */
        int got = recvmmsg(fd, msgs, CHUNK, MSG_WAITFORONE, NULL);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break; /* idle: the sender is done */
            perror("recvmmsg");
            return 1;
        }
        if (count == 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof(idle));
        count += got;
    }
    printf("%ld\n", count);
    close(fd);
    return 0;
}
