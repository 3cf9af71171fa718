#!/usr/bin/python3
"""A TCP relay on loopback that holds the first connection's upload back, so
that a test can act while a client is in the middle of sending.

  slow_relay.py --to PORT [--rate BYTES_PER_SECOND]

Listens on 127.0.0.1 (a free port), prints "READY <port>" on stdout and
relays every connection to 127.0.0.1:PORT. What the client of the first
connection sends goes on at --rate bytes a second (default 2000000); later
connections and the server's replies are not held back. When one side
closes, the other is closed too. Serves until killed (SIGTERM).
"""

import argparse
import asyncio
import signal
import sys


async def pump(reader, writer, rate):
    loop = asyncio.get_running_loop()
    try:
        while True:
            start = loop.time()
            data = await reader.read(65536)
            if not data:
                break
            writer.write(data)
            await writer.drain()
            if rate:
                wait = len(data) / rate - (loop.time() - start)
                if wait > 0:
                    await asyncio.sleep(wait)
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--to", type=int, required=True)
    p.add_argument("--rate", type=int, default=2000000)
    opts = p.parse_args()
    connections = 0

    async def serve(client_reader, client_writer):
        nonlocal connections
        connections += 1
        rate = opts.rate if connections == 1 else 0
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", opts.to)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, rate),
                             pump(server_reader, client_writer, 0))

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    print("READY %d" % server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
    sys.exit(0)
