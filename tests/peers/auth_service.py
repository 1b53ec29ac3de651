"""An authentication-service double for the remote backend: one asyncio server (its own thread)
speaking the service's side over WebSocket, UDP or LEB128-framed TCP, with its own binary-JSON
codec written here from the wire description, independent of the product's.

Every request is recorded (`requests`, decoded, keys in wire order). What is answered is decided
per test by `policy(request)` for auth requests and `verify_policy(request)` for verify requests:
each returns a list of actions, run in order:
  dict            an answer; "i" is filled from the request when missing
  ("sleep", s)    wait s seconds before the next action
  "close"         close the connection the request came on (no-op over UDP)
An empty list is silence. grant(), refuse(), silent(), late(), twice() and closing() build the
usual policies.
"""
import asyncio
import struct
import threading
import time

import websockets


# ---- binary JSON ----

def _uleb(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


def _head(kind, n):
    if n < 32:
        return bytes([kind | n])
    return bytes([kind | 0x20 | (n & 0x1F)]) + _uleb(n >> 5)


def _key_table(lengths):
    nibbles = []
    for n in lengths:
        while n:
            nibbles.append(n if n < 8 else (n & 7) | 8)
            n >>= 3
    if len(nibbles) % 2:
        nibbles.append(0)
    return bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, len(nibbles), 2))


class Raw(bytes):
    """Bytes placed into a message as they are (a value already encoded)."""


def encode(v):
    if isinstance(v, Raw):
        return bytes(v)
    if v is None:
        return b"\x00"
    if v is True:
        return b"\x01"
    if v is False:
        return b"\x02"
    if isinstance(v, int):
        if 0 <= v <= 31:
            return bytes([0x20 + v])
        if -15 <= v < 0:
            return bytes([0x10 - v])
        for tag, fmt in ((3, "<b"), (4, "<h"), (5, "<i"), (6, "<q")):
            try:
                return bytes([tag]) + struct.pack(fmt, v)
            except struct.error:
                pass
        return b"\x09" + struct.pack("<Q", v)
    if isinstance(v, float):
        return b"\x08" + struct.pack("<d", v)
    if isinstance(v, str):
        v = v.encode()
    if isinstance(v, (bytes, bytearray)):
        return _head(0x40, len(v)) + bytes(v)
    if isinstance(v, (list, tuple)):
        return _head(0xC0, len(v)) + b"".join(encode(x) for x in v)
    if isinstance(v, dict):
        keys = [k.encode() if isinstance(k, str) else k for k in v]
        out = _head(0x80, len(v)) + (_key_table([len(k) for k in keys]) if keys else b"")
        return out + b"".join(k + encode(x) for k, x in zip(keys, v.values()))
    raise TypeError(type(v))


def _read_len(buf, pos, tag):
    n = tag & 0x1F
    if tag & 0x20:
        shift = 5
        while True:
            b = buf[pos]
            pos += 1
            n |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                break
    return n, pos


def _decode(buf, pos):
    tag = buf[pos]
    pos += 1
    if tag <= 2:
        return (None, True, False)[tag], pos
    fixed = {3: "<b", 4: "<h", 5: "<i", 6: "<q", 7: "<f", 8: "<d", 9: "<Q"}
    if tag in fixed:
        size = struct.calcsize(fixed[tag])
        if pos + size > len(buf):
            raise ValueError("short number")
        return struct.unpack_from(fixed[tag], buf, pos)[0], pos + size
    if 0x10 <= tag < 0x20:
        return -(tag & 0xF), pos
    if 0x20 <= tag < 0x40:
        return tag & 0x1F, pos
    if tag < 0x10:
        raise ValueError("unassigned tag")
    n, pos = _read_len(buf, pos, tag)
    kind = tag & 0xC0
    if kind == 0x40:
        if pos + n > len(buf):
            raise ValueError("short string")
        return bytes(buf[pos:pos + n]), pos + n
    if kind == 0xC0:
        out = []
        for _ in range(n):
            v, pos = _decode(buf, pos)
            out.append(v)
        return out, pos
    lengths, cur, digit = [], 0, 0
    while len(lengths) < n:
        byte = buf[pos]
        pos += 1
        for nib in (byte >> 4, byte & 0xF):
            if len(lengths) == n:
                break
            cur |= (nib & 7) << (3 * digit)
            digit += 1
            if not nib & 8:
                lengths.append(cur)
                cur, digit = 0, 0
    out = {}
    for length in lengths:
        key = bytes(buf[pos:pos + length]).decode()
        pos += length
        if key in out:
            raise ValueError("duplicate key")
        out[key], pos = _decode(buf, pos)
    return out, pos


def decode(data):
    value, pos = _decode(memoryview(data), 0)
    if pos != len(data):
        raise ValueError("bytes after the value")
    return value


# ---- policies ----

def grant(**fields):
    """Grants every request; "t" defaults to the user name (or "addr")."""
    def policy(req):
        user = req.get("u", b"addr").decode()
        return [{"a": 2, "c": 0, "t": user, **fields}]
    return policy


def refuse(code):
    return lambda req: [{"a": 2, "c": code}]


def silent():
    return lambda req: []


def late(seconds, inner):
    return lambda req: [("sleep", seconds)] + inner(req)


def twice(inner):
    return lambda req: inner(req) + inner(req)


def closing():
    return lambda req: ["close"]


def still_valid(**fields):
    return lambda req: [{"a": 4, "c": 0, **fields}]


# ---- the server ----

class AuthService:
    """kind: "ws", "udp" or "tcp". start() binds 127.0.0.1 (port 0: any) and returns the port."""

    def __init__(self, kind):
        self.kind = kind
        self.policy = grant()
        self.verify_policy = still_valid()
        self.requests = []     # every request, decoded
        self.connections = 0   # stream connections accepted so far
        self.open = set()      # live stream connections (their close functions)
        self.loop = None
        self.port = 0

    # -- life --

    def start(self, port=0):
        ready = threading.Event()
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self._run, args=(port, ready), daemon=True)
        self.thread.start()
        assert ready.wait(5), "service did not start"
        return self.port

    def _run(self, port, ready):
        asyncio.set_event_loop(self.loop)
        self.loop.run_until_complete(self._listen(port))
        ready.set()
        self.loop.run_forever()

    async def _listen(self, port):
        if self.kind == "udp":
            self._server, _ = await self.loop.create_datagram_endpoint(
                lambda: _Datagram(self), local_addr=("127.0.0.1", port))
            self.port = self._server.get_extra_info("sockname")[1]
        elif self.kind == "tcp":
            self._server = await asyncio.start_server(self._tcp, "127.0.0.1", port,
                                                      reuse_address=True)
            self.port = self._server.sockets[0].getsockname()[1]
        else:
            self._server = await websockets.serve(self._ws, "127.0.0.1", port, ping_interval=3,
                                                  max_size=None)
            self.port = list(self._server.sockets)[0].getsockname()[1]

    def stop(self):
        """Closes the listener and every connection; the thread ends."""
        async def down():
            for close in list(self.open):
                close()
            self._server.close()
            if self.kind == "ws":
                await self._server.wait_closed()
        if self.loop is None:
            return
        asyncio.run_coroutine_threadsafe(down(), self.loop).result(5)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        self.loop = None

    # -- requests --

    def auth_requests(self):
        return [r for r in self.requests if r.get("a") == 1]

    def verify_requests(self):
        return [r for r in self.requests if r.get("a") == 3]

    async def _answer(self, data, send, close):
        try:
            req = decode(data)
        except (ValueError, IndexError, UnicodeDecodeError):
            return
        self.requests.append(req)
        policy = self.verify_policy if req.get("a") == 3 else self.policy
        for action in policy(req):
            if action == "close":
                close()
            elif isinstance(action, tuple):
                await asyncio.sleep(action[1])
            elif isinstance(action, (bytes, Raw)):
                send(bytes(action))
            else:
                send(encode({"i": req.get("i"), **action} if "i" not in action else action))

    # -- transports --

    async def _tcp(self, reader, writer):
        self.connections += 1
        close = writer.close
        self.open.add(close)

        async def keep_alive():
            while not writer.is_closing():
                writer.write(b"\x00")  # an empty message: the proxy's silence limit is 10 s
                await asyncio.sleep(3)
        beat = asyncio.ensure_future(keep_alive())
        try:
            while True:
                n, shift = 0, 0
                while True:
                    b = (await reader.readexactly(1))[0]
                    n |= (b & 0x7F) << shift
                    shift += 7
                    if not b & 0x80:
                        break
                body = await reader.readexactly(n)
                send = lambda m: writer.write(_uleb(len(m)) + m)
                asyncio.ensure_future(self._answer(body, send, close))
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            beat.cancel()
            self.open.discard(close)
            writer.close()

    async def _ws(self, ws, path=None):
        self.connections += 1

        def close():
            asyncio.ensure_future(ws.close())
        self.open.add(close)
        try:
            async for message in ws:
                if isinstance(message, bytes):
                    send = lambda m: asyncio.ensure_future(ws.send(m))
                    asyncio.ensure_future(self._answer(message, send, close))
        except websockets.ConnectionClosed:
            pass
        finally:
            self.open.discard(close)


class _Datagram(asyncio.DatagramProtocol):
    def __init__(self, service):
        self.service = service

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        send = lambda m: self.transport.sendto(m, addr)
        asyncio.ensure_future(self.service._answer(data, send, lambda: None))


def wait_requests(service, n, timeout=5.0, kind="auth"):
    """Waits until at least n requests of the kind arrived; returns them."""
    get = service.auth_requests if kind == "auth" else service.verify_requests
    deadline = time.monotonic() + timeout
    while len(get()) < n and time.monotonic() < deadline:
        time.sleep(0.02)
    return get()
