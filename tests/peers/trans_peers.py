"""Echo servers for the service transports, run as `trans_peers.py <tcp|udp|ws|badws> <port>`
(prints "ready" once listening): LEB128-framed TCP, UDP, WebSocket (the websockets library, which
refuses unmasked client frames) and "badws", whose handshake answer has a wrong accept value.

Replies up to 302 bytes go one byte per segment (TCP_NODELAY), long WebSocket ones fragmented.
Commands: cmd:bomb (a frame announcing 2^40 bytes), cmd:half (half a frame, then close), cmd:silent
(no more answers), cmd:ping (WebSocket: ping "abcd", then "pong" once the pong came back), cmd:text
(WebSocket: a text frame), cmd:foreign (UDP: an empty datagram and one from another port first)."""
import asyncio
import socket
import sys

from auth_service import read_message, uleb


async def write_split(transport, data):
    transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for piece in [data[i:i + 1] for i in range(len(data))] if len(data) <= 302 else [data]:
        transport.write(piece)
        await asyncio.sleep(0.001)


async def tcp_conn(reader, writer):
    try:
        while True:
            msg = await read_message(reader)
            if msg == b"cmd:bomb":
                writer.write(b"\x80\x80\x80\x80\x80\x20" + b"x" * 1000)
            elif msg == b"cmd:half":
                writer.write(b"\x05ab")
                break
            elif msg == b"cmd:silent":
                await asyncio.sleep(3600)
            else:
                await write_split(writer, uleb(len(msg)) + msg)
    except (asyncio.IncompleteReadError, ConnectionError):
        pass
    await writer.drain()
    writer.close()


class Udp(asyncio.DatagramProtocol):
    def connection_made(self, transport):
        self.transport = transport
        self.other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def datagram_received(self, data, addr):
        if data == b"cmd:foreign":
            self.transport.sendto(b"", addr)
            self.other.sendto(b"foreign", addr)
        self.transport.sendto(data, addr)


async def ws_conn(ws, *_):
    async for msg in ws:
        if msg == b"cmd:bomb":
            ws.transport.write(b"\x82\x7f" + (1 << 40).to_bytes(8, "big") + b"x" * 1000)
        elif msg == b"cmd:half":
            ws.transport.write(b"\x82\x05ab")
            ws.transport.close()
        elif msg == b"cmd:silent":
            await asyncio.sleep(3600)
        elif msg == b"cmd:ping":
            await asyncio.wait_for(await ws.ping(b"abcd"), 5)
            await ws.send(b"pong")
        elif msg == b"cmd:text":
            await ws.send("text")
        elif len(msg) > 1000:
            await ws.send([msg[i:i + 65536] for i in range(0, len(msg), 65536)])
        else:
            size = bytes([len(msg)]) if len(msg) < 126 else b"\x7e" + len(msg).to_bytes(2, "big")
            await write_split(ws.transport, b"\x82" + size + msg)


async def badws_conn(reader, writer):
    await reader.readuntil(b"\r\n\r\n")
    writer.write(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                 b"Connection: Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n")
    await asyncio.sleep(30)


async def main(kind, port):
    if kind in ("tcp", "badws"):
        await asyncio.start_server(tcp_conn if kind == "tcp" else badws_conn, "127.0.0.1", port,
                                   reuse_address=True)
    elif kind == "udp":
        await asyncio.get_running_loop().create_datagram_endpoint(Udp, ("127.0.0.1", port))
    else:
        import websockets
        await websockets.serve(ws_conn, "127.0.0.1", port, max_size=4 << 20,
                               ping_interval=None, compression=None)
    print("ready", flush=True)
    await asyncio.Future()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2])))
