#include "report/monitor.h"

#include "core/buf.h"
#include "core/epoll.h"
#include "core/log.h"
#include "core/socket_util.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"
#include "proto/http_ctx.h"
#include "proto/ngx_http_parse.h"

#include <cerrno>
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

const uint32_t auth_buckets[MONITOR_TIME_BUCKETS] = {1,   5,   10,  20,  30,   50,
                                                     100, 200, 300, 500, 1000, 10000};

monitor_t monitor_main;

const char monitor_health_success_resp[] =
    "HTTP/1.1 200 OK\r\nProxy-Agent: quoxel-kni/3.1.3\r\nContent-Length: 0\r\n\r\n";

namespace {

void add_duration(counter_t *buckets, counter_t &count, counter_t &sum, uint64_t ms) {
    count.fetch_add(1, std::memory_order_relaxed);
    sum.fetch_add(ms, std::memory_order_relaxed);
    for (unsigned i = 0; i < MONITOR_TIME_BUCKETS; i++) {
        if (ms <= auth_buckets[i]) {
            buckets[i].fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
}

} // namespace

void monitor_init() {
    monitor_main.health_url = "/";
    monitor_main.metric_url = "/metrics";
}

void add_error_code_count(uint32_t code) {
    if (code == 0) return;
    monitor_incr(monitor_main.error_code[code < MONITOR_ERROR_CODES ? code : 0]);
}

void add_auth_time_count(uint64_t ms) {
    add_duration(monitor_main.auth_time, monitor_main.auth_time_count, monitor_main.auth_time_sum,
                 ms);
}

void add_connection_time_count(uint64_t ms) {
    add_duration(monitor_main.connection_time, monitor_main.connection_time_count,
                 monitor_main.connection_time_sum, ms);
}

namespace {

constexpr size_t MONITOR_FORMAT_AREA = 256;
constexpr char monitor_metric_header_resp[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
    "Content-Length: %u\r\n\r\n";

uint64_t load(const counter_t &c) {
    return c.load(std::memory_order_relaxed);
}

// Formats one piece of the page into a fixed area and appends it.
bool put(buf_t *buf, const char *step_format, const char *step_write, const char **failed,
         const char *fmt, ...) __attribute__((format(printf, 5, 6)));
bool put(buf_t *buf, const char *step_format, const char *step_write, const char **failed,
         const char *fmt, ...) {
    char area[MONITOR_FORMAT_AREA];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(area, sizeof area, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof area) {
        *failed = step_format;
        return false;
    }
    if (!buf_write_buf(buf, area, static_cast<size_t>(n))) {
        *failed = step_write;
        return false;
    }
    return true;
}

bool put_counter(buf_t *buf, const char *name, const char *fmt_step, const char *write_step,
                 const char **failed, uint64_t value) {
    return put(buf, fmt_step, write_step, failed, "# TYPE %s counter\n%s %" PRIu64 "\n", name, name,
               value);
}

bool put_histogram(buf_t *buf, const char *name, const char *what, const counter_t *buckets,
                   const counter_t &count, const counter_t &sum, const char **failed) {
    char fmt_step[64], write_step[64];
    snprintf(fmt_step, sizeof fmt_step, "write %s duration header", what);
    if (!put(buf, fmt_step, fmt_step, failed, "# TYPE %s histogram\n", name)) return false;
    // Each observation is counted in its first bucket only; the page sums them so that every
    // bound reports all observations at or below it, and closes with the "+Inf" bucket that
    // histogram_quantile needs. The counters move while the page is built, so "+Inf" is never
    // allowed below the last bound.
    uint64_t total = 0;
    for (unsigned i = 0; i <= MONITOR_TIME_BUCKETS; i++) {
        char bound[16] = "+Inf";
        if (i < MONITOR_TIME_BUCKETS) {
            total += load(buckets[i]);
            snprintf(bound, sizeof bound, "%u", auth_buckets[i]);
        } else {
            total = std::max(total, load(count));
        }
        if (!put(buf,
                 what[0] == 'a' ? "format auth request duration member"
                                : "format connection duration member",
                 what[0] == 'a' ? "write auth request duration member"
                                : "write connection duration member",
                 failed, "%s_bucket{le=\"%s\"} %" PRIu64 "\n", name, bound, total))
            return false;
    }
    snprintf(fmt_step, sizeof fmt_step, "format %s duration tail", what);
    snprintf(write_step, sizeof write_step, "write %s duration tail", what);
    return put(buf, fmt_step, write_step, failed, "%s_count %" PRIu64 "\n%s_sum %" PRIu64 "\n",
               name, load(count), name, load(sum));
}

void monitor_log(const x_client_t *c, const char *what) {
    const auto *ip = reinterpret_cast<const uint8_t *>(&c->addr.sin_addr.s_addr);
    log_error("monitor client[%u.%u.%u.%u] server[%s] %s\n", ip[0], ip[1], ip[2], ip[3],
              addr2str(&c->localaddr), what);
}

void client_log(const x_client_t *c, const char *what) {
    const auto *ip = reinterpret_cast<const uint8_t *>(&c->addr.sin_addr.s_addr);
    log_error("client[%u.%u.%u.%u] server[%s] %s\n", ip[0], ip[1], ip[2], ip[3],
              addr2str(&c->localaddr), what);
}

http_ctx_t *ctx_of(x_client_t *c) {
    return &c->http_ctx;
}

// Reads and parses the request until the parser has a result: NGX_AGAIN when the socket has
// nothing more now, or -100 once the session was closed (after its log line).
constexpr int MONITOR_CLOSED = -100;
int read_and_parse(x_client_t *c, bool header) {
    buf_t *b = &c->up.buf;
    http_ctx_t *ctx = ctx_of(c);
    for (;;) {
        if (b->pos == b->last) {
            if (b->last == b->end) {
                size_t cap = buf_capacity(b);
                if (!header || cap >= MONITOR_REQUEST_MAX) {
                    client_log(c, "http header too long failed");
                    x_client_close(c);
                    return MONITOR_CLOSED;
                }
                size_t next = cap * 2 < MONITOR_REQUEST_MAX ? cap * 2 : MONITOR_REQUEST_MAX;
                if (!http_ctx_adj_buf(ctx, b, next)) {
                    client_log(c, "http adj buf failed");
                    x_client_close(c);
                    return MONITOR_CLOSED;
                }
            }
            ssize_t n =
                recv(c->connect_ev_data.fd, b->last, static_cast<size_t>(b->end - b->last), 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return NGX_AGAIN;
            if (n <= 0) {
                client_log(c, "client active closed");
                x_client_close(c);
                return MONITOR_CLOSED;
            }
            b->last += n;
        }
        int rc = header ? ngx_http_parse_header_line_buf(ctx, false, b)
                        : ngx_http_parse_request_line_buf(ctx, b);
        if (rc == NGX_AGAIN) continue;
        if (rc == NGX_OK || rc == NGX_HTTP_PARSE_HEADER_DONE) return rc;
        client_log(c, "http parse header failed");
        x_client_close(c);
        return MONITOR_CLOSED;
    }
}

bool uri_is(const http_ctx_t *ctx, const char *url) {
    if (ctx->uri_start == nullptr || ctx->uri_end == nullptr || ctx->uri_end < ctx->uri_start)
        return false;
    ngx_str_t uri = {static_cast<size_t>(ctx->uri_end - ctx->uri_start), ctx->uri_start};
    ngx_str_t want = {strlen(url), reinterpret_cast<uint8_t *>(const_cast<char *>(url))};
    return ngx_str_equals_nocase(&uri, &want);
}

void send_health(x_client_t *c) {
    buf_t *b = &c->down.buf;
    buf_free(b);
    if (!buf_write_buf(b, monitor_health_success_resp, sizeof monitor_health_success_resp - 1)) {
        monitor_log(c, "write health response failed");
        x_client_close(c);
        return;
    }
    c->connect_ev_data.handler = on_monitor_send_resp;
    on_monitor_send_resp(c->server, &c->connect_ev_data, 0);
}

} // namespace

bool buf_write_buf(buf_t *buf, const void *data, size_t len) {
    if (!buf_check_to_write(buf, len)) return false;
    if (len) memcpy(buf->last, data, len);
    buf->last += len;
    return true;
}

bool monitor_metric_body(buf_t *buf, uint32_t active, const char **failed) {
    const monitor_t &m = monitor_main;
    if (!put(buf, "format active connections", "write active connections", failed,
             "# TYPE active_connections gauge\nactive_connections %u\n", active) ||
        !put_counter(buf, "requests_total", "format requests total", "write requests total", failed,
                     load(m.request_total)) ||
        !put_counter(buf, "socks5_requests_total", "format socks5 requests total",
                     "write socks5 requests total", failed, load(m.socks5_request_total)) ||
        !put_counter(buf, "http_requests_total", "format http requests total",
                     "write http requests total", failed, load(m.http_request_total)) ||
        !put_counter(buf, "socks5_requests_success_total", "format socks5 requests success",
                     "write socks5 requests success", failed, load(m.socks5_success_total)) ||
        !put_counter(buf, "http_requests_success_total", "format http requests success",
                     "write http requests success", failed, load(m.http_success_total)) ||
        !put(buf, "write failure requests header", "write failure requests header", failed,
             "# TYPE requests_failure_total counter\n"))
        return false;
    for (unsigned i = 0; i < MONITOR_ERROR_CODES; i++) {
        uint64_t n = load(m.error_code[i]);
        if (n == 0) continue;
        if (!put(buf, "format failure requests member", "write failure requests member", failed,
                 "requests_failure_total{status=\"%u\"} %" PRIu64 "\n", i, n))
            return false;
    }
    return put_histogram(buf, "auth_duration_milliseconds", "auth request", m.auth_time,
                         m.auth_time_count, m.auth_time_sum, failed) &&
           put_histogram(buf, "connection_duration_milliseconds", "connection", m.connection_time,
                         m.connection_time_count, m.connection_time_sum, failed);
}

void on_monitor_connect(x_server_t *server, event_data_t *ev, uint32_t) {
    struct sockaddr_in peer = {};
    socklen_t len = sizeof peer;
    int fd =
        accept4(ev->fd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (x_server_accept_error(server, ev, err))
            log_error("monitor accept failed: %s\n", strerror(err));
        return;
    }
    // Born non-blocking by accept4; the reuse options only matter to sockets that bind.
    x_client_t *c = x_client_new(server);
    if (c == nullptr) {
        log_error("monitor new client failed\n");
        close(fd);
        return;
    }
    c->is_monitor = true;
    c->thread = server->main_thread;
    c->addr = peer;
    c->localaddr.sin_family = AF_INET;
    get_local_addr(fd, &c->localaddr.sin_addr.s_addr, &c->localaddr.sin_port);
    c->connect_ev_data.fd = fd;
    c->connect_ev_data.xport = ev->xport;
    if (!buf_alloc(&c->up.buf, MONITOR_BUF_SIZE)) {
        monitor_log(c, "buf alloc failed");
        x_client_close(c);
        return;
    }
    if (!ev_add_event(server->main_thread->epoll_fd, &c->connect_ev_data, EPOLLIN,
                      on_monitor_data)) {
        client_log(c, "add main event failed");
        x_client_close(c);
        return;
    }
    c->tcp_conn_timeout.ctx = c;
    c->tcp_conn_timeout.callback = on_monitor_connect_timeout;
    x_timer_reg(&server->main_thread->conn_timer, &c->tcp_conn_timeout);
}

void on_monitor_connect_timeout(void *ctx, x_timer_event_t *) {
    auto *c = static_cast<x_client_t *>(ctx);
    monitor_log(c, "wait monitor client data timeout");
    x_client_close(c);
}

void on_monitor_data(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (read_and_parse(c, false) != NGX_OK) return;
    ev->handler = monitor_on_request_header;
    monitor_on_request_header(server, ev, events);
}

void monitor_on_request_header(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    for (;;) {
        int rc = read_and_parse(c, true);
        if (rc == NGX_HTTP_PARSE_HEADER_DONE) break;
        if (rc != NGX_OK) return;
    }
    const http_ctx_t *ctx = ctx_of(c);
    if (ctx->method != NGX_HTTP_GET) {
        x_client_close(c);
    } else if (uri_is(ctx, monitor_main.metric_url)) {
        do_monitor_metric(c);
    } else if (uri_is(ctx, monitor_main.health_url)) {
        send_health(c);
    } else {
        x_client_close(c);
    }
}

void do_monitor_metric(x_client_t *c) {
    buf_t *b = &c->down.buf;
    if (!buf_alloc(b, MONITOR_BUF_SIZE)) {
        monitor_log(c, "metric buf alloc failed");
        x_client_close(c);
        return;
    }
    b->pos = b->last = b->start + MONITOR_HEADER_ROOM;
    const char *failed = "";
    dict *sessions = c->server->main_thread->session_to_clients;
    auto active = static_cast<uint32_t>(sessions ? dictSize(sessions) : 0);
    if (!monitor_metric_body(b, active, &failed)) {
        char what[96];
        snprintf(what, sizeof what, "%s failed", failed);
        monitor_log(c, what);
        x_client_close(c);
        return;
    }
    char head[MONITOR_HEADER_ROOM + 1];
    int n =
        snprintf(head, sizeof head, monitor_metric_header_resp, static_cast<unsigned>(buf_size(b)));
    if (n < 0 || static_cast<size_t>(n) > MONITOR_HEADER_ROOM) {
        monitor_log(c, "metric header too long");
        x_client_close(c);
        return;
    }
    // Header and page become one contiguous run ending at `last`.
    b->pos -= n;
    memcpy(b->pos, head, static_cast<size_t>(n));
    c->connect_ev_data.handler = on_monitor_send_resp;
    on_monitor_send_resp(c->server, &c->connect_ev_data, 0);
}

void on_monitor_send_resp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    buf_t *b = &c->down.buf;
    ssize_t n = send(ev->fd, b->pos, buf_size(b), MSG_NOSIGNAL);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        x_client_close(c);
        return;
    }
    if (n > 0) b->pos += n;
    if (buf_size(b) == 0) {
        x_client_close(c);
        return;
    }
    // Wait for room, and read nothing more meanwhile.
    if (!ev_add_event(c->thread->epoll_fd, ev, EPOLLOUT, on_monitor_send_resp)) {
        monitor_log(c, "mod add out event failed");
        x_client_close(c);
        return;
    }
    buf_drain(b);
}
