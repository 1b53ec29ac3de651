#include "core/platform_kni.h"
#include "core/token_bucket.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A started server with one thread and no listeners: the real close-and-free machinery.
struct OneThreadServer {
    x_server_t *s = x_server_create();
    OneThreadServer() {
        s->config.src_timeout = 1000;
        s->config.dst_timeout = 1000;
        EXPECT_TRUE(x_server_start(s));
    }
    ~OneThreadServer() { x_server_close(s); }
};

ngx_str_t str(const std::string &s) {
    ngx_str_t out{};
    EXPECT_TRUE(ngx_str_init(&out, s.data(), s.size()));
    return out;
}

// A relayed session between two socket pairs: test writes to `client`, reads from `dest`.
struct RelayPair {
    int client = 0, dest = 0;
    x_client_t *c = nullptr;
    explicit RelayPair(x_server_t *s) {
        int a[2], b[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, a), 0);
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, b), 0);
        client = a[1];
        dest = b[1];
        c = x_client_new(s);
        c->thread = s->main_thread;
        c->connect_ev_data.fd = a[0];
        c->tcp_dst_ev_data.fd = b[0];
        x_client_relay_prepare(c);
        for (event_data_t *ev : {&c->tcp_dst_ev_data, &c->connect_ev_data})
            EXPECT_TRUE(ev_add_event(s->main_thread->epoll_fd, ev, EPOLLIN, on_tcp_relay));
    }
    // Closes the session unless it ended (and was freed) by itself, and both ends.
    void end(x_server_t *s, bool ended = false) {
        if (!ended) x_client_close(c);
        work_thread_do(s->main_thread);
        close(client);
        close(dest);
    }
};

// Both relay paths: one-segment reads copied through a buffer, and the default size, spliced.
class Relay : public testing::TestWithParam<uint32_t> {
  protected:
    OneThreadServer srv;
    void SetUp() override { srv.s->config.relay_buffer = GetParam(); }
    void pass() { work_thread_do(srv.s->main_thread); }
};

uint8_t pattern(size_t i, int seed) {
    return static_cast<uint8_t>((i * 131 + i / 251 + static_cast<size_t>(seed)) & 0xff);
}

// Writes what the socket takes of `total` pattern bytes, from offset *written.
void feed(int fd, size_t total, size_t *written, int seed) {
    uint8_t chunk[16384];
    ssize_t w = 1;
    while (*written < total && w > 0) {
        size_t n = std::min(sizeof chunk, total - *written);
        for (size_t i = 0; i < n; i++)
            chunk[i] = pattern(*written + i, seed);
        if ((w = write(fd, chunk, n)) > 0) *written += static_cast<size_t>(w);
    }
}

// Reads what is there against the pattern: false on a wrong byte; `eof` tells if the stream ended.
bool drain(int fd, size_t *received, int seed, bool *eof = nullptr) {
    uint8_t chunk[65536];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        for (ssize_t i = 0; i < n; i++)
            if (chunk[i] != pattern((*received)++, seed)) return false;
    if (eof) *eof = n == 0;
    return true;
}

} // namespace

TEST(Session, ProtoNameNeverReadsPastItsTable) {
    EXPECT_STREQ(proto_name(3), "tovask");
    EXPECT_STREQ(proto_name(200), "unknown");
}

INSTANTIATE_TEST_SUITE_P(Sizes, Relay, testing::Values(1500u, 131072u));

TEST_P(Relay, StalledOutputKeepsABoundedTailAndLosesNothing) {
    // A's destination stops reading: A holds one read at most; B on its thread gets its own bytes.
    RelayPair a(srv.s), b(srv.s);
    EXPECT_EQ(a.c->up.mss, 1500u);           // no TCP segment size here: one full segment still
    EXPECT_EQ(a.c->down.buf.start, nullptr); // a session that moved nothing holds no buffer
    constexpr size_t kTotal = 4 << 20;
    size_t a_in = 0, a_out = 0, b_in = 0, b_out = 0, most = 0;
    for (int i = 0; i < 5000 && b_out < kTotal; i++) {
        feed(a.client, kTotal, &a_in, 1);
        feed(b.client, kTotal, &b_in, 2);
        pass();
        most = std::max(most, buf_capacity(&a.c->up.buf));
        ASSERT_TRUE(drain(b.dest, &b_out, 2));
    }
    EXPECT_EQ(b_out, kTotal);
    EXPECT_LT(a_in, kTotal); // A's client was held back
    EXPECT_LE(most, GetParam());
    for (int i = 0; i < 5000 && a_out < kTotal; i++) {
        feed(a.client, kTotal, &a_in, 1);
        pass();
        ASSERT_TRUE(drain(a.dest, &a_out, 1));
    }
    EXPECT_EQ(a_out, kTotal);
    EXPECT_EQ(a.c->up.buf.start, nullptr); // the drained tail gave its buffer back
    EXPECT_EQ(b.c->up.buf.start, nullptr); // so did B's
    a.end(srv.s);
    b.end(srv.s);
}

TEST_P(Relay, EndOfStreamFlushesWhatIsBufferedThenCloses) {
    // A tail held for a destination that does not read reaches it before the session ends.
    RelayPair p(srv.s);
    size_t written = 0, received = 0;
    for (int i = 0; i < 20; i++) {
        feed(p.client, 1 << 22, &written, 4);
        pass();
    }
    ASSERT_GT(buf_size(&p.c->up.buf), 0u);
    shutdown(p.client, SHUT_WR);
    bool ended = false; // the session closes (and is freed) within a pass: watch the far end
    for (int i = 0; i < 5000 && !ended; i++) {
        pass();
        ASSERT_TRUE(drain(p.dest, &received, 4, &ended));
    }
    EXPECT_EQ(received, written);
    p.end(srv.s, ended);
}

// Reads are sized to what the bucket lets through before its debt passes the pause threshold.
TEST(Relay, BucketRoomIsWhatATakeMayChargeBeforeTheDebtPassesTheLimit) {
    EXPECT_EQ(token_bucket_room(nullptr, 100000), UINT64_MAX);
    token_bucket_t tb;
    token_bucket_init(&tb, 100000, 100000); // a full bucket plus 100 ms of debt: 110000 bytes
    uint64_t room = token_bucket_room(&tb, 100000);
    EXPECT_GE(room, 109900u);
    EXPECT_LE(room, 110000u);
    (void)token_bucket_take(&tb, room + 50000); // further in debt than the limit: no room
    EXPECT_EQ(token_bucket_room(&tb, 100000), 0u);
}

TEST(Session, ErrorLineLeavesTheTokenAloneWhileAQuestionIsOut) {
    OneThreadServer srv;
    x_client_t *c = x_client_new(srv.s);
    c->auth_result.log_token = str("user-token");
    for (bool pending : {false, true}) {
        c->auth_request.question_pending = pending;
        testing::internal::CaptureStdout();
        x_client_log_error(c, X_ERROR_AUTH_TIMEOUT, "test");
        std::string line = testing::internal::GetCapturedStdout();
        EXPECT_NE(line.find(pending ? "token[]" : "token[user-token]"), std::string::npos) << line;
    }
    x_client_free(c);
}

TEST_P(Relay, ABusyDirectionYieldsAfterABoundedRun) {
    // A source that never runs dry gets a bounded run per pass; the other direction moves too.
    RelayPair p(srv.s);
    std::string chunk(1 << 16, 'u');
    for (int fd : {p.client, p.dest})
        while (write(fd, chunk.data(), chunk.size()) > 0) {
        }
    pass();
    char sink[1 << 16];
    for (int fd : {p.dest, p.client}) { // what went up, then what came down
        size_t moved = 0;
        ssize_t n;
        while ((n = read(fd, sink, sizeof sink)) > 0)
            moved += static_cast<size_t>(n);
        EXPECT_GT(moved, 0u);
        EXPECT_LE(moved, std::max<size_t>(GetParam(), 16 * 1500));
    }
    p.end(srv.s);
}

// Credentials too long for a SOCKS5 length byte keep the previous forward in place.
// While another thread still holds a client socket (the main thread inside its hand-off
// epoll_ctl), closing the session must not leave the registration reporting events for a
// record that is about to be freed. The duplicate stands in for that other reference.
TEST(Session, ClosedClientSocketReportsNoEventWhileAnotherThreadHoldsIt) {
    OneThreadServer srv;
    RelayPair p(srv.s);
    int held = dup(p.c->connect_ev_data.fd);
    event_data_t *registration = &p.c->connect_ev_data;
    ASSERT_EQ(write(p.client, "x", 1), 1); // readable: level-triggered readiness is pending
    x_client_close(p.c);
    epoll_event evs[8];
    int n = epoll_wait(srv.s->main_thread->epoll_fd, evs, 8, 0);
    for (int i = 0; i < n; i++)
        EXPECT_NE(evs[i].data.ptr, registration);
    close(held);
    p.end(srv.s, true);
}

TEST(Session, FillForwardRefusesLongCredentialsAndKeepsThePreviousForward) {
    OneThreadServer srv;
    x_client_t *c = x_client_new(srv.s);
    ngx_str_t host = str("up.example"), user = str("u"), pass = str("p"),
              long_pass = str(std::string(257, 'x')), empty{};
    ASSERT_TRUE(x_client_fill_forward(c, &host, 1080, 2, &user, &pass));
    x_forward_t *first = c->forward;
    EXPECT_FALSE(x_client_fill_forward(c, &host, 1080, 2, &user, &long_pass));
    EXPECT_EQ(c->forward, first);
    ASSERT_TRUE(x_client_fill_forward(c, &host, 8080, 0, &empty, &pass));
    EXPECT_EQ(c->forward->has_username, 0);
    EXPECT_EQ(c->forward->proto, 2);
    for (ngx_str_t *s : {&host, &user, &pass, &long_pass})
        ngx_str_free(s);
    x_client_free(c);
}
