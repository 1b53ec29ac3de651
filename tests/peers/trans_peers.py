"""Echo servers for the service transports: LEB128-framed TCP, UDP datagrams, WebSocket (the
websockets library, strict: it refuses unmasked client frames and checks the handshake), and a
WebSocket impostor that answers the handshake with a wrong Sec-WebSocket-Accept.

    trans_peers.py <tcp|udp|ws|badws> <port>

Prints "ready" once listening. Every message is echoed back unchanged, except these commands:
  cmd:bomb     answer with a frame announcing 2^40 bytes (TCP, WebSocket)
  cmd:silent   stop answering on this connection (it stays open)
  cmd:close    close this connection
  cmd:ping     WebSocket: ping with payload b"abcd", then echo the pong's arrival as "pong"
  cmd:text     WebSocket: answer with a text frame
  cmd:foreign  UDP: first an empty datagram and a datagram from another port, then the echo
Small replies (up to 300 bytes) are written one byte per segment; WebSocket replies over 1000
bytes go out fragmented."""
import asyncio
import socket
import sys


def leb128(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


async def write_split(writer, data):
    if len(data) > 302:
        writer.write(data)
        await writer.drain()
        return
    for i in range(len(data)):
        writer.write(data[i:i + 1])
        await writer.drain()
        await asyncio.sleep(0.001)


async def tcp_conn(reader, writer):
    writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        while True:
            n, shift = 0, 0
            while True:
                b = (await reader.readexactly(1))[0]
                n |= (b & 0x7F) << shift
                shift += 7
                if not b & 0x80:
                    break
            msg = await reader.readexactly(n)
            if msg == b"cmd:bomb":
                writer.write(b"\x80\x80\x80\x80\x80\x20" + b"x" * 1000)
            elif msg == b"cmd:silent":
                await asyncio.sleep(3600)
            elif msg == b"cmd:close":
                break
            else:
                await write_split(writer, leb128(len(msg)) + msg)
    except (asyncio.IncompleteReadError, ConnectionError):
        pass
    writer.close()


class Udp(asyncio.DatagramProtocol):
    def connection_made(self, transport):
        self.transport = transport
        self.other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.other.bind(("127.0.0.1", 0))

    def datagram_received(self, data, addr):
        if data == b"cmd:foreign":
            self.transport.sendto(b"", addr)
            self.other.sendto(b"foreign", addr)
        self.transport.sendto(data, addr)


async def ws_conn(ws, *_):
    async for msg in ws:
        if msg == b"cmd:bomb":
            ws.transport.write(b"\x82\x7f" + (1 << 40).to_bytes(8, "big") + b"x" * 1000)
        elif msg == b"cmd:silent":
            await asyncio.sleep(3600)
        elif msg == b"cmd:close":
            return
        elif msg == b"cmd:ping":
            await asyncio.wait_for(await ws.ping(b"abcd"), 5)
            await ws.send(b"pong")
        elif msg == b"cmd:text":
            await ws.send("text")
        elif len(msg) > 1000:
            await ws.send([msg[i:i + 65536] for i in range(0, len(msg), 65536)])
        else:
            await ws.send(msg)


async def badws_conn(reader, writer):
    head = await reader.readuntil(b"\r\n\r\n")
    assert b"Sec-WebSocket-Key:" in head
    writer.write(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                 b"Connection: Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n")
    await writer.drain()
    await asyncio.sleep(30)


async def main(kind, port):
    loop = asyncio.get_running_loop()
    if kind == "tcp":
        await asyncio.start_server(tcp_conn, "127.0.0.1", port, reuse_address=True)
    elif kind == "badws":
        await asyncio.start_server(badws_conn, "127.0.0.1", port, reuse_address=True)
    elif kind == "udp":
        await loop.create_datagram_endpoint(Udp, local_addr=("127.0.0.1", port))
    else:
        import websockets
        await websockets.serve(ws_conn, "127.0.0.1", port, max_size=4 << 20,
                               ping_interval=None, compression=None)
    print("ready", flush=True)
    await asyncio.Future()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2])))
