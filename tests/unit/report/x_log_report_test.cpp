#include "report/x_log_report.h"
#include "report/report_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>

namespace {

sockaddr_in v4(const char *ip, uint16_t port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

// A session that reached 93.184.216.34:443 through 127.0.0.1:1081.
void fill(x_client_t *c, const std::string &token, const std::string &host) {
    set_str(&c->auth_result.log_token, token);
    set_str(&c->acl_match.target_host, host);
    c->acl_match.target_port = 443;
    c->localaddr = v4("127.0.0.1", 1081);
    c->addr = v4("127.0.0.2", 40000);
    c->dst_addr = v4("93.184.216.34", 443);
}

} // namespace

// Control bytes, DEL and backslash are escaped; a line that would pass the limit (also once
// escaped) is dropped whole.
TEST(AccessReport, ClientTextCannotForgeFieldsOrLines) {
    ReportServer srv;
    const struct {
        std::string token, host, tail; // tail: the line after its time stamp, empty when dropped
    } cases[] = {
        {std::string("ev\til\nuser\\\x7f", 12), std::string("a\r\nb\0c.test", 11),
         "ev\\x09il\\x0auser\\x5c\\x7f\ta\\x0d\\x0ab\\x00c.test:443\t127.0.0.1:1081\t"
         "127.0.0.2:40000\tsocks5\t93.184.216.34:443\t\n"},
        {"alice", std::string(1000, 'h'), ""},
        {"alice", std::string(300, '\x01'), ""},
    };
    for (const auto &tc : cases) {
        x_client_t *c = srv.session();
        fill(c, tc.token, tc.host);
        size_t before = srv.reports.read_all().size();
        x_log_send_report(c, X_REPORT_PROTO_SOCKS5, false);
        std::string grown = srv.reports.read_all().substr(before);
        EXPECT_EQ(grown.empty() ? "" : grown.substr(24), tc.tail);
        srv.finish(c);
    }
}
