#include "core/platform_kni.h"
#include "core/token_bucket.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"

#include <gtest/gtest.h>

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
};

ngx_str_t str(const std::string &s) {
    ngx_str_t out{};
    EXPECT_TRUE(ngx_str_init(&out, s.data(), s.size()));
    return out;
}

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

TEST(Session, ProtoNameNeverReadsPastItsTable) {
    EXPECT_STREQ(proto_name(3), "tovask");
    EXPECT_STREQ(proto_name(200), "unknown");
}

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

// The idle check closes at the limit, not before; a second close is harmless.
TEST(Session, IdleCheckClosesOnlyPastTheLimit) {
    OneThreadServer srv;
    RelayPair p(srv.s, nullptr);
    x_client_t *c = p.c;
    c->idle_timeout = 5000;
    x_client_start_session_timers(c);
    c->last_reply_time = x_time_ms() - 4999 + 10;
    x_client_replay_timeout(c, &c->reply_timeout);
    EXPECT_FALSE(x_client_is_closing(c));
    c->last_reply_time = x_time_ms() - 5000;
    x_client_replay_timeout(c, &c->reply_timeout);
    EXPECT_TRUE(x_client_is_closing(c));
    EXPECT_EQ(c->flow_timeout.timer, nullptr); // close stopped every timer
    x_client_close(c);
    work_thread_do(srv.s->main_thread);
    close(p.client);
    close(p.dest);
}

// Credentials too long for a SOCKS5 length byte keep the previous forward in place.
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
