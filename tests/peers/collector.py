"""Flow-report collector double: a strict WebSocket server on its own asyncio thread; records are
decoded by scripts/flow_records.py (not the proxy's codec). Answers follow `policy`: always {"c": 0};
never; twice {"c": 0} two times; for the first `count` records: keep {"c": 1}, late {"c": 0} after
`delay` seconds, drop (the connection is aborted); later records get {"c": 0}."""
import asyncio
import os
import sys
import threading

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
from flow_records import decode  # noqa: E402

ACK, KEEP = b"\x81\x10c\x20", b"\x81\x10c\x21"  # {"c": 0}, {"c": 1}


class Collector:
    def __init__(self, policy="always", delay=0.0, count=1):
        self.policy, self.delay, self.count = policy, delay, count
        self.records, self.paths, self.loop = [], [], asyncio.new_event_loop()

    def start(self, port=0):
        async def listen():
            self.server = await websockets.serve(self._conn, "127.0.0.1", port, max_size=1 << 26,
                                                 ping_interval=None, compression=None)
            self.port = self.server.sockets[0].getsockname()[1]
        threading.Thread(target=self.loop.run_forever, daemon=True).start()
        asyncio.run_coroutine_threadsafe(listen(), self.loop).result(5)
        return self

    def stop(self):
        if not self.loop.is_running():
            return

        async def close():
            self.server.close()
            await asyncio.wait([asyncio.ensure_future(self.server.wait_closed())], timeout=2)
        asyncio.run_coroutine_threadsafe(close(), self.loop).result(5)
        self.loop.call_soon_threadsafe(self.loop.stop)

    def received(self):
        return [r for _, r in list(self.records)]

    async def _conn(self, ws, path):
        self.paths.append(path)
        async for msg in ws:
            self.records.append((len(self.paths), decode(msg)))
            early = len(self.records) <= self.count
            if self.policy == "never":
                continue
            if self.policy == "drop" and early:
                return ws.transport.abort()
            await asyncio.sleep(self.delay if self.policy == "late" and early else 0)
            await ws.send(KEEP if self.policy == "keep" and early else ACK)
            if self.policy == "twice":
                await ws.send(ACK)

