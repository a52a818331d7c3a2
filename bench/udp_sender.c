/* Paced UDP sender for bench_udp.py: sends COUNT flat JSON objects of about
 * 100 bytes to HOST:PORT at RATE datagrams per second, in sendmmsg bursts of
 * up to 32, and prints how many it sent and the seconds it took. With a fifth
 * argument "stamp", each object also carries "sent_ns": CLOCK_MONOTONIC in
 * nanoseconds when its burst was built (for latency measurements). */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define BURST 32

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc != 5 && !(argc == 6 && strcmp(argv[5], "stamp") == 0)) {
        fprintf(stderr, "usage: %s HOST PORT RATE COUNT [stamp]\n", argv[0]);
        return 2;
    }
    const int stamp = argc == 6;
    const char* host = argv[1];
    int port = atoi(argv[2]);
    double rate = atof(argv[3]);
    long count = atol(argv[4]);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        return 1;
    }
    int sndbuf = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        fprintf(stderr, "bad host\n");
        return 1;
    }
    if (connect(fd, (struct sockaddr*)&addr, sizeof(addr)) != 0) {
        perror("connect");
        return 1;
    }

    static char bufs[BURST][160];
    struct iovec iov[BURST];
    struct mmsghdr msgs[BURST];
    const char* syms[] = {"AAPL", "MSFT", "GOOG", "AMZN"};

    double start = now_s();
    long sent = 0;
    while (sent < count) {
        /* Pace: the burst starting at datagram `sent` is due at start + sent/rate. */
        double due = start + (double)sent / rate;
        double t;
        while ((t = now_s()) < due) {
            if (due - t > 200e-6) {
                struct timespec nap = {0, 100000};
                nanosleep(&nap, NULL);
            }
        }
        int n = 0;
        for (; n < BURST && sent + n < count; ++n) {
            long seq = sent + n;
            if (stamp) {
                struct timespec ts;
                clock_gettime(CLOCK_MONOTONIC, &ts);
                int len = snprintf(bufs[n], sizeof(bufs[n]), "{\"seq\":%ld,\"sent_ns\":%lld,\"sym\":\"%s\"}", seq,
                                   (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec, syms[seq & 3]);
                iov[n].iov_base = bufs[n];
                iov[n].iov_len = (size_t)len;
                memset(&msgs[n], 0, sizeof(msgs[n]));
                msgs[n].msg_hdr.msg_iov = &iov[n];
                msgs[n].msg_hdr.msg_iovlen = 1;
                continue;
            }
            int len = snprintf(bufs[n], sizeof(bufs[n]),
                               "{\"seq\":%ld,\"timestamp\":%ld,\"sym\":\"%s\",\"px\":%ld.%02ld,\"qty\":%ld,\"side\":\"buy\"}",
                               seq, 1700000000000L + seq, syms[seq & 3], 100 + (seq % 50), seq % 100, 1 + (seq % 500));
            iov[n].iov_base = bufs[n];
            iov[n].iov_len = (size_t)len;
            memset(&msgs[n], 0, sizeof(msgs[n]));
            msgs[n].msg_hdr.msg_iov = &iov[n];
            msgs[n].msg_hdr.msg_iovlen = 1;
        }
        int done = 0;
        while (done < n) {
            int r = sendmmsg(fd, msgs + done, (unsigned)(n - done), 0);
            if (r < 0) {
                perror("sendmmsg");
                return 1;
            }
            done += r;
        }
        sent += n;
    }
    double elapsed = now_s() - start;
    printf("%ld %.6f\n", sent, elapsed);
    close(fd);
    return 0;
}
