#include "proto/socks5_udp.h"

#include "auth/x_auth.h"
#include "core/log.h"
#include "core/socket_util.h"
#include "core/token_bucket.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "net/x_dns.h"
#include "net/x_tovask.h"
#include "proto/socks5_proxy.h"
#include "proto/socks5_udp_tun.h"
#include "proto/x_forward.h"
#include "proto/x_forward_session.h"
#include "report/monitor.h"
#include "report/x_log_report.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr size_t HEADER_MIN = 4; // rsv, frag, atyp
constexpr size_t HEADER_IPV4 = 10;
constexpr size_t HEADER_DOMAIN_BASE = 7; // without the name
constexpr size_t REPLY_HEADER_ONLY = 10; // answers this short carry no payload
constexpr uint64_t PAUSE_THRESHOLD_US = 100000;
// UDP ASSOCIATE asked of an upstream: from 0.0.0.0 port 0.
constexpr uint8_t UPSTREAM_ASSOCIATE[10] = {S5_VERSION, S5_CMD_UDP, 0, S5_ATYP_IPV4, 0, 0, 0,
                                            0,          0,          0};

bool has_upstream(const x_client_t *c) {
    return c->forward && c->forward->host.len > 0;
}

// Failures before the success reply: the client hears why.
void reply_and_close(x_client_t *c, uint8_t rep, uint16_t code, const char *msg) {
    x_client_log_error(c, code, msg);
    (void)s5_cmd_resp(c, rep, 0, 0, 0);
    x_client_close(c);
}

// Failures after it (or where nothing is owed): UDP has no channel for a reason.
void fail(x_client_t *c, uint16_t code, const char *msg) {
    x_client_log_error(c, code, msg);
    x_client_close(c);
}

void empty(buf_t *b) {
    b->pos = b->last = b->start;
}

bool transient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ENOBUFS;
}

bool watch_in(x_client_t *c, event_data_t *ev) {
    return ev_add_event(c->thread->epoll_fd, ev, EPOLLIN, s5_on_udp_relay);
}

bool same_v4(const sockaddr_in &a, const sockaddr_in &b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Sets up one direction of the association with its one-datagram buffer.
bool relay_setup(x_client_relay_t *r, event_data_t *in, event_data_t *out, token_bucket_t *bucket) {
    r->ev_data_in = in;
    r->ev_data_out = out;
    r->bucket = bucket;
    if (!buf_alloc(&r->buf, S5_UDP_BUF_SIZE)) return false;
    r->buf.end = r->buf.start + S5_UDP_BUF_SIZE;
    empty(&r->buf);
    return true;
}

// The egress binding of the destination socket, as for TCP destinations.
bool bind_dst(x_client_t *c, int fd) {
    x_config_port_t *port = c->connect_ev_data.xport;
    if (c->server->config.no_bind) return true;
    if (c->is_ipv6) {
        sockaddr_in6 sin6 = port->ipv6_addr;
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = 0;
        if (bind(fd, reinterpret_cast<sockaddr *>(&sin6), sizeof sin6) != 0) {
            fail(c, X_ERROR_SOCKET_BIND_ADDR, "s5 udp dst socket bind ipv6 failed");
            return false;
        }
    } else {
        sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr =
            c->auth_result.virtual_ip ? c->auth_result.virtual_ip : c->peer_addr.sin_addr.s_addr;
        if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
            fail(c, X_ERROR_SOCKET_BIND_ADDR, "s5 udp dst socket bind failed");
            return false;
        }
    }
    if (port->name.len > 0 &&
        !set_socket_bindtodevice(fd, reinterpret_cast<const char *>(port->name.data),
                                 port->name.len)) {
        fail(c, X_ERROR_SOCKET_BIND_DEVICE, "s5 udp dst bind to device failed");
        return false;
    }
    return true;
}

bool udp_relay_out_up(x_client_t *c) {
    x_client_relay_t *r = &c->up;
    size_t len = buf_size(&r->buf);
    bool ok = true;
    if (len > 0) {
        const sockaddr *to = c->is_ipv6 ? reinterpret_cast<const sockaddr *>(&c->udp_dst_addr_ipv6)
                                        : reinterpret_cast<const sockaddr *>(&c->udp_dst_addr);
        socklen_t tolen = c->is_ipv6 ? sizeof c->udp_dst_addr_ipv6 : sizeof c->udp_dst_addr;
        ssize_t n = sendto(r->ev_data_out->fd, r->buf.pos, len, 0, to, tolen);
        if (n >= 0) {
            r->sum += static_cast<uint32_t>(n);
        } else if (!transient(errno)) { // a full socket buffer loses the datagram, as UDP may
            x_client_log_error(c, X_ERROR_SOCKET_SEND_TO_SERVER, "s5 to s5 udp sendto dst failed");
            ok = false;
        }
    }
    empty(&r->buf);
    return ok;
}

bool udp_relay_out_down(x_client_t *c) {
    x_client_relay_t *r = &c->down;
    size_t len = buf_size(&r->buf);
    bool ok = true;
    if (len > REPLY_HEADER_ONLY) {
        ssize_t n =
            sendto(r->ev_data_out->fd, r->buf.pos, len, 0,
                   reinterpret_cast<const sockaddr *>(&c->udp_src_addr), sizeof c->udp_src_addr);
        if (n >= 0) {
            r->sum += static_cast<uint32_t>(n);
        } else if (!transient(errno)) {
            x_client_log_error(c, X_ERROR_SOCKET_SEND_TO_CLIENT, "s5 to s5 udp sendto src failed");
            ok = false;
        }
    }
    empty(&r->buf);
    return ok;
}

bool send_held(x_client_t *c, x_client_relay_t *r) {
    return r == &c->up ? udp_relay_out_up(c) : udp_relay_out_down(c);
}

// The bucket asks for a pause: stop reading this direction's input and hold the datagram until
// the relay's timer fires.
bool relay_pause(x_client_t *c, x_client_relay_t *r, uint64_t wait_us) {
    int epfd = c->thread->epoll_fd;
    if ((r->ev_data_in->reg_events & EPOLLIN) &&
        !ev_add_event(epfd, r->ev_data_in, 0, s5_on_udp_relay)) {
        x_client_log_error(c, X_ERROR_EVENT_OPT, "s5 to s5 udp ev mod del event in failed");
        return false;
    }
    if (r->timer_fd.fd == 0) {
        int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
        if (fd < 0) {
            x_client_log_error(c, X_ERROR_EVENT_OPT, "s5 to s5 udp create timer fd failed");
            return false;
        }
        r->timer_fd.fd = fd;
        r->timer_fd.client = c;
        r->timer_fd.other_ctx = r;
        if (!ev_add_event(epfd, &r->timer_fd, EPOLLIN | EPOLLET, udp_relay_bucket_acquire)) {
            x_client_log_error(c, X_ERROR_EVENT_OPT, "s5 to s5 udp add timer fd event failed");
            return false;
        }
    }
    struct itimerspec its = {};
    its.it_value.tv_sec = static_cast<time_t>(wait_us / 1000000);
    its.it_value.tv_nsec = static_cast<long>(wait_us % 1000000 * 1000);
    if (timerfd_settime(r->timer_fd.fd, 0, &its, nullptr) != 0) {
        x_client_log_error(c, X_ERROR_EVENT_OPT, "s5 to s5 udp timer fd set time failed");
        return false;
    }
    return true;
}

// Sends the one datagram a relay holds, or holds it for a pause; false: close the session.
bool udp_relay_out(x_client_t *c, x_client_relay_t *r) {
    if (r->bucket) {
        uint64_t wait = token_bucket_take(r->bucket, buf_size(&r->buf));
        if (wait > PAUSE_THRESHOLD_US) return relay_pause(c, r, wait);
    }
    return send_held(c, r);
}

// The first datagram names the association's destination; it waits in up.buf for the check.
void on_first_datagram(x_client_t *c, const s5_udp_header_t *h) {
    char text[256];
    int n = s5_udp_header_target(h, text);
    ngx_str_free(&c->acl_match.target_host);
    if (n < 0 || !ngx_str_init(&c->acl_match.target_host, text, static_cast<size_t>(n))) {
        fail(c, X_ERROR_ALLOC,
             h->atyp == S5_ATYP_IPV4 ? "s5 udp save target ip address is error"
                                     : "s5 udp save target domain is error");
        return;
    }
    c->acl_match.target_port = h->port;
    if (!has_upstream(c)) {
        // Every answer goes back fronted by this header.
        c->s5_udp_header_len = h->len;
        memcpy(c->down.buf.start, c->up.buf.start, h->len);
        c->udp_dst_addr.sin_port = htons(h->port);
    }
    event_data_t *src = &c->udp_src_ev_data;
    if (!ev_del_event(c->thread->epoll_fd, src)) {
        fail(c, X_ERROR_EVENT_OPT, "s5 udp to tcp http del connect event failed");
        return;
    }
    src->handler = nullptr;
    x_auth_start_acl(c->server, c, s5_udp_on_auth_acl_resp);
}

void from_client(x_client_t *c) {
    x_client_relay_t *r = &c->up;
    sockaddr_in from = {};
    socklen_t fromlen = sizeof from;
    ssize_t n = recvfrom(c->udp_src_ev_data.fd, r->buf.start, S5_UDP_BUF_SIZE, 0,
                         reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (n < 0) {
        if (!transient(errno)) fail(c, X_ERROR_SOCKET_RECV_FROM_CLIENT, "s5 udp recvfrom failed");
        return;
    }
    // Only the host that holds the TCP association may use it.
    if (from.sin_family != AF_INET || from.sin_addr.s_addr != c->addr.sin_addr.s_addr) return;
    s5_udp_header_t h;
    int rc = s5_udp_parse_header(r->buf.start, static_cast<size_t>(n), &h);
    if (rc == S5_UDP_HEADER_ATYP && !c->tun_ready) {
        fail(c, X_ERROR_S5_UDP_REQUEST_COMMAND_TYPE, "s5 udp address type not supported");
        return;
    }
    if (rc != S5_UDP_HEADER_OK) return;
    if (c->tun_ready && !s5_udp_same_destination(&h, &c->acl_match)) {
        c->udp_dropped++; // counted in the line written when the association ends
        return;
    }
    c->last_reply_time = x_time_ms();
    c->udp_src_addr = from;
    // Without an upstream only the payload goes on; an upstream takes the whole datagram.
    r->buf.pos = r->buf.start + (has_upstream(c) ? 0 : h.len);
    r->buf.last = r->buf.start + n;
    if (!c->tun_ready) {
        on_first_datagram(c, &h);
        return;
    }
    if (!udp_relay_out(c, r)) x_client_close(c);
}

void from_destination(x_client_t *c) {
    x_client_relay_t *r = &c->down;
    size_t front = has_upstream(c) ? 0 : c->s5_udp_header_len;
    sockaddr_storage from = {};
    socklen_t fromlen = sizeof from;
    ssize_t n = recvfrom(c->udp_dst_ev_data.fd, r->buf.start + front, S5_UDP_BUF_SIZE - front, 0,
                         reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (n < 0) {
        if (!transient(errno)) fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "s5 udp recvfrom failed");
        return;
    }
    // Answers only from where the datagrams went.
    if (c->is_ipv6) {
        const auto &f6 = reinterpret_cast<const sockaddr_in6 &>(from);
        const auto &d6 = c->udp_dst_addr_ipv6;
        if (from.ss_family != AF_INET6 || f6.sin6_port != d6.sin6_port ||
            memcmp(&f6.sin6_addr, &d6.sin6_addr, sizeof d6.sin6_addr) != 0)
            return;
    } else if (from.ss_family != AF_INET ||
               !same_v4(reinterpret_cast<const sockaddr_in &>(from), c->udp_dst_addr)) {
        return;
    }
    if (c->udp_src_addr.sin_port == 0) return; // nobody to answer yet
    c->last_reply_time = x_time_ms();
    r->buf.pos = r->buf.start;
    r->buf.last = r->buf.start + front + n;
    if (!udp_relay_out(c, r)) x_client_close(c);
}

// The destination (or the upstream's relay) is known: its socket, then the held first datagram.
void open_dst(x_client_t *c) {
    if (!watch_in(c, &c->udp_src_ev_data)) {
        fail(c, X_ERROR_EVENT_OPT, "s5 udp add connect event failed");
        return;
    }
    int fd = socket(c->is_ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        fail(c, X_ERROR_SOCKET_CREATE, "s5 udp create dst socket failed");
        return;
    }
    c->udp_dst_ev_data.fd = fd; // closed with the session from here on
    c->udp_dst_ev_data.xport = c->connect_ev_data.xport;
    if (!bind_dst(c, fd)) return;
    if (!watch_in(c, &c->udp_dst_ev_data)) {
        fail(c, X_ERROR_EVENT_OPT, "s5 udp add dst event failed");
        return;
    }
    x_log_send_report(c, X_REPORT_PROTO_SOCKS5, true);
    monitor_incr(monitor_main.socks5_success_total);
    c->tun_ready = true;
    if (!udp_relay_out(c, &c->up)) x_client_close(c);
}

void resolve(x_client_t *c, const char *host, size_t len, bool ipv6, x_dns_callback done) {
    x_dns_query_t *q = x_dns_query(c->thread->dns, host, len, c, done, ipv6);
    if (q) c->dns_query = q;
}

// ---- the upstream's TCP handshake ----

// Reads one of the 2-byte replies; returns its second byte, or -1 when the caller must return.
int short_reply(x_client_t *c, event_data_t *ev, const char *fail_msg) {
    int rc = x_forward_recv_fixed(&c->down.buf, ev->fd, X_FORWARD_S5_SHORT_REPLY);
    if (rc == X_FORWARD_AGAIN) return -1;
    if (rc != X_FORWARD_DONE) {
        fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, fail_msg);
        return -1;
    }
    int value = c->down.buf.pos[1];
    x_forward_consume(c);
    return value;
}

// The relay address the upstream announced.
void on_relay_address(x_client_t *c, const x_forward_s5_reply_t *r) {
    c->udp_dst_addr.sin_family = AF_INET;
    c->udp_dst_addr.sin_port = htons(r->port);
    if (r->atyp == S5_ATYP_IPV4) {
        in_addr_t a;
        memcpy(&a, r->addr, 4);
        // An unspecified bound address means the upstream's own.
        c->udp_dst_addr.sin_addr.s_addr = a ? a : c->dst_addr.sin_addr.s_addr;
        s5_udp_connect_dst(&c->connect_ev_data);
        return;
    }
    if (r->atyp == S5_ATYP_DOMAIN && r->name_len > 0) {
        size_t len = r->name_len;
        if (len > 1 && r->name[len - 1] == '.') len--;
        resolve(c, r->name, len, false, s5_s5_udp_on_forward_udp_dns_resp);
        return;
    }
    reply_and_close(c, S5_REP_ATYP_NOT_SUPPORTED, X_ERROR_S5_UDP_REQUEST_COMMAND_TYPE,
                    "s5 udp address type not supported");
}

} // namespace

int s5_udp_parse_header(const uint8_t *d, size_t len, s5_udp_header_t *out) {
    if (len < HEADER_MIN) return S5_UDP_HEADER_SHORT;
    if (d[2] != 0) return S5_UDP_HEADER_FRAG;
    size_t hlen;
    s5_udp_header_t h = {};
    h.atyp = d[3];
    switch (d[3]) {
    case S5_ATYP_IPV4:
        hlen = HEADER_IPV4;
        h.addr_len = 4;
        break;
    case S5_ATYP_DOMAIN:
        if (len < HEADER_MIN + 1 || d[4] == 0) return S5_UDP_HEADER_SHORT;
        hlen = HEADER_DOMAIN_BASE + d[4];
        h.addr_len = d[4];
        break;
    case S5_ATYP_IPV6:
        return S5_UDP_HEADER_IPV6;
    default:
        return S5_UDP_HEADER_ATYP;
    }
    if (len < hlen) return S5_UDP_HEADER_SHORT;
    h.addr = d + (h.atyp == S5_ATYP_DOMAIN ? 5 : 4);
    h.len = static_cast<uint16_t>(hlen);
    h.port = static_cast<uint16_t>(d[hlen - 2] << 8 | d[hlen - 1]);
    *out = h;
    return S5_UDP_HEADER_OK;
}

int s5_udp_header_target(const s5_udp_header_t *h, char out[256]) {
    if (h->atyp == S5_ATYP_IPV4) {
        const uint8_t *a = h->addr;
        return snprintf(out, 256, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    }
    size_t len = h->addr_len;
    if (len > 0 && h->addr[len - 1] == '.') len--; // one trailing dot: the same name
    if (len == 0) return -1;
    memcpy(out, h->addr, len);
    out[len] = '\0';
    return static_cast<int>(len);
}

bool s5_udp_same_destination(const s5_udp_header_t *h, const x_acl_match_t *checked) {
    if (h->port != checked->target_port) return false;
    char text[256];
    int n = s5_udp_header_target(h, text);
    if (n < 0) return false;
    char canon[X_ACL_RULE_MAX + 1];
    int m = x_acl_canonical_host(text, static_cast<size_t>(n), false, canon);
    if (m < 0) return false;
    const ngx_str_t &t = checked->target_host;
    return static_cast<size_t>(m) == t.len && t.data &&
           strncasecmp(canon, reinterpret_cast<const char *>(t.data), t.len) == 0;
}

bool s5_udp_open_client_socket(x_client_t *c, const char *create_msg, const char *bind_msg) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_CREATE, create_msg);
        return false;
    }
    c->udp_src_ev_data.fd = fd; // closed with the session from here on
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr = c->peer_addr.sin_addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_BIND_ADDR, bind_msg);
        return false;
    }
    return true;
}

void s5_on_cmd_udp(x_server_t *, event_data_t *ev) {
    x_client_t *c = ev->client;
    x_timer_del(&c->tcp_conn_timeout);
    bool http_upstream = has_upstream(c) && c->forward->proto == X_FORWARD_HTTP;
    if (!ev->xport || !ev->xport->allow_udp || http_upstream) {
        reply_and_close(c, S5_REP_NOT_ALLOWED, X_ERROR_S5_REQUEST_COMMAND, "s5 udp not allowed");
        return;
    }
    c->model = 2;
    x_client_park(c);
    if (x_client_is_closing(c)) return;
    if (!has_upstream(c)) {
        s5_udp_connect_dst(ev);
        return;
    }
    if (c->dns_query) {
        x_dns_cancel(c->thread->dns, c->dns_query);
        c->dns_query = nullptr;
    }
    const ngx_str_t &host = c->forward->host;
    resolve(c, reinterpret_cast<const char *>(host.data), host.len, false,
            s5_udp_on_forward_dns_resp);
}

void s5_udp_connect_dst(event_data_t *ev) {
    x_client_t *c = ev->client;
    if (c->udp_tun) { // the upstream's association serves a tunnel
        s5_udp_tun_upstream_ready(c);
        return;
    }
    if (!s5_udp_open_client_socket(c, "s5 udp create udp src socket failed",
                                   "s5 udp src socket bind failed"))
        return;
    int fd = c->udp_src_ev_data.fd;
    c->udp_src_ev_data.xport = c->connect_ev_data.xport;
    if (!relay_setup(&c->up, &c->udp_src_ev_data, &c->udp_dst_ev_data, c->auth_result.bucket_up) ||
        !relay_setup(&c->down, &c->udp_dst_ev_data, &c->udp_src_ev_data,
                     c->auth_result.bucket_down)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_ALLOC, "s5 udp buf alloc fail");
        return;
    }
    if (!watch_in(c, &c->udp_src_ev_data)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_EVENT_OPT, "s5 udp add src event failed");
        return;
    }
    x_client_start_session_timers(c);
    uint16_t port = 0;
    get_local_addr(fd, nullptr, &port);
    if (!s5_cmd_resp(c, S5_REP_SUCCESS, S5_ATYP_IPV4, c->localaddr.sin_addr.s_addr, port)) {
        fail(c, X_ERROR_SOCKET_SEND_TO_CLIENT, "s5 udp send response failed");
        return;
    }
    // The association now lives by its UDP sockets and the session timers.
    if (!ev_del_event(c->thread->epoll_fd, &c->connect_ev_data))
        fail(c, X_ERROR_EVENT_OPT, "s5 udp ev del cmd event failed");
}

void s5_on_udp_relay(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    if (ev == &c->udp_src_ev_data)
        from_client(c);
    else if (ev == &c->udp_dst_ev_data)
        from_destination(c);
}

void s5_udp_on_auth_acl_resp(x_client_t *c, uint32_t result) {
    if (x_client_is_closing(c)) return;
    if (result == 1) {
        fail(c, X_ERROR_AUTH_BLACK, "s5 udp dst is acl block");
        return;
    }
    if (has_upstream(c)) { // the relay address is already in udp_dst_addr
        open_dst(c);
        return;
    }
    c->udp_dst_addr.sin_port = htons(c->acl_match.target_port);
    const ngx_str_t &host = c->acl_match.target_host;
    resolve(c, reinterpret_cast<const char *>(host.data), host.len, c->server->config.ipv6_model,
            s5_udp_on_dns_resp);
}

void s5_udp_on_dns_resp(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr;
    if (x_client_is_closing(c)) return;
    if (status != 0) {
        fail(c, static_cast<uint16_t>(status), "s5 udp domain query failed");
        return;
    }
    if (!x_auth_resolved_allowed(c, addr)) {
        fail(c, X_ERROR_AUTH_BLACK, "s5 udp dst resolved to a blocked address");
        return;
    }
    if (addr->ss_family == AF_INET6) {
        c->is_ipv6 = true;
        c->udp_dst_addr_ipv6.sin6_family = AF_INET6;
        c->udp_dst_addr_ipv6.sin6_addr = reinterpret_cast<sockaddr_in6 *>(addr)->sin6_addr;
        c->udp_dst_addr_ipv6.sin6_port = htons(c->acl_match.target_port);
    } else {
        c->udp_dst_addr.sin_family = AF_INET;
        c->udp_dst_addr.sin_addr = reinterpret_cast<sockaddr_in *>(addr)->sin_addr;
    }
    open_dst(c);
}

void udp_relay_bucket_acquire(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    auto *r = static_cast<x_client_relay_t *>(ev->other_ctx);
    uint64_t expirations;
    (void)!read(ev->fd, &expirations, sizeof expirations);
    c->last_reply_time = x_time_ms();
    if (!send_held(c, r)) {
        x_client_close(c);
        return;
    }
    if (!(r->ev_data_in->reg_events & EPOLLIN) && !watch_in(c, r->ev_data_in))
        fail(c, X_ERROR_EVENT_OPT, "s5 to s5 udp ev mod add event in failed");
}

// ---- through a SOCKS5 upstream ----

void s5_udp_on_forward_dns_resp(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr;
    if (x_client_is_closing(c)) return;
    if (status != 0) {
        reply_and_close(c, S5_REP_UNREACHABLE, static_cast<uint16_t>(status),
                        "s5 udp domain query failed");
        return;
    }
    c->dst_addr.sin_family = AF_INET;
    c->dst_addr.sin_addr = reinterpret_cast<sockaddr_in *>(addr)->sin_addr;
    c->dst_addr.sin_port = htons(c->forward->port);
    c->tcp_dst_timeout.ctx = c;
    c->tcp_dst_timeout.callback = s5_on_connect_forward_timeout;
    if (c->forward->proto == X_FORWARD_TOVASK) { // the datagrams travel over the agent's stream
        x_timer_reg(&c->thread->dst_timer, &c->tcp_dst_timeout);
        x_tovask_forward_do_conn_req(c, s5_udp_conn_agent_resp);
        return;
    }
    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_CREATE,
                        "s5 to s5 udp create tcp dst socket failed");
        return;
    }
    c->tcp_dst_ev_data.fd = fd; // closed with the session from here on
    if (!set_socket_default_opt(fd)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_OPT,
                        "s5 to s5 udp set tcp dst socket default opt failed");
        return;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&c->dst_addr), sizeof c->dst_addr) != 0 &&
        errno != EINPROGRESS) {
        reply_and_close(c, S5_REP_REFUSED, X_ERROR_SOCKET_CONNECT,
                        "s5 to s5 udp connect to dst failed");
        return;
    }
    c->dst_connecting = true; // the handshake handlers read the socket's errors themselves
    if (!ev_add_event(c->thread->epoll_fd, &c->tcp_dst_ev_data, EPOLLOUT,
                      s5_s5_udp_on_connect_forward)) {
        reply_and_close(c, S5_REP_REFUSED, X_ERROR_EVENT_OPT, "s5 to s5 udp add dst event failed");
        return;
    }
    c->tcp_dst_timeout.ctx = c;
    c->tcp_dst_timeout.callback = s5_on_connect_forward_timeout;
    x_timer_reg(&c->thread->dst_timer, &c->tcp_dst_timeout);
}

void s5_s5_udp_on_connect_forward(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    int err = 0;
    socklen_t elen = sizeof err;
    if (getsockopt(ev->fd, SOL_SOCKET, SO_ERROR, &err, &elen) != 0) err = errno;
    if (err == 0 && (events & (EPOLLERR | EPOLLHUP))) err = ECONNRESET;
    if (err != 0) {
        reply_and_close(c, err == ECONNREFUSED ? S5_REP_REFUSED : S5_REP_UNREACHABLE,
                        X_ERROR_SOCKET_CONNECT, "s5 to s5 udp connect to dst failed");
        return;
    }
    if (!buf_alloc(&c->down.buf, S5_UDP_BUF_SIZE)) {
        fail(c, X_ERROR_ALLOC, "s5 to s5 udp alloc buf failed");
        return;
    }
    x_forward_consume(c);
    c->needrecv = X_FORWARD_S5_SHORT_REPLY;
    if (!x_forward_watch(c, s5_s5_udp_on_method_resp)) {
        fail(c, X_ERROR_EVENT_OPT, "s5 to s5 udp add event failed");
        return;
    }
    uint8_t hello[4];
    size_t n = x_forward_s5_greeting(c->forward, hello);
    if (!x_forward_send(c, hello, n, &err)) {
        reply_and_close(c, S5_REP_REFUSED, X_ERROR_SOCKET_SEND_TO_SERVER,
                        "s5 to s5 udp send connect failed");
        return;
    }
}

void s5_s5_udp_on_method_resp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    int method = short_reply(c, ev, "s5 to s5 udp recv method resp failed");
    if (method < 0) return;
    if (method == S5_METHOD_NONE) {
        s5_s5_udp_send_connect(c);
    } else if (method == S5_METHOD_USERPASS && c->forward->has_username) {
        if (!x_forward_watch(c, s5_s5_udp_on_auth_resp)) {
            reply_and_close(c, S5_REP_FAILURE, X_ERROR_EVENT_OPT, "s5 to s5 udp add event failed");
            return;
        }
        int err = 0;
        const ngx_str_t &auth = c->forward->s5_auth;
        if (!x_forward_send(c, auth.data, auth.len, &err) && err != ECONNRESET)
            reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_SEND_TO_SERVER,
                            "s5 to s5 udp send auth request failed");
    } else if (method == S5_METHOD_USERPASS) {
        // Without credentials there is nothing to send: an empty sub-negotiation would hang.
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORWARD_S5_CONFER_FAILED,
                        "s5 to s5 udp need name but not had");
    } else {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORWARD_S5_CONNECT_FAILED,
                        "s5 to s5 udp no acceptable methods");
    }
}

void s5_s5_udp_on_auth_resp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    int status = short_reply(c, ev, "s5 to s5 udp recv auth resp failed");
    if (status < 0) return;
    if (status != 0) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORWARD_S5_AUTH_FAILED,
                        "s5 to s5 udp auth failed");
        return;
    }
    s5_s5_udp_send_connect(c);
}

void s5_s5_udp_send_connect(x_client_t *c) {
    c->needrecv = sizeof UPSTREAM_ASSOCIATE;
    if (!x_forward_watch(c, s5_s5_udp_on_connect_resp)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_EVENT_OPT, "s5 to s5 udp add event failed");
        return;
    }
    int err = 0;
    if (!x_forward_send(c, UPSTREAM_ASSOCIATE, sizeof UPSTREAM_ASSOCIATE, &err) &&
        err != ECONNRESET)
        reply_and_close(c, S5_REP_REFUSED, X_ERROR_SOCKET_SEND_TO_SERVER,
                        "s5 to s5 udp send connect request failed");
}

void s5_s5_udp_on_connect_resp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    int rc = x_forward_recv_s5_reply(&c->down.buf, ev->fd);
    if (rc == X_FORWARD_AGAIN) return;
    if (rc == X_FORWARD_BAD) {
        reply_and_close(c, S5_REP_ATYP_NOT_SUPPORTED, X_ERROR_S5_UDP_REQUEST_COMMAND_TYPE,
                        "s5 udp address type not supported");
        return;
    }
    if (rc != X_FORWARD_DONE) {
        fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "s5 to s5 udp recv connect resp failed");
        return;
    }
    x_timer_del(&c->tcp_dst_timeout);
    c->dst_connecting = false;
    x_forward_s5_reply_t reply;
    bool parsed = x_forward_s5_parse_reply(c->down.buf.pos, buf_size(&c->down.buf), &reply);
    x_forward_consume(c);
    // The connection stays open, unwatched, for as long as the association lives.
    if (!parsed || !ev_del_event(c->thread->epoll_fd, &c->tcp_dst_ev_data)) {
        reply_and_close(c, S5_REP_REFUSED, X_ERROR_EVENT_OPT, "s5 to s5 udp del dst event failed");
        return;
    }
    if (reply.rep != S5_REP_SUCCESS) {
        char msg[64];
        snprintf(msg, sizeof msg, "s5 to s5 udp connect resp failed code [%u]", reply.rep);
        reply_and_close(c, reply.rep, X_ERROR_FORWARD_S5_CONNECT_FAILED, msg);
        return;
    }
    on_relay_address(c, &reply);
}

void s5_s5_udp_on_forward_udp_dns_resp(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr;
    if (x_client_is_closing(c)) return;
    if (status != 0) {
        reply_and_close(c, S5_REP_UNREACHABLE, static_cast<uint16_t>(status),
                        "s5 udp forward domain query failed");
        return;
    }
    c->udp_dst_addr.sin_addr = reinterpret_cast<sockaddr_in *>(addr)->sin_addr;
    s5_udp_connect_dst(&c->connect_ev_data);
}

void s5_on_connect_forward_timeout(void *ctx, x_timer_event_t *) {
    auto *c = static_cast<x_client_t *>(ctx);
    if (has_upstream(c) && c->forward->proto == X_FORWARD_TOVASK)
        reply_and_close(c, S5_REP_UNREACHABLE,
                        c->is_ctrl_ready ? X_ERROR_FORWARD_TOVASK_TIMEOUT
                                         : X_ERROR_FORWARD_TOVASK_CTRL,
                        c->is_ctrl_ready ? "s5 to s5 udp forward tovask agent timeout"
                                         : "s5 to s5 udp forward tovask ctrl timeout");
    else if (has_upstream(c))
        reply_and_close(c, S5_REP_UNREACHABLE, X_ERROR_FORWARD_TIMEOUT,
                        "s5 to s5 udp forward timeout");
    else
        reply_and_close(c, S5_REP_UNREACHABLE, X_ERROR_TARGET_TIMEOUT, "s5 udp connect timeout");
}
