"""A scripted mail server that is slow the way wide-area servers are: it
greets GREETING_MS after a connection is accepted and answers each command
REPLY_MS after it came. One asyncio loop holds every connection, so
thousands at once cost it little more than the bytes it writes.

usage: slow_smtp.py ADDRESS GREETING_MS REPLY_MS
Prints "ready" once it listens on ADDRESS:25. helo gets 250, vrfy 250 (the
address is known), quit 221 and the end of the connection, anything else
502. Runs until killed.
"""

import asyncio
import socket
import sys


async def serve(reader, writer, greeting, reply):
    try:
        await asyncio.sleep(greeting)
        writer.write(b"220 slow.scale.bench.test ESMTP\r\n")
        while True:
            line = await reader.readline()
            if not line:
                break
            await asyncio.sleep(reply)
            verb = line.split(b" ", 1)[0].strip().lower()
            if verb == b"helo":
                writer.write(b"250 slow.scale.bench.test\r\n")
            elif verb == b"vrfy":
                writer.write(b"250 2.0.0 " + line[5:].strip() + b"\r\n")
            elif verb == b"quit":
                writer.write(b"221 2.0.0 bye\r\n")
                await writer.drain()
                break
            else:
                writer.write(b"502 5.5.2 not here\r\n")
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def main(address, greeting, reply):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, 25))
    # Thousands of clients connect within a few milliseconds of each other.
    listener.listen(65535)
    # backlog again: asyncio calls listen() itself, with 100 unless told.
    server = await asyncio.start_server(lambda r, w: serve(r, w, greeting, reply), sock=listener,
                                        backlog=65535, limit=64 * 1024)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2]) / 1000.0, int(sys.argv[3]) / 1000.0))
