#include "proto/http_proxy.h"

#include "auth/x_auth.h"
#include "core/log.h"
#include "core/socket_util.h"
#include "core/token_bucket.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "net/x_dns.h"
#include "net/x_tovask.h"
#include "proto/http_ctx.h"
#include "proto/http_hop.h"
#include "proto/ngx_http_parse.h"
#include "proto/socks5_proxy.h"
#include "proto/x_forward.h"
#include "proto/x_forward_session.h"
#include "report/monitor.h"
#include "report/x_log_report.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

const char http_host_fail_resp[] = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
const char http_auth_fail_resp[] =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
    "Proxy-Authenticate: Basic realm=\"xx\"\r\nContent-Length: 0\r\n\r\n";
const char http_connect_success_resp[] = "HTTP/1.1 200 Connection established\r\n\r\n";
const char http_server_fail_reason[] = "Internal Server Error";
const char http_auth_fail_errorcode_reason[] = "Proxy Authentication Failed";
const char http_auth_fail_acl_reason[] = "Proxy Authentication In Black List";

namespace {

constexpr size_t HTTP_RESP_MAX = 256;
// Returned by read_and_parse when the session was closed.
constexpr int STEP_CLOSED = -100;
constexpr uint16_t HTTP_DEFAULT_PORT = 80;
constexpr uint16_t HTTPS_DEFAULT_PORT = 443;

http_ctx_t *ctx_of(x_client_t *c) {
    return &c->http_ctx;
}

bool has_upstream(const x_client_t *c) {
    return c->forward && c->forward->host.len > 0;
}

bool send_client(x_client_t *c, const char *data, size_t len) {
    return send(c->connect_ev_data.fd, data, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len);
}

void send_code_resp(x_client_t *c, const char *reason, unsigned code) {
    char out[HTTP_RESP_MAX];
    size_t n = http_format_code_resp(out, sizeof out, reason, code);
    if (n > 0) (void)send_client(c, out, n);
}

// A request that cannot be understood: 403 and close.
void host_fail(x_client_t *c, const char *msg) {
    x_client_log_error(c, X_ERROR_HTTP_REQUEST_RESOLVE, msg);
    (void)send_client(c, http_host_fail_resp, sizeof http_host_fail_resp - 1);
    x_client_close(c);
}

// A destination the lists or the address rules refuse: the black-list answer (645) and close.
void refuse_blocked(x_client_t *c, const char *msg) {
    x_client_log_error(c, X_ERROR_AUTH_BLACK, msg);
    send_code_resp(c, http_auth_fail_acl_reason, X_ERROR_AUTH_BLACK);
    x_client_close(c);
}

void fail(x_client_t *c, uint16_t code, const char *msg) {
    x_client_log_error(c, code, msg);
    http_cmd_resp(c);
}

bool is_again(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// Makes room in a full request buffer by doubling it, up to HTTP_REQUEST_MAX. False once the
// session was closed.
bool make_room(x_client_t *c, http_ctx_t *ctx, const char *alloc_msg) {
    buf_t *b = &c->up.buf;
    if (b->last < b->end) return true;
    size_t cap = buf_capacity(b);
    if (cap >= HTTP_REQUEST_MAX) {
        host_fail(c, "http request header too long");
        return false;
    }
    size_t next = cap * 2 < HTTP_REQUEST_MAX ? cap * 2 : HTTP_REQUEST_MAX;
    if (!http_ctx_adj_buf(ctx, b, next)) {
        fail(c, X_ERROR_ALLOC, alloc_msg);
        return false;
    }
    return true;
}

// Parses what is held, reading more while the parser asks for it. Returns the parser's result,
// NGX_AGAIN when the socket has nothing more for now, or STEP_CLOSED.
int read_and_parse(x_client_t *c, http_ctx_t *ctx, bool header, const char *alloc_msg) {
    buf_t *b = &c->up.buf;
    for (;;) {
        if (b->pos == b->last) {
            if (!make_room(c, ctx, alloc_msg)) return STEP_CLOSED;
            ssize_t n =
                recv(c->connect_ev_data.fd, b->last, static_cast<size_t>(b->end - b->last), 0);
            if (n < 0 && is_again(errno)) return NGX_AGAIN;
            if (n <= 0) {
                x_client_log_error(c, X_ERROR_SOCKET_RECV_FROM_CLIENT, "client active closed");
                x_client_close(c);
                return STEP_CLOSED;
            }
            b->last += n;
        }
        int rc = header ? ngx_http_parse_header_line_buf(ctx, false, b)
                        : ngx_http_parse_request_line_buf(ctx, b);
        if (rc != NGX_AGAIN) return rc;
    }
}

// Body length a header declares: Content-Length as a number (saturating; anything but digits
// counts as a body), any Transfer-Encoding as an unknown body. 0 when the header is neither.
uint32_t declared_body(const http_ctx_t *ctx) {
    bool te = http_header_name_is(ctx, "transfer-encoding", 17);
    if (!te && !http_header_name_is(ctx, "content-length", 14)) return 0;
    if (te || ctx->header_start == nullptr || ctx->header_start == ctx->header_end)
        return UINT32_MAX;
    uint64_t n = 0;
    for (const uint8_t *p = ctx->header_start; p < ctx->header_end; p++) {
        if (*p < '0' || *p > '9') return UINT32_MAX;
        n = n * 10 + static_cast<unsigned>(*p - '0');
        if (n > UINT32_MAX) return UINT32_MAX;
    }
    return static_cast<uint32_t>(n);
}

// One header line: the proxy's own headers leave the forwarded request. False once closed.
bool on_header_line(x_client_t *c, http_ctx_t *ctx) {
    bool auth = http_header_name_is(ctx, "proxy-authorization", 19);
    if (auth || http_header_name_is(ctx, "proxy-connection", 16)) {
        if (!http_skip_current_header(ctx)) {
            host_fail(c, "http skip proxy header failed");
            return false;
        }
        if (auth && !http_handle_header_proxy_authorization(c, ctx)) {
            x_client_close(c);
            return false;
        }
        return true;
    }
    uint32_t body = declared_body(ctx);
    if (body > ctx->content_length) ctx->content_length = body;
    return true;
}

void headers_done(x_server_t *server, x_client_t *c, http_ctx_t *ctx) {
    bool connect = ctx->method == NGX_HTTP_CONNECT;
    uint16_t port = ctx->port ? ctx->port : (connect ? HTTPS_DEFAULT_PORT : HTTP_DEFAULT_PORT);
    size_t len = ctx->host.len;
    if (len > 0 && ctx->host.data[len - 1] == '.') len--;
    if (len == 0) {
        host_fail(c, "get host failed");
        return;
    }
    ngx_str_free(&c->acl_match.target_host);
    if (!ngx_str_init(&c->acl_match.target_host, ctx->host.data, len)) {
        fail(c, X_ERROR_ALLOC, "http save target host failed");
        return;
    }
    c->acl_match.target_port = port;
    // Parked before the question: its answer may come back inside the call.
    x_client_park(c);
    if (x_client_is_closing(c)) return;
    if (c->auth_index == -1) {
        c->auth_result.code = 0;
        c->auth_result.virtual_ip = 0;
        http_on_auth_resp(c);
        return;
    }
    x_auth_start_auth(server, c, http_on_auth_resp);
}

// 407: the client may repeat the request with credentials on this connection. A refused request
// that declared a body is closed instead, since its body would be read as the next request.
void ask_credentials(x_client_t *c) {
    http_ctx_t *ctx = ctx_of(c);
    bool body = ctx->content_length != 0;
    x_client_log_error(c, 407, "auth failed");
    if (!send_client(c, http_auth_fail_resp, sizeof http_auth_fail_resp - 1) || body) {
        x_client_close(c);
        return;
    }
    x_client_reset_auth(c);
    http_ctx_reset(ctx);
    buf_drain(&c->up.buf);
    // Bytes already held would not wake a level-triggered read: writability brings the handler
    // back on the next pass to parse them.
    uint32_t want = buf_size(&c->up.buf) > 0 ? EPOLLIN | EPOLLOUT : EPOLLIN;
    if (!ev_add_event(c->thread->epoll_fd, &c->connect_ev_data, want, http_on_request_line)) {
        x_client_log_error(c, X_ERROR_EVENT_OPT, "http add conn event fail");
        x_client_close(c);
    }
}

void resolve(x_client_t *c, const ngx_str_t *host, bool ipv6,
             x_dns_callback done = http_on_dns_resp) {
    x_dns_query_t *q = x_dns_query(c->thread->dns, reinterpret_cast<const char *>(host->data),
                                   host->len, c, done, ipv6);
    // A synchronous answer returns null; it must not overwrite a handle a later step stored.
    if (q) c->dns_query = q;
}

bool bind_egress(x_client_t *c, int fd) {
    if (c->server->config.no_bind) return true;
    x_config_port_t *port = c->connect_ev_data.xport;
    in_addr_t egress =
        c->auth_result.virtual_ip ? c->auth_result.virtual_ip : c->peer_addr.sin_addr.s_addr;
    switch (socket_bind_egress(fd, c->is_ipv6, &port->ipv6_addr, egress,
                               reinterpret_cast<const char *>(port->name.data), port->name.len)) {
    case EGRESS_BOUND:
        return true;
    case EGRESS_BIND_ADDR_FAILED:
        fail(c, X_ERROR_SOCKET_BIND_ADDR,
             c->is_ipv6 ? "http bind ipv6 failed" : "http bind virtual ip failed");
        return false;
    case EGRESS_BIND_DEVICE_FAILED:
        fail(c, X_ERROR_SOCKET_BIND_DEVICE, "http bind to device failed");
        return false;
    }
    return false;
}

// Lays the forwarded segments end to end at the start of the request buffer, the request body
// bytes already received included; [pos, last) is then exactly what the destination gets.
bool gather_request(x_client_t *c, http_ctx_t *ctx) {
    buf_t *b = &c->up.buf;
    if (!http_ctx_close_segments(ctx, b->last)) return false;
    uint8_t *w = b->start;
    for (size_t i = 0; i < ctx->header_seg_count; i++) {
        auto *base = static_cast<uint8_t *>(ctx->header_seg[i].iov_base);
        size_t len = ctx->header_seg[i].iov_len;
        if (base < w || base > b->last || len > static_cast<size_t>(b->last - base)) return false;
        memmove(w, base, len);
        w += len;
    }
    b->pos = b->start;
    b->last = w;
    return true;
}

// The forwarded request goes to its origin alone and says so (Connection: close); false once the
// session was closed.
bool drop_hop_headers(x_client_t *c) {
    switch (http_hop_filter(&c->up.buf)) {
    case HTTP_HOP_OK:
        return true;
    case HTTP_HOP_TOO_MANY:
        host_fail(c, "http connection header names too many headers");
        return false;
    case HTTP_HOP_MALFORMED:
        host_fail(c, "http parse header failed");
        return false;
    case HTTP_HOP_ALLOC:
        break;
    }
    fail(c, X_ERROR_ALLOC, "http hop header buf alloc failed");
    return false;
}

void start_relay(x_client_t *c) {
    x_client_relay_prepare(c);
    int epfd = c->thread->epoll_fd;
    if (!ev_add_event(epfd, &c->connect_ev_data, EPOLLIN, on_tcp_relay)) {
        fail(c, X_ERROR_EVENT_OPT, "http add conn event fail");
        return;
    }
    if (!ev_add_event(epfd, &c->tcp_dst_ev_data, EPOLLIN, on_tcp_relay))
        fail(c, X_ERROR_EVENT_OPT, "http add dst event fail");
}

void send_request(x_client_t *c);

void on_send_request(x_server_t *, event_data_t *ev, uint32_t) {
    send_request(ev->client);
}

// Writes the forwarded request; what the destination does not take now goes out as it becomes
// writable, the client's input staying off until the whole request has left.
void send_request(x_client_t *c) {
    buf_t *b = &c->up.buf;
    if (buf_size(b) > 0) {
        ssize_t n = send(c->tcp_dst_ev_data.fd, b->pos, buf_size(b), MSG_NOSIGNAL);
        if (n < 0 && !is_again(errno)) {
            fail(c, X_ERROR_SOCKET_SEND_TO_SERVER, "http writev header seg fail");
            return;
        }
        if (n > 0) {
            b->pos += n;
            c->up.sum += static_cast<uint32_t>(n);
            if (c->auth_result.bucket_up)
                (void)token_bucket_take(c->auth_result.bucket_up, static_cast<uint64_t>(n));
        }
    }
    if (buf_size(b) == 0) {
        start_relay(c);
        return;
    }
    if (!ev_add_event(c->thread->epoll_fd, &c->tcp_dst_ev_data, EPOLLOUT, on_send_request))
        fail(c, X_ERROR_EVENT_OPT, "http add dst event fail");
}

} // namespace

size_t http_format_code_resp(char *out, size_t cap, const char *reason, unsigned code) {
    char body[32];
    int blen = snprintf(body, sizeof body, "ErrorCode:%03u\r\n", code);
    unsigned status = code >= 100 && code <= 999 ? code : 500;
    int n = snprintf(out, cap,
                     "HTTP/1.1 %u %s\r\nProxy-Agent: quoxel-kni/3.1.3\r\nContent-Length: %d\r\n"
                     "Proxy-Connection: close\r\n\r\n%s",
                     status, reason, blen, body);
    if (blen < 0 || n < 0 || static_cast<size_t>(n) >= cap) return 0;
    return static_cast<size_t>(n);
}

void http_cmd_resp(x_client_t *c) {
    send_code_resp(c, http_server_fail_reason, c->error_code);
    x_client_close(c);
}

void http_on_first_byte(x_server_t *server, event_data_t *ev, uint32_t events, uint8_t first_byte) {
    x_client_t *c = ev->client;
    if (!buf_alloc(&c->up.buf, first_byte == 'C' ? HTTP_CONNECT_BUF_SIZE : HTTP_REQUEST_BUF_SIZE)) {
        x_client_log_error(c, X_ERROR_ALLOC, "http buf alloc failed");
        x_client_close(c);
        return;
    }
    *c->up.buf.last++ = first_byte;
    http_do_resolution_request_line(server, ev, events);
}

void http_do_resolution_request_line(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    c->tcp_conn_timeout.ctx = c;
    c->tcp_conn_timeout.callback = http_on_get_header_timeout;
    x_timer_reg(&c->thread->conn_timer, &c->tcp_conn_timeout);
    ev->handler = http_on_request_line;
    http_on_request_line(server, ev, events);
}

void http_on_request_line(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (c->listen_proto == 0) {
        c->listen_proto = X_PROTO_HTTP;
        monitor_incr(monitor_main.http_request_total);
    }
    if ((ev->reg_events & EPOLLOUT) &&
        !ev_add_event(c->thread->epoll_fd, ev, EPOLLIN, http_on_request_line)) {
        x_client_log_error(c, X_ERROR_EVENT_OPT, "http add conn event fail");
        x_client_close(c);
        return;
    }
    http_ctx_t *ctx = ctx_of(c);
    int rc = read_and_parse(c, ctx, false, "http request line adj buf failed");
    if (rc == STEP_CLOSED || rc == NGX_AGAIN) return;
    if (rc != NGX_OK) {
        host_fail(c, "http parse header failed");
        return;
    }
    if (ctx->host.len == 0) {
        host_fail(c, "get host failed");
        return;
    }
    http_ctx_start_segments(ctx, c->up.buf.start);
    ev->handler = http_on_request_header;
    http_on_request_header(server, ev, events);
}

void http_on_request_header(x_server_t *server, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    http_ctx_t *ctx = ctx_of(c);
    for (;;) {
        int rc = read_and_parse(c, ctx, true, "http adj buf failed");
        if (rc == STEP_CLOSED || rc == NGX_AGAIN) return;
        if (rc == NGX_HTTP_PARSE_HEADER_DONE) break;
        if (rc != NGX_OK) {
            host_fail(c, "http parse header failed");
            return;
        }
        if (!on_header_line(c, ctx)) return;
    }
    headers_done(server, c, ctx);
}

bool http_handle_header_proxy_authorization(x_client_t *c, http_ctx_t *ctx) {
    const uint8_t *v = ctx->header_start;
    if (v == nullptr || ctx->header_end == nullptr || ctx->header_end < v) return true;
    size_t len = static_cast<size_t>(ctx->header_end - v);
    if (len < 7 || (v[0] != 'B' && v[0] != 'b') || memcmp(v + 1, "asic ", 5) != 0) return true;
    ngx_str_t src = {len - 6, const_cast<uint8_t *>(v + 6)};
    if (ngx_base64_decoded_length(src.len) > HTTP_AUTH_DECODE_MAX) return true;
    uint8_t area[HTTP_AUTH_DECODE_MAX];
    ngx_str_t plain = {0, area};
    if (ngx_decode_base64(&plain, &src) != 0 || plain.len == 0) return true;
    auto *colon = static_cast<uint8_t *>(memchr(area, ':', plain.len));
    if (colon == nullptr) return true;
    if (!ngx_str_init(&c->auth_request.username, area, static_cast<size_t>(colon - area))) {
        x_client_log_error(c, X_ERROR_ALLOC, "http proxy fill auth request username failed");
        return false;
    }
    if (!ngx_str_init(&c->auth_request.password, colon + 1,
                      static_cast<size_t>(area + plain.len - colon - 1))) {
        x_client_log_error(c, X_ERROR_ALLOC, "http proxy fill auth request password failed");
        return false;
    }
    return true;
}

void http_on_auth_resp(x_client_t *c) {
    if (x_client_is_closing(c)) return;
    uint32_t code = c->auth_result.code;
    if (code == 0) {
        x_auth_start_acl(c->server, c, http_on_auth_acl_resp);
        return;
    }
    if (code == 407) {
        ask_credentials(c);
        return;
    }
    x_client_log_error(c, static_cast<uint16_t>(code > UINT16_MAX ? UINT16_MAX : code),
                       "auth failed");
    send_code_resp(c, http_auth_fail_errorcode_reason, code);
    x_client_close(c);
}

void http_on_auth_acl_resp(x_client_t *c, uint32_t result) {
    if (x_client_is_closing(c)) return;
    if (result == 1) {
        refuse_blocked(c, "http dst acl block");
        return;
    }
    if (has_upstream(c)) {
        // The upstream is final only now (a user's own forward comes with the authentication
        // result): a SOCKS5 request cannot name a host longer than its length byte allows.
        if (!x_forward_target_fits(c->forward, c->acl_match.target_host.len)) {
            fail(c, X_ERROR_TARGET_NOT_SUPPORT, "http to s5 target host too long");
            return;
        }
    }
    c->conn_start_time = x_time_ms();
    if (!http_rewrite_absolute_uri(ctx_of(c))) {
        // The request line cannot be cut to origin form: refused as not understood.
        host_fail(c, "http deal url failed");
        return;
    }
    if (c->dns_query) {
        x_dns_cancel(c->thread->dns, c->dns_query);
        c->dns_query = nullptr;
    }
    if (!has_upstream(c)) {
        resolve(c, &c->acl_match.target_host, c->server->config.ipv6_model);
    } else if (c->forward->proto == X_FORWARD_TOVASK) {
        resolve(c, &c->forward->host, false, http_tovask_on_dns_resp);
    } else if (x_acl_match_in_cache(&c->server->config.ads_cache, &c->acl_match)) {
        // Ads-listed names are resolved here: the upstream is asked for the address.
        resolve(c, &c->acl_match.target_host, false, http_domain_in_ads);
    } else {
        resolve(c, &c->forward->host, false);
    }
}

void http_domain_in_ads(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr;
    if (x_client_is_closing(c)) return;
    if (status != 0) {
        fail(c, static_cast<uint16_t>(status), "http ads domain query failed");
        return;
    }
    if (!x_auth_resolved_allowed(c, addr)) {
        refuse_blocked(c, "http ads dst resolved to a blocked address");
        return;
    }
    const auto *ip =
        reinterpret_cast<const uint8_t *>(&reinterpret_cast<sockaddr_in *>(addr)->sin_addr.s_addr);
    char text[16];
    int n = snprintf(text, sizeof text, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    ngx_str_free(&c->acl_match.target_host);
    if (!ngx_str_init(&c->acl_match.target_host, text, static_cast<size_t>(n))) {
        fail(c, X_ERROR_ALLOC, "http ads target save is error");
        return;
    }
    resolve(c, &c->forward->host, false);
}

void http_on_dns_resp(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr; // finished: never cancel it
    if (x_client_is_closing(c)) return;
    if (status != 0) {
        fail(c, static_cast<uint16_t>(status), "http domain query failed");
        return;
    }
    if (!has_upstream(c) && !x_auth_resolved_allowed(c, addr)) {
        refuse_blocked(c, "http dst resolved to a blocked address");
        return;
    }
    // With an upstream the connection goes there; the target is named in its handshake.
    uint16_t port = htons(has_upstream(c) ? c->forward->port : c->acl_match.target_port);
    if (addr->ss_family == AF_INET6) {
        c->is_ipv6 = true;
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&c->dst_addr_ipv6);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = reinterpret_cast<sockaddr_in6 *>(addr)->sin6_addr;
        v6->sin6_port = port;
    } else {
        c->dst_addr.sin_family = AF_INET;
        c->dst_addr.sin_addr = reinterpret_cast<sockaddr_in *>(addr)->sin_addr;
        c->dst_addr.sin_port = port;
    }
    x_timer_del(&c->tcp_conn_timeout);
    http_do_conn_dst(c);
}

void http_do_conn_dst(x_client_t *c) {
    int fd = socket(c->is_ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    IPPROTO_TCP);
    if (fd < 0) {
        fail(c, X_ERROR_SOCKET_CREATE, "http create tcp socket failed");
        return;
    }
    if (!set_socket_reuse_opt(fd)) {
        close(fd);
        fail(c, X_ERROR_SOCKET_OPT, "http set client socket set default opt failed");
        return;
    }
    if (!bind_egress(c, fd)) {
        close(fd);
        return;
    }
    const sockaddr *to = c->is_ipv6 ? reinterpret_cast<const sockaddr *>(&c->dst_addr_ipv6)
                                    : reinterpret_cast<const sockaddr *>(&c->dst_addr);
    socklen_t len = c->is_ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (connect(fd, to, len) != 0 && errno != EINPROGRESS) {
        close(fd);
        fail(c, X_ERROR_SOCKET_CONNECT, "http connect to tcp dst failed");
        return;
    }
    c->tcp_dst_ev_data.fd = fd;
    // With an upstream, the handshake keeps this set: its handlers read the socket's errors.
    c->dst_connecting = true;
    event_handler on_writable = http_on_connect_dst;
    if (has_upstream(c))
        on_writable = c->forward->proto == X_FORWARD_SOCKS5 ? http_s5_on_connect_forward
                                                            : http_http_on_connect_forward;
    if (!ev_add_event(c->thread->epoll_fd, &c->tcp_dst_ev_data, EPOLLOUT, on_writable)) {
        c->tcp_dst_ev_data.fd = 0;
        c->dst_connecting = false;
        close(fd);
        fail(c, X_ERROR_EVENT_OPT, "http add tcp dst connect event failed");
        return;
    }
    c->tcp_dst_timeout.ctx = c;
    c->tcp_dst_timeout.callback = http_on_connect_dst_timeout;
    x_timer_reg(&c->thread->dst_timer, &c->tcp_dst_timeout);
}

void http_on_connect_dst(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    int err = x_forward_connect_error(ev, events);
    x_timer_del(&c->tcp_dst_timeout);
    c->dst_connecting = false;
    if (err != 0) {
        fail(c, X_ERROR_SOCKET_CONNECT, "http connect to tcp dst failed");
        return;
    }
    http_connected(c);
}

void http_connected(x_client_t *c) {
    http_ctx_t *ctx = ctx_of(c);
    bool tunnel = ctx->method == NGX_HTTP_CONNECT;
    if (tunnel) {
        // What the client sent along with a CONNECT request is not part of the tunnel.
        c->up.buf.pos = c->up.buf.last = c->up.buf.start;
    } else if (!gather_request(c, ctx)) {
        fail(c, X_ERROR_HTTP_REQUEST_RESOLVE, "http writev header seg fail");
        return;
    } else if (!drop_hop_headers(c)) {
        return;
    } else if (c->code_key) {
        xor_encrypt_data(c->up.buf.pos, buf_size(&c->up.buf), c->code_key); // to the agent
    }
    x_log_send_report(c, X_REPORT_PROTO_HTTP, false);
    monitor_incr(monitor_main.http_success_total);
    add_connection_time_count(x_time_ms() - c->conn_start_time);
    x_client_start_session_timers(c);
    if (!tunnel) {
        send_request(c);
        return;
    }
    if (!send_client(c, http_connect_success_resp, sizeof http_connect_success_resp - 1)) {
        fail(c, X_ERROR_SOCKET_SEND_TO_CLIENT, "http send conn success msg fail");
        return;
    }
    start_relay(c);
}

void http_tovask_on_dns_resp(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr;
    if (x_client_is_closing(c)) return;
    uint16_t code = x_tovask_forward_resolved(c, status, addr, http_on_connect_dst_timeout,
                                              http_conn_agent_resp);
    if (code != 0) fail(c, code, "http agent domain query failed");
}

void http_conn_agent_resp(x_client_t *c, uint16_t status) {
    x_timer_del(&c->tcp_dst_timeout);
    if (status != 0) {
        x_client_log_error(c, status, "conn agent server error");
        http_cmd_resp(c);
        return;
    }
    http_connected(c);
}

void http_on_connect_dst_timeout(void *ctx, x_timer_event_t *) {
    auto *c = static_cast<x_client_t *>(ctx);
    const x_forward_t *f = c->forward;
    if (f == nullptr || f->host.len == 0)
        x_client_log_error(c, X_ERROR_TARGET_TIMEOUT, "http connect timeout");
    else if (f->proto != X_PROTO_TOVASK)
        x_client_log_error(c, X_ERROR_FORWARD_TIMEOUT, "http forward timeout");
    else if (c->is_ctrl_ready)
        x_client_log_error(c, X_ERROR_FORWARD_TOVASK_TIMEOUT, "http forward tovask agent timeout");
    else
        x_client_log_error(c, X_ERROR_FORWARD_TOVASK_CTRL, "http forward tovask ctrl timeout");
    http_cmd_resp(c);
}

void http_on_get_header_timeout(void *ctx, x_timer_event_t *) {
    auto *c = static_cast<x_client_t *>(ctx);
    fail(c, X_ERROR_HTTP_REQUEST_TIMEOUT, "http get header timeout");
}

// ---- upstream handshake ----

namespace {

// The upstream granted the tunnel: the request's own success path runs on its socket.
void forward_granted(x_client_t *c) {
    x_timer_del(&c->tcp_dst_timeout);
    c->dst_connecting = false;
    x_forward_consume(c);
    http_connected(c);
}

// The one retry of a refused upstream connect: a new connection to the same upstream address,
// without resolving again. False when no retry is allowed (the caller reports the refusal);
// true when the session went on, or was closed because the old socket could not be released.
bool retry_upstream(x_client_t *c, const char *del_fail_msg) {
    if (c->server->config.forward_retry != 1 || c->retry) return false;
    x_timer_del(&c->tcp_dst_timeout);
    if (!x_forward_release_socket(c)) {
        fail(c, X_ERROR_EVENT_OPT, del_fail_msg);
        return true;
    }
    x_forward_consume(c);
    http_ctx_reset(&c->http_resp_ctx);
    c->retry = 1;
    log_info("client[%u] retry upstream connect\n", c->session);
    http_do_conn_dst(c);
    return true;
}

// Common start of both handshakes: the connect's outcome and the handshake buffer.
bool forward_connected(x_client_t *c, event_data_t *ev, uint32_t events, const char *alloc_msg) {
    int err = x_forward_connect_error(ev, events);
    if (err != 0) {
        fail(c, X_ERROR_SOCKET_CONNECT, "http connect to tcp dst failed");
        return false;
    }
    if (!buf_alloc(&c->down.buf, X_FORWARD_BUF_SIZE)) {
        fail(c, X_ERROR_ALLOC, alloc_msg);
        return false;
    }
    x_forward_consume(c);
    return true;
}

} // namespace

void http_s5_on_connect_forward(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (!forward_connected(c, ev, events, "http to s5 alloc buf failed")) return;
    c->needrecv = X_FORWARD_S5_SHORT_REPLY;
    if (!x_forward_watch(c, http_s5_on_method_resp)) {
        fail(c, X_ERROR_EVENT_OPT, "http to s5 add event failed");
        return;
    }
    uint8_t hello[4];
    size_t n = x_forward_s5_greeting(c->forward, hello);
    int err = 0;
    if (!x_forward_send(c, hello, n, &err))
        fail(c, X_ERROR_SOCKET_SEND_TO_SERVER, "http to s5 send method request failed");
}

void http_s5_on_method_resp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    int rc = x_forward_recv_fixed(&c->down.buf, ev->fd, X_FORWARD_S5_SHORT_REPLY);
    if (rc == X_FORWARD_AGAIN) return;
    if (rc != X_FORWARD_DONE) {
        fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "http to s5 recv method resp failed");
        return;
    }
    uint8_t method = c->down.buf.pos[1];
    x_forward_consume(c);
    if (method == S5_METHOD_NONE) {
        http_s5_send_connect(c);
    } else if (method == S5_METHOD_USERPASS && c->forward->has_username) {
        c->needrecv = X_FORWARD_S5_SHORT_REPLY;
        if (!x_forward_watch(c, http_s5_on_auth_resp)) {
            fail(c, X_ERROR_EVENT_OPT, "http to s5 add event failed");
            return;
        }
        int err = 0;
        const ngx_str_t &auth = c->forward->s5_auth;
        // A reset is left for the next read to see.
        if (!x_forward_send(c, auth.data, auth.len, &err) && err != ECONNRESET)
            fail(c, X_ERROR_SOCKET_SEND_TO_SERVER, "http to s5 send auth request failed");
    } else if (method == S5_METHOD_USERPASS) {
        fail(c, X_ERROR_FORWARD_S5_CONFER_FAILED, "http to s5 need name but not had");
    } else {
        fail(c, X_ERROR_FORWARD_S5_CONFER_FAILED, "http to s5 no acceptable methods");
    }
}

void http_s5_on_auth_resp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    int rc = x_forward_recv_fixed(&c->down.buf, ev->fd, X_FORWARD_S5_SHORT_REPLY);
    if (rc == X_FORWARD_AGAIN) return;
    if (rc != X_FORWARD_DONE) {
        fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "http to s5 recv auth resp failed");
        return;
    }
    uint8_t status = c->down.buf.pos[1];
    x_forward_consume(c);
    if (status != 0) {
        fail(c, X_ERROR_FORWARD_S5_AUTH_FAILED, "http to s5 auth failed");
        return;
    }
    http_s5_send_connect(c);
}

void http_s5_send_connect(x_client_t *c) {
    uint8_t req[X_FORWARD_S5_REQUEST_MAX];
    size_t n =
        x_forward_s5_connect_request(&c->acl_match.target_host, c->acl_match.target_port, req);
    if (n == 0) {
        fail(c, X_ERROR_FORMAT_STRING, "http to s5 fill connect request failed");
        return;
    }
    if (!x_forward_watch(c, http_s5_on_connect_resp)) {
        fail(c, X_ERROR_EVENT_OPT, "http to s5 add event failed");
        return;
    }
    int err = 0;
    if (!x_forward_send(c, req, n, &err) && err != ECONNRESET)
        fail(c, X_ERROR_SOCKET_SEND_TO_SERVER, "http to s5 send connect request failed");
}

void http_s5_on_connect_resp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    int rc = x_forward_recv_s5_reply(&c->down.buf, ev->fd);
    if (rc == X_FORWARD_AGAIN) return;
    if (rc != X_FORWARD_DONE) {
        fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "http to s5 recv connect failed");
        return;
    }
    uint8_t rep = c->down.buf.pos[1];
    if (rep == S5_REP_SUCCESS) {
        forward_granted(c);
        return;
    }
    if (retry_upstream(c, "http to s5 connect resp retry del event failed")) return;
    char msg[64];
    snprintf(msg, sizeof msg, "http to s5 connect resp failed code [%u]", rep);
    fail(c, X_ERROR_FORWARD_S5_CONNECT_FAILED, msg);
}

void http_http_on_connect_forward(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (!forward_connected(c, ev, events, "http to s5 alloc buf failed")) return;
    char req[X_FORWARD_BUF_SIZE];
    int n = x_forward_http_connect_request(c->forward, &c->acl_match.target_host,
                                           c->acl_match.target_port, true, req, sizeof req);
    if (n < 0) {
        fail(c, X_ERROR_FORMAT_STRING, "http to s5 fill connect req failed");
        return;
    }
    int err = 0;
    if (!x_forward_send(c, req, static_cast<size_t>(n), &err)) {
        fail(c, X_ERROR_SOCKET_SEND_TO_SERVER, "http to http send connect request failed");
        return;
    }
    if (!x_forward_watch(c, http_http_on_resp))
        fail(c, X_ERROR_EVENT_OPT, "http add dst event fail");
}

void http_http_on_resp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    unsigned status = 0;
    int rc = x_forward_recv_http_resp(&c->down.buf, ev->fd, &status);
    switch (rc) {
    case X_FORWARD_AGAIN:
        return;
    case X_FORWARD_DONE:
        break;
    case X_FORWARD_CLOSED:
        fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "http to http next node closed");
        return;
    case X_FORWARD_TOO_LONG:
        fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "http to http recv data too longfailed");
        return;
    default:
        fail(c, X_ERROR_FORWARD_HTTP_RESPONSE_RESOLVE, "http to http http parse failed");
        return;
    }
    if (status == 200) {
        forward_granted(c);
        return;
    }
    if (retry_upstream(c, "http to http connect del event failed")) return;
    char msg[64];
    snprintf(msg, sizeof msg, "http to http connect resp failed code [%u]", status);
    fail(c, X_ERROR_FORWARD_HTTP_CONNECT_FAILED, msg);
}
