// Flow reports over a socket pair that plays the collector.
#include "bjson/binary_json.h"
#include "core/work_thread.h"
#include "core/x_server.h"
#include "core/fake_clock.h"
#include "report/log_dir.h"
#include "report/x_flow_report.h"
#include "report/x_log_flow.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace {

struct Rig {
    FakeClock clock{5000000};
    LogDir dir;
    x_server_t *s = x_server_create();
    work_thread_t thread{};
    x_config_remote_server_t collector{{9, (uint8_t *)"127.0.0.1"}, 9};
    x_config_auth_log_report_t conf{};
    x_send_report_t *r = nullptr;
    int sv[2] = {-1, -1};

    explicit Rig(uint32_t log_num = 10) {
        thread.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        conf = {1, &collector, {}, 2, {dir.path.size(), (uint8_t *)dir.path.data()}, log_num};
        r = x_flow_report_create(s, "flowreport", X_FLOW_REPORT_FLOW, &conf);
        EXPECT_TRUE(x_flow_report_do_init(r, &thread) &&
                    socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0 &&
                    x_flow_report_adopt(r, sv[0], true));
    }
    ~Rig() {
        x_flow_report_free(r);
        close(sv[1]);
        close(thread.epoll_fd);
        free(s);
    }
    void sample(const char *token, uint32_t up, uint32_t down = 1) {
        x_flow_log_pkt_t pkt{0, {}, {}, up, down};
        strcpy(pkt.flow_token, token);
        x_flow_report_add_flow_record(r, &pkt);
    }
    // A record of one more sample, a millisecond after the last; its content after the length.
    std::string record(const char *token) {
        sample(token, 1);
        usleep(1500);
        EXPECT_TRUE(x_flow_report_write_record(r));
        return dir.read(strrchr(r->tail->file_name, '/') + 1).substr(4);
    }
    void pump() {
        epoll_event ev[8];
        for (int n; (n = epoll_wait(thread.epoll_fd, ev, 8, 0)) > 0;)
            for (int i = 0; i < n; i++) {
                auto *e = static_cast<event_data_t *>(ev[i].data.ptr);
                if (e->handler) e->handler(nullptr, e, ev[i].events);
            }
    }
    void answer(int c) {
        const uint8_t msg[] = {0x82, 4, 0x81, 0x10, 'c', static_cast<uint8_t>(0x20 + c)};
        if (send(sv[1], msg, sizeof msg, MSG_NOSIGNAL) >= 0) pump();
    }
    // The next frame's payload of len bytes, unmasked; "" when it does not come whole.
    std::string frame(size_t len) {
        size_t hdr = (len < 126 ? 2 : len < 65536 ? 4 : 10) + 4;
        std::string got;
        char buf[65536];
        for (int tries = 0; got.size() < hdr + len && tries < 3000; tries++, usleep(500)) {
            pump();
            ssize_t k =
                recv(sv[1], buf, std::min(sizeof buf, hdr + len - got.size()), MSG_DONTWAIT);
            got.append(buf, k > 0 ? static_cast<size_t>(k) : 0);
        }
        for (size_t i = 0; got.size() == hdr + len && i < len; i++)
            got[hdr + i] = static_cast<char>(got[hdr + i] ^ got[hdr - 4 + i % 4]);
        return got.size() == hdr + len && static_cast<uint8_t>(got[0]) == 0x82 ? got.substr(hdr)
                                                                               : "";
    }
};

TEST(FlowReport, BigRecordWith64BitSumsSurvivesAFailedWriteAndAPartialSend) {
    Rig t;
    for (int i = 0; i < 3; i++)
        t.sample("heavy", 0xF0000000u);
    char token[200];
    for (int i = 0; i < 4000; i++) {
        snprintf(token, sizeof token, "%0190d", i);
        t.sample(token, 1);
    }
    std::string away = t.dir.path + ".away";
    ASSERT_EQ(rename(t.dir.path.c_str(), away.c_str()), 0);
    EXPECT_FALSE(x_flow_report_write_record(t.r)); // the sums wait for the next record
    ASSERT_EQ(rename(away.c_str(), t.dir.path.c_str()), 0);
    std::string body = t.record("heavy");
    ASSERT_EQ(t.dir.names().size(), 1u); // no temporary left behind
    bjson_val_t *v = nullptr;
    ASSERT_TRUE(bjson_decode(&v, reinterpret_cast<const uint8_t *>(body.data()), body.size(), 1));
    uint64_t up = 0, down = 0, ti = 0;
    bjson_val_t *heavy = bjson_object_get(bjson_object_get(v, "list"), "heavy");
    EXPECT_TRUE(bjson_array_get_uint(heavy, 0, &up) && bjson_array_get_uint(heavy, 1, &down) &&
                bjson_object_get_uint(v, "ti", &ti));
    EXPECT_EQ(std::vector<uint64_t>({up, down, ti}),
              std::vector<uint64_t>({3ull * 0xF0000000u + 1, 4, 2}));
    bjson_free(v);
    x_flow_report_check(t.r);
    ASSERT_GT(t.r->record_left, 0u); // the socket took only part of it
    t.answer(0);
    EXPECT_EQ(t.dir.names().size(), 1u);
    EXPECT_EQ(t.frame(body.size()), body);
    t.answer(0);
    t.answer(0); // a surplus answer with nothing in flight
    EXPECT_TRUE(t.dir.names().empty());
}

TEST(FlowReport, HandshakeAnswerMustCarryTheAcceptOfItsKey) {
    Rig t;
    ASSERT_TRUE(x_flow_report_adopt(t.r, dup(t.sv[0]), false));
    ASSERT_EQ(t.r->status, X_REPORT_HANDSHAKING);
    const char bad[] = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
                       "Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    ASSERT_GT(send(t.sv[1], bad, sizeof bad - 1, MSG_NOSIGNAL), 0);
    t.pump();
    EXPECT_EQ(t.r->status, X_REPORT_CLOSED);
}

TEST(FlowReport, PruningSparesTheFileInFlight) {
    Rig t(2);
    std::string first = t.record("first");
    x_flow_report_check(t.r);
    for (const char *token : {"second", "third", "fourth"})
        t.record(token);
    EXPECT_EQ(t.dir.names().size(), 2u);
    EXPECT_EQ(t.r->head, t.r->in_flight);
    EXPECT_EQ(t.frame(first.size()), first);
}

// The head is spoiled: deleted only when proven no record, kept on a transient failure.
TEST(FlowReport, HeadFileThatCannotBeSent) {
    struct {
        const char *name;
        void (*spoil)(const std::string &path);
        bool kept;
    } cases[] = {
        {"wrong size", [](const std::string &p) { std::ofstream(p, std::ios::app) << 'x'; }, false},
        {"not a value",
         [](const std::string &p) { std::ofstream(p) << std::string("\x02\0\0\0\x0a\x0a", 6); },
         false},
        {"vanished", [](const std::string &p) { unlink(p.c_str()); }, false},
        {"out of descriptors",
         [](const std::string &) {
             int next = dup(0);
             close(next);
             rlimit lim{};
             getrlimit(RLIMIT_NOFILE, &lim);
             lim.rlim_cur = static_cast<rlim_t>(next);
             setrlimit(RLIMIT_NOFILE, &lim);
         },
         true},
    };
    for (const auto &c : cases) {
        Rig t;
        std::string head = t.record("head"), path = t.r->head->file_name, next = t.record("next");
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        c.spoil(path);
        x_flow_report_check(t.r);
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(access(path.c_str(), F_OK) == 0, c.kept) << c.name;
        EXPECT_EQ(t.r->file_num, c.kept ? 2u : 1u) << c.name;
        t.clock.now += X_REPORT_RETRY_MS; // a kept head is tried again after a pause
        x_flow_report_check(t.r);
        EXPECT_EQ(t.frame(head.size()), c.kept ? head : next) << c.name;
    }
}

} // namespace
