#!/usr/bin/env python3
"""Hands every TCP connection on to another port of 127.0.0.1, byte for byte. Killing it makes
the server behind it unreachable (connections refused); starting it again on the same port
brings the server back, as a network that comes and goes does.

usage: tcp-relay.py LISTEN-PORT TARGET-PORT   (prints "listening" once it accepts)
"""
import asyncio
import sys

LISTEN, TARGET = int(sys.argv[1]), int(sys.argv[2])


async def pipe(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        writer.close()


async def relay(client_reader, client_writer):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", TARGET)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pipe(client_reader, server_writer), pipe(server_reader, client_writer))


async def main():
    server = await asyncio.start_server(relay, "127.0.0.1", LISTEN, reuse_address=True)
    print("listening", flush=True)
    async with server:
        await server.serve_forever()


asyncio.run(main())
