#include "core/platform_kni.h"
#include "core/token_bucket.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"
#include "report/monitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <algorithm>
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

    // A session owned by the main thread holding one end of a socket pair.
    x_client_t *session(int *peer) {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        x_client_t *c = x_client_new(s);
        c->thread = s->main_thread;
        c->connect_ev_data.fd = sv[0];
        *peer = sv[1];
        EXPECT_TRUE(ev_add_event(s->main_thread->epoll_fd, &c->connect_ev_data, EPOLLIN,
                                 [](x_server_t *, event_data_t *, uint32_t) {}));
        c->session = x_client_get_session(s->main_thread->session_to_clients, 0);
        dictAdd(s->main_thread->session_to_clients, reinterpret_cast<void *>(uintptr_t{c->session}),
                c);
        return c;
    }
};

ngx_str_t str(const std::string &s) {
    ngx_str_t out{};
    EXPECT_TRUE(ngx_str_init(&out, s.data(), s.size()));
    return out;
}

} // namespace

TEST(Session, IdentifierCarriesTheOwnerIndex) {
    dict *table = dictCreate(&session_dict_type);
    for (uint32_t index : {0u, 1u, 5u, 15u}) {
        uint32_t id = x_client_get_session(table, index);
        ASSERT_NE(id, 0u);
        EXPECT_EQ(x_client_get_index_by_session(id), index);
        EXPECT_EQ(id & (1u << 27), 0u);
    }
    dictRelease(table);
}

TEST(Session, CloseTwiceThenFreedWithinOnePassOnTheMainThread) {
    OneThreadServer srv;
    int peer;
    x_client_t *c = srv.session(&peer);
    uint64_t before = monitor_main.error_code[X_ERROR_CLIENT_REQUEST_TIMEOUT].load();
    x_client_log_error(c, X_ERROR_CLIENT_REQUEST_TIMEOUT, "test");
    x_client_close(c);
    x_client_close(c); // harmless
    EXPECT_TRUE(x_client_is_closing(c));
    EXPECT_EQ(srv.s->main_thread->client_close_list.head, c);
    EXPECT_EQ(dictSize(srv.s->main_thread->session_to_clients), 1u); // kept until the free
    work_thread_do(srv.s->main_thread);
    EXPECT_EQ(dictSize(srv.s->main_thread->session_to_clients), 0u);
    EXPECT_EQ(srv.s->main_thread->client_close_list.head, nullptr);
    EXPECT_EQ(srv.s->main_thread->client_free_list.head, nullptr);
    EXPECT_EQ(monitor_main.error_code[X_ERROR_CLIENT_REQUEST_TIMEOUT].load(), before + 1);
    char b;
    EXPECT_EQ(read(peer, &b, 1), 0); // our end was closed
    close(peer);
}

TEST(Session, IdleCheckClosesOnlyPastTheLimit) {
    OneThreadServer srv;
    int peer;
    x_client_t *c = srv.session(&peer);
    c->idle_timeout = 5000;
    x_client_start_session_timers(c);
    c->last_reply_time = x_time_ms() - 4999 + 10; // comfortably short of the limit
    x_client_replay_timeout(c, &c->reply_timeout);
    EXPECT_FALSE(x_client_is_closing(c));
    EXPECT_NE(c->reply_timeout.timer, nullptr);
    c->last_reply_time = x_time_ms() - 5000;
    x_client_replay_timeout(c, &c->reply_timeout);
    EXPECT_TRUE(x_client_is_closing(c));
    EXPECT_EQ(c->flow_timeout.timer, nullptr); // close stopped every timer
    work_thread_do(srv.s->main_thread);
    close(peer);
}

TEST(Session, FillForwardRefusesLongCredentialsAndKeepsThePreviousForward) {
    OneThreadServer srv;
    x_client_t *c = x_client_new(srv.s);
    ngx_str_t host = str("up.example"), user = str("u"), ok_pass = str("p"),
              long_pass = str(std::string(257, 'x')), empty{};
    ASSERT_TRUE(x_client_fill_forward(c, &host, 1080, 2, &user, &ok_pass));
    x_forward_t *first = c->forward;
    EXPECT_EQ(first->has_username, 1);
    EXPECT_GT(first->s5_auth.len, 0u);
    EXPECT_FALSE(x_client_fill_forward(c, &host, 1080, 2, &user, &long_pass));
    EXPECT_EQ(c->forward, first);
    // An empty user name: the host alone is installed, and the protocol of the old forward kept.
    ngx_str_t other = str("other.example");
    ASSERT_TRUE(x_client_fill_forward(c, &other, 8080, 0, &empty, &ok_pass));
    EXPECT_EQ(c->forward->has_username, 0);
    EXPECT_EQ(c->forward->proto, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(c->forward->host.data)), "other.example");
    for (ngx_str_t *s : {&host, &user, &ok_pass, &long_pass, &other})
        ngx_str_free(s);
    x_client_free(c);
}

TEST(Session, ProtoNameNeverReadsPastItsTable) {
    EXPECT_STREQ(proto_name(0), "auto");
    EXPECT_STREQ(proto_name(3), "tovask");
    EXPECT_STREQ(proto_name(200), "unknown");
}

namespace {

// A relayed session between two socket pairs: test writes to `client`, reads from `dest`.
struct RelayPair {
    int client = 0, dest = 0;
    x_client_t *c = nullptr;
    RelayPair(x_server_t *s, token_bucket_t *bucket_up) {
        int a[2], b[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, a), 0);
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, b), 0);
        client = a[1];
        dest = b[1];
        c = x_client_new(s);
        c->thread = s->main_thread;
        c->connect_ev_data.fd = a[0];
        c->tcp_dst_ev_data.fd = b[0];
        c->auth_result.bucket_up = bucket_up;
        x_client_relay_prepare(c);
        for (event_data_t *ev : {&c->tcp_dst_ev_data, &c->connect_ev_data})
            EXPECT_TRUE(ev_add_event(s->main_thread->epoll_fd, ev, EPOLLIN, on_tcp_relay));
    }
    ~RelayPair() {
        if (c) x_client_close(c); // null once the session ended (and was freed) by itself
        close(client);
        close(dest);
    }
};

// Both relay paths: one-segment reads copied through the scratch buffer, and the default size,
// spliced through the thread's pipe while a direction streams.
class Relay : public testing::TestWithParam<uint32_t> {
  protected:
    OneThreadServer srv;
    void SetUp() override { srv.s->config.relay_buffer = GetParam(); }
    void TearDown() override { pass(); } // frees the sessions the pairs closed
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

// Reads what is there, checking every byte against the pattern; false on a wrong byte. `eof`
// (when given) tells whether the stream ended.
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

INSTANTIATE_TEST_SUITE_P(Sizes, Relay, testing::Values(1500u, 131072u));

TEST_P(Relay, StalledOutputKeepsABoundedTailAndLosesNothing) {
    // Session A's destination stops reading while session B of the same thread keeps moving:
    // A holds at most one read as its tail, and B gets its own bytes, never A's.
    RelayPair a(srv.s, nullptr), b(srv.s, nullptr);
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
}

TEST_P(Relay, BucketHoldsADirectionToItsRate) {
    token_bucket_t bucket;
    token_bucket_init(&bucket, 100000, 100000);
    RelayPair p(srv.s, &bucket);
    constexpr size_t kTotal = 300000; // one bucket of burst, then two seconds at the rate
    size_t written = 0, received = 0;
    auto start = std::chrono::steady_clock::now();
    while (received < kTotal &&
           std::chrono::steady_clock::now() < start + std::chrono::seconds(20)) {
        feed(p.client, kTotal, &written, 3);
        pass();
        ASSERT_TRUE(drain(p.dest, &received, 3));
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(received, kTotal);
    EXPECT_GE(seconds, 1.7);           // the rate is a ceiling: never faster than it allows
    EXPECT_LE(seconds, 2.6);           // and reads sized to the bucket keep the pauses short
    EXPECT_NE(p.c->up.timer_fd.fd, 0); // it paused on its timer descriptor
}

TEST_P(Relay, EndOfStreamFlushesWhatIsBufferedThenCloses) {
    // A tail held for a destination that does not read reaches it before the session ends.
    RelayPair p(srv.s, nullptr);
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
    p.c = nullptr;
    ASSERT_TRUE(ended);
    EXPECT_EQ(received, written);
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
    // A source that never runs dry must not hold the thread: one pass moves a bounded run, and
    // the other direction moves in the same pass.
    RelayPair p(srv.s, nullptr);
    std::string chunk(1 << 16, 'u');
    for (int fd : {p.client, p.dest})
        while (write(fd, chunk.data(), chunk.size()) > 0) {
        }
    pass();
    char sink[1 << 16];
    size_t up = 0, down = 0;
    ssize_t n;
    while ((n = read(p.dest, sink, sizeof sink)) > 0)
        up += static_cast<size_t>(n);
    while ((n = read(p.client, sink, sizeof sink)) > 0)
        down += static_cast<size_t>(n);
    size_t bound = std::max<size_t>(GetParam(), 16 * 1500);
    EXPECT_GT(up, 0u);
    EXPECT_GT(down, 0u);
    EXPECT_LE(up, bound);
    EXPECT_LE(down, bound);
}
