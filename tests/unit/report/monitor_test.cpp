#include "report/monitor.h"

#include "core/buf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

void reset_metrics() {
    auto zero = [](counter_t &c) { c.store(0); };
    zero(monitor_main.request_total);
    zero(monitor_main.socks5_request_total);
    zero(monitor_main.http_request_total);
    zero(monitor_main.socks5_success_total);
    zero(monitor_main.http_success_total);
    for (auto &c : monitor_main.error_code)
        zero(c);
    for (auto &c : monitor_main.auth_time)
        zero(c);
    for (auto &c : monitor_main.connection_time)
        zero(c);
    zero(monitor_main.auth_time_count);
    zero(monitor_main.auth_time_sum);
    zero(monitor_main.connection_time_count);
    zero(monitor_main.connection_time_sum);
}

std::string page(uint32_t active, size_t start_size = 16) {
    buf_t b{};
    EXPECT_TRUE(buf_alloc(&b, start_size));
    const char *failed = nullptr;
    EXPECT_TRUE(monitor_metric_body(&b, active, &failed)) << failed;
    std::string out(reinterpret_cast<const char *>(b.pos), buf_size(&b));
    buf_free(&b);
    return out;
}

TEST(MonitorPage, EmptyRecordGivesEveryTypeLineAndNoMembers) {
    reset_metrics();
    EXPECT_EQ(page(0), "# TYPE active_connections gauge\nactive_connections 0\n"
                       "# TYPE requests_total counter\nrequests_total 0\n"
                       "# TYPE socks5_requests_total counter\nsocks5_requests_total 0\n"
                       "# TYPE http_requests_total counter\nhttp_requests_total 0\n"
                       "# TYPE socks5_requests_success_total counter\n"
                       "socks5_requests_success_total 0\n"
                       "# TYPE http_requests_success_total counter\n"
                       "http_requests_success_total 0\n"
                       "# TYPE requests_failure_total counter\n"
                       "# TYPE auth_duration_milliseconds histogram\n"
                       "auth_duration_milliseconds_count 0\nauth_duration_milliseconds_sum 0\n"
                       "# TYPE connection_duration_milliseconds histogram\n"
                       "connection_duration_milliseconds_count 0\n"
                       "connection_duration_milliseconds_sum 0\n");
}

TEST(MonitorPage, UpdatesLandInTheirLines) {
    reset_metrics();
    monitor_incr(monitor_main.request_total);
    monitor_incr(monitor_main.http_request_total);
    monitor_incr(monitor_main.http_request_total);
    add_error_code_count(0); // ignored
    add_error_code_count(635);
    add_error_code_count(635);
    add_error_code_count(1234); // above 999: status 0
    add_error_code_count(617);
    add_connection_time_count(7);     // le 10
    add_connection_time_count(10);    // le 10: bounds are inclusive
    add_connection_time_count(0);     // le 1
    add_connection_time_count(15000); // count and sum only
    add_auth_time_count(10000);
    add_auth_time_count(10001);
    std::string p = page(3);
    const char *expected[] = {
        "active_connections 3\n",
        "requests_total 1\n",
        "http_requests_total 2\n",
        "# TYPE requests_failure_total counter\nrequests_failure_total{status=\"0\"} 1\n"
        "requests_failure_total{status=\"617\"} 1\nrequests_failure_total{status=\"635\"} 2\n"
        "# TYPE auth",
        "auth_duration_milliseconds_bucket{le=\"10000\"} 1\nauth_duration_milliseconds_count 2\n"
        "auth_duration_milliseconds_sum 20001\n",
        "# TYPE connection_duration_milliseconds histogram\n"
        "connection_duration_milliseconds_bucket{le=\"1\"} 1\n"
        "connection_duration_milliseconds_bucket{le=\"10\"} 2\n"
        "connection_duration_milliseconds_count 4\nconnection_duration_milliseconds_sum 15017\n",
    };
    for (const char *e : expected)
        EXPECT_NE(p.find(e), std::string::npos) << e << "\nin\n" << p;
    EXPECT_EQ(p.find("{status=\"1234\"}"), std::string::npos);
    reset_metrics();
}

TEST(MonitorPage, EveryFailureCodeFitsAsTheBufferGrows) {
    reset_metrics();
    for (uint32_t code = 0; code < MONITOR_ERROR_CODES; code++)
        monitor_main.error_code[code].store(UINT64_MAX);
    std::string p = page(UINT32_MAX, 1);
    EXPECT_NE(p.find("requests_failure_total{status=\"0\"} 18446744073709551615\n"),
              std::string::npos);
    EXPECT_NE(p.find("requests_failure_total{status=\"999\"} 18446744073709551615\n"),
              std::string::npos);
    EXPECT_NE(p.find("active_connections 4294967295\n"), std::string::npos);
    reset_metrics();
}

} // namespace
