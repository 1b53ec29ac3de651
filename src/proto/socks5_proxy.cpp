#include "proto/socks5_proxy.h"

#include "auth/x_auth.h"
#include "core/buf.h"
#include "core/log.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "proto/socks5_tcp.h"
#include "proto/socks5_udp.h"
#include "proto/socks5_udp_tun.h"
#include "report/monitor.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

constexpr size_t S5_BUF_SIZE = 1500;
constexpr size_t S5_CRED_MAX = 255;
// Request header: ver, cmd, rsv, atyp, and the first address byte (the domain length).
constexpr uint16_t S5_REQUEST_HEAD = 5;

size_t held(const x_client_t *c) {
    return buf_size(&c->up.buf);
}
const uint8_t *bytes(const x_client_t *c) {
    return c->up.buf.pos;
}
// Consumes one message; bytes behind it (read along with a PROXY header) stay for the next step.
void consume(x_client_t *c, size_t n) {
    c->up.buf.pos += n;
    buf_drain(&c->up.buf);
}

void fail(x_client_t *c, uint16_t code, const char *msg) {
    x_client_log_error(c, code, msg);
    x_client_close(c);
}

bool send_all(x_client_t *c, const uint8_t *data, size_t len) {
    return send(c->connect_ev_data.fd, data, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len);
}

bool send_pair(x_client_t *c, uint8_t a, uint8_t b) {
    const uint8_t msg[2] = {a, b};
    return send_all(c, msg, sizeof msg);
}

// Reads towards `need` bytes held, never past them, so what follows the message stays in the
// socket for the next step. True once all are held; false while waiting (needrecv is then the
// shortfall) or after a failed read, which closes the session.
bool fill(x_client_t *c, event_data_t *ev, uint32_t events, size_t need, const char *msg) {
    size_t h = held(c);
    if (h < need) {
        if (!s5_recv(&c->up.buf, ev, events, static_cast<uint16_t>(need - h))) {
            fail(c, X_ERROR_SOCKET_RECV_FROM_CLIENT, msg);
            return false;
        }
        h = held(c);
    }
    c->needrecv = static_cast<uint16_t>(h < need ? need - h : 0);
    return h >= need;
}

// Runs the next step at once when its message already sits in the buffer: no readiness event
// would come for bytes that were read together with an earlier message.
void continue_with(x_client_t *c, event_handler next) {
    if (!x_client_is_closing(c) && held(c) > 0) next(c->server, &c->connect_ev_data, 0);
}

void refuse_greeting(x_client_t *c) {
    c->s5_auth_state = S5_STATE_USERPASS;
    if (!send_pair(c, S5_VERSION, S5_METHOD_REFUSED))
        x_client_log_error(c, X_ERROR_SOCKET_SEND_TO_CLIENT, "s5 send method replay failed");
    x_client_close(c);
}

void reply_and_close(x_client_t *c, uint8_t rep, uint16_t code, const char *msg) {
    x_client_log_error(c, code, msg);
    (void)s5_cmd_resp(c, rep, 0, 0, 0);
    x_client_close(c);
}

// Continues as on a successful answer for ports without authentication.
// A port without authentication answers at once, so the registration is not parked for a wait
// that never happens (two epoll_ctl calls a session saved).
void authenticate(x_server_t *server, x_client_t *c) {
    if (c->auth_index == -1) {
        c->auth_result.code = 0;
        c->auth_result.virtual_ip = 0;
        s5_on_auth_resp(c);
        return;
    }
    x_client_park(c);
    if (x_client_is_closing(c)) return;
    x_auth_start_auth(server, c, s5_on_auth_resp);
}

// Bytes the whole request needs, known from its first five.
size_t request_length(const uint8_t *r) {
    switch (r[3]) {
    case S5_ATYP_IPV4:
        return 10;
    case S5_ATYP_DOMAIN:
        return 7u + r[4];
    case S5_ATYP_IPV6:
        return 22;
    default:
        return 0;
    }
}

bool ipv6_allowed(const x_client_t *c, uint8_t cmd) {
    bool upstream = c->forward && c->forward->host.len > 0;
    return c->server->config.ipv6_model && !upstream && cmd == S5_CMD_CONNECT;
}

} // namespace

bool s5_recv(buf_t *buf, event_data_t *ev, uint32_t, uint16_t n) {
    if (buf_free_space(buf) < n) {
        log_error("s5 req buf is too small\n");
        return false;
    }
    ssize_t r = recv(ev->fd, buf->last, n, 0);
    if (r > 0) {
        buf->last += r;
        return true;
    }
    return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

bool s5_cmd_resp(x_client_t *c, uint8_t rep, uint8_t atyp, uint32_t addr, uint16_t port) {
    uint8_t msg[10] = {S5_VERSION, rep, 0, atyp};
    memcpy(msg + 4, &addr, 4);
    memcpy(msg + 8, &port, 2);
    return send_all(c, msg, sizeof msg);
}

bool s5_create_s5_auth(const ngx_str_t *username, const ngx_str_t *password, ngx_str_t *out) {
    if (out->len != 0 || username->len > S5_CRED_MAX || password->len > S5_CRED_MAX) return false;
    size_t len = username->len + password->len + 3;
    if (!ngx_str_init(out, nullptr, len)) return false;
    uint8_t *p = out->data;
    *p++ = S5_AUTH_VERSION;
    *p++ = static_cast<uint8_t>(username->len);
    if (username->len) memcpy(p, username->data, username->len);
    p += username->len;
    *p++ = static_cast<uint8_t>(password->len);
    if (password->len) memcpy(p, password->data, password->len);
    return true;
}

void s5_on_first_byte(x_server_t *server, event_data_t *ev, uint8_t first_byte) {
    x_client_t *c = ev->client;
    if (!buf_alloc(&c->up.buf, S5_BUF_SIZE)) {
        fail(c, X_ERROR_ALLOC, "s5 buf alloc failed");
        return;
    }
    *c->up.buf.last++ = first_byte;
    c->tcp_conn_timeout.ctx = c;
    c->tcp_conn_timeout.callback = s5_on_client_conn_timeout;
    x_timer_reg(&c->thread->conn_timer, &c->tcp_conn_timeout);
    ev->handler = s5_on_handshake;
    c->needrecv = 2;
    s5_on_handshake(server, ev, 0);
}

void s5_on_handshake(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (c->listen_proto == 0) {
        c->listen_proto = X_PROTO_SOCKS5;
        monitor_incr(monitor_main.socks5_request_total);
    }
    const char *msg = "s5 recv handshake failed";
    if (!fill(c, ev, events, 3, msg) || !fill(c, ev, events, 2u + bytes(c)[1], msg)) return;
    uint8_t nmethods = bytes(c)[1];
    bool userpass = memchr(bytes(c) + 2, S5_METHOD_USERPASS, nmethods) != nullptr;
    bool none = memchr(bytes(c) + 2, S5_METHOD_NONE, nmethods) != nullptr;
    consume(c, 2u + nmethods);
    if (nmethods == 0 || (!userpass && !none)) {
        refuse_greeting(c);
    } else if (userpass) {
        c->needrecv = 3;
        ev->handler = s5_on_auth;
        c->s5_auth_state = S5_STATE_USERPASS;
        if (!send_pair(c, S5_VERSION, S5_METHOD_USERPASS)) {
            fail(c, X_ERROR_SOCKET_SEND_TO_CLIENT, "s5 send method replay failed");
            return;
        }
        continue_with(c, s5_on_auth);
    } else {
        c->s5_auth_state = S5_STATE_NO_AUTH;
        authenticate(server, c);
    }
}

void s5_on_auth(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    const char *msg = "s5 recv auth request failed";
    if (!fill(c, ev, events, 3, msg)) return;
    const uint8_t *m = bytes(c);
    if (m[0] != S5_AUTH_VERSION) {
        x_client_close(c);
        return;
    }
    size_t ulen = m[1];
    if (!fill(c, ev, events, 3 + ulen, msg) ||
        !fill(c, ev, events, 3 + ulen + bytes(c)[2 + ulen], msg))
        return;
    m = bytes(c);
    size_t plen = m[2 + ulen];
    if (!ngx_str_init(&c->auth_request.username, m + 2, ulen)) {
        fail(c, X_ERROR_ALLOC, "socks5 proxy fill auth request username failed");
        return;
    }
    if (!ngx_str_init(&c->auth_request.password, m + 3 + ulen, plen)) {
        fail(c, X_ERROR_ALLOC, "socks5 proxy fill auth request password failed");
        return;
    }
    consume(c, 3 + ulen + plen);
    authenticate(server, c);
}

void s5_on_auth_resp(x_client_t *c) {
    if (x_client_is_closing(c)) return;
    bool no_auth = c->s5_auth_state == S5_STATE_NO_AUTH;
    if (c->auth_result.code != 0) {
        (void)(no_auth ? send_pair(c, S5_VERSION, S5_METHOD_REFUSED)
                       : send_pair(c, S5_AUTH_VERSION, 0x01));
        fail(c, static_cast<uint16_t>(c->auth_result.code), "s5 auth failed");
        return;
    }
    bool sent =
        no_auth ? send_pair(c, S5_VERSION, S5_METHOD_NONE) : send_pair(c, S5_AUTH_VERSION, 0x00);
    if (!sent) {
        fail(c, X_ERROR_SOCKET_SEND_TO_CLIENT,
             no_auth ? "s5 send method replay failed" : "s5 send auth replay failed");
        return;
    }
    c->needrecv = S5_REQUEST_HEAD;
    if (!ev_add_event(c->thread->epoll_fd, &c->connect_ev_data, EPOLLIN, s5_on_request)) {
        fail(c, X_ERROR_EVENT_OPT, "s5 add request event failed");
        return;
    }
    continue_with(c, s5_on_request);
}

void s5_on_request(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    const char *msg = "s5 recv cmd request failed";
    if (!fill(c, ev, events, S5_REQUEST_HEAD, msg)) return;
    const uint8_t *r = bytes(c);
    if (r[0] != S5_VERSION) {
        fail(c, X_ERROR_S5_REQUEST_VERSION, "s5 recv ver is error");
        return;
    }
    size_t need = request_length(r);
    if (need == 0 || (r[3] == S5_ATYP_IPV6 && !ipv6_allowed(c, r[1]))) {
        reply_and_close(c, S5_REP_ATYP_NOT_SUPPORTED, X_ERROR_S5_REQUEST_COMMAND_TYPE,
                        "s5 address type not supported");
        return;
    }
    if (!fill(c, ev, events, need, msg)) return;
    r = bytes(c);
    if (r[1] == S5_CMD_CONNECT) {
        s5_on_cmd_connect(server, ev, r);
        consume(c, need); // early data behind the request goes to the destination
        return;
    }
    if (r[1] == S5_CMD_UDP_TUN) {
        consume(c, need); // frames sent along with the request belong to the tunnel
        s5_on_cmd_udp_tun(server, ev);
        return;
    }
    if (r[1] == S5_CMD_UDP) {
        s5_on_cmd_udp(server, ev);
    } else {
        reply_and_close(c, S5_REP_CMD_NOT_SUPPORTED, X_ERROR_S5_REQUEST_COMMAND,
                        "s5 command not supported");
        return;
    }
    consume(c, held(c)); // the control connection of an association carries no data
}

void s5_on_client_conn_timeout(void *ctx, x_timer_event_t *) {
    auto *c = static_cast<x_client_t *>(ctx);
    reply_and_close(c, S5_REP_TTL_EXPIRED, X_ERROR_S5_REQUEST_TIMEOUT, "s5 on client conn timeout");
}
