#!/usr/bin/python3
"""A TCP proxy on 127.0.0.1 that delays each direction, for latency benchmarks (netem is not
available here).

    delayproxy.py LISTEN_PORT TARGET_PORT DELAY_MS

LISTEN_PORT 0 picks a free port; the chosen port is printed on the first line. Stops by itself
after 15 minutes.
"""
import asyncio
import sys
import time

TARGET, DELAY = int(sys.argv[2]), float(sys.argv[3]) / 1000.0


async def pump(reader, writer):
    queue = asyncio.Queue()

    async def receive():
        while True:
            data = await reader.read(262144)
            await queue.put((time.monotonic() + DELAY, data))
            if not data:
                break

    async def send():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                writer.close()
                break
            writer.write(data)
            await writer.drain()

    await asyncio.gather(receive(), send())


async def handle(client_reader, client_writer):
    server_reader, server_writer = await asyncio.open_connection("127.0.0.1", TARGET)
    await asyncio.gather(pump(client_reader, server_writer), pump(server_reader, client_writer),
                         return_exceptions=True)


async def main():
    server = await asyncio.start_server(handle, "127.0.0.1", int(sys.argv[1]))
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await asyncio.wait_for(server.serve_forever(), timeout=900)


try:
    asyncio.run(main())
except Exception:
    pass
