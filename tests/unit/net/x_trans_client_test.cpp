// Framing of the service transports, and the pool's spread.
#include "net/x_conn_pool.h"
#include "net/x_tcp_client.h"
#include "net/x_ws_client.h"

#include <gtest/gtest.h>

#include <vector>

#include "config/x_server_config.h"

namespace {

using Bytes = std::vector<uint8_t>;

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
