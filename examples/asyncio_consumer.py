"""An asyncio program that consumes a UDP stream while other tasks keep running."""

import asyncio
import json
import socket

import ravik


async def send(port: int) -> None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        for i in range(5):
            sock.sendto(json.dumps({"sensor": "a", "value": i, "timestamp": 1_000 * i}).encode(), ("127.0.0.1", port))
            await asyncio.sleep(0.05)


async def main() -> None:
    plan = ravik.plan()  # pass every event through
    with ravik.NativeStream.udp("127.0.0.1", 0, batch_size=1024, linger_ms=5, capacity=10_000) as stream:
        sender = asyncio.create_task(send(stream.address()[1]))
        # Close the stream a little after the last datagram; the loop below then ends.
        asyncio.get_running_loop().call_later(0.5, stream.close)
        async for batch in ravik.abatches(stream, plan):  # waits on the event loop, never blocks it
            print(batch["value"])
        await sender


asyncio.run(main())
