#include "net/x_dns.h"

#include "core/fake_clock.h"

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

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
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
        for (uint16_t v : {tid, flags, uint16_t{1}, answers, uint16_t{0}, uint16_t{0}})
            put16(b, v);
        put_name(b, name);
        put16(b, qtype);
        put16(b, 1);
    }
    // An answer whose owner is a pointer to the question name.
    Reply &rr(uint16_t type, uint32_t ttl, const Bytes &data, uint16_t cls = 1) {
        b.insert(b.end(), {0xC0, 12});
        for (uint32_t v : {uint32_t{type}, uint32_t{cls}, ttl >> 16, ttl, uint32_t(data.size())})
            put16(b, static_cast<uint16_t>(v));
        b.insert(b.end(), data.begin(), data.end());
        return *this;
    }
    Reply &a(uint8_t last, uint32_t ttl = 300) { return rr(1, ttl, {10, 0, 0, last}); }
};

std::string addr_text(const sockaddr_storage *ss) {
    char text[INET6_ADDRSTRLEN] = {};
    const void *ip = &reinterpret_cast<const sockaddr_in6 *>(ss)->sin6_addr;
    if (ss->ss_family == AF_INET) ip = &reinterpret_cast<const sockaddr_in *>(ss)->sin_addr;
    inet_ntop(ss->ss_family, ip, text, sizeof(text));
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
    EXPECT_EQ(addr ? reinterpret_cast<sockaddr_in *>(addr)->sin_port : 0, 0); // port left 0
}

// A name server on 127.0.0.1 (UDP and TCP on one port) driven by the test, the resolver that
// uses it, and the loop pass that drives the resolver.
class DnsResolver : public ::testing::Test {
  protected:
    FakeClock clock{1000000};
    int udp = -1, tcp = -1, epfd = -1;
    uint16_t port = 0;
    std::string conf;
    x_dns_t *dns = nullptr;
    sockaddr_in client{};

    void SetUp() override {
        for (int attempt = 0; attempt < 20 && tcp < 0; attempt++)
            open_server();
        char path[] = "/tmp/x_dns_test_XXXXXX";
        int fd = mkstemp(path);
        close(fd);
        conf = path;
        write_conf("# test\nnameserver ::1\nnameserver 127.0.0.1\n");
        epfd = epoll_create1(EPOLL_CLOEXEC);
        dns = x_dns_create_at(epfd, conf.c_str(), port);
        ASSERT_NE(dns, nullptr);
    }
    void TearDown() override {
        x_dns_close(dns);
        close(udp);
        close(tcp);
        close(epfd);
        unlink(conf.c_str());
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
    // One loop pass: collect an epoll batch, run `between`, dispatch the batch, then the check.
    template <typename F> void pass(F between, int wait_ms) {
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
    void passes(int count) {
        for (int i = 0; i < count; i++)
            pass(20);
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
    for (const auto &c : cases)
        EXPECT_EQ(x_dns_name_valid(c.name.c_str(), c.name.size()), c.valid) << c.name;
}

TEST(DnsCodec, ParseResponse) {
    auto six = Reply(1, 0x8180, 6);
    for (uint8_t i = 1; i <= 6; i++)
        six.a(i, 300);
    auto truncated_second = Reply(1, 0x8180, 2).a(1);
    truncated_second.b.push_back(0xC0); // second answer: a pointer cut in half
    auto bad_label = Reply(1, 0x8180, 1);
    bad_label.b[12] = 0x40; // question name starts with a 0x40-0xBF byte
    auto cut_data = Reply(1, 0x8180, 1).a(1);
    cut_data.b.pop_back(); // the data length runs one byte past the end
    auto top_bit_ttl = Reply(1, 0x8180, 2).a(1, 0x80000001).a(2, 50);
    auto huge_count = Reply(1, 0x8180, 65535).a(3);

    const struct {
        const char *name;
        Bytes msg;
        int status;
        std::vector<uint8_t> lasts; // last octets of the addresses, in order
        uint32_t ttl;
    } cases[] = {
        {"six A records keep the first four", six.b, 0, {1, 2, 3, 4}, 300},
        {"top-bit TTL counts as 0", top_bit_ttl.b, 0, {1, 2}, 50},
        {"NXDOMAIN", Reply(1, 0x8183, 0).b, 638, {}, 0},
        {"SERVFAIL without answers", Reply(1, 0x8182, 0).b, 637, {}, 0},
        {"REFUSED without answers", Reply(1, 0x8185, 0).b, 637, {}, 0},
        {"short header", Bytes{0, 1, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0}, 637, {}, 0},
        {"question label 0x40", bad_label.a(1).b, 637, {}, 0},
        {"data length past the end", cut_data.b, 638, {}, 0},
        {"walk ends at a cut record, keeps earlier ones", truncated_second.b, 0, {1}, 300},
        {"answer count larger than the message", huge_count.b, 0, {3}, 300},
    };
    for (const auto &c : cases) {
        x_dns_answer_t ans;
        EXPECT_EQ(x_dns_parse_response(c.msg.data(), c.msg.size(), false, &ans), c.status)
            << c.name;
        ASSERT_EQ(ans.addr_count, c.lasts.size()) << c.name;
        for (size_t i = 0; i < c.lasts.size(); i++)
            EXPECT_EQ(ans.addrs[i][3], c.lasts[i]) << c.name;
        EXPECT_EQ(c.status == 0 ? ans.ttl : c.ttl, c.ttl) << c.name; // ttl only of an answer
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
    for (const auto &c : cases)
        EXPECT_EQ(x_dns_answer_matches(c.msg.data(), c.msg.size(), query, query_len), c.match)
            << c.name;
}

TEST_F(DnsResolver, TruncatedAnswerMovesToTcpOnce) {
    Answer a;
    ASSERT_NE(ask(&a, "big.test"), nullptr);
    Bytes q = recv_query();
    ASSERT_FALSE(q.empty());
    Reply tc(tid_of(q), 0x8380, 0, "big.test");
    reply(tc.b);
    reply(tc.b); // a duplicate truncated datagram
    passes(5);
    int conn = accept_tcp(2000);
    ASSERT_GE(conn, 0);
    EXPECT_EQ(accept_tcp(100), -1) << "a second TCP connection was opened";

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
    reply(Reply(tid_of(q), 0x8180, 1, "big.test").a(99).b);
    passes(3);
    EXPECT_EQ(a.calls, 0);

    // A message for another question is skipped; then the answer in small pieces, followed by
    // bytes that belong to no message.
    Reply full(tid_of(q), 0x8180, 6, "big.test");
    for (uint8_t i = 1; i <= 6; i++)
        full.a(i);
    Bytes framed;
    for (const Bytes &m : {Reply(tid_of(q), 0x8180, 1, "evil.test").a(66).b, full.b}) {
        put16(framed, static_cast<uint16_t>(m.size()));
        framed.insert(framed.end(), m.begin(), m.end());
    }
    framed.insert(framed.end(), {0xDE, 0xAD});
    for (size_t off = 0; off < framed.size(); off += 7) {
        size_t n = std::min<size_t>(7, framed.size() - off);
        ASSERT_EQ(send(conn, framed.data() + off, n, 0), static_cast<ssize_t>(n));
        pass(10);
    }
    run_until(a);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.addr.rfind("10.0.0.", 0), 0u);
    EXPECT_EQ(dns->ignored, 1u);
    close(conn);
}

// A query cancelled while its answer waits in the batch is not freed before the check: the batch
// still points at it.
TEST_F(DnsResolver, CancelInsideABatch) {
    Answer a;
    x_dns_query_t *q = ask(&a, "gone.test");
    ASSERT_NE(q, nullptr);
    Bytes req = recv_query();
    reply(Reply(tid_of(req), 0x8180, 1, "gone.test").a(1).b);
    pass([&] { x_dns_cancel(dns, q); }, 2000);
    passes(2);
    EXPECT_EQ(a.calls, 0);
}

// Each query leaves from a socket of its own, given back however the query ends; an answer to
// another question is ignored; a cancelled query never calls back; exactly 5000 ms is not yet a
// timeout; a late answer is ignored; a changed resolv.conf is read at the next check.
TEST_F(DnsResolver, TimeoutCancelAndReload) {
    int fds = open_fds();
    Answer slow, cancelled;
    ASSERT_NE(ask(&slow, "slow.test"), nullptr);
    Bytes slow_q = recv_query();
    sockaddr_in slow_from = client;
    x_dns_query_t *q = ask(&cancelled, "gone.test");
    ASSERT_NE(q, nullptr);
    Bytes gone_q = recv_query();
    EXPECT_NE(slow_from.sin_port, client.sin_port);
    EXPECT_EQ(open_fds(), fds + 2);
    x_dns_cancel(dns, q);
    x_dns_cancel(dns, q);
    reply(Reply(tid_of(gone_q), 0x8180, 1, "gone.test").a(1).b);
    client = slow_from;
    reply(Reply(tid_of(slow_q), 0x8180, 1, "gone.test").a(1).b);
    clock.now += 5000;
    passes(5);
    EXPECT_EQ(slow.calls + cancelled.calls, 0);
    EXPECT_EQ(dns->ignored, 1u);
    clock.now += 1;
    pass(0);
    EXPECT_EQ(slow.calls, 1);
    EXPECT_EQ(slow.status, 639);
    reply(Reply(tid_of(slow_q), 0x8180, 1, "slow.test").a(1).b);
    passes(3);
    EXPECT_EQ(slow.calls + cancelled.calls, 1);
    EXPECT_EQ(open_fds(), fds);
    write_conf("nameserver 127.0.0.2\n");
    clock.now += 60000;
    pass(0);
    EXPECT_EQ(dns->server_addr.sin_addr.s_addr, inet_addr("127.0.0.2"));
    EXPECT_EQ(ntohs(dns->server_addr.sin_port), port);
}

// Non-responses, unknown ids and answers from another port are dropped; the answer is cached,
// with or without a trailing dot, until its TTL passed and a check ran.
TEST_F(DnsResolver, UdpAnswerThenCache) {
    Answer a;
    ASSERT_NE(ask(&a, "a.test."), nullptr);
    Bytes q = recv_query();
    uint16_t id = tid_of(q);
    // Recursion desired, one A question; the trailing dot is not sent as an empty label.
    EXPECT_EQ(q, Reply(id, 0x0100, 0).b);

    reply(Reply(id, 0x0180, 1).a(66).b); // not a response
    reply(Reply(static_cast<uint16_t>(id + 1), 0x8180, 1).a(66).b);
    int other = socket(AF_INET, SOCK_DGRAM, 0); // the connected socket never sees it
    send_from(other, Reply(id, 0x8180, 1).a(66).b);
    close(other);
    passes(5);
    EXPECT_EQ(a.calls, 0);

    reply(Reply(id, 0x8180, 1).a(7, 300).b);
    run_until(a);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.addr, "10.0.0.7");

    for (const char *name : {"a.test", "a.test."}) {
        Answer b;
        EXPECT_EQ(ask(&b, name), nullptr);
        EXPECT_EQ(b.addr, "10.0.0.7");
    }
    clock.now += 299 * 1000;
    pass(0);
    Answer c;
    EXPECT_EQ(ask(&c, "a.test"), nullptr) << "TTL not over yet at the 60 s checks";
    clock.now += 60 * 1000 + 1;
    pass(0);
    Answer d;
    EXPECT_NE(ask(&d, "a.test"), nullptr);
    EXPECT_FALSE(recv_query().empty());

    // Ids are drawn at random, so a blind sender cannot guess the next one.
    int sequential = 0;
    for (int i = 0; i < 8; i++) {
        Answer m;
        ASSERT_NE(ask(&m, "r.test"), nullptr);
        uint16_t next = tid_of(recv_query());
        sequential += next == static_cast<uint16_t>(id + 1);
        id = next;
    }
    EXPECT_LT(sequential, 2);
}

// Literals and names of the hosts file are answered at once (from the file: IPv4 first, IPv6
// only for AAAA, localhost even when absent), invalid names refused with 638 before anything is
// sent.
TEST_F(DnsResolver, AnsweredWithoutNetwork) {
    std::string hosts = conf + ".hosts";
    std::ofstream(hosts) << "10.2.0.1 only.test alias.test\nfd00::2 six.test\n"
                            "10.2.0.3 both.test\nfd00::3 both.test\n";
    x_dns_use_hosts(dns, hosts.c_str(), false);
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
        EXPECT_EQ(x_dns_query(dns, c.name.data(), c.name.size(), &a, on_answer, c.v6), nullptr);
        EXPECT_EQ(a.status, c.status) << c.name;
        EXPECT_EQ(a.addr, c.addr) << c.name;
    }
    EXPECT_TRUE(recv_query(50).empty());
    // An AAAA question answered over UDP.
    Answer v6;
    ASSERT_NE(ask(&v6, "v6.test", true), nullptr);
    Bytes q = recv_query();
    EXPECT_EQ(q, Reply(tid_of(q), 0x0100, 0, "v6.test", 28).b);
    reply(Reply(tid_of(q), 0x8180, 1, "v6.test", 28).rr(28, 60, Bytes(16, 0xFE)).b);
    run_until(v6);
    EXPECT_EQ(v6.addr, "fefe:fefe:fefe:fefe:fefe:fefe:fefe:fefe");
}
