#include "report/x_log_report.h"
#include "report/report_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <string>

namespace {

sockaddr_in v4(const char *ip, uint16_t port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

// A session that reached alice's destination example.com:443 through 127.0.0.1:1081.
void fill(x_client_t *c, const std::string &token, const std::string &host) {
    if (!token.empty()) set_str(&c->auth_result.log_token, token);
    set_str(&c->acl_match.target_host, host);
    c->acl_match.target_port = 443;
    c->localaddr = v4("127.0.0.1", 1081);
    c->addr = v4("127.0.0.2", 40000);
    c->dst_addr = v4("93.184.216.34", 443);
}

// "YYYY-MM-DD hh:mm:ss.mmm" followed by a tab.
bool starts_with_stamp(const std::string &line) {
    const char *shape = "dddd-dd-dd dd:dd:dd.ddd\t";
    if (line.size() < strlen(shape)) return false;
    for (size_t i = 0; shape[i]; i++) {
        bool ok = shape[i] == 'd' ? isdigit(static_cast<unsigned char>(line[i])) != 0
                                  : line[i] == shape[i];
        if (!ok) return false;
    }
    return true;
}

} // namespace

TEST(AccessReport, LineFormats) {
    struct {
        const char *name;
        int protocol;
        bool upstream;
        bool ipv6;
        const char *tail; // the line after the time stamp
    } cases[] = {
        {"direct socks5", X_REPORT_PROTO_SOCKS5, false, false,
         "alice\texample.com:443\t127.0.0.1:1081\t127.0.0.2:40000\tsocks5\t93.184.216.34:443\t\n"},
        {"direct http", X_REPORT_PROTO_HTTP, false, false,
         "alice\texample.com:443\t127.0.0.1:1081\t127.0.0.2:40000\thttp\t93.184.216.34:443\t\n"},
        {"upstream", X_REPORT_PROTO_SOCKS5, true, false,
         "alice\texample.com:443\t127.0.0.1:1081\t127.0.0.2:40000\tsocks5\t\n"},
        {"ipv6 destination", X_REPORT_PROTO_SOCKS5, false, true,
         "alice\texample.com:443\t127.0.0.1:1081\t127.0.0.2:40000\tsocks5\t2001:db8::1:8443\t\n"},
    };
    for (const auto &tc : cases) {
        ReportServer srv;
        x_client_t *c = srv.session();
        fill(c, "alice", "example.com");
        x_forward_t fwd = {};
        if (tc.upstream) {
            set_str(&fwd.host, "upstream.test");
            fwd.port = 3128;
            c->forward = &fwd;
        }
        if (tc.ipv6) {
            c->is_ipv6 = true;
            auto *a6 = reinterpret_cast<sockaddr_in6 *>(&c->dst_addr_ipv6);
            a6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, "2001:db8::1", &a6->sin6_addr);
            a6->sin6_port = htons(8443);
        }
        x_log_send_report(c, tc.protocol, false);
        EXPECT_TRUE(c->is_showreport) << tc.name;
        std::string text = srv.reports.read_all();
        ASSERT_TRUE(starts_with_stamp(text)) << tc.name << ": " << text;
        EXPECT_EQ(text.substr(24), tc.tail) << tc.name;
        auto names = srv.reports.names();
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0].rfind("x_report_0_", 0), 0u) << names[0];
        c->forward = nullptr;
        ngx_str_free(&fwd.host);
        srv.finish(c);
    }
}

TEST(AccessReport, NothingWithoutATokenOrASink) {
    struct {
        const char *name;
        const char *token;
        int8_t auth_index;
        bool showreport;
    } cases[] = {
        {"empty token", "", 0, false},
        {"port without a section", "alice", -1, true},
        {"section out of range", "alice", 5, true},
    };
    for (const auto &tc : cases) {
        ReportServer srv;
        x_client_t *c = srv.session();
        fill(c, tc.token, "example.com");
        c->auth_index = tc.auth_index;
        x_log_send_report(c, X_REPORT_PROTO_SOCKS5, false);
        EXPECT_EQ(c->is_showreport, tc.showreport) << tc.name;
        EXPECT_TRUE(srv.reports.names().empty()) << tc.name;
        srv.finish(c);
    }
}

TEST(AccessReport, ClientTextCannotForgeFieldsOrLines) {
    ReportServer srv;
    x_client_t *c = srv.session();
    fill(c, std::string("ev\til\nuser\\\x7f", 12), std::string("a\r\nb\0c.test", 11));
    x_log_send_report(c, X_REPORT_PROTO_SOCKS5, false);
    std::string text = srv.reports.read_all();
    auto lines = split_lines(text);
    ASSERT_EQ(lines.size(), 1u) << text;
    EXPECT_EQ(text.substr(24), "ev\\x09il\\x0auser\\x5c\\x7f\ta\\x0d\\x0ab\\x00c.test:443\t"
                               "127.0.0.1:1081\t127.0.0.2:40000\tsocks5\t93.184.216.34:443\t\n");
    srv.finish(c);
}

TEST(AccessReport, TooLongLineIsDroppedWhole) {
    ReportServer srv;
    struct {
        size_t host_len;
        bool written;
    } cases[] = {{900, true}, {1000, false}, {300 /* escaped to 1200 */, false}};
    for (const auto &tc : cases) {
        x_client_t *c = srv.session();
        bool control = tc.host_len == 300;
        fill(c, "alice", std::string(tc.host_len, control ? '\x01' : 'h'));
        size_t before = srv.reports.read_all().size();
        x_log_send_report(c, X_REPORT_PROTO_SOCKS5, false);
        size_t grown = srv.reports.read_all().size() - before;
        EXPECT_EQ(grown > 0, tc.written) << tc.host_len;
        if (grown) {
            EXPECT_LT(grown, X_REPORT_LOG_MAX);
        }
        srv.finish(c);
    }
}
