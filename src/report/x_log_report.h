// Access reports: one tab-separated line per proxied connection of a user with a log token.
//
// The owning thread composes the line right after telling the client that the destination is
// connected and carries it to the main thread (X_IPC_REPORT), which appends it to the rotating
// series "x_report_<section>_<ms>.log" of the session's authentication section.
#pragma once

#include <cstddef>
#include <cstdint>

struct x_client_t;
struct x_log_file_t;
struct x_server_t;

constexpr size_t X_REPORT_LOG_MAX = 1024; // a line with its terminator must fit

// Protocol numbers of x_log_send_report.
constexpr int X_REPORT_PROTO_HTTP = 1;
constexpr int X_REPORT_PROTO_SOCKS5 = 2;

struct x_log_report_t {
    x_log_file_t *log_file; // the section's file series
};

// One line on its way to the main thread.
struct x_report_log_pkt_t {
    int8_t auth_index;          // the session's authentication section
    uint32_t log_size;          // bytes of the line in `log`
    char log[X_REPORT_LOG_MAX]; // the line, ending in a line feed
};

// Null when the file series cannot be created.
x_log_report_t *x_log_report_create(int index, const char *path, uint32_t size_mb, uint32_t count);
void x_log_report_free(x_log_report_t *report);

// Owning thread, after the success reply: sends the session's access line when its log token is
// non-empty (and then marks it is_showreport). protocol: X_REPORT_PROTO_*; is_udp takes the
// destination of the UDP association. Every failure drops the line only.
void x_log_send_report(x_client_t *client, int protocol, bool is_udp);
// Main thread: appends the line and checks the size limit. The caller frees pkt.
void x_log_do_report(x_log_report_t *report, const x_report_log_pkt_t *pkt);

// Server wiring. Creates log_reports for every section that configures an access log; false
// (with what was made left for x_log_reports_close) when one cannot be created.
[[nodiscard]] bool x_log_reports_start(x_server_t *server);
void x_log_reports_close(x_server_t *server);
// Main thread, message X_IPC_REPORT: writes pkt to its section's series when there is one. The
// caller frees pkt.
void x_log_on_report(x_server_t *server, const x_report_log_pkt_t *pkt);

// Copies src into out (room for cap bytes, terminator included) with every control byte, DEL
// and backslash written as \xNN, so a field can neither split nor end a line; other bytes are
// kept as they are. Returns the length, or SIZE_MAX (out then empty) when it does not fit.
size_t x_log_escape_field(char *out, size_t cap, const uint8_t *src, size_t len);
