#include "report/x_log_flow.h"
#include "report/report_server.h"

#include <gtest/gtest.h>

#include <string>

TEST(FlowLog, SumsDoNotWrapAt32Bits) {
    ReportServer srv;
    x_log_flow_t *log = srv.s->log_charge_flow[0];
    const x_flow_log_pkt_t p{0, "big", {}, 4000000000u, 1};
    for (int i = 0; i < 3; i++)
        x_log_do_flow(log, &p);
    x_log_flow_timeout(log);
    EXPECT_NE(srv.flows.read_all().find("\"big\":{\"u\":12000000000,\"d\":3}"), std::string::npos);
}

TEST(FlowLog, TokensThatDoNotFitASampleAreRefused) {
    struct {
        const char *name;
        std::string flow, stats;
        bool charged, counted;
    } cases[] = {
        {"255 bytes fit", std::string(255, 'f'), "team", true, true},
        {"256 bytes refused", std::string(256, 'f'), "team", false, false},
        {"zero byte refused", std::string("ab\0cd", 5), "team", false, false},
        {"long stats token left out", "alice", std::string(300, 's'), true, false},
    };
    for (const auto &tc : cases) {
        ReportServer srv;
        x_client_t *c = srv.session();
        set_str(&c->auth_result.flow_token, tc.flow);
        set_str(&c->auth_result.stats_token, tc.stats);
        c->up.sum = 100;
        c->down.sum = 200;
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
        {"\xc3", "\"\\u00c3\""},                                // truncated sequence
        {std::string("\xe2\x82") + "x", "\"\\u00e2\\u0082x\""}, // broken sequence
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},          // surrogate
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},                     // overlong
        {"\x7f", "\"\x7f\""},
    };
    for (const auto &tc : cases) {
        char out[64];
        size_t n = x_log_escape_json(out, sizeof out,
                                     reinterpret_cast<const uint8_t *>(tc.in.data()), tc.in.size());
        EXPECT_EQ(std::string(out, n == SIZE_MAX ? 0 : n), tc.out);
    }
}
