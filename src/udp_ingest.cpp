// UDP reception of a NativeStream: socket set-up and the worker's receive step.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "native_stream.hpp"

namespace ravik {

void NativeStream::bind_udp() {}

void NativeStream::receive_udp(int wait_ms) {
    pollfd p{socket_fd, POLLIN, 0};
    ::poll(&p, 1, wait_ms);
}

}  // namespace ravik
