"""An agent double: takes connect requests (one binary JSON object per UDP datagram), answers them
by policy, connects back to the proxy's data port with the 11-byte hello and relays what the
proxy sends, transformed with the XOR key, to the target named in the request (TCP), or
unframes datagrams and sends them on (UDP association), framing the answers back.

Policies: "accept", "refuse" (answers code 640), "silent" (never answers), "unknown" (answers
and connects back for another session, then for the right one), "twice" (answers twice),
"hostile" (first a connection with a wrong magic and one naming another session, then the
right one). Runs its own asyncio loop in a thread; requests are kept in `requests` as
(monotonic time, dict)."""
import asyncio
import socket
import struct
import threading
import time

MAGIC = 31660


# ---- binary JSON: the forms requests and answers use ----

def _count(kind, n):
    if n < 32:
        return bytes([kind | n])
    out, rest = bytearray([kind | 0x20 | (n & 31)]), n >> 5
    while True:
        b = rest & 0x7F
        rest >>= 7
        out.append(b | (0x80 if rest else 0))
        if not rest:
            return bytes(out)


def _int(v):
    if 0 <= v < 32:
        return bytes([0x20 + v])
    if -15 <= v < 0:
        return bytes([0x10 - v])
    for tag, fmt, lo in ((3, "<b", 1 << 7), (4, "<h", 1 << 15), (5, "<i", 1 << 31)):
        if -lo <= v < lo:
            return bytes([tag]) + struct.pack(fmt, v)
    return b"\x06" + struct.pack("<q", v)


def encode(obj):
    """An object of int and str members."""
    nibbles = []
    for k in obj:
        n = len(k.encode())
        while n:
            nibbles.append(n if n < 8 else (n & 7) | 8)
            n >>= 3
    if len(nibbles) % 2:
        nibbles.append(0)
    table = bytes(nibbles[i] << 4 | nibbles[i + 1] for i in range(0, len(nibbles), 2))
    out = _count(0x80, len(obj)) + table
    for k, v in obj.items():
        out += k.encode()
        out += _int(v) if isinstance(v, int) else _count(0x40, len(v.encode())) + v.encode()
    return out


def _read_count(d, i):
    n = d[i] & 31
    i += 1
    if d[i - 1] & 0x20:
        shift = 5
        while True:
            n |= (d[i] & 0x7F) << shift
            shift += 7
            i += 1
            if not d[i - 1] & 0x80:
                break
    return n, i


def _read_value(d, i):
    t = d[i]
    if 0x20 <= t < 0x40:
        return t - 0x20, i + 1
    if 0x10 <= t < 0x20:
        return -(t & 15), i + 1
    fixed = {3: "<b", 4: "<h", 5: "<i", 6: "<q", 9: "<Q"}
    if t in fixed:
        size = struct.calcsize(fixed[t])
        return struct.unpack(fixed[t], d[i + 1:i + 1 + size])[0], i + 1 + size
    if t & 0xC0 == 0x40:
        n, i = _read_count(d, i)
        return d[i:i + n].decode(), i + n
    raise ValueError(f"tag {t:#x}")


def decode(d):
    """An object of int and str members."""
    n, i = _read_count(d, 0)
    lengths, cur, shift = [], 0, 0
    while len(lengths) < n:
        for nib in (d[i] >> 4, d[i] & 15):
            if len(lengths) == n:
                break
            cur |= (nib & 7) << shift
            shift += 3
            if not nib & 8:
                lengths.append(cur)
                cur, shift = 0, 0
        i += 1
    out = {}
    for length in lengths:
        key = d[i:i + length].decode()
        out[key], i = _read_value(d, i + length)
    if i != len(d):
        raise ValueError("trailing bytes")
    return out


def hello(session, key=0, idle=0, magic=MAGIC):
    return struct.pack("<H", magic) + bytes([key]) + struct.pack(">II", session, idle)


def xor(data, key):
    if not key or not data:
        return data
    n = len(data)
    mask = int.from_bytes(bytes([key]) * n, "little")
    return (int.from_bytes(data, "little") ^ mask).to_bytes(n, "little")


class Agent:
    def __init__(self, policy="accept", key=0, idle=0, host="127.0.0.1"):
        self.policy, self.key, self.idle, self.host = policy, key, idle, host
        self.requests, self.replies, self.tasks = [], [], set()
        self.loop = asyncio.new_event_loop()
        ready = threading.Event()
        threading.Thread(target=self._run, args=(ready,), daemon=True).start()
        ready.wait(5)

    def _run(self, ready):
        asyncio.set_event_loop(self.loop)
        self.transport, _ = self.loop.run_until_complete(self.loop.create_datagram_endpoint(
            lambda: _Control(self), local_addr=(self.host, 0)))
        self.port = self.transport.get_extra_info("sockname")[1]
        ready.set()
        self.loop.run_forever()

    def spawn(self, coro):
        # The loop keeps only weak references to its tasks: a relay must not be collected.
        task = asyncio.ensure_future(coro)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    def stop(self):
        async def shutdown():
            self.transport.close()
            for task in list(self.tasks):
                task.cancel()
            await asyncio.gather(*self.tasks, return_exceptions=True)
            self.loop.stop()
        asyncio.run_coroutine_threadsafe(shutdown(), self.loop)

    def answer(self, req, src, code=0, session=None):
        s = req["s"] if session is None else session
        self.transport.sendto(encode({"c": code, "s": s, "x": "skipped"}), src)

    async def on_request(self, req, src):
        p = self.policy
        if p == "silent":
            return
        if p == "refuse":
            self.answer(req, src, code=640)
            return
        if len([r for _, r in self.requests if r["s"] == req["s"]]) > 1:
            return  # a resend of a request already served
        if p == "unknown":
            self.answer(req, src, session=req["s"] ^ 0x5A5A5A5A)
            await self.connect(req, req["s"] ^ 0x5A5A5A5A)
        self.answer(req, src)
        if p == "twice":
            self.answer(req, src)
        if p == "hostile":
            await self.connect(req, req["s"], magic=MAGIC ^ 1)
            await self.connect(req, req["s"] ^ 1)
        await self.connect(req, req["s"])

    async def connect(self, req, session, magic=MAGIC):
        r, w = await asyncio.open_connection("127.0.0.1", req["po"])
        w.write(hello(session, self.key, self.idle, magic))
        reply = await r.readexactly(2)
        self.replies.append((session, magic, reply))
        if reply != b"\x00\x00":
            w.close()
            return
        if req["a"] == 1:
            self.spawn(self.relay_tcp(r, w, req["rd"], req["ro"]))
        else:
            self.spawn(self.relay_udp(r, w))

    async def relay_tcp(self, r, w, host, port):
        try:
            tr, tw = await asyncio.open_connection(host, port)
        except OSError:
            w.close()
            return

        async def pump(src, dst):
            try:
                while data := await src.read(65536):
                    dst.write(xor(data, self.key))
                    await dst.drain()
            except (ConnectionError, OSError):
                pass
            finally:
                dst.close()
        await asyncio.gather(pump(r, tw), pump(tr, w))

    async def relay_udp(self, r, w):
        """Frames: a SOCKS5 UDP datagram whose first two bytes are its length, little-endian."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        sock.setblocking(False)
        loop = asyncio.get_running_loop()

        def readable():
            data, src = sock.recvfrom(65536)
            body = b"\x00\x01" + socket.inet_aton(src[0]) + struct.pack(">H", src[1]) + data
            w.write(xor(struct.pack("<H", len(body) + 2) + body, self.key))
        loop.add_reader(sock.fileno(), readable)
        buf = b""
        try:
            while data := await r.read(65536):
                buf += xor(data, self.key)
                while len(buf) >= 2 and len(buf) >= struct.unpack("<H", buf[:2])[0]:
                    n = struct.unpack("<H", buf[:2])[0]
                    frame, buf = buf[:n], buf[n:]
                    if frame[3] == 1:
                        dst, head = (socket.inet_ntoa(frame[4:8]),
                                     struct.unpack(">H", frame[8:10])[0]), 10
                    else:
                        ln = frame[4]
                        dst = (frame[5:5 + ln].decode(),
                               struct.unpack(">H", frame[5 + ln:7 + ln])[0])
                        head = 7 + ln
                    sock.sendto(frame[head:], dst)
        finally:
            loop.remove_reader(sock.fileno())
            sock.close()
            w.close()


class _Control(asyncio.DatagramProtocol):
    def __init__(self, agent):
        self.agent = agent

    def datagram_received(self, data, src):
        req = decode(data)
        self.agent.requests.append((time.monotonic(), req))
        self.agent.spawn(self.agent.on_request(req, src))
