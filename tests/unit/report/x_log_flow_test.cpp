#include "report/x_log_flow.h"
#include "report/report_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

x_client_t *flow_session(ReportServer &srv, const std::string &flow, const std::string &stats,
                         uint32_t up, uint32_t down) {
    x_client_t *c = srv.session();
    if (!flow.empty()) set_str(&c->auth_result.flow_token, flow);
    if (!stats.empty()) set_str(&c->auth_result.stats_token, stats);
    c->up.sum = up;
    c->down.sum = down;
    return c;
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Runs the main thread's checks after the clock moved on by `ms`.
void advance(ReportServer &srv, uint64_t ms) {
    fake_now_ms += ms;
    work_thread_do(srv.s->main_thread);
}

x_flow_log_pkt_t sample(const std::string &flow, const std::string &stats, uint32_t up,
                        uint32_t down) {
    x_flow_log_pkt_t p = {};
    memcpy(p.flow_token, flow.data(), flow.size());
    memcpy(p.stats_token, stats.data(), stats.size());
    p.up_size = up;
    p.down_size = down;
    return p;
}

} // namespace

TEST(FlowLog, SamplesAreSummedPerTokenAndKindOncePerInterval) {
    ReportServer srv;
    x_client_t *a = flow_session(srv, "alice", "team", 10, 20);
    x_client_t *b = flow_session(srv, "bob", "", 1, 2);
    x_client_t *nobody = flow_session(srv, "", "team", 1000, 1000); // no flow token: no sample
    for (x_client_t *c : {a, b, nobody})
        x_log_send_flow(c);
    EXPECT_EQ(a->up.sum, 0u);
    EXPECT_EQ(nobody->up.sum, 0u);
    a->up.sum = 5;
    a->down.sum = 5;
    srv.finish(a); // the last sample goes with the close
    advance(srv, 2999);
    EXPECT_TRUE(srv.flows.names().empty());
    advance(srv, 1);
    std::string charge = srv.flows.read_all();
    ASSERT_EQ(split_lines(charge).size(), 1u) << charge;
    EXPECT_EQ(charge.rfind("[{\"ts\":", 0), 0u) << charge;
    EXPECT_NE(charge.find(",\"tti\":3,\"ros\":7,\"list\":{"), std::string::npos) << charge;
    EXPECT_NE(charge.find("\"alice\":{\"u\":15,\"d\":25}"), std::string::npos) << charge;
    EXPECT_NE(charge.find("\"bob\":{\"u\":1,\"d\":2}"), std::string::npos) << charge;
    EXPECT_EQ(charge.substr(charge.size() - 4), "}}]\n");
    EXPECT_EQ(srv.flows.names()[0].rfind("x_flow_0_0_", 0), 0u);
    std::string stats = srv.stats.read_all();
    EXPECT_NE(stats.find("\"team\":{\"u\":15,\"d\":25}"), std::string::npos) << stats;
    EXPECT_EQ(count(stats, "\"u\":"), 1u);
    EXPECT_EQ(srv.stats.names()[0].rfind("x_flow_1_0_", 0), 0u);
    // The sums start over: a quiet interval writes nothing.
    advance(srv, 3000);
    EXPECT_EQ(srv.flows.read_all(), charge);
    srv.finish(b);
    srv.finish(nobody);
}

TEST(FlowLog, AtMostAHundredTokensALine) {
    struct {
        int tokens;
        std::vector<size_t> per_line;
    } cases[] = {{250, {100, 100, 50}}, {200, {100, 100}}, {1, {1}}, {0, {}}};
    for (const auto &tc : cases) {
        ReportServer srv;
        x_log_flow_t *log = srv.s->log_charge_flow[0];
        for (int i = 0; i < tc.tokens; i++) {
            x_flow_log_pkt_t p = sample("user" + std::to_string(i), "", 1, 2);
            x_log_do_flow(log, &p);
        }
        x_log_flow_timeout(log);
        auto lines = split_lines(srv.flows.read_all());
        ASSERT_EQ(lines.size(), tc.per_line.size()) << tc.tokens;
        for (size_t i = 0; i < lines.size(); i++) {
            EXPECT_EQ(count(lines[i], "\"u\":"), tc.per_line[i]);
            EXPECT_EQ(lines[i].rfind("[{\"ts\":", 0), 0u);
            EXPECT_EQ(lines[i].substr(lines[i].size() - 3), "}}]");
        }
    }
}

TEST(FlowLog, SumsDoNotWrapAt32Bits) {
    ReportServer srv;
    x_log_flow_t *log = srv.s->log_charge_flow[0];
    for (int i = 0; i < 3; i++) {
        x_flow_log_pkt_t p = sample("big", "", 4000000000u, 1);
        x_log_do_flow(log, &p);
    }
    x_log_flow_timeout(log);
    EXPECT_NE(srv.flows.read_all().find("\"big\":{\"u\":12000000000,\"d\":3}"), std::string::npos);
}

TEST(FlowLog, TokensThatDoNotFitASampleAreRefused) {
    struct {
        const char *name;
        std::string flow;
        std::string stats;
        bool charged;
        bool counted;
    } cases[] = {
        {"255 bytes fit", std::string(255, 'f'), "team", true, true},
        {"256 bytes refused", std::string(256, 'f'), "team", false, false},
        {"zero byte refused", std::string("ab\0cd", 5), "team", false, false},
        {"long stats token left out", "alice", std::string(300, 's'), true, false},
    };
    for (const auto &tc : cases) {
        ReportServer srv;
        x_client_t *c = flow_session(srv, tc.flow, tc.stats, 100, 200);
        x_log_send_flow(c);
        EXPECT_EQ(c->up.sum, 0u) << tc.name;
        EXPECT_EQ(dictSize(srv.s->log_charge_flow[0]->flow_cache), tc.charged ? 1u : 0u) << tc.name;
        EXPECT_EQ(dictSize(srv.s->log_stats_flows[0]->flow_cache), tc.counted ? 1u : 0u) << tc.name;
        srv.finish(c);
    }
}

TEST(FlowLog, JsonEscape) {
    struct {
        std::string in;
        const char *out;
    } cases[] = {
        {"alice", "\"alice\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {std::string("\0\n\x1f", 3), "\"\\u0000\\u000a\\u001f\""},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {"\xff", "\"\\u00ff\""},
        {"\xc3", "\"\\u00c3\""}, // truncated sequence
        {"\xe2\x82"
         "x",
         "\"\\u00e2\\u0082x\""},                       // broken sequence
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""}, // surrogate
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},            // overlong
        {"\x7f", "\"\x7f\""},
    };
    for (const auto &tc : cases) {
        char out[64];
        size_t n = x_log_escape_json(out, sizeof out,
                                     reinterpret_cast<const uint8_t *>(tc.in.data()), tc.in.size());
        EXPECT_EQ(std::string(out, n == SIZE_MAX ? 0 : n), tc.out);
    }
}
