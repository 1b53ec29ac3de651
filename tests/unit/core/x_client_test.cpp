#include "core/platform_kni.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"
#include "report/monitor.h"

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
        dictAdd(s->main_thread->session_to_clients, reinterpret_cast<void *>(uintptr_t{c->session}), c);
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
    for (ngx_str_t *s : {&host, &user, &ok_pass, &long_pass, &other}) ngx_str_free(s);
    x_client_free(c);
}

TEST(Session, ProtoNameNeverReadsPastItsTable) {
    EXPECT_STREQ(proto_name(0), "auto");
    EXPECT_STREQ(proto_name(3), "tovask");
    EXPECT_STREQ(proto_name(200), "unknown");
}
