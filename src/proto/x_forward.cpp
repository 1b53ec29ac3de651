#include "proto/x_forward.h"

#include "proto/ngx_http_parse.h"
#include "proto/socks5_proxy.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

namespace {

constexpr size_t S5_REPLY_HEAD = 5; // ver, rep, rsv, atyp and the first address byte
constexpr size_t S5_IPV4_REPLY = 10;
constexpr size_t S5_IPV6_REPLY = 22;
constexpr size_t S5_DOMAIN_REPLY_BASE = 7; // head without the name, and the port

size_t held(const buf_t *buf) {
    return buf_size(buf);
}

// One read of exactly `want` more bytes at the write cursor (or fewer when fewer are waiting).
int read_some(buf_t *buf, int fd, size_t want) {
    if (buf_free_space(buf) < want) return X_FORWARD_TOO_LONG;
    for (;;) {
        ssize_t n = recv(fd, buf->last, want, 0);
        if (n > 0) {
            buf->last += n;
            return X_FORWARD_DONE;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return X_FORWARD_AGAIN;
        return X_FORWARD_CLOSED;
    }
}

// A request target byte: printable and not a space.
bool target_byte_ok(uint8_t b) {
    return b > 0x20 && b < 0x7F;
}

} // namespace

size_t x_forward_s5_greeting(const x_forward_t *f, uint8_t out[4]) {
    out[0] = S5_VERSION;
    if (f->has_username) {
        out[1] = 2;
        out[2] = S5_METHOD_NONE;
        out[3] = S5_METHOD_USERPASS;
        return 4;
    }
    out[1] = 1;
    out[2] = S5_METHOD_NONE;
    return 3;
}

size_t x_forward_s5_connect_request(const ngx_str_t *host, uint16_t port,
                                    uint8_t out[X_FORWARD_S5_REQUEST_MAX]) {
    if (host->len == 0 || host->len > X_FORWARD_S5_NAME_MAX) return 0;
    out[0] = S5_VERSION;
    out[1] = S5_CMD_CONNECT;
    out[2] = 0;
    char text[X_FORWARD_S5_NAME_MAX + 1];
    memcpy(text, host->data, host->len);
    text[host->len] = '\0';
    in_addr addr;
    size_t n;
    if (strlen(text) == host->len && inet_pton(AF_INET, text, &addr) == 1) {
        out[3] = S5_ATYP_IPV4;
        memcpy(out + 4, &addr, 4);
        n = 8;
    } else {
        out[3] = S5_ATYP_DOMAIN;
        out[4] = static_cast<uint8_t>(host->len);
        memcpy(out + 5, host->data, host->len);
        n = 5 + host->len;
    }
    out[n] = static_cast<uint8_t>(port >> 8);
    out[n + 1] = static_cast<uint8_t>(port & 0xFF);
    return n + 2;
}

bool x_forward_target_fits(const x_forward_t *f, size_t host_len) {
    return f == nullptr || f->proto != X_FORWARD_SOCKS5 || host_len <= X_FORWARD_S5_NAME_MAX;
}

int x_forward_http_connect_request(const x_forward_t *f, const ngx_str_t *host, uint16_t port,
                                   bool proxy_agent, char *out, size_t cap) {
    if (host->len == 0 || host->len > cap) return -1;
    for (size_t i = 0; i < host->len; i++)
        if (!target_byte_ok(host->data[i])) return -1;
    int h = static_cast<int>(host->len);
    const char *name = reinterpret_cast<const char *>(host->data);
    int n = proxy_agent
                ? snprintf(out, cap,
                           "CONNECT %.*s:%d HTTP/1.1\r\nHost: %.*s:%d\r\n"
                           "Proxy-Agent: quoxel-kni/3.1.3\r\nProxy-Connection: keep-alive\r\n",
                           h, name, port, h, name, port)
                : snprintf(out, cap,
                           "CONNECT %.*s:%d HTTP/1.1\r\nHost: %.*s:%d\r\n"
                           "Proxy-Connection: keep-alive\r\n",
                           h, name, port, h, name, port);
    if (n < 0 || static_cast<size_t>(n) >= cap) return -1;
    size_t used = static_cast<size_t>(n);
    const ngx_str_t &auth = f->base64_auth;
    if (f->has_username && auth.len > 0) {
        if (auth.len >= cap - used) return -1;
        memcpy(out + used, auth.data, auth.len);
        used += auth.len;
    }
    if (cap - used < 3) return -1; // CR LF and the terminating NUL
    memcpy(out + used, "\r\n", 3);
    return static_cast<int>(used + 2);
}

int x_forward_s5_reply_len(const uint8_t *data, size_t n) {
    if (n < S5_REPLY_HEAD) return static_cast<int>(S5_REPLY_HEAD);
    switch (data[3]) {
    case S5_ATYP_IPV4:
        return static_cast<int>(S5_IPV4_REPLY);
    case S5_ATYP_IPV6:
        return static_cast<int>(S5_IPV6_REPLY);
    case S5_ATYP_DOMAIN:
        return static_cast<int>(S5_DOMAIN_REPLY_BASE + data[4]);
    default:
        return -1;
    }
}

bool x_forward_s5_parse_reply(const uint8_t *data, size_t len, x_forward_s5_reply_t *out) {
    int need = x_forward_s5_reply_len(data, len);
    if (need < 0 || len < S5_REPLY_HEAD || len != static_cast<size_t>(need)) return false;
    *out = x_forward_s5_reply_t{};
    out->rep = data[1];
    out->atyp = data[3];
    const uint8_t *p = data + 4;
    if (out->atyp == S5_ATYP_IPV4) {
        memcpy(out->addr, p, 4);
        p += 4;
    } else if (out->atyp == S5_ATYP_IPV6) {
        memcpy(out->addr, p, 16);
        p += 16;
    } else {
        out->name_len = p[0];
        memcpy(out->name, p + 1, out->name_len);
        out->name[out->name_len] = '\0';
        p += 1 + out->name_len;
    }
    out->port = static_cast<uint16_t>(p[0] << 8 | p[1]);
    return true;
}

int x_forward_http_resp_end(const uint8_t *data, size_t len, size_t *end, unsigned *status) {
    http_ctx_t ctx{};
    buf_t view{};
    view.start = view.pos = const_cast<uint8_t *>(data);
    view.last = view.end = view.start + len;
    int rc = len ? ngx_http_parse_status_line_buf(&ctx, &view) : NGX_AGAIN;
    if (rc != NGX_OK && rc != NGX_AGAIN) return X_FORWARD_BAD;
    if (rc == NGX_AGAIN) return X_FORWARD_AGAIN; // the status line itself is still arriving
    // The header ends with the first empty line after the status line.
    size_t line = static_cast<size_t>(view.pos - data);
    for (size_t i = line; i < len; i++) {
        if (data[i] != '\n') continue;
        if (i == line || (i == line + 1 && data[line] == '\r')) {
            *end = i + 1;
            *status = ctx.status.code;
            return X_FORWARD_DONE;
        }
        line = i + 1;
    }
    return X_FORWARD_AGAIN;
}

int x_forward_recv_fixed(buf_t *buf, int fd, size_t total) {
    while (held(buf) < total) {
        int rc = read_some(buf, fd, total - held(buf));
        if (rc != X_FORWARD_DONE) return rc;
    }
    return X_FORWARD_DONE;
}

int x_forward_recv_s5_reply(buf_t *buf, int fd) {
    for (;;) {
        int need = x_forward_s5_reply_len(buf->pos, held(buf));
        if (need < 0) return X_FORWARD_BAD;
        if (held(buf) >= static_cast<size_t>(need)) return X_FORWARD_DONE;
        int rc = read_some(buf, fd, static_cast<size_t>(need) - held(buf));
        if (rc != X_FORWARD_DONE) return rc;
    }
}

int x_forward_recv_http_resp(buf_t *buf, int fd, unsigned *status) {
    size_t room = buf_free_space(buf);
    if (room == 0) return X_FORWARD_TOO_LONG;
    ssize_t n;
    do {
        n = recv(fd, buf->last, room, MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return X_FORWARD_AGAIN;
    if (n <= 0) return X_FORWARD_CLOSED;
    size_t before = held(buf);
    size_t end = 0;
    int rc = x_forward_http_resp_end(buf->pos, before + static_cast<size_t>(n), &end, status);
    if (rc == X_FORWARD_BAD) return rc;
    // Take only the header: what follows its empty line stays in the socket.
    size_t take = rc == X_FORWARD_DONE ? end - before : static_cast<size_t>(n);
    ssize_t got;
    do {
        got = recv(fd, buf->last, take, 0);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(take)) return X_FORWARD_CLOSED;
    buf->last += got;
    if (rc == X_FORWARD_DONE) return rc;
    return buf_free_space(buf) == 0 ? X_FORWARD_TOO_LONG : X_FORWARD_AGAIN;
}
