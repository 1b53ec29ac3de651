"""A scripted DNS server (asyncio, UDP and TCP on one address and port) for what a real server
will not do on request: exact answer order and TTLs, silence, late answers, answers from the wrong
address or port, repeated truncated datagrams and malformed messages.

Each name gets a behaviour (see DnsDouble.set); the double records every question it receives,
with the transport it came over, in `questions`. It runs its own event loop in a thread so that
blocking test code can drive it. Its message codec is written here, independent of the product.
"""
import asyncio
import socket
import struct
import threading


def encode_name(name):
    out = b""
    for label in name.split("."):
        out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def parse_question(msg):
    """(id, name, qtype, question bytes) of a query, or None when it cannot be read."""
    if len(msg) < 12:
        return None
    tid = struct.unpack(">H", msg[:2])[0]
    pos, labels = 12, []
    while pos < len(msg) and msg[pos] != 0:
        n = msg[pos]
        labels.append(msg[pos + 1:pos + 1 + n].decode(errors="replace"))
        pos += 1 + n
    if pos + 5 > len(msg):
        return None
    qtype = struct.unpack(">H", msg[pos + 1:pos + 3])[0]
    return tid, ".".join(labels), qtype, msg[12:pos + 5]


def rr_a(addr, ttl):
    return struct.pack(">HHHIH", 0xC00C, 1, 1, ttl, 4) + socket.inet_aton(addr)


def rr_aaaa(addr, ttl):
    return struct.pack(">HHHIH", 0xC00C, 28, 1, ttl, 16) + socket.inet_pton(socket.AF_INET6, addr)


def response(tid, question, answers=(), flags=0x8180, count=None):
    """A response echoing the question; `count` overrides the answer count written."""
    n = len(answers) if count is None else count
    return struct.pack(">HHHHHH", tid, flags, 1, n, 0, 0) + question + b"".join(answers)


class DnsDouble:
    """Behaviours, keyed by name (default: answer nothing):
      {"answers": [rr bytes...], "rcode": 0}   answer at once over UDP (and over TCP if asked)
      {"silent": True}                        never answer
      {"late": seconds, "answers": [...]}     answer after a delay
      {"from_port": True, "answers": [...]}   answer from another port of the same address
      {"from_addr": "127.0.0.x", ...}         answer from another address
      {"tc": n, "answers": [...]}             n truncated UDP datagrams, the answer over TCP
      {"raw": bytes}                          this exact datagram (its first two bytes replaced by
                                              the id when it is at least 2 bytes long)
      {"tc": 1, "tcp_raw": bytes}             truncated, then these exact bytes over TCP and close
      {"forged": [rr bytes...], ...}          first a response with these answers to the question
                                              for "evil.<name>" (same id, port and type), then
                                              the behaviour's own answer
    """

    def __init__(self, host="127.0.0.1", port=0):
        self.host = host
        self.behaviour = {}
        self.questions = []  # (transport, name, qtype)
        self.senders = []  # (id, source port) of every UDP question
        self.tcp_connections = 0
        self._loop = asyncio.new_event_loop()
        self._udp_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._udp_sock.bind((host, port))
        self.port = self._udp_sock.getsockname()[1]
        self._tcp_sock = socket.socket()
        self._tcp_sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._tcp_sock.bind((host, self.port))
        self._tcp_sock.listen(16)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._ready = threading.Event()

    def set(self, name, **behaviour):
        self.behaviour[name] = behaviour

    def start(self):
        self._thread.start()
        self._ready.wait(5)
        return self

    def stop(self):
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(5)
        self._udp_sock.close()
        self._tcp_sock.close()

    def _run(self):
        asyncio.set_event_loop(self._loop)
        self._loop.run_until_complete(self._setup())
        self._ready.set()
        self._loop.run_forever()

    async def _setup(self):
        double = self

        class Udp(asyncio.DatagramProtocol):
            def connection_made(self, transport):
                self.transport = transport

            def datagram_received(self, data, addr):
                double._on_udp(self.transport, data, addr)

        self._udp, _ = await self._loop.create_datagram_endpoint(Udp, sock=self._udp_sock)
        self._tcp_server = await asyncio.start_server(self._on_tcp, sock=self._tcp_sock)

    def _on_udp(self, transport, data, addr):
        q = parse_question(data)
        if q is None:
            return
        tid, name, qtype, question = q
        self.questions.append(("udp", name, qtype))
        self.senders.append((tid, addr[1]))
        b = self.behaviour.get(name, {"silent": True})
        if "forged" in b:
            evil = encode_name("evil." + name) + question[-4:]
            transport.sendto(response(tid, evil, b["forged"]), addr)
        if b.get("silent"):
            return
        if "raw" in b:
            raw = b["raw"]
            transport.sendto(struct.pack(">H", tid) + raw[2:] if len(raw) >= 2 else raw, addr)
            return
        if b.get("tc"):
            for _ in range(b["tc"]):
                transport.sendto(response(tid, question, flags=0x8380), addr)
            return
        msg = response(tid, question, b.get("answers", ()), flags=0x8180 | b.get("rcode", 0))
        if b.get("late"):
            self._loop.call_later(b["late"], transport.sendto, msg, addr)
        elif b.get("from_port") or b.get("from_addr"):
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.bind((b.get("from_addr", self.host), 0 if b.get("from_port") else self.port))
                s.sendto(msg, addr)
        else:
            transport.sendto(msg, addr)

    async def _on_tcp(self, reader, writer):
        self.tcp_connections += 1
        try:
            size = struct.unpack(">H", await reader.readexactly(2))[0]
            q = parse_question(await reader.readexactly(size))
            if q is None:
                return
            tid, name, qtype, question = q
            self.questions.append(("tcp", name, qtype))
            b = self.behaviour.get(name, {})
            if "tcp_raw" in b:
                writer.write(b["tcp_raw"])
            else:
                msg = response(tid, question, b.get("answers", ()))
                writer.write(struct.pack(">H", len(msg)) + msg)
            await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()
