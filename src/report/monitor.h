// Process-wide metrics: counters and histograms updated by the intake, the protocol handlers and
// the session close path, read without locking by the metrics page (a momentary snapshot).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr unsigned MONITOR_ERROR_CODES = 1000;
constexpr unsigned MONITOR_TIME_BUCKETS = 12;
// Upper bounds (ms) of the duration histograms' buckets.
extern const uint32_t auth_buckets[MONITOR_TIME_BUCKETS];

using counter_t = std::atomic<uint64_t>;

struct monitor_t {
    const char *health_url;                          // "/"
    const char *metric_url;                          // "/metrics"
    counter_t request_total;                         // accepted client connections
    counter_t socks5_request_total;                  // clients recognised as SOCKS5
    counter_t http_request_total;                    // clients recognised as HTTP
    counter_t socks5_success_total;                  // SOCKS5 connections and associations set up
    counter_t http_success_total;                    // HTTP connections set up
    counter_t error_code[MONITOR_ERROR_CODES];       // ended sessions per code; [0]: codes > 999
    counter_t auth_time[MONITOR_TIME_BUCKETS];       // authentication durations per bucket
    counter_t auth_time_count;                       // authentication durations counted
    counter_t auth_time_sum;                         // their total, ms
    counter_t connection_time[MONITOR_TIME_BUCKETS]; // connection set-up durations per bucket
    counter_t connection_time_count;                 // set-up durations counted
    counter_t connection_time_sum;                   // their total, ms
};

extern monitor_t monitor_main;

void monitor_init();
// Counts a counter up by one. Every counter is atomic: workers and the main thread share them,
// and the page reads them while they move; relaxed order is all a statistic needs.
inline void monitor_incr(counter_t &c) {
    c.fetch_add(1, std::memory_order_relaxed);
}
// A freed session's error code: 0 is ignored, codes above 999 count at index 0.
void add_error_code_count(uint32_t code);
// A remote authentication's duration.
void add_auth_time_count(uint64_t ms);
// A destination connection's set-up duration.
void add_connection_time_count(uint64_t ms);

// The health and metrics endpoint. A health port serves one HTTP request per connection on the
// main thread: GET "/" gets the health answer, GET "/metrics" the page in the Prometheus text
// format 0.0.4; anything else is closed without an answer. The request may take 16 KiB at most,
// and the whole exchange must end within the connection timeout.
struct x_server_t;
struct x_client_t;
struct event_data_t;
struct x_timer_event_t;
struct buf_t;

constexpr size_t MONITOR_BUF_SIZE = 4096;     // request buffer, and the page's first size
constexpr size_t MONITOR_REQUEST_MAX = 16384; // request line and headers together
constexpr size_t MONITOR_HEADER_ROOM = 128;   // room kept before the page for its header
extern const char monitor_health_success_resp[];

// Accept handler of the health ports.
void on_monitor_connect(x_server_t *server, event_data_t *ev, uint32_t events);
// Handlers of a monitor connection: request line, headers, answer.
void on_monitor_data(x_server_t *server, event_data_t *ev, uint32_t events);
void monitor_on_request_header(x_server_t *server, event_data_t *ev, uint32_t events);
void on_monitor_send_resp(x_server_t *server, event_data_t *ev, uint32_t events);
void on_monitor_connect_timeout(void *client, x_timer_event_t *ev);
// Builds the metrics answer in the session's down.buf and starts sending it.
void do_monitor_metric(x_client_t *client);
// Appends the metrics page (everything after the HTTP header) to buf. On failure returns false
// and names the step that failed in *failed_step ("format requests total", ...).
[[nodiscard]] bool monitor_metric_body(buf_t *buf, uint32_t active_connections,
                                       const char **failed_step);
// Appends len bytes, doubling the buffer until they fit.
[[nodiscard]] bool buf_write_buf(buf_t *buf, const void *data, size_t len);
