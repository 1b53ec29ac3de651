"""An agent double: answers connect requests (a binary JSON object per UDP datagram) by policy,
connects back to the proxy's data port with the 11-byte hello and relays, XOR-transformed with its
key, to the target (TCP) or unframes datagrams and frames the answers back (UDP).

Policies: accept; refuse (640); silent; unknown / hostile (first answers or connects for another
session, hostile also with a wrong magic); twice; foreign (only another port answers); spoofed
(another address on the same port refuses first); late (after a second); short / badtype (a first
UDP frame shorter than its header / of an unknown address type). `requests`: (monotonic time,
request); `replies`: (session, magic, the proxy's answer to that hello)."""
import asyncio
import socket
import struct
import threading
import time

from auth_service import decode, encode

MAGIC = 31660


def xor(data, key):
    n = len(data)
    mask = int.from_bytes(bytes([key]) * n, "little")
    return (int.from_bytes(data, "little") ^ mask).to_bytes(n, "little")


class Agent(asyncio.DatagramProtocol):
    def __init__(self, policy="accept", key=0):
        self.policy, self.key = policy, key
        self.requests, self.replies, self.tasks = [], [], set()
        self.loop = asyncio.new_event_loop()
        threading.Thread(target=self.loop.run_forever, daemon=True).start()
        asyncio.run_coroutine_threadsafe(self._listen(), self.loop).result(5)

    async def _listen(self):
        self.transport, _ = await self.loop.create_datagram_endpoint(
            lambda: self, local_addr=("127.0.0.1", 0))
        self.port = self.transport.get_extra_info("sockname")[1]
        self.strangers = {"foreign": ("127.0.0.1", 0), "spoofed": ("127.0.0.2", self.port)}
        for name, where in self.strangers.items():
            self.strangers[name] = socket.socket(type=socket.SOCK_DGRAM)
            self.strangers[name].bind(where)

    def datagram_received(self, data, src):
        req = {k: v.decode() if isinstance(v, bytes) else v for k, v in decode(data).items()}
        self.requests.append((time.monotonic(), req))
        self.spawn(self.on_request(req, src))

    def spawn(self, coro):
        # The loop keeps only weak references to its tasks: a relay must not be collected.
        task = asyncio.ensure_future(coro)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    def stop(self):
        async def shutdown():
            self.transport.close()
            [sock.close() for sock in self.strangers.values()]
            for task in list(self.tasks):
                task.cancel()
            await asyncio.gather(*self.tasks, return_exceptions=True)
            self.loop.stop()
        asyncio.run_coroutine_threadsafe(shutdown(), self.loop)

    def answer(self, src, session, code=0):  # with a key the proxy must skip
        self.transport.sendto(encode({"c": code, "s": session, "x": "skipped"}), src)

    async def on_request(self, req, src):
        p, s = self.policy, req["s"]
        if p in self.strangers:
            self.strangers[p].sendto(encode({"c": 640 if p == "spoofed" else 0, "s": s}), src)
        if p == "refuse":
            self.answer(src, s, 640)
        if p in ("silent", "refuse", "foreign") or [r["s"] for _, r in self.requests].count(s) > 1:
            return  # a resend of a request already served
        if p == "unknown":
            self.answer(src, s ^ 0x5A5A5A5A)
            await self.connect(req, s ^ 0x5A5A5A5A)
        if p == "late":
            await asyncio.sleep(1)
        for _ in range(2 if p == "twice" else 1):
            self.answer(src, s)
        if p == "hostile":
            await self.connect(req, s, magic=MAGIC ^ 1)
            await self.connect(req, s ^ 1)
        await self.connect(req, s)

    async def connect(self, req, session, magic=MAGIC):
        r, w = await asyncio.open_connection("127.0.0.1", req["po"])
        w.write(struct.pack("<HB", magic, self.key) + struct.pack(">II", session, 0))
        reply = await r.readexactly(2)
        self.replies.append((session, magic, reply))
        if reply != b"\x00\x00":
            w.close()
        else:
            self.spawn(self.relay_tcp(r, w, req) if req["a"] == 1 else self.relay_udp(r, w))

    async def pump(self, src, dst):
        try:
            while data := await src.read(65536):
                dst.write(xor(data, self.key))
                await dst.drain()
        finally:
            dst.close()

    async def relay_tcp(self, r, w, req):
        tr, tw = await asyncio.open_connection(req["rd"], req["ro"])
        await asyncio.gather(self.pump(r, tw), self.pump(tr, w))

    async def relay_udp(self, r, w):
        """Frames: a SOCKS5 UDP datagram whose first two bytes are its length, little-endian."""
        sock = socket.socket(type=socket.SOCK_DGRAM)
        sock.setblocking(False)
        w.write(xor({"short": b"\x00\x00\x00\x01", "badtype": b"\x0c\x00\x00\x09" + bytes(8)}.get(
            self.policy, b""), self.key))

        def readable():
            data, src = sock.recvfrom(65536)
            body = b"\x00\x01" + socket.inet_aton(src[0]) + struct.pack(">H", src[1]) + data
            w.write(xor(struct.pack("<H", len(body) + 2) + body, self.key))
        asyncio.get_running_loop().add_reader(sock.fileno(), readable)
        buf = b""
        try:
            while data := await r.read(65536):
                buf += xor(data, self.key)
                while len(buf) >= 2 and len(buf) >= (n := struct.unpack("<H", buf[:2])[0]):
                    frame, buf = buf[:n], buf[n:]
                    head = 10 if frame[3] == 1 else 7 + frame[4]
                    host = (socket.inet_ntoa(frame[4:8]) if frame[3] == 1
                            else frame[5:head - 2].decode())
                    sock.sendto(frame[head:], (host, struct.unpack(">H", frame[head - 2:head])[0]))
        finally:
            asyncio.get_running_loop().remove_reader(sock.fileno())
            sock.close()
            w.close()
