"""Flow-report collector double: a strict WebSocket server (the websockets library checks the
handshake and refuses unmasked or malformed client frames) run by an asyncio loop in its own
thread, with its own binary-JSON decoder. Every record received is kept in `records` as
(connection number, decoded object); the answer follows `policy`:

    always  {"c": 0} at once              never   no answer
    keep    {"c": 1} (keep and resend)    twice   {"c": 0} two times
    late    {"c": 0} after `delay` s      drop    drops the connection with the record unanswered
    (late and drop: the first `count` records, then as always)
"""
import asyncio
import struct
import threading

import websockets

ACK = b"\x81\x10c\x20"   # {"c": 0}: one member, key length 1, key "c", small integer 0
KEEP = b"\x81\x10c\x21"  # {"c": 1}


def decode(buf, pos=0, top=True):
    """One binary-JSON value at buf[pos:]; the whole buffer when top is set."""
    tag = buf[pos]
    pos += 1
    fixed = {3: "<b", 4: "<h", 5: "<i", 6: "<q", 7: "<f", 8: "<d", 9: "<Q"}
    if tag <= 2:
        value = [None, True, False][tag]
    elif tag in fixed:
        (value,) = struct.unpack_from(fixed[tag], buf, pos)
        pos += struct.calcsize(fixed[tag])
    elif 0x11 <= tag <= 0x1F:
        value = -(tag & 0x0F)
    elif 0x20 <= tag <= 0x3F:
        value = tag & 0x1F
    elif tag >= 0x40:
        n, shift, more = tag & 0x1F, 5, tag & 0x20
        while more:
            n |= (buf[pos] & 0x7F) << shift
            shift, more, pos = shift + 7, buf[pos] & 0x80, pos + 1
        kind = tag & 0xC0
        if kind == 0x40:
            value = bytes(buf[pos:pos + n]).decode()
            assert pos + n <= len(buf), "string past the end"
            pos += n
        elif kind == 0xC0:
            value = []
            for _ in range(n):
                item, pos = decode(buf, pos, False)
                value.append(item)
        else:
            lengths, cur, digit = [], 0, 0
            while len(lengths) < n:
                byte, pos = buf[pos], pos + 1
                for nib in (byte >> 4, byte & 0x0F):
                    if len(lengths) == n:
                        break
                    cur |= (nib & 7) << (3 * digit)
                    digit += 1
                    if not nib & 8:
                        lengths.append(cur)
                        cur, digit = 0, 0
            value = {}
            for length in lengths:
                key = bytes(buf[pos:pos + length]).decode()
                assert key and key not in value, "empty or repeated key"
                value[key], pos = decode(buf, pos + length, False)
    else:
        raise ValueError(f"tag {tag:#x}")
    if top:
        assert pos == len(buf), "bytes after the value"
        return value
    return value, pos


def read_file(path):
    """A record file: 4-byte little-endian length, then the encoded object."""
    data = open(path, "rb").read()
    (n,) = struct.unpack_from("<I", data)
    assert len(data) == 4 + n, path
    return decode(data[4:])


class Collector:
    def __init__(self, policy="always", delay=0.0, count=1):
        self.policy, self.delay, self.count = policy, delay, count
        self.records, self.connections, self.paths = [], 0, []
        self.loop = asyncio.new_event_loop()
        self.server = None
        self.lock = threading.Lock()

    def start(self, port=0):
        ready = threading.Event()

        async def listen():
            self.server = await websockets.serve(self._conn, "127.0.0.1", port, max_size=64 << 20,
                                                 ping_interval=None, compression=None)
            self.port = self.server.sockets[0].getsockname()[1]
            ready.set()

        threading.Thread(target=lambda: (self.loop.run_until_complete(listen()),
                                         self.loop.run_forever()), daemon=True).start()
        assert ready.wait(5)
        return self

    def stop(self):
        async def close():
            self.server.close()
            await self.server.wait_closed()
        asyncio.run_coroutine_threadsafe(close(), self.loop).result(5)
        self.loop.call_soon_threadsafe(self.loop.stop)

    def received(self):
        with self.lock:
            return [r for _, r in self.records]

    async def _conn(self, ws, *_):
        with self.lock:
            self.connections += 1
            number = self.connections
        self.paths.append(ws.request.path if hasattr(ws, "request") else ws.path)
        async for msg in ws:
            assert isinstance(msg, bytes), "text frame from the proxy"
            with self.lock:
                self.records.append((number, decode(msg)))
                count = len(self.records)
            if self.policy == "never":
                continue
            if self.policy == "drop" and count <= self.count:
                ws.transport.abort()
                return
            if self.policy == "late" and count <= self.count:
                await asyncio.sleep(self.delay)
            await ws.send(KEEP if self.policy == "keep" else ACK)
            if self.policy == "twice":
                await ws.send(ACK)
