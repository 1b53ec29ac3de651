// Flow reports: the record bytes (64-bit sums), the acknowledgement rules over a socket pair, the
// partial write, pruning around the file in flight, head files that cannot be read, the
// directory scan at start and the shared-directory refusal.
#include "bjson/binary_json.h"
#include "core/work_thread.h"
#include "core/x_server.h"
#include "core/x_timer.h"
#include "net/x_ws_client.h"
#include "report/log_dir.h"
#include "report/x_flow_report.h"
#include "report/x_log_flow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

uint64_t now_ms = 5000000;
uint64_t fake_clock() {
    return now_ms;
}

struct Report {
    LogDir dir;
    x_server_t *s = x_server_create();
    work_thread_t thread{};
    x_config_remote_server_t collector{};
    x_config_auth_log_report_t conf{};
    x_send_report_t *r = nullptr;
    int peer = -1;

    explicit Report(uint32_t log_num = 10) {
        x_time_set_clock(fake_clock);
        s->config.ros_id = 4242;
        thread.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        EXPECT_TRUE(ngx_str_init(&collector.server_host, "127.0.0.1", 9));
        EXPECT_TRUE(ngx_str_init(&conf.server_path, "c", 1));
        EXPECT_TRUE(ngx_str_init(&conf.log_path, dir.path.data(), dir.path.size()));
        conf.server_num = 1;
        conf.servers = &collector;
        conf.interval = 2;
        conf.log_num = log_num;
    }
    ~Report() {
        x_flow_report_free(r);
        if (peer >= 0) close(peer);
        close(thread.epoll_fd);
        ngx_str_free(&collector.server_host);
        ngx_str_free(&conf.server_path);
        ngx_str_free(&conf.log_path);
        free(s);
        x_time_set_clock(nullptr);
    }
    // Started without a resolver (the first attempt fails), then given a socket pair as its
    // open connection.
    void start() {
        r = x_flow_report_create(s, "flowreport", X_FLOW_REPORT_FLOW, &conf);
        ASSERT_TRUE(x_flow_report_do_init(r, &thread));
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        peer = sv[1];
        ASSERT_TRUE(x_flow_report_adopt(r, sv[0], true));
    }
    void sample(const char *token, uint32_t up, uint32_t down) {
        x_flow_log_pkt_t pkt{};
        strcpy(pkt.flow_token, token);
        pkt.up_size = up;
        pkt.down_size = down;
        x_flow_report_add_flow_record(r, &pkt);
    }
    // One record per call, each a millisecond apart.
    void record(const char *token, uint32_t up) {
        sample(token, up, 1);
        ASSERT_TRUE(x_flow_report_write_record(r));
        usleep(2000);
    }
    void pump() {
        epoll_event ev[8];
        int n;
        while ((n = epoll_wait(thread.epoll_fd, ev, 8, 0)) > 0)
            for (int i = 0; i < n; i++) {
                auto *e = static_cast<event_data_t *>(ev[i].data.ptr);
                if (e->handler) e->handler(nullptr, e, ev[i].events);
            }
    }
    // The payload of the next frame from the proxy, unmasked.
    std::string frame() {
        auto take = [&](size_t n) {
            std::string out(n, '\0');
            for (size_t got = 0, tries = 0; got < n; tries++) {
                pump();
                ssize_t k = recv(peer, out.data() + got, n - got, MSG_DONTWAIT);
                if (k > 0) got += static_cast<size_t>(k);
                if (k == 0 || tries > 3000) return std::string();
                if (k < 0) usleep(1000);
            }
            return out;
        };
        std::string h = take(2);
        EXPECT_EQ(static_cast<uint8_t>(h[0]), 0x82);
        uint64_t len = static_cast<uint8_t>(h[1]) & 0x7f;
        size_t ext = len == 126 ? 2 : len == 127 ? 8 : 0;
        std::string e = take(ext);
        if (ext) len = 0;
        for (char c : e)
            len = len << 8 | static_cast<uint8_t>(c);
        std::string key = take(4), payload = take(len);
        for (size_t i = 0; i < payload.size(); i++)
            payload[i] = static_cast<char>(payload[i] ^ key[i % 4]);
        return payload;
    }
    // A binary frame {"c": c} from the collector.
    void answer(int c) {
        const uint8_t msg[] = {0x82, 4, 0x81, 0x10, 'c', static_cast<uint8_t>(0x20 + c)};
        ASSERT_EQ(send(peer, msg, sizeof msg, 0), static_cast<ssize_t>(sizeof msg));
        pump();
    }
    std::vector<std::string> records() const {
        std::vector<std::string> out;
        for (const auto &n : dir.names())
            if (n.rfind("flowreport_", 0) == 0) out.push_back(n);
        return out;
    }
};

std::string body_of(const std::string &file) {
    return file.size() >= 4 ? file.substr(4) : "";
}

TEST(FlowReport, RecordCarries64BitSumsAndItsKeys) {
    Report t;
    t.start();
    EXPECT_TRUE(x_flow_report_write_record(t.r)); // nothing to write
    EXPECT_TRUE(t.records().empty());
    for (int i = 0; i < 3; i++)
        t.sample("heavy", 0xF0000000u, 1);
    t.sample("light", 5, 7);
    t.sample("light", 1, 1);
    ASSERT_TRUE(x_flow_report_write_record(t.r));
    ASSERT_EQ(t.records().size(), 1u);
    std::string file = t.dir.read(t.records()[0]);
    ASSERT_GE(file.size(), 4u);
    uint32_t n = 0;
    memcpy(&n, file.data(), 4);
    EXPECT_EQ(n, file.size() - 4);
    bjson_val_t *v = nullptr;
    ASSERT_TRUE(bjson_decode(&v, reinterpret_cast<const uint8_t *>(file.data()) + 4, n, true));
    bjson_val_t *list = bjson_object_get(v, "list");
    struct {
        const char *token;
        uint64_t up, down;
    } want[] = {{"heavy", 3ull * 0xF0000000u, 3}, {"light", 6, 8}};
    EXPECT_EQ(bjson_object_len(list), 2u);
    for (const auto &w : want) {
        uint64_t up = 0, down = 0;
        bjson_val_t *pair = bjson_object_get(list, w.token);
        EXPECT_TRUE(bjson_array_get_uint(pair, 0, &up) && bjson_array_get_uint(pair, 1, &down));
        EXPECT_EQ(up, w.up) << w.token;
        EXPECT_EQ(down, w.down) << w.token;
    }
    int64_t ti = 0, ts = 0;
    uint64_t ros = 0;
    EXPECT_TRUE(bjson_object_get_int(v, "ti", &ti) && bjson_object_get_int(v, "t", &ts) &&
                bjson_object_get_uint(v, "r", &ros));
    EXPECT_EQ(ti, 2);
    EXPECT_EQ(ros, 4242u);
    EXPECT_NEAR(static_cast<double>(ts), static_cast<double>(time(nullptr)), 5);
    bjson_free(v);
    // The same bytes go out as one frame.
    x_flow_report_check(t.r);
    EXPECT_EQ(t.frame(), body_of(file));
}

// Three records wait; the steps drive the connection; `left` is how many remain on disk.
TEST(FlowReport, AnAnswerActsOnlyOnTheRecordInFlight) {
    struct step_case {
        const char *name;
        std::vector<const char *> steps;
        size_t left;
        uint32_t status;
    } cases[] = {
        {"acknowledged", {"send", "ack0"}, 2, X_REPORT_READY},
        {"kept by c=1", {"send", "ack1"}, 3, X_REPORT_READY},
        {"kept, then sent again", {"send", "ack1", "send", "ack0"}, 2, X_REPORT_READY},
        {"answer with nothing sent", {"ack0"}, 3, X_REPORT_READY},
        {"duplicate answer", {"send", "ack0", "ack0"}, 2, X_REPORT_READY},
        {"two records", {"send", "ack0", "send", "ack2"}, 1, X_REPORT_READY},
        {"no answer in time", {"send", "late"}, 3, X_REPORT_CLOSED},
        {"answer after the time-out", {"send", "late", "ack0"}, 3, X_REPORT_CLOSED},
    };
    for (const auto &c : cases) {
        Report t;
        t.start();
        for (const char *tok : {"a", "b", "c"})
            t.record(tok, 10);
        std::vector<std::string> before = t.records();
        for (const std::string step : c.steps) {
            if (step == "send") {
                x_flow_report_check(t.r);
                EXPECT_EQ(t.r->status, X_REPORT_IN_FLIGHT) << c.name;
                EXPECT_FALSE(t.frame().empty()) << c.name;
            } else if (step == "late") {
                now_ms += 2001;
                x_flow_report_check(t.r);
            } else if (t.peer >= 0) {
                if (t.r->status == X_REPORT_CLOSED) {
                    // The old connection is gone: its answer cannot arrive.
                    EXPECT_LT(send(t.peer, "x", 1, MSG_NOSIGNAL), 0) << c.name;
                    continue;
                }
                t.answer(step[3] - '0');
            }
        }
        EXPECT_EQ(t.records().size(), c.left) << c.name;
        EXPECT_EQ(t.r->status, c.status) << c.name;
        // Whatever went, went oldest first.
        std::vector<std::string> now = t.records();
        EXPECT_TRUE(std::equal(now.begin(), now.end(), before.end() - now.size())) << c.name;
    }
}

TEST(FlowReport, PartialWriteIsFinishedAndAnEarlyAnswerIgnored) {
    Report t;
    t.start();
    for (int i = 0; i < 4000; i++) {
        char token[200];
        snprintf(token, sizeof token, "%0190d", i);
        t.sample(token, static_cast<uint32_t>(i), 1);
    }
    ASSERT_TRUE(x_flow_report_write_record(t.r));
    std::string body = body_of(t.dir.read(t.records()[0]));
    ASSERT_GT(body.size(), 700000u);
    x_flow_report_check(t.r);
    ASSERT_EQ(t.r->status, X_REPORT_IN_FLIGHT);
    ASSERT_GT(t.r->record_left, 0u); // the socket took only part of it
    t.answer(0);
    EXPECT_EQ(t.records().size(), 1u); // not yet all written: no answer can be for it
    EXPECT_EQ(t.frame(), body);
    EXPECT_EQ(t.r->record_left, 0u);
    t.answer(0);
    EXPECT_TRUE(t.records().empty());
}

TEST(FlowReport, PruningSparesTheFileInFlight) {
    Report t(2);
    t.start();
    t.record("first", 1);
    x_flow_report_check(t.r);
    ASSERT_EQ(t.r->status, X_REPORT_IN_FLIGHT);
    std::string first = t.records()[0];
    for (const char *tok : {"second", "third", "fourth"})
        t.record(tok, 1);
    std::vector<std::string> left = t.records();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0], first);
    EXPECT_EQ(t.r->file_num, 2u);
    t.frame();
    t.answer(0);
    EXPECT_EQ(t.records().size(), 1u);
}

// The head file is spoiled in some way; the next check must keep or drop it as it deserves.
TEST(FlowReport, HeadFileThatCannotBeSent) {
    struct head_case {
        const char *name;
        void (*spoil)(Report &, const std::string &path);
        bool head_on_disk, head_listed;
    } cases[] = {
        {"wrong size",
         [](Report &, const std::string &p) {
             FILE *f = fopen(p.c_str(), "ab");
             fputc('x', f);
             fclose(f);
         },
         false, false},
        {"not a value",
         [](Report &, const std::string &p) {
             FILE *f = fopen(p.c_str(), "wb");
             fwrite("\x02\0\0\0\x0a\x0a", 1, 6, f);
             fclose(f);
         },
         false, false},
        {"vanished", [](Report &, const std::string &p) { unlink(p.c_str()); }, false, false},
        {"out of descriptors",
         [](Report &, const std::string &) {
             int next = dup(0);
             close(next);
             rlimit lim{static_cast<rlim_t>(next), RLIM_INFINITY};
             getrlimit(RLIMIT_NOFILE, &lim);
             lim.rlim_cur = static_cast<rlim_t>(next);
             setrlimit(RLIMIT_NOFILE, &lim);
         },
         true, true},
    };
    for (const auto &c : cases) {
        Report t;
        t.start();
        t.record("head", 1);
        t.record("next", 2);
        std::string head = t.records()[0];
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        c.spoil(t, t.dir.path + "/" + head);
        x_flow_report_check(t.r);
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(access((t.dir.path + "/" + head).c_str(), F_OK) == 0, c.head_on_disk) << c.name;
        EXPECT_EQ(t.r->head && strstr(t.r->head->file_name, head.c_str()) != nullptr, c.head_listed)
            << c.name;
        EXPECT_EQ(t.records().back(), t.dir.names().back()) << c.name; // "next" is untouched
        // The one that can be sent goes out next (a kept head after its retry pause).
        now_ms += X_REPORT_RETRY_MS;
        if (t.r->status == X_REPORT_READY) x_flow_report_check(t.r);
        EXPECT_EQ(t.r->status, X_REPORT_IN_FLIGHT) << c.name;
        std::string sent = t.frame();
        EXPECT_EQ(sent, body_of(t.dir.read(c.head_listed ? head : t.records().back()))) << c.name;
    }
}

TEST(FlowReport, FailedWriteKeepsTheSums) {
    Report t;
    t.start();
    t.sample("a", 100, 1);
    std::string moved = t.dir.path + ".away";
    ASSERT_EQ(rename(t.dir.path.c_str(), moved.c_str()), 0);
    EXPECT_FALSE(x_flow_report_write_record(t.r));
    ASSERT_EQ(rename(moved.c_str(), t.dir.path.c_str()), 0);
    t.sample("a", 23, 1);
    ASSERT_TRUE(x_flow_report_write_record(t.r));
    ASSERT_EQ(t.dir.names().size(), 1u); // no temporary left behind
    x_flow_report_check(t.r);
    std::string body = t.frame();
    bjson_val_t *v = nullptr;
    ASSERT_TRUE(bjson_decode(&v, reinterpret_cast<const uint8_t *>(body.data()), body.size(), 1));
    uint64_t up = 0;
    EXPECT_TRUE(bjson_array_get_uint(bjson_object_get(bjson_object_get(v, "list"), "a"), 0, &up));
    EXPECT_EQ(up, 123u);
    bjson_free(v);
}

TEST(FlowReport, StartFindsRecordsOldestFirstAndLeavesOthersAlone) {
    Report t;
    t.dir.put("flowreport_300", "x", 100);
    t.dir.put("flowreport_200", "x", 200);
    t.dir.put("flowreport_100", "x", 200); // same time: the name's stamp decides
    for (const char *other :
         {"flowreport_5.tmp", "flowreport.txt", "flowreport_x", "statsreport_1"})
        t.dir.put(other, "x");
    t.start();
    std::vector<std::string> order;
    for (x_file_report_t *f = t.r->head; f; f = f->next)
        order.push_back(strrchr(f->file_name, '/') + 1);
    EXPECT_EQ(order,
              (std::vector<std::string>{"flowreport_300", "flowreport_100", "flowreport_200"}));
    EXPECT_EQ(t.r->file_num, 3u);
    EXPECT_EQ(t.dir.names().size(), 7u);
}

TEST(FlowReport, ReportsSharingADirectoryAreRefused) {
    LogDir d;
    std::string slash = d.path + "/";
    struct {
        const char *name;
        std::string second;
        bool stats;
        bool ok;
    } cases[] = {{"same directory, two sections", slash, false, false},
                 {"flow and stats of one section", d.path, true, false},
                 {"own directories", d.path + "/sub", false, true}};
    for (const auto &c : cases) {
        x_server_t *s = x_server_create();
        s->config.auth_num = 2;
        s->config.auths = static_cast<x_config_auth_t *>(calloc(2, sizeof(x_config_auth_t)));
        x_config_remote_server_t srv{};
        x_config_auth_log_report_t *second =
            c.stats ? &s->config.auths[0].stats_report : &s->config.auths[1].flow_report;
        for (auto [rep, path] :
             {std::pair{&s->config.auths[0].flow_report, d.path}, std::pair{second, c.second}}) {
            rep->server_num = 1;
            rep->servers = &srv;
            EXPECT_TRUE(ngx_str_init(&rep->log_path, path.data(), path.size()));
        }
        EXPECT_EQ(x_flow_reports_start(s), c.ok) << c.name;
        for (auto *rep : {&s->config.auths[0].flow_report, second}) {
            ngx_str_free(&rep->log_path);
            rep->servers = nullptr;
            rep->server_num = 0;
        }
        x_flow_reports_close(s);
        free(s->config.auths);
        free(s);
    }
}

} // namespace
