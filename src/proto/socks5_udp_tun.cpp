#include "proto/socks5_udp_tun.h"

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
#include "report/monitor.h"
#include "report/x_log_report.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr size_t FRAME_MIN = 4; // length, frag, type

bool agent_tun_out_up(x_client_t *c); // the tunnel through an agent, below
constexpr uint64_t PAUSE_THRESHOLD_US = 100000;

void fail(x_client_t *c, uint16_t code, const char *msg) {
    x_client_log_error(c, code, msg);
    x_client_close(c);
}

void reply_and_close(x_client_t *c, uint8_t rep, uint16_t code, const char *msg) {
    x_client_log_error(c, code, msg);
    (void)s5_cmd_resp(c, rep, 0, 0, 0);
    x_client_close(c);
}

bool transient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ENOBUFS;
}

// Through a SOCKS5 upstream the datagrams go to its relay address in udp_dst_addr, whole.
bool via_upstream(const x_client_t *c) {
    return c->forward && c->forward->host.len > 0 && c->forward->proto == X_FORWARD_SOCKS5;
}

// Moves held bytes to the start of the buffer so that a read always has the rest of it.
void compact(buf_t *b) {
    size_t n = buf_size(b);
    if (b->pos != b->start && n > 0) memmove(b->start, b->pos, n);
    b->pos = b->start;
    b->last = b->start + n;
}

// The TCP connection's interest: input while frames may be taken (no check or pause under way,
// room in the buffer), output while frames for the client wait.
bool update_tcp(x_client_t *c) {
    const buf_t &in = c->up.buf;
    bool room = buf_size(&in) < S5_UDP_TUN_FRAME_MAX;
    uint32_t mask = 0;
    if (!c->up.paused && room) mask |= EPOLLIN;
    if (buf_size(&c->down.buf) > 0 && !c->down.paused) mask |= EPOLLOUT;
    if (ev_add_event(c->thread->epoll_fd, &c->connect_ev_data, mask, s5_on_tcp_for_udp_relay))
        return true;
    fail(c, X_ERROR_EVENT_OPT, "s5 udp tun ev mod in add event failed");
    return false;
}

// The UDP socket is read only while no frame for the client is held.
bool update_udp(x_client_t *c) {
    uint32_t mask =
        (c->tun_ready && buf_size(&c->down.buf) == 0) ? static_cast<uint32_t>(EPOLLIN) : 0u;
    if (ev_add_event(c->thread->epoll_fd, &c->udp_dst_ev_data, mask, s5_on_tcp_for_udp_relay))
        return true;
    fail(c, X_ERROR_EVENT_OPT, "s5 udp tun ev mod out del event failed");
    return false;
}

// Arms the direction's pause timer; the direction stays paused until it fires. The caller then
// updates the interest of the sockets involved.
bool relay_pause(x_client_t *c, x_client_relay_t *r, uint64_t wait_us, event_handler on_fire) {
    r->paused = true;
    if (r->timer_fd.fd == 0) {
        int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
        if (fd < 0) {
            fail(c, X_ERROR_EVENT_OPT, "s5 udp tun create timer fd failed");
            return false;
        }
        r->timer_fd.fd = fd;
        r->timer_fd.client = c;
        r->timer_fd.other_ctx = r;
        if (!ev_add_event(c->thread->epoll_fd, &r->timer_fd, EPOLLIN | EPOLLET, on_fire)) {
            fail(c, X_ERROR_EVENT_OPT, "s5 udp tun add timer fd event failed");
            return false;
        }
    }
    struct itimerspec its = {};
    its.it_value.tv_sec = static_cast<time_t>(wait_us / 1000000);
    its.it_value.tv_nsec = static_cast<long>(wait_us % 1000000 * 1000);
    if (timerfd_settime(r->timer_fd.fd, 0, &its, nullptr) != 0) {
        fail(c, X_ERROR_EVENT_OPT, "s5 udp tun timer fd set time failed");
        return false;
    }
    return true;
}

// Sends one frame's payload to the checked destination.
bool udp_relay_out_up(x_client_t *c, const uint8_t *payload, size_t len) {
    ssize_t n =
        sendto(c->udp_dst_ev_data.fd, payload, len, 0,
               reinterpret_cast<const sockaddr *>(&c->udp_dst_addr), sizeof c->udp_dst_addr);
    if (n >= 0) {
        c->up.sum += static_cast<uint32_t>(n);
    } else if (!transient(errno) && errno != EMSGSIZE) {
        // A full socket buffer loses the datagram, as UDP may; so does a frame whose payload
        // is larger than one datagram can carry.
        fail(c, X_ERROR_SOCKET_SEND_TO_SERVER, "s5 udp tun udp sendto failed");
        return false;
    }
    return true;
}

// The first frame names the destination: it stays held while the access lists decide.
void on_first_frame(x_client_t *c, const s5_udp_header_t *h) {
    char text[256];
    int n = s5_udp_header_target(h, text);
    ngx_str_free(&c->acl_match.target_host);
    if (n < 0 || !ngx_str_init(&c->acl_match.target_host, text, static_cast<size_t>(n))) {
        fail(c, X_ERROR_ALLOC,
             h->atyp == S5_ATYP_IPV4 ? "s5 udp tun save target ip address is error"
                                     : "s5 udp tun save target domain is error");
        return;
    }
    c->acl_match.target_port = h->port;
    if (!via_upstream(c)) {
        c->udp_dst_addr.sin_family = AF_INET;
        c->udp_dst_addr.sin_port = htons(h->port);
    }
    c->up.paused = true; // nothing more is read until the destination is known
    if (!ev_add_event(c->thread->epoll_fd, &c->connect_ev_data, 0, stop_relay_cb)) {
        fail(c, X_ERROR_EVENT_OPT, "s5 udp tun del connect event failed");
        return;
    }
    x_auth_start_acl(c->server, c, s5_udp_tun_on_auth_acl_resp);
}

// Handles every complete frame held; false when the session closed.
bool udp_relay_out(x_client_t *c) {
    buf_t *b = &c->up.buf;
    while (buf_size(b) > 0) {
        s5_udp_tun_frame_t f;
        switch (s5_udp_tun_read_frame(b->pos, buf_size(b), &f)) {
        case S5_UDP_TUN_MORE:
            compact(b);
            return true;
        case S5_UDP_TUN_TOO_LONG:
            fail(c, X_ERROR_S5_UDP_REQUEST_COMMAND, "s5 udp tun frame is too long");
            return false;
        case S5_UDP_TUN_SHORT:
            fail(c, X_ERROR_S5_UDP_REQUEST_COMMAND, "s5 udp tun frame header is too short");
            return false;
        case S5_UDP_TUN_ATYP:
            fail(c, X_ERROR_S5_UDP_REQUEST_COMMAND_TYPE, "s5 udp tun address type not supported");
            return false;
        case S5_UDP_TUN_DROP:
            break;
        default:
            if (!c->tun_ready) {
                on_first_frame(c, &f.header);
                return !x_client_is_closing(c);
            }
            if (!s5_udp_same_destination(&f.header, &c->acl_match)) {
                c->udp_dropped++; // never sent: the association serves the checked destination
                break;
            }
            if (via_upstream(c)) { // the frame becomes the datagram: reserved bytes zero
                b->pos[0] = b->pos[1] = 0;
                if (!udp_relay_out_up(c, b->pos, f.len)) return false;
            } else if (!udp_relay_out_up(c, b->pos + f.header.len, f.len - f.header.len)) {
                return false;
            }
        }
        b->pos += f.len;
    }
    compact(b);
    return true;
}

// Sends what a direction holds to fd, counting what went; false (the session closed with code
// and msg) when the socket failed for good.
bool send_held(x_client_t *c, x_client_relay_t *r, int fd, uint16_t code, const char *msg) {
    buf_t *b = &r->buf;
    if (buf_size(b) == 0) return true;
    ssize_t n = send(fd, b->pos, buf_size(b), MSG_NOSIGNAL);
    if (n <= 0 && (n == 0 || !transient(errno))) {
        fail(c, code, msg);
        return false;
    }
    if (n > 0) {
        b->pos += n;
        r->sum += static_cast<uint32_t>(n);
    }
    if (b->pos == b->last) b->pos = b->last = b->start;
    return true;
}

// Writes held frames to the client; false when the session closed.
bool tcp_relay_out(x_client_t *c) {
    return send_held(c, &c->down, c->connect_ev_data.fd, X_ERROR_SOCKET_SEND_TO_CLIENT,
                     "s5 udp tun send to client failed") &&
           update_tcp(c) && update_udp(c);
}

void on_tcp_readable(x_client_t *c) {
    buf_t *b = &c->up.buf;
    compact(b);
    size_t room = static_cast<size_t>(b->end - b->last);
    if (room == 0) { // update_tcp keeps a full buffer from being read
        (void)update_tcp(c);
        return;
    }
    ssize_t n = recv(c->connect_ev_data.fd, b->last, room, 0);
    if (n < 0 && transient(errno)) return;
    if (n <= 0) {
        fail(c, X_ERROR_SOCKET_RECV_FROM_CLIENT, "s5 udp tun recv failed");
        return;
    }
    b->last += n;
    if (c->up.bucket) {
        uint64_t wait = token_bucket_take(c->up.bucket, static_cast<size_t>(n));
        if (wait > PAUSE_THRESHOLD_US) {
            if (relay_pause(c, &c->up, wait, s5_udp_tun_relay_bucket_acquire)) (void)update_tcp(c);
            return;
        }
    }
    if (udp_relay_out(c)) (void)update_tcp(c);
}

// One answer from the destination becomes one frame towards the client.
void on_udp_readable(x_client_t *c) {
    buf_t *b = &c->down.buf;
    b->pos = b->last = b->start;
    sockaddr_in from = {};
    socklen_t fromlen = sizeof from;
    size_t front = via_upstream(c) ? 0 : S5_UDP_TUN_DOWN_HEADER;
    ssize_t n = recvfrom(c->udp_dst_ev_data.fd, b->start + front, S5_UDP_BUF_SIZE - front, 0,
                         reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (n < 0) {
        if (!transient(errno))
            fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "s5 udp tun udp recvfrom failed");
        return;
    }
    // Answers only from the destination the frames go to.
    if (from.sin_family != AF_INET || from.sin_addr.s_addr != c->udp_dst_addr.sin_addr.s_addr ||
        from.sin_port != c->udp_dst_addr.sin_port)
        return;
    if (front == 0) { // the relay's datagram carries its header: only the length changes
        s5_udp_header_t h;
        if (s5_udp_parse_header(b->start, static_cast<size_t>(n), &h) != S5_UDP_HEADER_OK) return;
        b->start[0] = static_cast<uint8_t>((n - h.len) >> 8);
        b->start[1] = static_cast<uint8_t>(n - h.len);
    } else {
        s5_udp_tun_write_header(b->start, static_cast<uint16_t>(n), from.sin_addr.s_addr,
                                from.sin_port);
    }
    b->last = b->start + front + n;
    if (c->down.bucket) {
        uint64_t wait = token_bucket_take(c->down.bucket, buf_size(b));
        if (wait > PAUSE_THRESHOLD_US) {
            if (relay_pause(c, &c->down, wait, s5_udp_tun_udp_relay_bucket_acquire))
                (void)(update_tcp(c) && update_udp(c));
            return;
        }
    }
    (void)tcp_relay_out(c);
}

bool relay_setup(x_client_relay_t *r, event_data_t *in, event_data_t *out, token_bucket_t *bucket) {
    r->ev_data_in = in;
    r->ev_data_out = out;
    r->bucket = bucket;
    if (!buf_alloc(&r->buf, S5_UDP_BUF_SIZE)) return false;
    r->buf.end = r->buf.start + S5_UDP_BUF_SIZE;
    return true;
}

// The tunnel's UDP socket with the session's egress binding.
bool open_socket(x_client_t *c) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_CREATE,
                        "s5 udp tun create udp dst socket failed");
        return false;
    }
    c->udp_dst_ev_data.fd = fd; // closed with the session from here on
    c->udp_dst_ev_data.client = c;
    c->udp_dst_ev_data.xport = c->connect_ev_data.xport;
    if (c->server->config.no_bind) return true;
    sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr =
        c->auth_result.virtual_ip ? c->auth_result.virtual_ip : c->peer_addr.sin_addr.s_addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_BIND_ADDR,
                        "s5 udp tun socket bind failed");
        return false;
    }
    const x_config_port_t *port = c->connect_ev_data.xport;
    if (port && port->name.len > 0 &&
        !set_socket_bindtodevice(fd, reinterpret_cast<const char *>(port->name.data),
                                 port->name.len)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_BIND_DEVICE,
                        "s5 udp tun bind to device failed");
        return false;
    }
    return true;
}

} // namespace

int s5_udp_tun_read_frame(const uint8_t *d, size_t len, s5_udp_tun_frame_t *out) {
    if (len < FRAME_MIN) return S5_UDP_TUN_MORE;
    size_t payload = static_cast<size_t>(d[0]) << 8 | d[1];
    size_t hlen;
    switch (d[3]) {
    case S5_ATYP_IPV4:
        hlen = 10;
        break;
    case S5_ATYP_DOMAIN:
        if (len < FRAME_MIN + 1) return S5_UDP_TUN_MORE;
        if (d[4] == 0) return S5_UDP_TUN_SHORT;
        hlen = 7 + static_cast<size_t>(d[4]);
        break;
    case S5_ATYP_IPV6:
        hlen = 22;
        break;
    default:
        return S5_UDP_TUN_ATYP;
    }
    size_t total = hlen + payload;
    if (total > S5_UDP_TUN_FRAME_MAX) return S5_UDP_TUN_TOO_LONG;
    if (len < total) return S5_UDP_TUN_MORE;
    out->len = total;
    if (d[2] != 0 || d[3] == S5_ATYP_IPV6) return S5_UDP_TUN_DROP;
    return s5_udp_parse_header(d, hlen, &out->header) == S5_UDP_HEADER_OK ? S5_UDP_TUN_FRAME
                                                                          : S5_UDP_TUN_SHORT;
}

void s5_udp_tun_write_header(uint8_t out[S5_UDP_TUN_DOWN_HEADER], uint16_t payload_len,
                             uint32_t addr, uint16_t port) {
    out[0] = static_cast<uint8_t>(payload_len >> 8);
    out[1] = static_cast<uint8_t>(payload_len);
    out[2] = 0;
    out[3] = S5_ATYP_IPV4;
    memcpy(out + 4, &addr, 4);
    memcpy(out + 8, &port, 2);
}

void s5_on_cmd_udp_tun(x_server_t *, event_data_t *ev) {
    x_client_t *c = ev->client;
    x_timer_del(&c->tcp_conn_timeout);
    if (!ev->xport || !ev->xport->allow_udp) {
        reply_and_close(c, S5_REP_NOT_ALLOWED, X_ERROR_S5_REQUEST_COMMAND,
                        "s5 udp tun not allowed");
        return;
    }
    if (c->forward && c->forward->host.len > 0 && c->forward->proto == X_FORWARD_TOVASK) {
        c->model = 2;
        x_client_park(c);
        if (x_client_is_closing(c)) return;
        const ngx_str_t &host = c->forward->host;
        x_dns_query_t *q = x_dns_query(c->thread->dns, reinterpret_cast<const char *>(host.data),
                                       host.len, c, s5_udp_tun_on_agent_dns_resp, false);
        if (q) c->dns_query = q;
        return;
    }
    c->model = 2;
    if (via_upstream(c)) { // the upstream's association first; then s5_udp_tun_upstream_ready
        c->udp_tun = true;
        s5_on_cmd_udp(nullptr, ev);
        return;
    }
    if (c->forward && c->forward->host.len > 0) { // an HTTP upstream carries no datagrams
        reply_and_close(c, S5_REP_NOT_ALLOWED, X_ERROR_S5_REQUEST_COMMAND,
                        "s5 udp tun not offered through an http upstream");
        return;
    }
    s5_udp_tun_upstream_ready(c);
}

void s5_udp_tun_upstream_ready(x_client_t *c) {
    if (!open_socket(c)) return;
    if (!relay_setup(&c->up, &c->connect_ev_data, &c->udp_dst_ev_data, c->auth_result.bucket_up) ||
        !relay_setup(&c->down, &c->udp_dst_ev_data, &c->connect_ev_data,
                     c->auth_result.bucket_down)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_ALLOC, "s5 udp tun buf alloc failed");
        return;
    }
    // Until the first frame is read the connection is watched for input only.
    if (!ev_add_event(c->thread->epoll_fd, &c->connect_ev_data, EPOLLIN, s5_on_tcp_for_udp_relay)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_EVENT_OPT, "s5 udp tun add src event failed");
        return;
    }
    x_client_start_session_timers(c);
    if (!s5_cmd_resp(c, S5_REP_SUCCESS, S5_ATYP_IPV4, c->localaddr.sin_addr.s_addr,
                     c->localaddr.sin_port)) {
        fail(c, X_ERROR_SOCKET_SEND_TO_CLIENT, "s5 udp tun send udp response failed");
        return;
    }
    // A first frame sent along with the request is already held.
    (void)udp_relay_out(c);
}

void s5_on_tcp_for_udp_relay(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (x_client_is_closing(c)) return;
    if (events & (EPOLLERR | EPOLLHUP)) {
        fail(c,
             ev == &c->connect_ev_data ? X_ERROR_SOCKET_RECV_FROM_CLIENT
                                       : X_ERROR_SOCKET_RECV_FROM_SERVER,
             "s5 udp tun connection error");
        return;
    }
    c->last_reply_time = x_time_ms();
    if (ev == &c->connect_ev_data) {
        if ((events & EPOLLOUT) && !c->down.paused && !tcp_relay_out(c)) return;
        if ((events & EPOLLIN) && (ev->reg_events & EPOLLIN)) on_tcp_readable(c);
    } else if (ev == &c->udp_dst_ev_data && (events & EPOLLIN)) {
        if (!c->down.paused && buf_size(&c->down.buf) == 0) on_udp_readable(c);
    }
}

void s5_udp_tun_on_auth_acl_resp(x_client_t *c, uint32_t result) {
    if (x_client_is_closing(c)) return;
    if (result == 1) {
        fail(c, X_ERROR_AUTH_BLACK, "s5 udp tun dst is acl block");
        return;
    }
    if (c->tcp_dst_ev_data.fd > 0) { // through an agent or an upstream: they resolve
        c->tun_ready = true;
        c->up.paused = false;
        x_log_send_report(c, X_REPORT_PROTO_SOCKS5, true);
        monitor_incr(monitor_main.socks5_success_total);
        if (!via_upstream(c))
            (void)agent_tun_out_up(c);
        else if (udp_relay_out(c) && update_tcp(c))
            (void)update_udp(c);
        return;
    }
    if (c->dns_query) {
        x_dns_cancel(c->thread->dns, c->dns_query);
        c->dns_query = nullptr;
    }
    const ngx_str_t &host = c->acl_match.target_host;
    x_dns_query_t *q = x_dns_query(c->thread->dns, reinterpret_cast<const char *>(host.data),
                                   host.len, c, s5_udp_tun_udp_on_dns_resp, false);
    if (q) c->dns_query = q;
}

void s5_udp_tun_udp_on_dns_resp(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr;
    if (x_client_is_closing(c)) return;
    if (status != 0) {
        fail(c, static_cast<uint16_t>(status), "s5 udp tun domain query failed");
        return;
    }
    if (addr->ss_family != AF_INET || !x_auth_resolved_allowed(c, addr)) {
        fail(c, X_ERROR_AUTH_BLACK, "s5 udp tun dst resolved to a blocked address");
        return;
    }
    c->udp_dst_addr.sin_addr = reinterpret_cast<sockaddr_in *>(addr)->sin_addr;
    c->tun_ready = true;
    c->up.paused = false;
    x_log_send_report(c, X_REPORT_PROTO_SOCKS5, true);
    monitor_incr(monitor_main.socks5_success_total);
    if (udp_relay_out(c) && update_tcp(c)) (void)update_udp(c);
}

void s5_udp_tun_relay_bucket_acquire(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    uint64_t expirations;
    (void)!read(ev->fd, &expirations, sizeof expirations);
    if (x_client_is_closing(c)) return;
    c->last_reply_time = x_time_ms();
    c->up.paused = false;
    if (udp_relay_out(c)) (void)update_tcp(c);
}

void s5_udp_tun_udp_relay_bucket_acquire(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    uint64_t expirations;
    (void)!read(ev->fd, &expirations, sizeof expirations);
    if (x_client_is_closing(c)) return;
    c->last_reply_time = x_time_ms();
    c->down.paused = false;
    (void)tcp_relay_out(c);
}

// ---- UDP association through an agent: datagrams framed over the agent's connection ----

namespace {

constexpr size_t AGENT_FRAME_MIN = 4; // length, frag, type

// Interest of the agent connection: input unless paused; output while frames wait.
bool agent_update(x_client_t *c) {
    uint32_t mask = c->down.paused ? 0u : static_cast<uint32_t>(EPOLLIN);
    if (buf_size(&c->up.buf) > 0 && !c->up.paused) mask |= EPOLLOUT;
    if (ev_add_event(c->thread->epoll_fd, &c->tcp_dst_ev_data, mask, s5_on_udp_to_tcp_relay))
        return true;
    fail(c, X_ERROR_EVENT_OPT, "s5 udp to tcp ev mod out add event failed");
    return false;
}

// The client's UDP socket is read while nothing waits for the agent and no check or pause runs.
bool client_update(x_client_t *c) {
    bool read = !c->up.paused && buf_size(&c->up.buf) == 0;
    uint32_t mask = read ? static_cast<uint32_t>(EPOLLIN) : 0u;
    if (ev_add_event(c->thread->epoll_fd, &c->udp_src_ev_data, mask, s5_on_udp_to_tcp_relay))
        return true;
    fail(c, X_ERROR_EVENT_OPT, "s5 udp to tcp ev mod in add event failed");
    return false;
}

// Writes held frames to the agent; false when the session closed.
bool udp_to_tcp_relay_out_up(x_client_t *c) {
    return send_held(c, &c->up, c->tcp_dst_ev_data.fd, X_ERROR_SOCKET_SEND_TO_SERVER,
                     "s5 udp to tcp send failed") &&
           agent_update(c) && client_update(c);
}

// Charges the held frame to the bucket, then sends it or pauses.
bool udp_to_tcp_relay_out(x_client_t *c) {
    if (c->up.bucket) {
        uint64_t wait = token_bucket_take(c->up.bucket, buf_size(&c->up.buf));
        if (wait > PAUSE_THRESHOLD_US)
            return relay_pause(c, &c->up, wait, relay_bucket_acquire_udp_to_tcp) &&
                   agent_update(c) && client_update(c);
    }
    return udp_to_tcp_relay_out_up(c);
}

void from_udp_client(x_client_t *c) {
    buf_t *b = &c->up.buf;
    b->pos = b->last = b->start;
    sockaddr_in from = {};
    socklen_t fromlen = sizeof from;
    ssize_t n = recvfrom(c->udp_src_ev_data.fd, b->start, S5_UDP_BUF_SIZE, 0,
                         reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (n < 0) {
        if (!transient(errno))
            fail(c, X_ERROR_SOCKET_RECV_FROM_CLIENT, "s5 udp to tcp recvfrom failed");
        return;
    }
    // Only the host that holds the association; a frame's length field holds at most 65535.
    if (from.sin_family != AF_INET || from.sin_addr.s_addr != c->addr.sin_addr.s_addr ||
        static_cast<size_t>(n) >= S5_UDP_BUF_SIZE)
        return;
    s5_udp_header_t h;
    int rc = s5_udp_parse_header(b->start, static_cast<size_t>(n), &h);
    if (rc == S5_UDP_HEADER_ATYP && !c->tun_ready) {
        fail(c, X_ERROR_S5_UDP_REQUEST_COMMAND_TYPE, "s5 udp to tcp ip address type not supported");
        return;
    }
    if (rc != S5_UDP_HEADER_OK) return;
    if (c->tun_ready && !s5_udp_same_destination(&h, &c->acl_match)) {
        c->udp_dropped++; // the agent is asked only for the destination that was checked
        return;
    }
    c->udp_src_addr = from;
    b->start[0] = static_cast<uint8_t>(n);
    b->start[1] = static_cast<uint8_t>(n >> 8);
    b->last = b->start + n;
    if (c->tun_ready) {
        if (c->code_key) xor_encrypt_data(b->start, static_cast<size_t>(n), c->code_key);
        (void)udp_to_tcp_relay_out(c);
        return;
    }
    // The first datagram names the destination: held while the access lists decide.
    char text[256];
    int tn = s5_udp_header_target(&h, text);
    ngx_str_free(&c->acl_match.target_host);
    if (tn < 0 || !ngx_str_init(&c->acl_match.target_host, text, static_cast<size_t>(tn))) {
        fail(c, X_ERROR_ALLOC,
             h.atyp == S5_ATYP_IPV4 ? "s5 udp ip address is error"
                                    : "s5 udp save target domain is error");
        return;
    }
    c->acl_match.target_port = h.port;
    if (c->code_key) xor_encrypt_data(b->start, static_cast<size_t>(n), c->code_key);
    c->up.paused = true;
    if (client_update(c)) x_auth_start_acl(c->server, c, s5_udp_to_tcp_on_auth_acl_resp);
}

// Passes every complete frame from the agent to the client; false when the session closed.
bool tcp_to_udp_relay_out_down(x_client_t *c) {
    buf_t *b = &c->down.buf;
    while (buf_size(b) >= AGENT_FRAME_MIN) {
        size_t len = static_cast<size_t>(b->pos[0]) | static_cast<size_t>(b->pos[1]) << 8;
        s5_udp_header_t h;
        int rc = s5_udp_parse_header(b->pos, std::min(len, buf_size(b)), &h);
        if (rc == S5_UDP_HEADER_ATYP || rc == S5_UDP_HEADER_IPV6) {
            fail(c, X_ERROR_S5_UDP_REQUEST_COMMAND_TYPE, "s5 udp to tcp frame address type");
            return false;
        }
        if (buf_size(b) < len) break;
        // A length below the header could never be consumed: the stream is broken.
        if (rc != S5_UDP_HEADER_OK && rc != S5_UDP_HEADER_FRAG) {
            fail(c, X_ERROR_S5_UDP_REQUEST_COMMAND, "s5 udp to tcp frame shorter than its header");
            return false;
        }
        b->pos[0] = b->pos[1] = 0;
        if (len > S5_UDP_TUN_DOWN_HEADER && rc == S5_UDP_HEADER_OK) {
            ssize_t n = sendto(c->udp_src_ev_data.fd, b->pos, len, 0,
                               reinterpret_cast<const sockaddr *>(&c->udp_src_addr),
                               sizeof c->udp_src_addr);
            if (n >= 0) {
                c->down.sum += static_cast<uint32_t>(n);
            } else if (!transient(errno)) {
                fail(c, X_ERROR_SOCKET_SEND_TO_CLIENT, "s5 udp to tcp sendto failed");
                return false;
            }
        }
        b->pos += len;
    }
    compact(b);
    return true;
}

void from_agent(x_client_t *c) {
    buf_t *b = &c->down.buf;
    compact(b);
    size_t room = static_cast<size_t>(b->end - b->last);
    ssize_t n = recv(c->tcp_dst_ev_data.fd, b->last, room, 0);
    if (n < 0 && transient(errno)) return;
    if (n <= 0) {
        fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "s5 udp to tcp recv failed");
        return;
    }
    if (c->code_key) xor_encrypt_data(b->last, static_cast<size_t>(n), c->code_key);
    b->last += n;
    if (c->down.bucket) {
        uint64_t wait = token_bucket_take(c->down.bucket, static_cast<size_t>(n));
        if (wait > PAUSE_THRESHOLD_US) {
            if (relay_pause(c, &c->down, wait, relay_bucket_acquire_tcp_to_udp))
                (void)agent_update(c);
            return;
        }
    }
    (void)tcp_to_udp_relay_out_down(c);
}

} // namespace

void s5_udp_conn_agent_resp(x_client_t *c, uint16_t status) {
    x_timer_del(&c->tcp_dst_timeout);
    if (status != 0) {
        reply_and_close(c, S5_REP_REFUSED, status, "conn agent server error");
        return;
    }
    if (c->model != 2) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_S5_REQUEST_COMMAND, "conn agent server error");
        return;
    }
    if (!s5_udp_open_client_socket(c, "s5 udp to tcp create src socket failed",
                                   "s5 udp to tcp src socket bind failed"))
        return;
    int fd = c->udp_src_ev_data.fd;
    if (!relay_setup(&c->up, &c->udp_src_ev_data, &c->tcp_dst_ev_data, c->auth_result.bucket_up) ||
        !relay_setup(&c->down, &c->tcp_dst_ev_data, &c->udp_src_ev_data,
                     c->auth_result.bucket_down)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_ALLOC, "s5 udp to tcp buf alloc fail");
        return;
    }
    c->up.buf.pos = c->up.buf.last = c->up.buf.start;
    c->down.buf.pos = c->down.buf.last = c->down.buf.start;
    if (!client_update(c) || !agent_update(c)) return;
    x_client_start_session_timers(c);
    uint16_t port = 0;
    get_local_addr(fd, nullptr, &port);
    if (!s5_cmd_resp(c, S5_REP_SUCCESS, S5_ATYP_IPV4, c->localaddr.sin_addr.s_addr, port)) {
        fail(c, X_ERROR_SOCKET_SEND_TO_CLIENT, "s5 udp to tcp send response failed");
        return;
    }
    if (!ev_del_event(c->thread->epoll_fd, &c->connect_ev_data))
        fail(c, X_ERROR_EVENT_OPT, "s5 udp to tcp del cmd event failed");
}

void s5_on_udp_to_tcp_relay(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (x_client_is_closing(c)) return;
    c->last_reply_time = x_time_ms();
    if (ev == &c->udp_src_ev_data) {
        if ((events & EPOLLIN) && (ev->reg_events & EPOLLIN)) from_udp_client(c);
        return;
    }
    // A hang-up is read to its end while input is watched; otherwise it ends the session now.
    if ((events & (EPOLLERR | EPOLLHUP)) && !((events & EPOLLIN) && (ev->reg_events & EPOLLIN))) {
        fail(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "s5 udp to tcp agent connection error");
        return;
    }
    if ((events & EPOLLOUT) && !c->up.paused && !udp_to_tcp_relay_out_up(c)) return;
    if ((events & EPOLLIN) && (ev->reg_events & EPOLLIN)) from_agent(c);
}

void s5_udp_to_tcp_on_auth_acl_resp(x_client_t *c, uint32_t result) {
    if (x_client_is_closing(c)) return;
    if (result == 1) {
        fail(c, X_ERROR_AUTH_BLACK, "s5 udp dst is acl block");
        return;
    }
    x_log_send_report(c, X_REPORT_PROTO_SOCKS5, true);
    monitor_incr(monitor_main.socks5_success_total);
    c->tun_ready = true;
    c->up.paused = false;
    (void)udp_to_tcp_relay_out(c);
}

void relay_bucket_acquire_udp_to_tcp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    uint64_t expirations;
    (void)!read(ev->fd, &expirations, sizeof expirations);
    if (x_client_is_closing(c)) return;
    c->last_reply_time = x_time_ms();
    c->up.paused = false;
    (void)udp_to_tcp_relay_out_up(c);
}

void relay_bucket_acquire_tcp_to_udp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    uint64_t expirations;
    (void)!read(ev->fd, &expirations, sizeof expirations);
    if (x_client_is_closing(c)) return;
    c->last_reply_time = x_time_ms();
    c->down.paused = false;
    if (tcp_to_udp_relay_out_down(c)) (void)agent_update(c);
}

// ---- the tunnel through an agent: tunnel frames and agent frames differ in their first two
// bytes only (payload length big-endian, or whole length little-endian) ----

namespace {

// Interest of both connections: input while no frame waits to be written on the other side and
// no check or pause runs; output while the rest of a frame waits.
bool agent_tun_update(x_client_t *c) {
    int epfd = c->thread->epoll_fd;
    uint32_t cli = 0, agent = 0;
    if (!c->up.paused && c->tun_pending_up == 0) cli |= EPOLLIN;
    if (c->tun_pending_down > 0 && !c->down.paused) cli |= EPOLLOUT;
    if (!c->down.paused && c->tun_pending_down == 0) agent |= EPOLLIN;
    if (c->tun_pending_up > 0 && !c->up.paused) agent |= EPOLLOUT;
    if (ev_add_event(epfd, &c->connect_ev_data, cli, s5_on_tcp_for_agent_tun) &&
        ev_add_event(epfd, &c->tcp_dst_ev_data, agent, s5_on_tcp_for_agent_tun))
        return true;
    fail(c, X_ERROR_EVENT_OPT, "s5 udp tun ev mod out add event failed");
    return false;
}

// Writes up to `len` bytes at the front of a direction; what the socket does not take stays
// pending. False when the session closed.
bool write_front(x_client_t *c, x_client_relay_t *r, size_t len, uint32_t *pending) {
    ssize_t n = send(r->ev_data_out->fd, r->buf.pos, len, MSG_NOSIGNAL);
    if (n <= 0 && (n == 0 || !transient(errno))) {
        fail(c, r == &c->up ? X_ERROR_SOCKET_SEND_TO_SERVER : X_ERROR_SOCKET_SEND_TO_CLIENT,
             "s5 udp tun send failed");
        return false;
    }
    size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
    r->buf.pos += sent;
    r->sum += static_cast<uint32_t>(sent);
    *pending = static_cast<uint32_t>(len - sent);
    return true;
}

// Client frames towards the agent; false when the session closed.
bool agent_tun_out_up(x_client_t *c) {
    buf_t *b = &c->up.buf;
    if (c->tun_pending_up > 0 && !write_front(c, &c->up, c->tun_pending_up, &c->tun_pending_up))
        return false;
    while (c->tun_pending_up == 0 && !c->up.paused && buf_size(b) > 0) {
        s5_udp_tun_frame_t f;
        int rc = s5_udp_tun_read_frame(b->pos, buf_size(b), &f);
        if (rc == S5_UDP_TUN_MORE) break;
        if (rc == S5_UDP_TUN_TOO_LONG || rc == S5_UDP_TUN_SHORT || rc == S5_UDP_TUN_ATYP) {
            fail(c,
                 rc == S5_UDP_TUN_ATYP ? X_ERROR_S5_UDP_REQUEST_COMMAND_TYPE
                                       : X_ERROR_S5_UDP_REQUEST_COMMAND,
                 "s5 udp tun bad frame");
            return false;
        }
        if (rc == S5_UDP_TUN_FRAME && !c->tun_ready) {
            on_first_frame(c, &f.header);
            return !x_client_is_closing(c);
        }
        if (rc == S5_UDP_TUN_DROP || !s5_udp_same_destination(&f.header, &c->acl_match)) {
            if (rc == S5_UDP_TUN_FRAME) c->udp_dropped++;
            b->pos += f.len;
            continue;
        }
        b->pos[0] = static_cast<uint8_t>(f.len);
        b->pos[1] = static_cast<uint8_t>(f.len >> 8);
        if (c->code_key) xor_encrypt_data(b->pos, f.len, c->code_key);
        if (!write_front(c, &c->up, f.len, &c->tun_pending_up)) return false;
    }
    compact(b);
    return agent_tun_update(c);
}

// Agent frames towards the client; false when the session closed.
bool agent_tun_out_down(x_client_t *c) {
    buf_t *b = &c->down.buf;
    if (c->tun_pending_down > 0 &&
        !write_front(c, &c->down, c->tun_pending_down, &c->tun_pending_down))
        return false;
    while (c->tun_pending_down == 0 && !c->down.paused && buf_size(b) >= AGENT_FRAME_MIN) {
        size_t len = static_cast<size_t>(b->pos[0]) | static_cast<size_t>(b->pos[1]) << 8;
        s5_udp_header_t h;
        int rc = s5_udp_parse_header(b->pos, std::min(len, buf_size(b)), &h);
        if (rc == S5_UDP_HEADER_ATYP || rc == S5_UDP_HEADER_IPV6) {
            fail(c, X_ERROR_S5_UDP_REQUEST_COMMAND_TYPE, "s5 udp tun agent frame address type");
            return false;
        }
        if (buf_size(b) < len) break;
        if (rc != S5_UDP_HEADER_OK && rc != S5_UDP_HEADER_FRAG) {
            fail(c, X_ERROR_S5_UDP_REQUEST_COMMAND,
                 "s5 udp tun agent frame shorter than its header");
            return false;
        }
        if (len <= S5_UDP_TUN_DOWN_HEADER || rc != S5_UDP_HEADER_OK) {
            b->pos += len; // nothing to pass on
            continue;
        }
        size_t payload = len - h.len;
        b->pos[0] = static_cast<uint8_t>(payload >> 8);
        b->pos[1] = static_cast<uint8_t>(payload);
        if (!write_front(c, &c->down, len, &c->tun_pending_down)) return false;
    }
    compact(b);
    return agent_tun_update(c);
}

// Reads what one side sent into its direction's buffer; false when nothing is to be done.
bool agent_tun_read(x_client_t *c, x_client_relay_t *r, event_handler on_pause) {
    buf_t *b = &r->buf;
    compact(b);
    size_t room = static_cast<size_t>(b->end - b->last);
    if (room == 0) return true;
    ssize_t n = recv(r->ev_data_in->fd, b->last, room, 0);
    if (n < 0 && transient(errno)) return false;
    if (n <= 0) {
        fail(c, r == &c->up ? X_ERROR_SOCKET_RECV_FROM_CLIENT : X_ERROR_SOCKET_RECV_FROM_SERVER,
             "s5 udp tun recv failed");
        return false;
    }
    if (r == &c->down && c->code_key)
        xor_encrypt_data(b->last, static_cast<size_t>(n), c->code_key);
    b->last += n;
    if (r->bucket) {
        uint64_t wait = token_bucket_take(r->bucket, static_cast<size_t>(n));
        if (wait > PAUSE_THRESHOLD_US) {
            if (relay_pause(c, r, wait, on_pause)) (void)agent_tun_update(c);
            return false;
        }
    }
    return true;
}

void agent_tun_resume(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    auto *r = static_cast<x_client_relay_t *>(ev->other_ctx);
    uint64_t expirations;
    (void)!read(ev->fd, &expirations, sizeof expirations);
    if (x_client_is_closing(c)) return;
    c->last_reply_time = x_time_ms();
    r->paused = false;
    (void)(r == &c->up ? agent_tun_out_up(c) : agent_tun_out_down(c));
}

} // namespace

void s5_udp_tun_on_agent_dns_resp(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr;
    if (x_client_is_closing(c)) return;
    uint16_t code = x_tovask_forward_resolved(c, status, addr, s5_on_connect_forward_timeout,
                                              s5_udp_tun_conn_agent_resp);
    if (code != 0)
        reply_and_close(c, S5_REP_UNREACHABLE, code, "s5 udp tun agent domain query failed");
}

void s5_udp_tun_conn_agent_resp(x_client_t *c, uint16_t status) {
    x_timer_del(&c->tcp_dst_timeout);
    if (status != 0) {
        reply_and_close(c, S5_REP_REFUSED, status, "conn agent server error");
        return;
    }
    if (!relay_setup(&c->up, &c->connect_ev_data, &c->tcp_dst_ev_data, c->auth_result.bucket_up) ||
        !relay_setup(&c->down, &c->tcp_dst_ev_data, &c->connect_ev_data,
                     c->auth_result.bucket_down)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_ALLOC, "s5 udp tun buf alloc failed");
        return;
    }
    if (c->down.buf.pos == nullptr) c->down.buf.pos = c->down.buf.last = c->down.buf.start;
    x_client_start_session_timers(c);
    if (!s5_cmd_resp(c, S5_REP_SUCCESS, S5_ATYP_IPV4, c->localaddr.sin_addr.s_addr,
                     c->localaddr.sin_port)) {
        fail(c, X_ERROR_SOCKET_SEND_TO_CLIENT, "s5 udp tun send udp response failed");
        return;
    }
    (void)agent_tun_out_up(c); // frames sent along with the request
}

void s5_on_tcp_for_agent_tun(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (x_client_is_closing(c)) return;
    c->last_reply_time = x_time_ms();
    bool client = ev == &c->connect_ev_data;
    x_client_relay_t *in = client ? &c->up : &c->down;
    if ((events & (EPOLLERR | EPOLLHUP)) && !((events & EPOLLIN) && (ev->reg_events & EPOLLIN))) {
        fail(c, client ? X_ERROR_SOCKET_RECV_FROM_CLIENT : X_ERROR_SOCKET_RECV_FROM_SERVER,
             "s5 udp tun connection error");
        return;
    }
    if ((events & EPOLLOUT) && !(client ? agent_tun_out_down(c) : agent_tun_out_up(c))) return;
    if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) && (ev->reg_events & EPOLLIN) &&
        agent_tun_read(c, in, agent_tun_resume))
        (void)(client ? agent_tun_out_up(c) : agent_tun_out_down(c));
}
