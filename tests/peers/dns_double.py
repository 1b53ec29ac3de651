"""A scripted DNS server over UDP (asyncio, in a thread of its own) for what a real server will not
do: it records the id and source port of every question in `senders` (and (transport, name,
qtype) in `questions`), and answers set(name, answers=[...], forged=[...]) with, first, the forged
answers in a response to the question for "evil.<name>" (same id, port and type), then the real
ones. A name without a behaviour gets no answer. Its codec is written here, not the product's."""
import asyncio
import socket
import struct
import threading


def rr_a(addr, ttl):
    return struct.pack(">HHHIH", 0xC00C, 1, 1, ttl, 4) + socket.inet_aton(addr)


def response(tid, question, answers):
    return struct.pack(">HHHHHH", tid, 0x8180, 1, len(answers), 0, 0) + question + b"".join(answers)


class DnsDouble(asyncio.DatagramProtocol):
    def __init__(self, host, port):
        self.behaviour, self.questions, self.senders = {}, [], []
        self._loop = asyncio.new_event_loop()
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._sock.bind((host, port))

    def set(self, name, **behaviour):
        self.behaviour[name] = behaviour

    def start(self):
        ready = threading.Event()

        def run():
            asyncio.set_event_loop(self._loop)
            self._loop.run_until_complete(
                self._loop.create_datagram_endpoint(lambda: self, sock=self._sock))
            ready.set()
            self._loop.run_forever()
        self._thread = threading.Thread(target=run, daemon=True)
        self._thread.start()
        ready.wait(5)
        return self

    def stop(self):
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(5)
        self._sock.close()

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        tid, pos, labels = struct.unpack(">H", data[:2])[0], 12, []
        while pos < len(data) and data[pos] != 0:
            labels.append(data[pos + 1:pos + 1 + data[pos]].decode(errors="replace"))
            pos += 1 + data[pos]
        if pos + 5 > len(data):
            return
        name, question = ".".join(labels), data[12:pos + 5]
        self.questions.append(("udp", name, struct.unpack(">H", data[pos + 1:pos + 3])[0]))
        self.senders.append((tid, addr[1]))
        b = self.behaviour.get(name)
        if b is None:
            return
        if "forged" in b:
            self.transport.sendto(response(tid, b"\x04evil" + question, b["forged"]), addr)
        self.transport.sendto(response(tid, question, b.get("answers", [])), addr)
