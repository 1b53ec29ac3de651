// Framing and handshake bytes of the service transports, and the pool's spread.
#include "net/x_conn_pool.h"
#include "net/x_tcp_client.h"
#include "net/x_ws_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "config/x_server_config.h"
#include "core/work_thread.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;

Bytes B(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v)
        b.push_back(static_cast<uint8_t>(x));
    return b;
}

TEST(TcpFrame, LengthPrefixTable) {
    struct Case {
        Bytes head;  // prefix (and any body bytes given below)
        size_t body; // body bytes that follow the head
        x_frame_parse_t want;
        size_t hdr, len; // on X_FRAME_OK
    } cases[] = {
        {B({0x00}), 0, X_FRAME_OK, 1, 0},
        {B({0x7f}), 127, X_FRAME_OK, 1, 127},
        {B({0x7f}), 126, X_FRAME_INCOMPLETE, 0, 0},
        {B({0xac, 0x02}), 300, X_FRAME_OK, 2, 300},
        {B({0xac}), 0, X_FRAME_INCOMPLETE, 0, 0},
        {B({0x80, 0x80, 0x80, 0x08}), 0, X_FRAME_INCOMPLETE, 0, 0}, // exactly 16 MiB: waits
        {B({0x81, 0x80, 0x80, 0x08}), 0, X_FRAME_TOO_BIG, 0, 0},    // 16 MiB + 1
        {B({0x80, 0x80, 0x80, 0x80, 0x80, 0x20}), 0, X_FRAME_TOO_BIG, 0, 0}, // 2^40
        {B({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}), 0, X_FRAME_TOO_BIG, 0, 0},
        {B({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}), 0, X_FRAME_BAD, 0, 0},
        {B({0x80, 0x00}), 0, X_FRAME_OK, 2, 0}, // padded zero is still zero
    };
    for (const Case &c : cases) {
        Bytes in = c.head;
        in.resize(in.size() + c.body, 'x');
        size_t hdr = 0, len = 0;
        EXPECT_EQ(x_tcp_frame_parse(in.data(), in.size(), X_TRANS_MAX_MSG, &hdr, &len), c.want)
            << "case with head byte " << int(c.head[0]) << " body " << c.body;
        if (c.want == X_FRAME_OK) {
            EXPECT_EQ(hdr, c.hdr);
            EXPECT_EQ(len, c.len);
        }
    }
}

TEST(WsFrame, ServerFrameTable) {
    struct Case {
        Bytes in;
        x_frame_parse_t want;
        uint8_t opcode;
        size_t hdr;
        uint64_t len;
    } cases[] = {
        {B({0x82, 0x03, 'a', 'b', 'c'}), X_FRAME_OK, 2, 2, 3},
        {B({0x82, 0x03, 'a', 'b'}), X_FRAME_INCOMPLETE, 0, 0, 0},
        {B({0x02, 0x00}), X_FRAME_OK, 2, 2, 0}, // first fragment
        {B({0x80, 0x01, 'z'}), X_FRAME_OK, 0, 2, 1},
        {B({0x89, 0x04, 1, 2, 3, 4}), X_FRAME_OK, 9, 2, 4},
        {B({0x82, 0x7e, 0x01}), X_FRAME_INCOMPLETE, 0, 0, 0},
        {B({0x82, 0x7f, 0, 0, 0x01, 0, 0, 0, 0, 0}), X_FRAME_TOO_BIG, 0, 0, 0}, // 2^40
        {B({0x82, 0x7f, 0x80, 0, 0, 0, 0, 0, 0, 0}), X_FRAME_TOO_BIG, 0, 0, 0},
        {B({0x82, 0x83, 1, 2, 3, 4, 'a', 'b', 'c'}), X_FRAME_BAD, 0, 0, 0}, // masked
        {B({0xc2, 0x00}), X_FRAME_BAD, 0, 0, 0},                            // RSV1
        {B({0x83, 0x00}), X_FRAME_BAD, 0, 0, 0},                            // opcode 3
        {B({0x8b, 0x00}), X_FRAME_BAD, 0, 0, 0},                            // opcode 11
        {B({0x09, 0x00}), X_FRAME_BAD, 0, 0, 0},                            // fragmented ping
        {B({0x89, 0x7e, 0x00, 0x7e}), X_FRAME_BAD, 0, 0, 0},                // 126-byte ping
    };
    for (const Case &c : cases) {
        x_ws_frame_t f{};
        EXPECT_EQ(x_ws_frame_parse(c.in.data(), c.in.size(), X_TRANS_MAX_MSG, &f), c.want)
            << "first bytes " << int(c.in[0]) << " " << int(c.in[1]);
        if (c.want == X_FRAME_OK) {
            EXPECT_EQ(f.opcode, c.opcode);
            EXPECT_EQ(f.hdr_len, c.hdr);
            EXPECT_EQ(f.payload_len, c.len);
        }
    }
}

TEST(WsHandshake, AcceptOfTheSampleKey) {
    char out[X_WS_ACCEPT_LEN + 1];
    x_ws_accept_for_key("dGhlIHNhbXBsZSBub25jZQ==", 24, out);
    EXPECT_STREQ(out, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    x_ws_handshake_t a{}, b{};
    ASSERT_TRUE(x_ws_handshake_new(&a));
    ASSERT_TRUE(x_ws_handshake_new(&b));
    EXPECT_EQ(strlen(a.key), X_WS_KEY_LEN);
    EXPECT_STRNE(a.key, b.key);
    char req[X_WS_REQUEST_MAX];
    // Request text comes from configuration: nothing may split its lines.
    EXPECT_EQ(x_ws_handshake_request(req, sizeof(req), "a b", "svc.test", &a), 0u);
    EXPECT_EQ(x_ws_handshake_request(req, sizeof(req), "a", "svc\r\nX: y", &a), 0u);
}

TEST(WsHandshake, ResponseTable) {
    x_ws_handshake_t hs{};
    strcpy(hs.key, "dGhlIHNhbXBsZSBub25jZQ==");
    strcpy(hs.accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    const std::string ok = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nsec-websocket-accept:  "
                           "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    struct Case {
        std::string in;
        x_ws_hs_result_t want;
    } cases[] = {
        {ok, X_WS_HS_OK},
        {ok + "\x82\x01z", X_WS_HS_OK}, // a frame right behind the answer stays
        {ok.substr(0, ok.size() - 1), X_WS_HS_INCOMPLETE},
        {"HTTP/1.1 10", X_WS_HS_INCOMPLETE},
        {"HTTP/1.1 403 Forbidden\r\n", X_WS_HS_REFUSED},
        {"HTTP/1.1 1010 X\r\n\r\n", X_WS_HS_REFUSED},
        {"HTTP/1.1 101 OK\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo\r\n\r\n",
         X_WS_HS_REFUSED},
        {"HTTP/1.1 101 OK\r\nX: \0\r\n\r\n"s, X_WS_HS_REFUSED}, // no accept at all
        {std::string("HTTP/1.1 101 OK\r\nX: a\0b\r\nSec-WebSocket-Accept: "
                     "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n",
                     79),
         X_WS_HS_OK},
        {"HTTP/1.1 101 OK\r\n" + std::string(X_WS_RESPONSE_MAX, 'h'), X_WS_HS_TOO_LONG},
    };
    for (const Case &c : cases) {
        size_t hdr = 0;
        auto *p = reinterpret_cast<const uint8_t *>(c.in.data());
        EXPECT_EQ(x_ws_handshake_response(p, c.in.size(), &hs, &hdr), c.want) << c.in;
        if (c.want == X_WS_HS_OK) {
            EXPECT_EQ(hdr, c.in.find("\r\n\r\n") + 4) << c.in;
        }
    }
}

// A message sent while the connection is being set up goes out once it is up, not behind the
// next one; what a close finds queued is gone.
TEST(TransClient, QueuedMessageGoesOutOnConnect) {
    auto *thread = new work_thread_t{};
    thread->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    for (uint16_t type : {X_TRANS_TCP, X_TRANS_WS}) {
        x_trans_client_t *c = x_trans_client_create(type, thread, nullptr, 0);
        // Without a resolver the first attempt fails at once; a socket pair stands in.
        ASSERT_TRUE(
            c->do_init(c, "127.0.0.1", 9, "", 1000, 0, 0, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(c->do_send(c, reinterpret_cast<const uint8_t *>("abc"), 3));
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        ASSERT_TRUE(type == X_TRANS_TCP
                        ? x_tcp_client_adopt(reinterpret_cast<x_tcp_client_t *>(c), sv[0])
                        : x_ws_client_adopt(reinterpret_cast<x_ws_client_t *>(c), sv[0], true));
        uint8_t got[16];
        ASSERT_EQ(recv(sv[1], got, sizeof(got), MSG_DONTWAIT), type == X_TRANS_TCP ? 4 : 9);
        EXPECT_EQ(got[0], type == X_TRANS_TCP ? 3 : 0x82);
        c->do_free(c);
        close(sv[1]);
    }
    close(thread->epoll_fd);
    delete thread;
}

// Clients that only count what they are asked to send.
struct FakeClient {
    x_trans_client_t base{};
    int sent = 0;
    static bool send(x_trans_client_t *c, const uint8_t *, size_t) {
        reinterpret_cast<FakeClient *>(c)->sent++;
        return true;
    }
    static void free_it(x_trans_client_t *) {}
};

TEST(ConnPool, SpreadTable) {
    struct Case {
        std::vector<int> status; // -1: empty slot
        int sends;
        std::vector<int> want_slots;
    } cases[] = {
        {{4, 4, 4}, 4, {1, 2, 0, 1}}, {{4, 0, 4}, 3, {2, 0, 2}}, {{0, -1, 2}, 2, {}}, {{}, 2, {}},
        {{-1, 4}, 2, {1, 1}},
    };
    for (const Case &c : cases) {
        x_conn_pool_t *pool = x_conn_pool_create(nullptr, "", 0, uint32_t(c.status.size()));
        ASSERT_NE(pool, nullptr);
        std::vector<FakeClient> fakes(c.status.size());
        for (size_t i = 0; i < c.status.size(); i++) {
            fakes[i].base.status = uint16_t(c.status[i]);
            fakes[i].base.do_send = FakeClient::send;
            fakes[i].base.do_free = FakeClient::free_it;
            if (c.status[i] >= 0) pool->trans_pool[i] = &fakes[i].base;
        }
        std::vector<int> slots;
        for (int i = 0; i < c.sends; i++) {
            EXPECT_TRUE(x_conn_pool_send(pool, reinterpret_cast<const uint8_t *>("m"), 1));
            int total = 0;
            for (auto &f : fakes)
                total += f.sent;
            if (total == int(slots.size()) + 1) slots.push_back(int(pool->cur_index));
        }
        EXPECT_EQ(slots, c.want_slots);
        x_conn_pool_free(pool);
    }
    EXPECT_EQ(x_conn_pool_create(nullptr, "", 0, 101), nullptr);
    x_config_remote_server_t server{{9, (uint8_t *)"127.0.0.1"}, 9};
    x_conn_pool_t *pool = x_conn_pool_create(nullptr, "", 0, 1);
    EXPECT_FALSE(
        x_conn_pool_add(pool, 7, &server, 1, "", 1, 1, nullptr, nullptr, nullptr, nullptr));
    x_conn_pool_free(pool);
}

} // namespace
