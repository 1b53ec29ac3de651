#include "net/x_ws_client.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "core/socket_util.h"
#include "core/work_thread.h"
#include "core/x_timer.h"
#include "net/x_dns.h"

namespace {

constexpr char WS_GUID[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr char STATUS_101[] = "HTTP/1.1 101";
constexpr char ACCEPT_NAME[] = "sec-websocket-accept:";
constexpr size_t WS_RECV_LIMIT = X_TRANS_MAX_MSG + X_WS_FRAME_HDR_MAX;

x_ws_client_t *ws_of(x_trans_client_t *c) {
    return reinterpret_cast<x_ws_client_t *>(c);
}

int epfd_of(const x_ws_client_t *wc) {
    return wc->base.thread->epoll_fd;
}

const char *server_text(x_ws_client_t *wc) {
    return addr2str(&wc->base.server_addr);
}

void cancel_query(x_ws_client_t *wc) {
    if (wc->dns_query) x_dns_cancel(wc->base.thread->dns, wc->dns_query);
    wc->dns_query = nullptr;
}

uint64_t rd_be(const uint8_t *p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++)
        v = v << 8 | p[i];
    return v;
}

// splitmix64: cheap per-client masking keys from a getrandom seed.
uint32_t next_mask(x_ws_client_t *wc) {
    uint64_t z = (wc->mask_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>(z ^ (z >> 31));
}

// The value of the header `name` (lower case, colon included) within [p, end), trimmed.
bool find_header(const char *p, const char *end, const char *name, const char **val,
                 size_t *val_len) {
    size_t name_len = strlen(name);
    while (p < end) {
        auto *eol = static_cast<const char *>(memmem(p, static_cast<size_t>(end - p), "\r\n", 2));
        if (!eol) eol = end;
        if (static_cast<size_t>(eol - p) >= name_len && strncasecmp(p, name, name_len) == 0) {
            const char *v = p + name_len, *e = eol;
            while (v < e && (*v == ' ' || *v == '\t'))
                v++;
            while (e > v && (e[-1] == ' ' || e[-1] == '\t'))
                e--;
            *val = v;
            *val_len = static_cast<size_t>(e - v);
            return true;
        }
        p = eol + 2;
    }
    return false;
}

// Appends a masked frame (first byte `first`) carrying len bytes to send_buf.
bool queue_frame(x_ws_client_t *wc, uint8_t first, const uint8_t *data, size_t len) {
    buf_t *sb = &wc->send_buf;
    uint8_t hdr[X_WS_FRAME_HDR_MAX];
    size_t hdr_len = 0;
    uint32_t mask = next_mask(wc);
    x_ws_fill_frame_header(hdr, first, len, mask, &hdr_len);
    if (!x_trans_send_room(sb, hdr_len + len)) return false;
    memcpy(sb->last, hdr, hdr_len);
    if (len) memcpy(sb->last + hdr_len, data, len);
    x_ws_mask(sb->last + hdr_len, len, mask);
    sb->last += hdr_len + len;
    return true;
}

bool backlog_full(x_ws_client_t *wc, size_t frame_len) {
    size_t pending = buf_size(&wc->send_buf);
    return pending > X_TRANS_SEND_MAX || frame_len > X_TRANS_SEND_MAX - pending;
}

// Queues a pong for a ping's payload and writes it when the connection may write.
bool answer_ping(x_ws_client_t *wc, const uint8_t *payload, size_t len) {
    if (backlog_full(wc, len + X_WS_FRAME_HDR_MAX)) {
        log_error("ws_client[%s] send buf is full\n", server_text(wc));
        return true;
    }
    if (!queue_frame(wc, 0x80 | X_WS_OP_PONG, payload, len)) {
        log_error("ws_client[%s] send buf is full\n", server_text(wc));
        return true;
    }
    return !wc->enable_send || x_ws_client_tcp_send(wc);
}

void on_open(x_ws_client_t *wc) {
    wc->base.status = X_TRANS_CONNECTED;
    wc->wait_conned_time = 0;
    wc->reconn_ref = 0;
    wc->last_active_time = x_time_ms();
    wc->enable_send = true;
    uint32_t gen = wc->generation;
    // Messages queued before the handshake completed go out now.
    if (!x_ws_client_tcp_send(wc)) {
        x_ws_client_close(wc);
        return;
    }
    if (wc->base.handler_init && !wc->base.handler_init(wc->base.original) &&
        gen == wc->generation) {
        x_ws_client_close(wc);
    }
}

// Hands one complete binary message to the owner; false when the client was closed.
bool deliver(x_ws_client_t *wc, const uint8_t *data, size_t len) {
    uint32_t gen = wc->generation;
    bool ok = !wc->base.handler_data || wc->base.handler_data(wc->base.original, data, len);
    if (gen != wc->generation) return false;
    if (!ok) {
        x_ws_client_close(wc);
        return false;
    }
    return true;
}

// One data frame (binary or continuation). False when the client was closed.
bool on_data_frame(x_ws_client_t *wc, const x_ws_frame_t &f, const uint8_t *payload) {
    size_t len = static_cast<size_t>(f.payload_len);
    bool continuation = f.opcode == X_WS_OP_CONT;
    if (continuation != wc->in_message) {
        log_error("ws_client[%s] unexpected %s frame, do close\n", server_text(wc),
                  continuation ? "continuation" : "data");
        x_ws_client_close(wc);
        return false;
    }
    if (!continuation && f.fin) return deliver(wc, payload, len);
    buf_t *mb = &wc->msg_buf;
    if (buf_size(mb) + len > X_TRANS_MAX_MSG) {
        log_error("ws_client[%s] message length over %zu, do close\n", server_text(wc),
                  X_TRANS_MAX_MSG);
        x_ws_client_close(wc);
        return false;
    }
    if (!x_trans_send_room(mb, len)) {
        log_error("recv buf check failed, do close [%s] [%d]\n", server_text(wc), wc->ev_data.fd);
        x_ws_client_close(wc);
        return false;
    }
    if (len) memcpy(mb->last, payload, len);
    mb->last += len;
    wc->in_message = !f.fin;
    if (!f.fin) return true;
    // The whole message is handed over from msg_buf, which a close empties but never frees.
    size_t total = buf_size(mb);
    const uint8_t *msg = mb->pos;
    mb->pos = mb->last = mb->start;
    if (!deliver(wc, msg, total)) return false;
    x_trans_buf_shrink(mb);
    return true;
}

// One whole frame. False when the client was closed.
bool on_frame(x_ws_client_t *wc, const x_ws_frame_t &f, const uint8_t *payload) {
    size_t len = static_cast<size_t>(f.payload_len);
    switch (f.opcode) {
    case X_WS_OP_CLOSE: {
        // Echo the status code (best effort, and never into a half-written frame) and go.
        uint8_t frame[X_WS_FRAME_HDR_MAX + 2];
        size_t hdr_len = 0, code_len = len >= 2 ? 2 : 0;
        uint32_t mask = next_mask(wc);
        x_ws_fill_frame_header(frame, 0x80 | X_WS_OP_CLOSE, code_len, mask, &hdr_len);
        memcpy(frame + hdr_len, payload, code_len);
        x_ws_mask(frame + hdr_len, code_len, mask);
        if (buf_size(&wc->send_buf) == 0)
            (void)!send(wc->ev_data.fd, frame, hdr_len + code_len, MSG_NOSIGNAL | MSG_DONTWAIT);
        x_ws_client_close(wc);
        return false;
    }
    case X_WS_OP_PING:
        if (!answer_ping(wc, payload, len)) {
            x_ws_client_close(wc);
            return false;
        }
        return true;
    case X_WS_OP_PONG:
        return true;
    case X_WS_OP_BINARY:
    case X_WS_OP_CONT:
        return on_data_frame(wc, f, payload);
    default:
        log_error("ws_client[%s] unsupported opcode %u, do close\n", server_text(wc), f.opcode);
        x_ws_client_close(wc);
        return false;
    }
}

// Consumes the handshake answer; false when the client was closed (or still waits).
bool on_handshake(x_ws_client_t *wc) {
    buf_t *rb = &wc->recv_buf;
    size_t hdr_len = 0;
    switch (x_ws_handshake_response(rb->pos, buf_size(rb), &wc->hs, &hdr_len)) {
    case X_WS_HS_INCOMPLETE:
        return false;
    case X_WS_HS_OK:
        rb->pos += hdr_len;
        on_open(wc);
        return wc->base.status == X_TRANS_CONNECTED;
    default:
        log_error("websocket handshake failed\n");
        x_ws_client_close(wc);
        return false;
    }
}

void take_frames(x_ws_client_t *wc) {
    buf_t *rb = &wc->recv_buf;
    uint32_t gen = wc->generation;
    if (wc->base.status == X_TRANS_HANDSHAKING && !on_handshake(wc)) return;
    while (buf_size(rb) > 0) {
        x_ws_frame_t f{};
        x_frame_parse_t r = x_ws_frame_parse(rb->pos, buf_size(rb), X_TRANS_MAX_MSG, &f);
        if (r == X_FRAME_INCOMPLETE) break;
        if (r != X_FRAME_OK) {
            log_error("ws_client[%s] %s frame, do close\n", server_text(wc),
                      r == X_FRAME_TOO_BIG ? "oversized" : "malformed");
            x_ws_client_close(wc);
            return;
        }
        const uint8_t *payload = rb->pos + f.hdr_len;
        rb->pos += f.hdr_len + f.payload_len;
        if (!on_frame(wc, f, payload) || gen != wc->generation) return;
    }
    buf_drain(rb);
    x_trans_buf_shrink(rb);
}

void on_tcp_relay(x_server_t *, event_data_t *ev, uint32_t events) {
    auto *wc = static_cast<x_ws_client_t *>(ev->other_ctx);
    size_t limit = wc->base.status == X_TRANS_HANDSHAKING ? X_WS_RESPONSE_MAX : WS_RECV_LIMIT;
    switch (x_trans_stream_event(&wc->base, ev, events, &wc->send_buf, &wc->enable_send,
                                 &wc->recv_buf, limit)) {
    case X_TRANS_EVENT_DATA:
        wc->last_active_time = x_time_ms();
        take_frames(wc);
        break;
    case X_TRANS_EVENT_CLOSE:
        x_ws_client_close(wc);
        break;
    default:
        break;
    }
}

bool send_handshake(x_ws_client_t *wc) {
    char req[X_WS_REQUEST_MAX];
    if (!x_ws_handshake_new(&wc->hs)) return false;
    size_t len = x_ws_handshake_request(req, sizeof(req), wc->base.server_path,
                                        wc->base.server_info.host, &wc->hs);
    if (len == 0) return false;
    ssize_t n = send(wc->ev_data.fd, req, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n == static_cast<ssize_t>(len);
}

void on_connect_dst(x_server_t *, event_data_t *ev, uint32_t events) {
    auto *wc = static_cast<x_ws_client_t *>(ev->other_ctx);
    if (events & (EPOLLERR | EPOLLHUP)) {
        log_error("connected to dst [%s] [%d][%u] failed\n", server_text(wc), ev->fd, events);
        x_ws_client_close(wc);
        return;
    }
    if (!ev_add_event(epfd_of(wc), ev, EPOLLIN, on_tcp_relay)) {
        x_ws_client_close(wc);
        return;
    }
    wc->last_reconn_time = 0;
    if (!send_handshake(wc)) {
        log_error("Failed to send handshake request\n");
        x_ws_client_close(wc);
        return;
    }
    wc->base.status = X_TRANS_HANDSHAKING;
}

void on_dns_resp(void *original, int status, sockaddr_storage *addr) {
    auto *wc = static_cast<x_ws_client_t *>(original);
    wc->dns_query = nullptr;
    if (!x_trans_take_address(&wc->base, status, addr)) {
        x_ws_client_close(wc);
        return;
    }
    int fd = x_trans_stream_open(&wc->base, "ws");
    if (fd < 0) {
        x_ws_client_close(wc);
        return;
    }
    wc->ev_data.fd = fd;
    wc->ev_data.other_ctx = wc;
    if (!ev_add_event(epfd_of(wc), &wc->ev_data, EPOLLOUT, on_connect_dst)) {
        log_error("add tcp dst connect event failed\n");
        x_ws_client_close(wc);
        return;
    }
    wc->base.status = X_TRANS_CONNECTING;
    wc->wait_conned_time = x_time_ms();
}

void conn_server(x_ws_client_t *wc) {
    wc->base.status = X_TRANS_RESOLVING;
    wc->wait_conned_time = x_time_ms();
    cancel_query(wc);
    x_trans_buf_shrink(&wc->recv_buf);
    x_dns_t *dns = wc->base.thread->dns;
    if (!dns) {
        on_dns_resp(wc, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    const char *host = wc->base.server_info.host;
    wc->dns_query = x_dns_query(dns, host, strlen(host), wc, on_dns_resp, false);
}

} // namespace

// ---- handshake and framing ----

bool x_ws_handshake_new(x_ws_handshake_t *hs) {
    uint8_t nonce[16];
    if (getrandom(nonce, sizeof(nonce), 0) != static_cast<ssize_t>(sizeof(nonce))) return false;
    EVP_EncodeBlock(reinterpret_cast<unsigned char *>(hs->key), nonce, sizeof(nonce));
    x_ws_accept_for_key(hs->key, X_WS_KEY_LEN, hs->accept);
    return true;
}

void x_ws_accept_for_key(const char *key, size_t key_len, char out[X_WS_ACCEPT_LEN + 1]) {
    uint8_t digest[SHA_DIGEST_LENGTH];
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) &&
              EVP_DigestUpdate(ctx, key, key_len) &&
              EVP_DigestUpdate(ctx, WS_GUID, sizeof(WS_GUID) - 1) &&
              EVP_DigestFinal_ex(ctx, digest, nullptr);
    EVP_MD_CTX_free(ctx);
    if (!ok) {
        // An empty expectation matches no answer: the handshake is refused.
        out[0] = '\0';
        return;
    }
    EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out), digest, sizeof(digest));
}

size_t x_ws_handshake_request(char *out, size_t cap, const char *path, const char *host,
                              const x_ws_handshake_t *hs) {
    if (!path) path = "";
    for (const char *s : {path, host}) {
        for (const char *p = s; *p; p++)
            if (static_cast<unsigned char>(*p) <= 0x20 || *p == 0x7f) return 0;
    }
    int n = snprintf(out, cap,
                     "GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: "
                     "Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n",
                     path, host, hs->key);
    if (n < 0 || static_cast<size_t>(n) >= cap) return 0;
    return static_cast<size_t>(n);
}

x_ws_hs_result_t x_ws_handshake_response(const uint8_t *data, size_t len,
                                         const x_ws_handshake_t *hs, size_t *hdr_len) {
    size_t seen = len < X_WS_RESPONSE_MAX ? len : X_WS_RESPONSE_MAX;
    // The status line is judged as soon as it is complete, whatever follows.
    if (seen >= sizeof(STATUS_101) - 1 && memcmp(data, STATUS_101, sizeof(STATUS_101) - 1) != 0) {
        return X_WS_HS_REFUSED;
    }
    auto *end = static_cast<const uint8_t *>(memmem(data, seen, "\r\n\r\n", 4));
    if (!end) return seen == X_WS_RESPONSE_MAX ? X_WS_HS_TOO_LONG : X_WS_HS_INCOMPLETE;
    auto *text = reinterpret_cast<const char *>(data);
    auto *first_eol = static_cast<const char *>(memmem(text, seen, "\r\n", 2));
    // "HTTP/1.1 101" must be the whole code: "HTTP/1.1 1010" is no switch.
    size_t status_len = sizeof(STATUS_101) - 1;
    if (static_cast<size_t>(first_eol - text) > status_len && text[status_len] != ' ') {
        return X_WS_HS_REFUSED;
    }
    const char *val = nullptr;
    size_t val_len = 0;
    const char *headers_end = reinterpret_cast<const char *>(end) + 2;
    if (!hs->accept[0] || !find_header(first_eol + 2, headers_end, ACCEPT_NAME, &val, &val_len) ||
        val_len != X_WS_ACCEPT_LEN || memcmp(val, hs->accept, X_WS_ACCEPT_LEN) != 0) {
        return X_WS_HS_REFUSED;
    }
    *hdr_len = static_cast<size_t>(end - data) + 4;
    return X_WS_HS_OK;
}

x_frame_parse_t x_ws_frame_parse(const uint8_t *data, size_t avail, size_t max_len,
                                 x_ws_frame_t *out) {
    if (avail < 2) return X_FRAME_INCOMPLETE;
    uint8_t b0 = data[0], b1 = data[1];
    uint8_t opcode = b0 & 0x0f;
    bool fin = b0 & 0x80;
    // Servers never mask; reserved bits need an extension nobody negotiated.
    if ((b1 & 0x80) || (b0 & 0x70)) return X_FRAME_BAD;
    bool control = opcode & 0x08;
    if ((opcode > X_WS_OP_BINARY && !control) || opcode > X_WS_OP_PONG) return X_FRAME_BAD;
    size_t hdr = 2;
    uint64_t len = b1 & 0x7f;
    if (len == 126 || len == 127) {
        size_t ext = len == 126 ? 2 : 8;
        if (avail - hdr < ext) return X_FRAME_INCOMPLETE;
        len = rd_be(data + hdr, ext);
        hdr += ext;
    }
    if (control && (!fin || len > X_WS_CONTROL_MAX)) return X_FRAME_BAD;
    if (len > max_len) return X_FRAME_TOO_BIG;
    if (len > avail - hdr) return X_FRAME_INCOMPLETE;
    out->fin = fin;
    out->opcode = opcode;
    out->hdr_len = hdr;
    out->payload_len = len;
    return X_FRAME_OK;
}

void x_ws_fill_frame_header(uint8_t *hdr, uint8_t first, uint64_t len, uint32_t mask,
                            size_t *hdr_len) {
    hdr[0] = first;
    size_t n = 2;
    if (len < 126) {
        hdr[1] = static_cast<uint8_t>(0x80 | len);
    } else if (len <= 0xffff) {
        hdr[1] = 0x80 | 126;
        hdr[2] = static_cast<uint8_t>(len >> 8);
        hdr[3] = static_cast<uint8_t>(len);
        n = 4;
    } else {
        hdr[1] = 0x80 | 127;
        for (size_t i = 0; i < 8; i++)
            hdr[2 + i] = static_cast<uint8_t>(len >> (56 - 8 * i));
        n = 10;
    }
    memcpy(hdr + n, &mask, 4);
    *hdr_len = n + 4;
}

bool x_ws_client_fill_header(uint8_t *hdr, uint64_t len, uint32_t mask, size_t *hdr_len) {
    x_ws_fill_frame_header(hdr, 0x80 | X_WS_OP_BINARY, len, mask, hdr_len);
    return true;
}

void x_ws_mask(uint8_t *data, size_t len, uint32_t mask) {
    uint8_t key[4];
    memcpy(key, &mask, 4);
    for (size_t i = 0; i < len; i++)
        data[i] ^= key[i & 3];
}

// ---- client ----

x_ws_client_t *x_ws_client_create(work_thread_t *thread, const char *if_name, uint32_t bind_addr) {
    auto *wc = static_cast<x_ws_client_t *>(calloc(1, sizeof(x_ws_client_t)));
    if (!wc) return nullptr;
    wc->base.thread = thread;
    wc->base.type = X_TRANS_WS;
    x_trans_client_set_local(&wc->base, if_name, bind_addr);
    wc->base.do_init = x_ws_client_init;
    wc->base.do_check = x_ws_client_check;
    wc->base.do_free = x_ws_client_free;
    wc->base.do_send = x_ws_client_send;
    if (getrandom(&wc->mask_state, sizeof(wc->mask_state), 0) != sizeof(wc->mask_state)) {
        wc->mask_state = x_time_us() ^ reinterpret_cast<uintptr_t>(wc);
    }
    return wc;
}

bool x_ws_client_init(x_trans_client_t *c, const char *host, uint16_t port, const char *server_path,
                      uint32_t reconn_inval, uint32_t reconn_cnt, uint32_t heartbeat_timeout,
                      void *original, data_handler data_func, init_handler init_func,
                      close_handler close_func) {
    x_ws_client_t *wc = ws_of(c);
    if (!x_trans_client_store(c, host, port, server_path, reconn_inval, reconn_cnt,
                              heartbeat_timeout, original, data_func, init_func, close_func)) {
        return false;
    }
    if (!buf_alloc(&wc->send_buf, X_TRANS_BUF_INIT) ||
        !buf_alloc(&wc->recv_buf, X_TRANS_BUF_INIT) || !buf_alloc(&wc->msg_buf, X_TRANS_BUF_INIT)) {
        log_error("create conn buf failed\n");
        return false;
    }
    wc->enable_send = false;
    c->status = X_TRANS_DISCONNECTED;
    wc->last_reconn_time = x_time_ms();
    conn_server(wc);
    return true;
}

bool x_ws_client_send(x_trans_client_t *c, const uint8_t *buf, size_t len) {
    x_ws_client_t *wc = ws_of(c);
    if (!wc->send_buf.start) return false;
    if (len > X_TRANS_SEND_MAX || backlog_full(wc, len + X_WS_FRAME_HDR_MAX)) {
        log_error("ws_client[%s] send buf is full\n", server_text(wc));
        return true;
    }
    if (!queue_frame(wc, 0x80 | X_WS_OP_BINARY, buf, len)) {
        log_error("ws_client[%s] send buf is full\n", server_text(wc));
        return false;
    }
    if (wc->enable_send && !x_ws_client_tcp_send(wc)) x_ws_client_close(wc);
    return true;
}

bool x_ws_client_tcp_send(x_ws_client_t *wc) {
    return x_trans_stream_flush(epfd_of(wc), &wc->ev_data, &wc->send_buf, &wc->enable_send);
}

void x_ws_client_check(x_trans_client_t *c) {
    x_ws_client_t *wc = ws_of(c);
    switch (
        x_trans_stream_due(c, &wc->last_reconn_time, wc->wait_conned_time, wc->last_active_time)) {
    case X_TRANS_DUE_CONNECT:
        conn_server(wc);
        break;
    case X_TRANS_DUE_CLOSE:
        x_ws_client_close(wc);
        break;
    default:
        break;
    }
}

void x_ws_client_close(x_ws_client_t *wc) {
    wc->generation++;
    wc->enable_send = false;
    cancel_query(wc);
    x_trans_close_socket(epfd_of(wc), &wc->ev_data);
    // Emptied, not freed: a handler further up the stack may still read the message it got.
    for (buf_t *b : {&wc->send_buf, &wc->recv_buf, &wc->msg_buf})
        b->pos = b->last = b->start;
    wc->in_message = false;
    wc->last_reconn_time = x_time_ms();
    wc->base.status = X_TRANS_DISCONNECTED;
    x_trans_client_count_close(&wc->base, &wc->reconn_ref);
}

void x_ws_client_free(x_trans_client_t *c) {
    if (!c) return;
    x_ws_client_t *wc = ws_of(c);
    cancel_query(wc);
    x_trans_close_socket(epfd_of(wc), &wc->ev_data);
    buf_free(&wc->send_buf);
    buf_free(&wc->recv_buf);
    buf_free(&wc->msg_buf);
    free(wc);
}

bool x_ws_client_adopt(x_ws_client_t *wc, int fd, bool open) {
    if (fd <= 0 || pf_socket_set_non_block(fd) != 0) return false;
    cancel_query(wc);
    x_trans_close_socket(epfd_of(wc), &wc->ev_data);
    wc->ev_data.fd = fd;
    wc->ev_data.other_ctx = wc;
    if (!ev_add_event(epfd_of(wc), &wc->ev_data, EPOLLIN, on_tcp_relay)) return false;
    if (!x_ws_handshake_new(&wc->hs)) return false;
    wc->base.status = X_TRANS_HANDSHAKING;
    wc->wait_conned_time = x_time_ms();
    if (open) on_open(wc);
    return true;
}
