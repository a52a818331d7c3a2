"""Receiving a multicast group (here over the loopback interface)."""

import socket

import ravik

GROUP = "239.255.0.7"

with ravik.NativeStream.udp(GROUP, 0, batch_size=1024, linger_ms=5, capacity=10_000) as stream:
    ravik.join_multicast(stream, GROUP, interface="127.0.0.1")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
        sender.sendto(b'{"quote": 101.5, "timestamp": 1}', (GROUP, stream.address()[1]))
    for batch in ravik.batches(stream, ravik.plan(), timeout_ms=1000):
        print(batch)  # {'quote': [101.5], 'timestamp': [1]}
        break
