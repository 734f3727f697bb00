#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that holds every piece of data for a fixed delay
in each direction, as a long network path would; throughput is not limited.

    delay_relay.py LISTEN_PORT TARGET_PORT DELAY_MS [--ftp]

With --ftp the relayed connections are FTP control connections: a passive
reply ("227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)") from the server is
rewritten to name a fresh relay port of this process, which relays the data
connection to the server's data port with the same delay. So an FTP client's
data connections take the long path too.

Connection handshakes themselves are not delayed (the relay accepts at
once); every byte after them is. Prints "ready" once listening.
"""
import asyncio
import re
import sys

PASV = re.compile(rb"^227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")


async def pump(reader, writer, delay, rewrite=None):
    """Copies reader to writer, every piece `delay` seconds after it came."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def feed():
        pending = b""
        while True:
            data = await reader.read(262144)
            if not data:
                if pending:
                    await queue.put((loop.time() + delay, pending))
                await queue.put((loop.time() + delay, None))
                return
            if rewrite is not None:  # whole lines only, so a reply can be rewritten
                pending += data
                cut = pending.rfind(b"\n") + 1
                if cut == 0:
                    continue
                data, pending = b"".join([await rewrite(l) for l in pending[:cut].splitlines(True)]), pending[cut:]
            await queue.put((loop.time() + delay, data))

    feeder = asyncio.ensure_future(feed())
    try:
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        feeder.cancel()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass


async def relay(client_reader, client_writer, target_port, delay, ftp):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError:
        client_writer.close()
        return
    rewrite = None
    if ftp:
        async def rewrite(line):
            found = PASV.match(line)
            if not found:
                return line
            data_port = int(found.group(5)) * 256 + int(found.group(6))
            listener = await asyncio.start_server(
                lambda r, w: relay(r, w, data_port, delay, False), "127.0.0.1", 0)
            port = listener.sockets[0].getsockname()[1]
            return b"227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n" % (port // 256, port % 256)
    await asyncio.gather(pump(client_reader, server_writer, delay),
                         pump(server_reader, client_writer, delay, rewrite))
    for w in (client_writer, server_writer):
        w.close()


async def main():
    listen_port, target_port, delay = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]) / 1000
    ftp = "--ftp" in sys.argv[4:]
    server = await asyncio.start_server(lambda r, w: relay(r, w, target_port, delay, ftp),
                                        "127.0.0.1", listen_port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
