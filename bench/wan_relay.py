#!/usr/bin/env python3
"""A TCP relay on loopback that behaves like a slow link: a delay each way, optionally a rate cap.

  wan_relay.py --to HOST:PORT [--listen PORT] [--delay-ms 20] [--rate-mbit N]

Listens on 127.0.0.1 (PORT 0: a free port) and prints "listening on PORT" once it accepts. Every
connection is relayed to HOST:PORT. Each byte reaches the other side --delay-ms after the relay took it,
in both directions, and a new connection pays the round trip of its handshake (twice the delay) before
its first byte goes on, as over a real link. With --rate-mbit the bytes of all connections together go
at most that fast in each direction (a shared link), taken in order. At most a few MiB per direction
and connection wait in the relay; beyond that it stops reading, so the sender feels the link's pace.
Ends on SIGTERM or SIGINT.
"""
import argparse
import asyncio
import signal
import sys

CHUNK = 256 * 1024
QUEUED_CHUNKS = 16


class Link:
    """One direction of the link shared by every connection: its rate cap, if any."""

    def __init__(self, bytes_per_second):
        self.rate = bytes_per_second
        self.free_at = 0.0

    async def send(self, size):
        if not self.rate:
            return
        loop = asyncio.get_running_loop()
        now = loop.time()
        start = max(now, self.free_at)
        self.free_at = start + size / self.rate
        if self.free_at > now:
            await asyncio.sleep(self.free_at - now)


async def pump(reader, writer, delay, link):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(maxsize=QUEUED_CHUNKS)

    async def take():
        try:
            while True:
                data = await reader.read(CHUNK)
                if data:
                    await link.send(len(data))
                await queue.put((loop.time() + delay, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            await queue.put((loop.time(), None))

    async def give():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                writer.transport.abort()
                return
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    taker = asyncio.ensure_future(take())
    try:
        await give()
    except (ConnectionError, OSError):
        writer.transport.abort()
    finally:
        taker.cancel()


async def relay(client_reader, client_writer, target, delay, links):
    try:
        server_reader, server_writer = await asyncio.open_connection(*target)
    except OSError:
        client_writer.transport.abort()
        return
    # The handshake of a real link: one round trip before the client's first byte can leave.
    await asyncio.sleep(2 * delay)
    await asyncio.gather(pump(client_reader, server_writer, delay, links[0]),
                         pump(server_reader, client_writer, delay, links[1]), return_exceptions=True)
    for writer in (client_writer, server_writer):
        writer.close()


async def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--to", required=True)
    parser.add_argument("--listen", type=int, default=0)
    parser.add_argument("--delay-ms", type=float, default=20.0)
    parser.add_argument("--rate-mbit", type=float, default=0.0)
    options = parser.parse_args(argv)
    host, _, port = options.to.rpartition(":")
    target = (host, int(port))
    delay = options.delay_ms / 1000.0
    rate = options.rate_mbit * 1e6 / 8
    links = (Link(rate), Link(rate))
    server = await asyncio.start_server(lambda r, w: relay(r, w, target, delay, links), "127.0.0.1", options.listen,
                                        limit=CHUNK)
    print("listening on %d" % server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set)
    async with server:
        await stop.wait()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv[1:])))
