"""A minimal SMTP server on 127.0.0.1 that accepts every message and discards its data.

Usage: sink.py PORTFILE  -- listens on a free port, writes the port number to PORTFILE, and
serves until it is killed. Only for benchmarks: no AUTH, no checks, nothing stored.
"""
import asyncio
import sys

END = b"\r\n.\r\n"


def end_of_data(tail, chunk):
    """Where the data ends in `chunk` (the offset after its "." CR LF), or -1. `tail` holds the
    last bytes before the chunk, so an end split between two reads is found too."""
    seam = (tail + chunk[:4]).find(END)
    if seam >= 0:
        return seam + len(END) - len(tail)
    found = chunk.find(END)
    return found + len(END) if found >= 0 else -1


async def serve(reader, writer):
    writer.write(b"220 sink ready\r\n")
    in_data = False
    tail = b""
    # Bytes read but not yet handled: with PIPELINING the next commands may come in the same
    # read as the end of the data before them.
    pending = b""
    while True:
        if in_data:
            # Large reads, and no copy of the data: the end of the data is looked for in the
            # chunk and in the few bytes around the seam with the chunk before.
            chunk = pending or await reader.read(1 << 20)
            pending = b""
            if not chunk:
                break
            end = end_of_data(tail, chunk)
            if end >= 0:
                in_data = False
                tail = b""
                pending = chunk[end:]
                writer.write(b"250 discarded\r\n")
            else:
                tail = (tail + chunk[-4:])[-4:]
            continue
        newline = pending.find(b"\n")
        if newline >= 0:
            line, pending = pending[:newline + 1], pending[newline + 1:]
        else:
            line, pending = pending + await reader.readline(), b""
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
