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

void set_nonblock(int fd) {
    EXPECT_EQ(pf_socket_set_non_block(fd), 0);
}

// A relayed session between two socket pairs: test writes to `client`, reads from `dest`.
struct RelayPair {
    int client = 0, dest = 0;
    x_client_t *c = nullptr;
    RelayPair(x_server_t *s, token_bucket_t *bucket_up) {
        int a[2], b[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
        for (int fd : {a[0], a[1], b[0], b[1]})
            set_nonblock(fd);
        client = a[1];
        dest = b[1];
        c = x_client_new(s);
        c->thread = s->main_thread;
        c->connect_ev_data.fd = a[0];
        c->tcp_dst_ev_data.fd = b[0];
        c->auth_result.bucket_up = bucket_up;
        EXPECT_TRUE(x_client_relay_prepare(c));
        EXPECT_TRUE(
            ev_add_event(s->main_thread->epoll_fd, &c->tcp_dst_ev_data, EPOLLIN, on_tcp_relay));
        EXPECT_TRUE(
            ev_add_event(s->main_thread->epoll_fd, &c->connect_ev_data, EPOLLIN, on_tcp_relay));
    }
};

} // namespace

TEST(Relay, UnknownSegmentSizeFallsBackToOneFullBuffer) {
    OneThreadServer srv;
    RelayPair p(srv.s, nullptr);
    // Unix sockets have no TCP segment size: the window must still be usable.
    EXPECT_EQ(p.c->up.mss, 1500u);
    EXPECT_EQ(buf_free_space(&p.c->up.buf), 1500u);
    x_client_close(p.c);
    work_thread_do(srv.s->main_thread);
    close(p.client);
    close(p.dest);
}

TEST(Relay, BucketHoldsADirectionToItsRate) {
    OneThreadServer srv;
    token_bucket_t bucket;
    token_bucket_init(&bucket, 100000, 100000);
    RelayPair p(srv.s, &bucket);
    constexpr size_t kTotal = 300000; // one bucket of burst, then two seconds at the rate
    std::string data(kTotal, 'q');
    size_t written = 0, received = 0;
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::seconds(20);
    char sink[65536];
    while (received < kTotal && std::chrono::steady_clock::now() < deadline) {
        if (written < kTotal) {
            ssize_t n = write(p.client, data.data() + written, kTotal - written);
            if (n > 0) written += static_cast<size_t>(n);
        }
        work_thread_do(srv.s->main_thread);
        ssize_t n;
        while ((n = read(p.dest, sink, sizeof sink)) > 0)
            received += static_cast<size_t>(n);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(received, kTotal);
    EXPECT_GE(seconds, 1.7); // the rate is a ceiling: never faster than it allows
    EXPECT_FALSE(x_client_is_closing(p.c));
    EXPECT_NE(p.c->up.timer_fd.fd, 0); // it paused on its timer descriptor
    x_client_close(p.c);
    work_thread_do(srv.s->main_thread);
    close(p.client);
    close(p.dest);
}

TEST(Relay, EndOfStreamFlushesWhatIsBufferedThenCloses) {
    OneThreadServer srv;
    RelayPair p(srv.s, nullptr);
    ASSERT_EQ(write(p.client, "last words", 10), 10);
    shutdown(p.client, SHUT_WR);
    // The session closes and is freed on this (main) thread within these passes.
    for (int i = 0; i < 3; i++)
        work_thread_do(srv.s->main_thread);
    char got[16] = {};
    EXPECT_EQ(read(p.dest, got, sizeof got), 10);
    EXPECT_STREQ(got, "last words");
    EXPECT_EQ(read(p.dest, got, sizeof got), 0); // and then the destination side was closed
    close(p.client);
    close(p.dest);
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

TEST(Relay, ABusyDirectionYieldsAfterABoundedRun) {
    // A source that never runs dry must not hold the thread: one pass moves a bounded run, and
    // the other direction moves in the same pass.
    OneThreadServer srv;
    RelayPair p(srv.s, nullptr);
    std::string chunk(1 << 16, 'u');
    for (int fd : {p.client, p.dest})
        while (write(fd, chunk.data(), chunk.size()) > 0) {
        }
    work_thread_do(srv.s->main_thread);
    char sink[1 << 16];
    size_t up = 0, down = 0;
    ssize_t n;
    while ((n = read(p.dest, sink, sizeof sink)) > 0) up += static_cast<size_t>(n);
    while ((n = read(p.client, sink, sizeof sink)) > 0) down += static_cast<size_t>(n);
    EXPECT_GT(up, 0u);
    EXPECT_GT(down, 0u);
    EXPECT_LE(up, 16u * 1500u);
    EXPECT_LE(down, 16u * 1500u);
    x_client_close(p.c);
    work_thread_do(srv.s->main_thread);
    close(p.client);
    close(p.dest);
}
