"""Flow-report collector double: a strict WebSocket server (the websockets library checks the
handshake and refuses unmasked or malformed client frames) run by an asyncio loop in its own
thread. Records are decoded by scripts/flow_records.py, written apart from the proxy's codec, and
kept in `records` as (connection number, decoded object); the answer follows `policy`:

    always  {"c": 0} at once              never   no answer
    keep    {"c": 1} (keep and resend)    twice   {"c": 0} two times
    late    {"c": 0} after `delay` s      drop    drops the connection with the record unanswered
    (late and drop: the first `count` records, then as always)
"""
import asyncio
import os
import sys
import threading

import websockets

# The decoder operators use to read record files by hand; written apart from the proxy's codec.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
from flow_records import decode, read_file  # noqa: E402,F401

ACK = b"\x81\x10c\x20"   # {"c": 0}: one member, key length 1, key "c", small integer 0
KEEP = b"\x81\x10c\x21"  # {"c": 1}


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
