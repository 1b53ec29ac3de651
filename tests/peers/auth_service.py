"""Authentication-service double over WebSocket, UDP or LEB128-framed TCP (asyncio in its own
thread), with a binary-JSON codec of its own. Requests are kept in `requests`; `policy(req)` and
`verify_policy(req)` return the answers to send ("i" taken from the request)."""
import asyncio
import struct
import threading

import websockets


def uleb(n):
    out = bytearray()
    while True:
        out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
        n >>= 7
        if not n:
            return bytes(out)


async def read_message(reader):
    """One message of a stream framed by LEB128 lengths."""
    n, shift, more = 0, 0, True
    while more:
        b = (await reader.readexactly(1))[0]
        n, shift, more = n | (b & 0x7F) << shift, shift + 7, b & 0x80
    return await reader.readexactly(n)


def head(kind, n):
    return bytes([kind | n]) if n < 32 else bytes([kind | 0x20 | (n & 0x1F)]) + uleb(n >> 5)


def encode(v):
    if v is None or isinstance(v, bool):
        return {None: b"\0", True: b"\1", False: b"\2"}[v]
    if isinstance(v, int):
        if 0 <= v <= 31 or -15 <= v < 0:
            return bytes([0x20 + v if v >= 0 else 0x10 - v])
        for tag, fmt in ((3, "<b"), (4, "<h"), (5, "<i"), (6, "<q"), (9, "<Q")):
            try:
                return bytes([tag]) + struct.pack(fmt, v)
            except struct.error:
                pass
    if isinstance(v, str):
        v = v.encode()
    if isinstance(v, bytes):
        return head(0x40, len(v)) + v
    if isinstance(v, list):
        return head(0xC0, len(v)) + b"".join(map(encode, v))
    keys = [k.encode() for k in v]
    nibbles = []
    for n in map(len, keys):
        while n:
            nibbles.append(n if n < 8 else (n & 7) | 8)
            n >>= 3
    nibbles += [0] * (len(nibbles) % 2)
    table = bytes(a << 4 | b for a, b in zip(nibbles[::2], nibbles[1::2]))
    return head(0x80, len(v)) + table + b"".join(k + encode(x) for k, x in zip(keys, v.values()))


def decode(buf, pos=0, whole=True):
    tag = buf[pos]
    pos += 1
    fixed = {3: "<b", 4: "<h", 5: "<i", 6: "<q", 7: "<f", 8: "<d", 9: "<Q"}
    if tag < 3:
        value = (None, True, False)[tag]
    elif tag in fixed:
        value = struct.unpack_from(fixed[tag], buf, pos)[0]
        pos += struct.calcsize(fixed[tag])
    elif 0x10 <= tag < 0x40:
        value = tag - 0x20 if tag >= 0x20 else -(tag & 0xF)
    else:
        n, shift, more, kind = tag & 0x1F, 5, tag & 0x20, tag & 0xC0
        while more:
            n, shift, more, pos = n | (buf[pos] & 0x7F) << shift, shift + 7, buf[pos] & 0x80, pos + 1
        if kind == 0x40:
            value, pos = bytes(buf[pos:pos + n]), pos + n
        elif kind == 0xC0:
            value = []
            for _ in range(n):
                item, pos = decode(buf, pos, False)
                value.append(item)
        else:
            lengths, cur, digit = [], 0, 0
            while len(lengths) < n:
                for nib in (buf[pos] >> 4, buf[pos] & 0xF):
                    if len(lengths) < n:
                        cur, digit = cur | (nib & 7) << 3 * digit, digit + 1
                        if not nib & 8:
                            lengths, cur, digit = lengths + [cur], 0, 0
                pos += 1
            value = {}
            for length in lengths:
                key, pos = bytes(buf[pos:pos + length]).decode(), pos + length
                value[key], pos = decode(buf, pos, False)
    if whole and pos != len(buf):
        raise ValueError("bytes after the value")
    return value if whole else (value, pos)


def grant(**fields):
    return lambda q: [{"a": 2, "c": 0, "t": q.get("u", b"addr").decode(), **fields}]


def refuse(code):
    return lambda q: [{"a": 2, "c": code}]


class AuthService(asyncio.DatagramProtocol):
    def __init__(self, kind, policy=None):
        self.kind, self.requests, self.open, self.loop = kind, [], set(), None
        self.policy, self.verify_policy = policy or grant(), lambda q: [{"a": 4, "c": 0}]

    def of(self, action):
        return [q for q in self.requests if q.get("a") == action]

    def start(self, port=0):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        asyncio.run_coroutine_threadsafe(self._listen(port), self.loop).result(5)
        return self.port

    async def _listen(self, port):
        addr = ("127.0.0.1", port)
        if self.kind == "udp":
            self.server, _ = await self.loop.create_datagram_endpoint(lambda: self, local_addr=addr)
            self.port = self.server.get_extra_info("sockname")[1]
            return
        if self.kind == "tcp":
            self.server = await asyncio.start_server(self._tcp, *addr)
        else:
            self.server = await websockets.serve(self._ws, *addr, ping_interval=3)
        self.port = list(self.server.sockets)[0].getsockname()[1]

    def stop(self):
        async def down():
            for close in list(self.open):
                close()
            self.server.close()
            await asyncio.sleep(0.2)  # let the closes finish
        if self.loop:
            asyncio.run_coroutine_threadsafe(down(), self.loop).result(5)
            self.loop.call_soon_threadsafe(self.loop.stop)
            self.thread.join(5)
            self.loop = None

    def answer(self, data, send):
        req = decode(memoryview(data))
        self.requests.append(req)
        for action in (self.verify_policy if req.get("a") == 3 else self.policy)(req):
            send(encode({"i": req["i"], **action}))

    async def _tcp(self, reader, writer):
        self.open.add(writer.close)
        beat = asyncio.ensure_future(self._beat(writer))  # an empty message: the keep-alive
        try:
            while True:
                self.answer(await read_message(reader), lambda m: writer.write(uleb(len(m)) + m))
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            beat.cancel()
            self.open.discard(writer.close)

    async def _beat(self, writer):
        while not writer.is_closing():
            writer.write(b"\0")
            await asyncio.sleep(3)

    async def _ws(self, ws, path=None):
        def close():
            asyncio.ensure_future(ws.close())
        self.open.add(close)
        try:
            async for message in ws:
                self.answer(message, lambda m: asyncio.ensure_future(ws.send(m)))
        except websockets.ConnectionClosed:
            pass
        self.open.discard(close)

    def datagram_received(self, data, addr):  # the UDP transport: self.server
        self.answer(data, lambda m: self.server.sendto(m, addr))
