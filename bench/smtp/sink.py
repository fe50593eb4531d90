"""A minimal SMTP server on 127.0.0.1 that accepts every message and discards its data.

Usage: sink.py PORTFILE  -- listens on a free port, writes the port number to PORTFILE, and
serves until it is killed. Only for benchmarks: no AUTH, no checks, nothing stored.
"""
import asyncio
import sys


async def serve(reader, writer):
    writer.write(b"220 sink ready\r\n")
    in_data = False
    tail = b""
    while True:
        if in_data:
            # Large reads, and no copy of the data: the end of the data is looked for in the
            # chunk and in the few bytes around the seam with the chunk before.
            chunk = await reader.read(1 << 20)
            if not chunk:
                break
            if b"\r\n.\r\n" in tail + chunk[:4] or b"\r\n.\r\n" in chunk:
                in_data = False
                tail = b""
                writer.write(b"250 discarded\r\n")
            else:
                tail = (tail + chunk[-4:])[-4:]
            continue
        line = await reader.readline()
        if not line:
            break
        verb = line[:4].upper()
        if verb == b"DATA":
            in_data = True
            tail = b"\r\n"  # the header block may end the data at once
            writer.write(b"354 go ahead\r\n")
        elif verb == b"EHLO":
            # PIPELINING: commands may come in groups, answered in order as read.
            writer.write(b"250-sink\r\n250-PIPELINING\r\n250 8BITMIME\r\n")
        elif verb == b"QUIT":
            writer.write(b"221 bye\r\n")
            await writer.drain()
            break
        else:
            writer.write(b"250 ok\r\n")
        await writer.drain()
    writer.close()


async def main(port_file):
    server = await asyncio.start_server(serve, "127.0.0.1", 0, limit=1 << 20)
    with open(port_file, "w") as out:
        out.write(str(server.sockets[0].getsockname()[1]))
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1]))
