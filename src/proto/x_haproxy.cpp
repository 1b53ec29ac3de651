#include "proto/x_haproxy.h"

#include "core/buf.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "proto/http_proxy.h"
#include "proto/socks5_proxy.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

const uint8_t haproxy_v2_signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                          0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

namespace {

constexpr uint8_t HAPROXY_V2_PROXY_CMD = 0x21; // version 2, PROXY
constexpr uint8_t HAPROXY_V2_TCP4 = 0x11;      // IPv4, stream
constexpr size_t HAPROXY_V1_WORD = 5;          // "PROXY"
constexpr size_t HAPROXY_V1_PREFIX = 11;       // "PROXY TCP4 "
constexpr uint8_t SOCKS5_VERSION = 0x05;
constexpr size_t SOCKS5_GREETING_MIN = 3;

size_t held(const x_client_t *c) {
    return static_cast<size_t>(c->up.buf.last - c->up.buf.start);
}

void fail(x_client_t *c, uint16_t code, const char *msg) {
    x_client_log_error(c, code, msg);
    x_client_close(c);
}

// One read towards `total` bytes held from the start of the buffer, never past it. 1 when bytes
// came or none were needed, 0 when the socket has none yet, -1 when the session was closed.
int recv_into(x_client_t *c, size_t total, const char *msg) {
    buf_t *b = &c->up.buf;
    if (held(c) >= total) return 1;
    ssize_t n = recv(c->connect_ev_data.fd, b->last, total - held(c), 0);
    if (n > 0) {
        b->last += n;
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    if (n < 0 && errno != ECONNRESET) x_client_log_error(c, X_ERROR_CLIENT_HAPROXY, msg);
    x_client_close(c);
    return -1;
}

// The header is complete and the protocol behind it not known yet: the wait for its first byte
// keeps the deadline the header had, under the intake's own timeout.
void dispatch_next(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    c->tcp_conn_timeout.callback = on_client_connect_timeout;
    c->up.buf.pos = c->up.buf.last = c->up.buf.start;
    ev->handler = on_client_first_data;
    on_client_first_data(server, ev, events);
}

void to_socks5(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (!(ev->xport->listentbl & X_LISTEN_SOCKS5)) {
        fail(c, X_ERROR_SERVER_PROTO_SUPPORT, "haproxy not support socks5");
        return;
    }
    buf_drain(&c->up.buf);
    c->tcp_conn_timeout.ctx = c;
    c->tcp_conn_timeout.callback = s5_on_client_conn_timeout;
    x_timer_reg(&c->thread->conn_timer, &c->tcp_conn_timeout);
    size_t n = buf_size(&c->up.buf);
    c->needrecv = static_cast<uint16_t>(n >= SOCKS5_GREETING_MIN ? 0 : SOCKS5_GREETING_MIN - n);
    ev->handler = s5_on_handshake;
    s5_on_handshake(server, ev, events);
}

// Reads a decimal number of 1 to max_digits digits not above max_value.
bool parse_number(const uint8_t *&p, const uint8_t *end, size_t max_digits, uint32_t max_value,
                  uint32_t *out) {
    uint32_t v = 0;
    size_t digits = 0;
    while (p < end && *p >= '0' && *p <= '9' && digits < max_digits) {
        v = v * 10 + static_cast<uint32_t>(*p++ - '0');
        digits++;
    }
    if (digits == 0 || v > max_value || (p < end && *p >= '0' && *p <= '9')) return false;
    *out = v;
    return true;
}

bool parse_ipv4(const uint8_t *&p, const uint8_t *end, in_addr_t *addr) {
    uint8_t octets[4];
    for (int i = 0; i < 4; i++) {
        uint32_t v;
        if (i > 0 && (p >= end || *p++ != '.')) return false;
        if (!parse_number(p, end, 3, 255, &v)) return false;
        octets[i] = static_cast<uint8_t>(v);
    }
    memcpy(addr, octets, 4);
    return true;
}

bool expect_space(const uint8_t *&p, const uint8_t *end) {
    return p < end && *p++ == ' ';
}

// A header is believed only from a peer in proxy_protocol_from; anyone else could take any source
// address. The peer is the address the session holds now: the connection's own for a first
// header, and for a header after a header, the client that the first one named (it is that
// client's bytes that follow a load balancer's header).
bool refuse_untrusted(x_client_t *c) {
    if (x_cidr_list_match(&c->server->config.proxy_protocol_from, c->addr.sin_addr.s_addr))
        return false;
    fail(c, X_ERROR_CLIENT_HAPROXY, "haproxy header from a peer not in proxy_protocol_from");
    return true;
}

} // namespace

haproxy_v1_result_t haproxy_parse_v1(const uint8_t *line, size_t len, struct sockaddr_in *src,
                                     struct sockaddr_in *dst) {
    if (len < HAPROXY_V1_PREFIX) return HAPROXY_V1_SHORT;
    if (memcmp(line, "PROXY ", 6) != 0 || memcmp(line + 6, "TCP4 ", 5) != 0)
        return HAPROXY_V1_PROTOCOL;
    if (len < HAPROXY_V1_MIN) return HAPROXY_V1_SHORT;
    if (line[len - 2] != '\r' || line[len - 1] != '\n') return HAPROXY_V1_ADDR;
    const uint8_t *p = line + HAPROXY_V1_PREFIX, *end = line + len - 2;
    in_addr_t sa, da;
    uint32_t sp, dp;
    if (!parse_ipv4(p, end, &sa) || !expect_space(p, end) || !parse_ipv4(p, end, &da) ||
        !expect_space(p, end) || !parse_number(p, end, 5, 65535, &sp) || !expect_space(p, end) ||
        !parse_number(p, end, 5, 65535, &dp) || p != end)
        return HAPROXY_V1_ADDR;
    *src = sockaddr_in{};
    src->sin_family = AF_INET;
    src->sin_addr.s_addr = sa;
    src->sin_port = htons(static_cast<uint16_t>(sp));
    *dst = sockaddr_in{};
    dst->sin_family = AF_INET;
    dst->sin_addr.s_addr = da;
    dst->sin_port = htons(static_cast<uint16_t>(dp));
    return HAPROXY_V1_OK;
}

const char *haproxy_v1_error(haproxy_v1_result_t result) {
    switch (result) {
    case HAPROXY_V1_OK:
        return "";
    case HAPROXY_V1_SHORT:
        return "haproxy v1 header length < proxy v1 tcp4 min recv_len";
    case HAPROXY_V1_PROTOCOL:
        return "haproxy v1 protocol don't support";
    case HAPROXY_V1_ADDR:
        return "haproxy v1 addr parse failed";
    }
    return "haproxy v1 addr parse failed";
}

const char *haproxy_check_v2(const uint8_t head[HAPROXY_V2_HEAD], uint16_t *len) {
    if (memcmp(head, haproxy_v2_signature, sizeof haproxy_v2_signature) != 0)
        return "haproxy v2 header 12 bytes error";
    if (head[12] != HAPROXY_V2_PROXY_CMD) return "haproxy v2 ver_cmd error";
    if (head[13] != HAPROXY_V2_TCP4) return "haproxy v2 fam error";
    uint16_t n = static_cast<uint16_t>(head[14] << 8 | head[15]);
    if (n > HAPROXY_V2_LEN_MAX) return "haproxy v2 header too long";
    if (n < HAPROXY_V2_ADDR_MIN) return "haproxy v2 addr info miss";
    *len = n;
    return nullptr;
}

void haproxy_parse_v2_addrs(const uint8_t *block, struct sockaddr_in *src,
                            struct sockaddr_in *dst) {
    *src = sockaddr_in{};
    *dst = sockaddr_in{};
    src->sin_family = dst->sin_family = AF_INET;
    // Addresses and ports are in network order on the wire, as the records keep them.
    memcpy(&src->sin_addr.s_addr, block, 4);
    memcpy(&dst->sin_addr.s_addr, block + 4, 4);
    memcpy(&src->sin_port, block + 8, 2);
    memcpy(&dst->sin_port, block + 10, 2);
}

void haproxy_add_handler(x_server_t *server, event_data_t *ev, uint32_t events, uint8_t first_byte,
                         event_handler handler) {
    x_client_t *c = ev->client;
    if (!buf_alloc(&c->up.buf, HAPROXY_BUF_SIZE)) {
        fail(c, X_ERROR_ALLOC, "buf alloc for proxy v2 failed");
        return;
    }
    c->tcp_conn_timeout.ctx = c;
    c->tcp_conn_timeout.callback = haproxy_on_rcv_timeout;
    x_timer_reg(&c->thread->conn_timer, &c->tcp_conn_timeout);
    c->up.buf.pos = c->up.buf.last = c->up.buf.start;
    *c->up.buf.last++ = first_byte;
    ev->handler = handler;
    handler(server, ev, events);
}

void on_client_haproxy_v1_first(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (recv_into(c, HAPROXY_V1_WORD, "haproxy v1 first recv from client failed") < 0) return;
    if (held(c) < HAPROXY_V1_WORD) return;
    if (memcmp(c->up.buf.start, "PROXY", HAPROXY_V1_WORD) != 0) {
        haproxy_v1_to_http(server, ev, events);
        return;
    }
    if (refuse_untrusted(c)) return;
    ev->handler = on_client_haproxy_v1;
    on_client_haproxy_v1(server, ev, events);
}

void on_client_haproxy_v1(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    buf_t *b = &c->up.buf;
    if (recv_into(c, HAPROXY_V1_MAX, "haproxy v1 recv from client failed") < 0) return;
    uint8_t *crlf = nullptr;
    for (uint8_t *p = b->start; p + 1 < b->last; p++) {
        if (p[0] == '\r' && p[1] == '\n') {
            crlf = p;
            break;
        }
    }
    if (crlf == nullptr) {
        if (held(c) >= HAPROXY_V1_MAX)
            fail(c, X_ERROR_CLIENT_HAPROXY, "haproxy v1 read max header but no end mark");
        return;
    }
    size_t len = static_cast<size_t>(crlf + 2 - b->start);
    struct sockaddr_in src, dst;
    haproxy_v1_result_t r = haproxy_parse_v1(b->start, len, &src, &dst);
    if (r != HAPROXY_V1_OK) {
        fail(c, X_ERROR_CLIENT_HAPROXY, haproxy_v1_error(r));
        return;
    }
    c->addr = src;
    c->localaddr = dst;
    // Bytes read past the line belong to the protocol behind it.
    b->pos = b->start + len;
    if (b->pos == b->last)
        dispatch_next(server, ev, events);
    else if (*b->pos == SOCKS5_VERSION)
        to_socks5(server, ev, events);
    else
        haproxy_v1_to_http(server, ev, events);
}

void haproxy_v1_to_http(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (!(ev->xport->listentbl & X_LISTEN_HTTP)) {
        fail(c, X_ERROR_SERVER_PROTO_SUPPORT, "haproxy not support http");
        return;
    }
    buf_drain(&c->up.buf);
    http_do_resolution_request_line(server, ev, events);
}

void on_client_haproxy_v2_first(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (recv_into(c, HAPROXY_V2_HEAD, "haproxy v2 recv from client failed") < 0) return;
    if (held(c) < HAPROXY_V2_HEAD) return;
    if (memcmp(c->up.buf.start, haproxy_v2_signature, sizeof haproxy_v2_signature) == 0 &&
        refuse_untrusted(c))
        return;
    uint16_t len;
    const char *msg = haproxy_check_v2(c->up.buf.start, &len);
    if (msg != nullptr) {
        fail(c, X_ERROR_CLIENT_HAPROXY, msg);
        return;
    }
    c->up.buf.pos = c->up.buf.start + HAPROXY_V2_HEAD;
    ev->handler = on_client_haproxy_v2;
    on_client_haproxy_v2(server, ev, events);
}

void on_client_haproxy_v2(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    const uint8_t *head = c->up.buf.start;
    size_t total = HAPROXY_V2_HEAD + static_cast<size_t>(head[14] << 8 | head[15]);
    // Exactly the announced length is read: what follows is the next protocol's first byte.
    if (recv_into(c, total, "haproxy v2 recv from client failed") < 0) return;
    if (held(c) < total) return;
    haproxy_parse_v2_addrs(c->up.buf.start + HAPROXY_V2_HEAD, &c->addr, &c->localaddr);
    dispatch_next(server, ev, events);
}

void haproxy_on_rcv_timeout(void *ctx, x_timer_event_t *) {
    fail(static_cast<x_client_t *>(ctx), X_ERROR_CLIENT_HAPROXY, "haproxy get header timeout");
}
