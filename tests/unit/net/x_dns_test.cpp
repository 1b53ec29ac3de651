#include "net/x_dns.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

#include "dict/dict.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t fake_now = 0;
uint64_t fake_clock() {
    return fake_now;
}

void put16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void put32(Bytes &b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v >> 16));
    put16(b, static_cast<uint16_t>(v));
}
void put_name(Bytes &b, const std::string &name) {
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        b.push_back(static_cast<uint8_t>(dot - start));
        b.insert(b.end(), name.begin() + static_cast<long>(start),
                 name.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    b.push_back(0);
}

// A response: header, the question for `name`, then whatever answers the test appends.
struct Reply {
    Bytes b;
    Reply(uint16_t tid, uint16_t flags, uint16_t answers, const std::string &name = "a.test",
          uint16_t qtype = 1) {
        put16(b, tid);
        put16(b, flags);
        put16(b, 1);
        put16(b, answers);
        put16(b, 0);
        put16(b, 0);
        put_name(b, name);
        put16(b, qtype);
        put16(b, 1);
    }
    // An answer whose owner is a pointer to the question name.
    Reply &rr(uint16_t type, uint32_t ttl, const Bytes &data, uint16_t cls = 1) {
        b.push_back(0xC0);
        b.push_back(12);
        put16(b, type);
        put16(b, cls);
        put32(b, ttl);
        put16(b, static_cast<uint16_t>(data.size()));
        b.insert(b.end(), data.begin(), data.end());
        return *this;
    }
    Reply &a(uint8_t last, uint32_t ttl = 300) { return rr(1, ttl, {10, 0, 0, last}); }
};

std::string addr_text(const sockaddr_storage *ss) {
    char text[INET6_ADDRSTRLEN] = {};
    if (ss->ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(ss)->sin_addr, text,
                  sizeof(text));
    } else {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(ss)->sin6_addr, text,
                  sizeof(text));
    }
    return text;
}

struct Answer {
    int calls = 0;
    int status = -1;
    std::string addr;
};

void on_answer(void *original, int status, sockaddr_storage *addr) {
    auto *a = static_cast<Answer *>(original);
    a->calls++;
    a->status = status;
    a->addr = addr ? addr_text(addr) : "";
    if (addr) {
        EXPECT_EQ(reinterpret_cast<sockaddr_in *>(addr)->sin_port, 0);
    }
}

// A name server on 127.0.0.1 (UDP and TCP on one port) driven by the test, the resolver that
// uses it, and the loop pass that drives the resolver.
struct Harness {
    int udp = -1, tcp = -1, epfd = -1;
    uint16_t port = 0;
    std::string conf;
    x_dns_t *dns = nullptr;
    sockaddr_in client{};

    Harness() {
        fake_now = 1000000;
        x_time_set_clock(fake_clock);
        for (int attempt = 0; attempt < 20 && tcp < 0; attempt++)
            open_server();
        char path[] = "/tmp/x_dns_test_XXXXXX";
        int fd = mkstemp(path);
        close(fd);
        conf = path;
        write_conf("# test\nnameserver ::1\nnameserver 127.0.0.1\n");
        epfd = epoll_create1(EPOLL_CLOEXEC);
        dns = x_dns_create_at(epfd, conf.c_str(), port);
    }
    ~Harness() {
        x_dns_close(dns);
        close(udp);
        close(tcp);
        close(epfd);
        unlink(conf.c_str());
        x_time_set_clock(nullptr);
    }
    void open_server() {
        udp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(udp, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
        socklen_t len = sizeof(sin);
        getsockname(udp, reinterpret_cast<sockaddr *>(&sin), &len);
        port = ntohs(sin.sin_port);
        tcp = socket(AF_INET, SOCK_STREAM, 0);
        if (bind(tcp, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0 ||
            listen(tcp, 4) != 0) {
            close(tcp);
            close(udp);
            tcp = -1;
        }
    }
    void write_conf(const std::string &text) {
        FILE *f = fopen(conf.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
    }
    // Next query datagram the server received (waits up to 2 s); empty when none.
    Bytes recv_query(int wait_ms = 2000) {
        pollfd p{udp, POLLIN, 0};
        if (poll(&p, 1, wait_ms) != 1) return {};
        uint8_t buf[1024];
        socklen_t len = sizeof(client);
        ssize_t n = recvfrom(udp, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&client), &len);
        return Bytes(buf, buf + (n > 0 ? n : 0));
    }
    void send_from(int fd, const Bytes &msg) {
        sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&client),
               sizeof(client));
    }
    void reply(const Bytes &msg) { send_from(udp, msg); }
    // Collects one epoll batch, runs `between` (if any), dispatches the batch, then the check.
    template <typename F> void pass(F between, int wait_ms = 50) {
        epoll_event evs[16];
        int n = epoll_wait(epfd, evs, 16, wait_ms);
        between();
        for (int i = 0; i < n; i++) {
            auto *ev = static_cast<event_data_t *>(evs[i].data.ptr);
            if (ev->handler) ev->handler(nullptr, ev, evs[i].events);
        }
        x_dns_check(dns);
    }
    void pass(int wait_ms = 50) {
        pass([] {}, wait_ms);
    }
    // Loop passes until the answer arrived or about 2 s passed.
    void run_until(const Answer &a) {
        for (int i = 0; i < 40 && a.calls == 0; i++)
            pass();
    }
    int accept_tcp(int wait_ms) {
        pollfd p{tcp, POLLIN, 0};
        if (poll(&p, 1, wait_ms) != 1) return -1;
        return accept(tcp, nullptr, nullptr);
    }
    x_dns_query_t *ask(Answer *a, const char *name, bool v6 = false) {
        return x_dns_query(dns, name, strlen(name), a, on_answer, v6);
    }
};

int open_fds() {
    int n = 0;
    for (int fd = 0; fd < 1024; fd++)
        n += fcntl(fd, F_GETFD) != -1;
    return n;
}

uint16_t tid_of(const Bytes &q) {
    return static_cast<uint16_t>(q.at(0) << 8 | q.at(1));
}

} // namespace

TEST(DnsCodec, QueryIsByteExact) {
    uint8_t out[512];
    size_t n = x_dns_build_query(out, 0x1234, "www.ex.com", 10, false);
    const Bytes want = {0x12, 0x34, 0x01, 0x00, 0,   1, 0,   0,   0,   0, 0, 0, 3, 'w',
                        'w',  'w',  2,    'e',  'x', 3, 'c', 'o', 'm', 0, 0, 1, 0, 1};
    EXPECT_EQ(Bytes(out, out + n), want);
    n = x_dns_build_query(out, 1, "ab", 2, true);
    EXPECT_EQ(Bytes(out + 12, out + n), (Bytes{2, 'a', 'b', 0, 0, 28, 0, 1}));
    // The longest name fits in the request buffer with its length prefix.
    std::string longest;
    while (longest.size() < 253)
        longest += longest.empty() ? std::string(63, 'a') : ".aaaaaaa";
    longest.resize(253);
    ASSERT_TRUE(x_dns_name_valid(longest.c_str(), longest.size()));
    EXPECT_LE(x_dns_build_query(out, 1, longest.c_str(), longest.size(), false) + 2, 512u);
}

TEST(DnsCodec, NameValidity) {
    const struct {
        std::string name;
        bool valid;
    } cases[] = {
        {"a", true},
        {"example.com", true},
        {std::string(63, 'x') + ".com", true},
        {std::string(64, 'x') + ".com", false},
        {std::string(253, 'a').replace(63, 1, ".").replace(127, 1, ".").replace(191, 1, "."), true},
        {std::string(254, 'a').replace(63, 1, ".").replace(127, 1, ".").replace(191, 1, "."),
         false},
        {"a..b", false},
        {".a", false},
        {"a.", false}, // x_dns_query strips one trailing dot before this check
        {".", false},
        {"", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(x_dns_name_valid(c.name.c_str(), c.name.size()), c.valid) << c.name;
    }
}

TEST(DnsCodec, ParseResponse) {
    auto six = Reply(1, 0x8180, 6);
    for (uint8_t i = 1; i <= 6; i++)
        six.a(i, 300);
    auto truncated_second = Reply(1, 0x8180, 2).a(1);
    truncated_second.b.push_back(0xC0); // second answer: a pointer cut in half
    auto bad_label = Reply(1, 0x8180, 1);
    bad_label.b[12] = 0x40; // question name starts with a 0x40-0xBF byte

    const struct {
        const char *name;
        Bytes msg;
        bool v6;
        int status;
        std::vector<uint8_t> lasts; // last octets of the addresses, in order
        uint32_t ttl;
    } cases[] = {
        {"six A records keep the first four", six.b, false, 0, {1, 2, 3, 4}, 300},
        {"top-bit TTL counts as 0",
         Reply(1, 0x8180, 2).a(1, 0x80000001).a(2, 50).b,
         false,
         0,
         {1, 2},
         50},
        {"NXDOMAIN", Reply(1, 0x8183, 0).b, false, 638, {}, 0},
        {"SERVFAIL without answers", Reply(1, 0x8182, 0).b, false, 637, {}, 0},
        {"REFUSED without answers", Reply(1, 0x8185, 0).b, false, 637, {}, 0},
        {"short header", Bytes{0, 1, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0}, false, 637, {}, 0},
        {"question label 0x40", bad_label.a(1).b, false, 637, {}, 0},
        {"data length past the end",
         [] {
             auto r = Reply(1, 0x8180, 1).a(1);
             r.b.resize(r.b.size() - 1);
             return r.b;
         }(),
         false,
         638,
         {},
         0},
        {"walk ends at a cut record, keeps earlier ones", truncated_second.b, false, 0, {1}, 300},
        {"answer count larger than the message",
         Reply(1, 0x8180, 65535).a(3).b,
         false,
         0,
         {3},
         300},
    };
    for (const auto &c : cases) {
        x_dns_answer_t ans;
        EXPECT_EQ(x_dns_parse_response(c.msg.data(), c.msg.size(), c.v6, &ans), c.status) << c.name;
        ASSERT_EQ(ans.addr_count, c.lasts.size()) << c.name;
        for (size_t i = 0; i < c.lasts.size(); i++) {
            EXPECT_EQ(ans.addrs[i][c.v6 ? 15 : 3], c.lasts[i]) << c.name;
        }
        if (c.status == 0) {
            EXPECT_EQ(ans.ttl, c.ttl) << c.name;
        }
    }
}

TEST(DnsCodec, AnswerMatchesItsQuestionOnly) {
    uint8_t query[512];
    size_t query_len = x_dns_build_query(query, 0x1234, "a.test", 6, false);
    auto wrong_class = Reply(0x1234, 0x8180, 1).a(1);
    wrong_class.b[12 + 8 + 3] = 3;
    const struct {
        const char *name;
        Bytes msg;
        bool match;
    } cases[] = {
        {"the answer", Reply(0x1234, 0x8180, 1).a(1).b, true},
        {"the name in another case", Reply(0x1234, 0x8180, 1, "A.TeSt").a(1).b, true},
        {"truncated", Reply(0x1234, 0x8380, 0).b, true},
        {"not a response", Reply(0x1234, 0x0180, 1).a(1).b, false},
        {"another id", Reply(0x1235, 0x8180, 1).a(1).b, false},
        {"another name", Reply(0x1234, 0x8180, 1, "b.test").a(1).b, false},
        {"a longer name", Reply(0x1234, 0x8180, 0, "a.test.x").b, false},
        {"a shorter name", Reply(0x1234, 0x8180, 0, "a.tes").b, false},
        {"another type", Reply(0x1234, 0x8180, 1, "a.test", 28).a(1).b, false},
        {"another class", wrong_class.b, false},
        {"no question", Bytes{0x12, 0x34, 0x81, 0x80, 0, 0, 0, 1, 0, 0, 0, 0}, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(x_dns_answer_matches(c.msg.data(), c.msg.size(), query, query_len), c.match)
            << c.name;
    }
}

TEST(DnsResolver, TruncatedAnswerMovesToTcpOnce) {
    Harness h;
    ASSERT_NE(h.dns, nullptr);
    Answer a;
    ASSERT_NE(h.ask(&a, "big.test"), nullptr);
    Bytes q = h.recv_query();
    ASSERT_FALSE(q.empty());
    Reply tc(tid_of(q), 0x8380, 0, "big.test");
    h.reply(tc.b);
    h.reply(tc.b); // a duplicate truncated datagram
    for (int i = 0; i < 5; i++)
        h.pass(20);
    int conn = h.accept_tcp(2000);
    ASSERT_GE(conn, 0);
    EXPECT_EQ(h.accept_tcp(100), -1) << "a second TCP connection was opened";

    // The same request, with its length prefix.
    uint8_t got[600];
    size_t have = 0;
    while (have < q.size() + 2) {
        pollfd p{conn, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        ssize_t n = recv(conn, got + have, sizeof(got) - have, 0);
        ASSERT_GT(n, 0);
        have += static_cast<size_t>(n);
    }
    EXPECT_EQ(have, q.size() + 2);
    EXPECT_EQ(got[0] << 8 | got[1], static_cast<int>(q.size()));
    EXPECT_EQ(Bytes(got + 2, got + have), q);

    // A UDP answer for the same id is no longer taken.
    h.reply(Reply(tid_of(q), 0x8180, 1, "big.test").a(99).b);
    for (int i = 0; i < 3; i++)
        h.pass(20);
    EXPECT_EQ(a.calls, 0);

    // A message for another question is skipped; then the answer in small pieces, followed by
    // bytes that belong to no message.
    Reply forged(tid_of(q), 0x8180, 1, "evil.test");
    forged.a(66);
    Bytes framed;
    put16(framed, static_cast<uint16_t>(forged.b.size()));
    framed.insert(framed.end(), forged.b.begin(), forged.b.end());
    Reply full(tid_of(q), 0x8180, 6, "big.test");
    for (uint8_t i = 1; i <= 6; i++)
        full.a(i);
    put16(framed, static_cast<uint16_t>(full.b.size()));
    framed.insert(framed.end(), full.b.begin(), full.b.end());
    framed.insert(framed.end(), {0xDE, 0xAD});
    for (size_t off = 0; off < framed.size(); off += 7) {
        size_t n = std::min<size_t>(7, framed.size() - off);
        ASSERT_EQ(send(conn, framed.data() + off, n, 0), static_cast<ssize_t>(n));
        h.pass(10);
    }
    h.run_until(a);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.addr.rfind("10.0.0.", 0), 0u);
    EXPECT_EQ(h.dns->ignored, 1u);
    close(conn);
}

TEST(DnsResolver, TcpFailuresAndCancelInsideABatch) {
    const struct {
        const char *name;
        bool cancel_in_batch; // cancel between epoll_wait and dispatch
        int status;           // expected callback status, -1 for none
    } cases[] = {
        {"server closes without answering", false, 637},
        {"cancelled while its event waits in the batch", true, -1},
    };
    for (const auto &c : cases) {
        Harness h;
        ASSERT_NE(h.dns, nullptr);
        int fds = open_fds();
        Answer a;
        x_dns_query_t *q = h.ask(&a, "tcp.test");
        ASSERT_NE(q, nullptr);
        Bytes req = h.recv_query();
        h.reply(Reply(tid_of(req), 0x8380, 0, "tcp.test").b);
        h.pass(200);
        int conn = h.accept_tcp(2000);
        ASSERT_GE(conn, 0);
        h.pass(200); // connected: the request goes out
        uint8_t sink[600];
        pollfd p{conn, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        ASSERT_GT(recv(conn, sink, sizeof(sink), 0), 0);
        close(conn); // readable (end of stream) on the resolver's side
        bool cancelled = false;
        for (int i = 0; i < 20 && a.calls == 0 && !cancelled; i++) {
            h.pass([&] {
                if (c.cancel_in_batch && !cancelled) {
                    x_dns_cancel(h.dns, q);
                    cancelled = true;
                }
            });
        }
        for (int i = 0; i < 3; i++)
            h.pass(10);
        EXPECT_EQ(a.calls, c.status < 0 ? 0 : 1) << c.name;
        if (c.status >= 0) {
            EXPECT_EQ(a.status, c.status) << c.name;
        }
        EXPECT_EQ(dictSize(h.dns->pending), 0u) << c.name;
        EXPECT_EQ(open_fds(), fds) << c.name;
    }
}

// Each query leaves from a socket of its own, given back however the query ends; an answer to
// another question is ignored; a cancelled query never calls back; exactly 5000 ms is not yet a
// timeout; a late answer is ignored; a changed resolv.conf is read at the next check.
TEST(DnsResolver, TimeoutCancelAndReload) {
    Harness h;
    ASSERT_NE(h.dns, nullptr);
    int fds = open_fds();
    Answer slow, cancelled;
    ASSERT_NE(h.ask(&slow, "slow.test"), nullptr);
    Bytes slow_q = h.recv_query();
    sockaddr_in slow_from = h.client;
    x_dns_query_t *q = h.ask(&cancelled, "gone.test");
    ASSERT_NE(q, nullptr);
    Bytes gone_q = h.recv_query();
    EXPECT_NE(slow_from.sin_port, h.client.sin_port);
    EXPECT_EQ(open_fds(), fds + 2);
    x_dns_cancel(h.dns, q);
    x_dns_cancel(h.dns, q);
    h.reply(Reply(tid_of(gone_q), 0x8180, 1, "gone.test").a(1).b);
    h.client = slow_from;
    h.reply(Reply(tid_of(slow_q), 0x8180, 1, "gone.test").a(1).b);
    fake_now += 5000;
    for (int i = 0; i < 5; i++)
        h.pass(20);
    EXPECT_EQ(slow.calls + cancelled.calls, 0);
    EXPECT_EQ(h.dns->ignored, 1u);
    fake_now += 1;
    h.pass(0);
    EXPECT_EQ(slow.calls, 1);
    EXPECT_EQ(slow.status, 639);
    h.reply(Reply(tid_of(slow_q), 0x8180, 1, "slow.test").a(1).b);
    for (int i = 0; i < 3; i++)
        h.pass(20);
    EXPECT_EQ(slow.calls + cancelled.calls, 1);
    EXPECT_EQ(open_fds(), fds);
    h.write_conf("nameserver 127.0.0.2\n");
    fake_now += 60000;
    h.pass(0);
    EXPECT_EQ(h.dns->server_addr.sin_addr.s_addr, inet_addr("127.0.0.2"));
    EXPECT_EQ(ntohs(h.dns->server_addr.sin_port), h.port);
}

// Non-responses, unknown ids and answers from another port are dropped; the answer is cached,
// with or without a trailing dot, until its TTL passed and a check ran.
TEST(DnsResolver, UdpAnswerThenCache) {
    Harness h;
    ASSERT_NE(h.dns, nullptr);
    Answer a;
    ASSERT_NE(h.ask(&a, "a.test."), nullptr);
    Bytes q = h.recv_query();
    ASSERT_EQ(q.size(), 12u + 8 + 4); // the trailing dot is not sent as an empty label
    uint16_t id = tid_of(q);

    Reply not_response(id, 0x0180, 1);
    h.reply(not_response.a(66).b);
    h.reply(Reply(static_cast<uint16_t>(id + 1), 0x8180, 1).a(66).b);
    int other = socket(AF_INET, SOCK_DGRAM, 0); // the connected socket never sees it
    h.send_from(other, Reply(id, 0x8180, 1).a(66).b);
    close(other);
    for (int i = 0; i < 5; i++)
        h.pass(20);
    EXPECT_EQ(a.calls, 0);

    h.reply(Reply(id, 0x8180, 1).a(7, 300).b);
    h.run_until(a);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.addr, "10.0.0.7");

    for (const char *name : {"a.test", "a.test."}) {
        Answer b;
        EXPECT_EQ(h.ask(&b, name), nullptr);
        EXPECT_EQ(b.addr, "10.0.0.7");
    }
    fake_now += 299 * 1000;
    h.pass(0);
    Answer c;
    EXPECT_EQ(h.ask(&c, "a.test"), nullptr) << "TTL not over yet at the 60 s checks";
    fake_now += 60 * 1000 + 1;
    h.pass(0);
    Answer d;
    EXPECT_NE(h.ask(&d, "a.test"), nullptr);
    EXPECT_FALSE(h.recv_query().empty());
}

// Literals and names of the hosts file are answered at once (from the file: IPv4 first, IPv6
// only for AAAA, localhost even when absent), invalid names refused with 638 before anything is
// sent.
TEST(DnsResolver, AnsweredWithoutNetwork) {
    Harness h;
    ASSERT_NE(h.dns, nullptr);
    std::string hosts = h.conf + ".hosts";
    std::ofstream(hosts) << "10.2.0.1 only.test alias.test\nfd00::2 six.test\n"
                            "10.2.0.3 both.test\nfd00::3 both.test\n";
    x_dns_use_hosts(h.dns, hosts.c_str(), false);
    unlink(hosts.c_str()); // the names stay
    const struct {
        std::string name;
        bool v6;
        int status;
        const char *addr;
    } cases[] = {
        {"10.1.2.3", false, 0, "10.1.2.3"},      {"10.1.2.3", true, 0, "10.1.2.3"},
        {"fe80::1", true, 0, "fe80::1"},         {"", false, 638, ""},
        {std::string(254, 'a'), false, 638, ""}, {"a..com", false, 638, ""},
        {"ALIAS.test.", false, 0, "10.2.0.1"},   {"only.test", true, 0, "10.2.0.1"},
        {"six.test", true, 0, "fd00::2"},        {"both.test", true, 0, "10.2.0.3"},
        {"LocalHost.", true, 0, "127.0.0.1"},
    };
    for (const auto &c : cases) {
        Answer a;
        EXPECT_EQ(x_dns_query(h.dns, c.name.data(), c.name.size(), &a, on_answer, c.v6), nullptr);
        EXPECT_EQ(a.status, c.status) << c.name;
        EXPECT_EQ(a.addr, c.addr) << c.name;
    }
    EXPECT_TRUE(h.recv_query(50).empty());
    // An AAAA question answered over UDP.
    Answer v6;
    ASSERT_NE(h.ask(&v6, "v6.test", true), nullptr);
    Bytes q = h.recv_query();
    h.reply(Reply(tid_of(q), 0x8180, 1, "v6.test", 28).rr(28, 60, Bytes(16, 0xFE)).b);
    h.run_until(v6);
    EXPECT_EQ(v6.addr, "fefe:fefe:fefe:fefe:fefe:fefe:fefe:fefe");
}
