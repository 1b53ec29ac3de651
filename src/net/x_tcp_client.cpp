#include "net/x_tcp_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "core/socket_util.h"
#include "core/work_thread.h"
#include "core/x_timer.h"
#include "net/x_dns.h"

namespace {

constexpr size_t LEB128_MAX_BYTES = 10;
constexpr size_t SHRINK_ABOVE = 64 * 1024;

bool text_ok(const char *s) {
    for (; *s; s++) {
        auto c = static_cast<unsigned char>(*s);
        if (c <= 0x20 || c == 0x7f) return false;
    }
    return true;
}

// Room for at least one more byte in a receive buffer, doubling the capacity but never past
// limit. False when the buffer is full at the limit or cannot grow.
bool recv_room(buf_t *b, size_t limit) {
    if (b->start && b->last < b->end) return true;
    size_t cap = buf_capacity(b);
    if (cap >= limit) {
        buf_drain(b);
        return b->last < b->end;
    }
    size_t grown = cap ? cap * 2 : X_TRANS_BUF_INIT;
    return buf_alloc(b, grown < limit ? grown : limit);
}

x_tcp_client_t *tcp_of(x_trans_client_t *c) {
    return reinterpret_cast<x_tcp_client_t *>(c);
}

int epfd_of(const x_tcp_client_t *tc) {
    return tc->base.thread->epoll_fd;
}

const char *server_text(x_trans_client_t *c) {
    return addr2str(&c->server_addr);
}

void cancel_query(x_tcp_client_t *tc) {
    if (tc->dns_query) x_dns_cancel(tc->base.thread->dns, tc->dns_query);
    tc->dns_query = nullptr;
}

// Hands complete messages to the owner. Each message is consumed before its handler runs, and
// a close from inside a handler (a failed send on this client) ends the walk at once.
void deliver(x_tcp_client_t *tc) {
    buf_t *rb = &tc->recv_buf;
    uint32_t gen = tc->generation;
    while (buf_size(rb) > 0) {
        size_t hdr = 0, len = 0;
        x_frame_parse_t r = x_tcp_frame_parse(rb->pos, buf_size(rb), X_TRANS_MAX_MSG, &hdr, &len);
        if (r == X_FRAME_INCOMPLETE) break;
        if (r != X_FRAME_OK) {
            log_error("tcp_client[%s] message length over %zu, do close\n", server_text(&tc->base),
                      X_TRANS_MAX_MSG);
            x_tcp_client_close(tc);
            return;
        }
        const uint8_t *body = rb->pos + hdr;
        rb->pos += hdr + len;
        bool ok = !tc->base.handler_data || tc->base.handler_data(tc->base.original, body, len);
        if (gen != tc->generation) return;
        if (!ok) {
            x_tcp_client_close(tc);
            return;
        }
    }
    buf_drain(rb);
    x_trans_buf_shrink(rb);
}

void on_tcp_relay(x_server_t *, event_data_t *ev, uint32_t events) {
    auto *tc = static_cast<x_tcp_client_t *>(ev->other_ctx);
    switch (x_trans_stream_event(&tc->base, ev, events, &tc->send_buf, &tc->enable_send,
                                 &tc->recv_buf, X_TRANS_MAX_MSG + LEB128_MAX_BYTES)) {
    case X_TRANS_EVENT_DATA:
        tc->last_active_time = x_time_ms();
        deliver(tc);
        break;
    case X_TRANS_EVENT_CLOSE:
        x_tcp_client_close(tc);
        break;
    default:
        break;
    }
}

void on_connected(x_tcp_client_t *tc) {
    tc->enable_send = true;
    tc->base.status = X_TRANS_CONNECTED;
    tc->last_reconn_time = 0;
    tc->last_active_time = x_time_ms();
    tc->reconn_ref = 0;
    uint32_t gen = tc->generation;
    // Messages queued while connecting go out now rather than behind the next one sent.
    if (!x_trans_stream_flush(epfd_of(tc), &tc->ev_data, &tc->send_buf, &tc->enable_send)) {
        x_tcp_client_close(tc);
        return;
    }
    if (tc->base.handler_init && !tc->base.handler_init(tc->base.original) &&
        gen == tc->generation) {
        x_tcp_client_close(tc);
    }
}

void on_connect_dst(x_server_t *, event_data_t *ev, uint32_t events) {
    auto *tc = static_cast<x_tcp_client_t *>(ev->other_ctx);
    if (events & (EPOLLERR | EPOLLHUP)) {
        log_error("connected to dst [%s] [%d][%u] failed\n", server_text(&tc->base), ev->fd,
                  events);
        x_tcp_client_close(tc);
        return;
    }
    if (!ev_add_event(epfd_of(tc), ev, EPOLLIN, on_tcp_relay)) {
        x_tcp_client_close(tc);
        return;
    }
    on_connected(tc);
}

void on_dns_resp(void *original, int status, sockaddr_storage *addr) {
    auto *tc = static_cast<x_tcp_client_t *>(original);
    tc->dns_query = nullptr;
    if (!x_trans_take_address(&tc->base, status, addr)) {
        x_tcp_client_close(tc);
        return;
    }
    int fd = x_trans_stream_open(&tc->base, "tcp");
    if (fd < 0) {
        x_tcp_client_close(tc);
        return;
    }
    tc->ev_data.fd = fd;
    tc->ev_data.other_ctx = tc;
    if (!ev_add_event(epfd_of(tc), &tc->ev_data, EPOLLOUT, on_connect_dst)) {
        log_error("add tcp dst connect event failed\n");
        x_tcp_client_close(tc);
        return;
    }
    tc->base.status = X_TRANS_CONNECTING;
}

void conn_server(x_tcp_client_t *tc) {
    tc->base.status = X_TRANS_RESOLVING;
    tc->wait_conned_time = x_time_ms();
    cancel_query(tc);
    x_trans_buf_shrink(&tc->recv_buf);
    x_dns_t *dns = tc->base.thread->dns;
    if (!dns) {
        on_dns_resp(tc, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    const char *host = tc->base.server_info.host;
    tc->dns_query = x_dns_query(dns, host, strlen(host), tc, on_dns_resp, false);
}

} // namespace

// ---- shared pieces ----

bool x_trans_client_store(x_trans_client_t *c, const char *host, uint16_t port,
                          const char *server_path, uint32_t reconn_inval, uint32_t reconn_cnt,
                          uint32_t heartbeat_timeout, void *original, data_handler data_func,
                          init_handler init_func, close_handler close_func) {
    if (!host || !*host || strlen(host) > X_TRANS_HOST_MAX || !text_ok(host)) {
        log_error("trans client host [%s] is not valid\n", host ? host : "");
        return false;
    }
    const char *path = server_path ? server_path : "";
    if (strlen(path) > X_TRANS_PATH_MAX || !text_ok(path)) {
        log_error("trans client path [%s] is not valid\n", path);
        return false;
    }
    strcpy(c->server_info.host, host);
    c->server_info.port = htons(port);
    strcpy(c->server_path, path);
    c->reconn_inval = reconn_inval;
    c->reconn_cnt = reconn_cnt;
    c->heartbeat_timeout = heartbeat_timeout;
    c->original = original;
    c->handler_data = data_func;
    c->handler_init = init_func;
    c->handler_close = close_func;
    return true;
}

void x_trans_client_set_local(x_trans_client_t *c, const char *if_name, uint32_t bind_addr) {
    if (if_name && *if_name) {
        strncpy(c->if_name, if_name, X_TRANS_IF_NAME_MAX);
        c->if_name[X_TRANS_IF_NAME_MAX] = '\0';
    }
    c->bind_addr = bind_addr;
}

void x_trans_client_count_close(x_trans_client_t *c, uint32_t *reconn_ref) {
    if (c->reconn_cnt == 0) return;
    if (++*reconn_ref < c->reconn_cnt) return;
    *reconn_ref = 0;
    if (c->handler_close) c->handler_close(c->original);
}

bool x_trans_take_address(x_trans_client_t *c, int status, const sockaddr_storage *addr) {
    if (status != 0 || !addr || addr->ss_family != AF_INET) {
        log_error("trans client [%s] resolve failed: %d\n", c->server_info.host, status);
        return false;
    }
    c->server_addr.sin_family = AF_INET;
    c->server_addr.sin_addr = reinterpret_cast<const sockaddr_in *>(addr)->sin_addr;
    c->server_addr.sin_port = c->server_info.port;
    return true;
}

int x_trans_stream_open(x_trans_client_t *c, const char *word) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd == 0) {
        // Descriptor 0 means "none" to the registration records: move it out of the way.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        fd = moved;
    }
    if (fd < 0) {
        log_error("create %s socket failed\n", word);
        return -1;
    }
    const char *srv = addr2str(&c->server_addr);
    const char *fail = nullptr;
    if (!set_socket_default_opt(fd)) {
        log_error("set [%s] %s socket default opt failed\n", srv, word);
        fail = "";
    } else if (c->if_name[0] && !set_socket_bindtodevice(fd, c->if_name, strlen(c->if_name))) {
        log_error("set %s [%s] bindtodevice failed\n", word, srv);
        fail = "";
    } else if (c->bind_addr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = c->bind_addr;
        if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0) {
            log_error("set tcp [%s] bind addr failed\n", srv);
            fail = "";
        }
    }
    if (!fail &&
        connect(fd, reinterpret_cast<sockaddr *>(&c->server_addr), sizeof(c->server_addr)) != 0 &&
        errno != EINPROGRESS) {
        log_error("connect to tcp dst %s failed: %s\n", srv, strerror(errno));
        fail = "";
    }
    if (fail) {
        close(fd);
        return -1;
    }
    return fd;
}

bool x_trans_stream_flush(int epfd, event_data_t *ev, buf_t *sb, bool *enable_send) {
    if (buf_size(sb) > 0) {
        ssize_t n = send(ev->fd, sb->pos, buf_size(sb), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == 0) return false;
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        } else {
            sb->pos += n;
        }
    }
    if (buf_size(sb) == 0 && (ev->reg_events & EPOLLOUT)) {
        if (!ev_add_event(epfd, ev, ev->reg_events & ~EPOLLOUT, ev->handler)) {
            log_error("ev_mod_del_event failed: %s\n", strerror(errno));
            return false;
        }
    } else if (buf_size(sb) > 0 && !(ev->reg_events & EPOLLOUT)) {
        if (!ev_add_event(epfd, ev, ev->reg_events | EPOLLOUT, ev->handler)) {
            log_error("ev_mod_add_event failed: %s\n", strerror(errno));
            return false;
        }
    }
    *enable_send = buf_size(sb) == 0;
    buf_drain(sb);
    return true;
}

x_trans_event_t x_trans_stream_event(x_trans_client_t *c, event_data_t *ev, uint32_t events,
                                     buf_t *send_buf, bool *enable_send, buf_t *recv_buf,
                                     size_t limit) {
    const char *srv = addr2str(&c->server_addr);
    if (events & (EPOLLERR | EPOLLHUP)) {
        log_error("tcp [%s] [%d] do close\n", srv, ev->fd);
        return X_TRANS_EVENT_CLOSE;
    }
    if ((events & EPOLLOUT) &&
        !x_trans_stream_flush(c->thread->epoll_fd, ev, send_buf, enable_send)) {
        return X_TRANS_EVENT_CLOSE;
    }
    if (!(events & EPOLLIN)) return X_TRANS_EVENT_NONE;
    if (!recv_room(recv_buf, limit)) {
        log_error("recv buf check failed, do close [%s] [%d]\n", srv, ev->fd);
        return X_TRANS_EVENT_CLOSE;
    }
    ssize_t n = recv(ev->fd, recv_buf->last, buf_free_space(recv_buf), MSG_DONTWAIT);
    if (n == 0) return X_TRANS_EVENT_CLOSE;
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return X_TRANS_EVENT_NONE;
        log_error("tcp recv fd: %d error:[%d:%s]\n", ev->fd, errno, strerror(errno));
        return X_TRANS_EVENT_CLOSE;
    }
    recv_buf->last += n;
    return X_TRANS_EVENT_DATA;
}

bool x_trans_send_room(buf_t *b, size_t need) {
    if (!b->start && !buf_alloc(b, X_TRANS_BUF_INIT)) return false;
    return buf_check_to_write(b, need);
}

void x_trans_buf_shrink(buf_t *b) {
    if (b->start && b->pos == b->last && buf_capacity(b) > SHRINK_ABOVE) {
        b->pos = b->last = b->start;
        (void)buf_alloc(b, X_TRANS_BUF_INIT);
    }
}

void x_trans_close_socket(int epfd, event_data_t *ev) {
    if (!ev->fd) return;
    ev->handler = nullptr;
    (void)ev_del_event(epfd, ev);
    close(ev->fd);
    ev->fd = 0;
    ev->reg_events = 0;
}

x_trans_due_t x_trans_stream_due(x_trans_client_t *c, uint64_t *last_reconn_time,
                                 uint64_t wait_conned_time, uint64_t last_active_time) {
    uint64_t now = x_time_ms();
    switch (c->status) {
    case X_TRANS_DISCONNECTED:
        if (now < *last_reconn_time + c->reconn_inval) return X_TRANS_DUE_NOTHING;
        *last_reconn_time = now;
        return X_TRANS_DUE_CONNECT;
    case X_TRANS_CONNECTED:
        if (!c->heartbeat_timeout || now - last_active_time <= c->heartbeat_timeout) {
            return X_TRANS_DUE_NOTHING;
        }
        log_error("last active time is time out\n");
        return X_TRANS_DUE_CLOSE;
    default:
        // A resolution that never answers is ended here too, not only by the resolver.
        if (now - wait_conned_time <= X_TRANS_CONNECT_TIMEOUT) return X_TRANS_DUE_NOTHING;
        log_error("trans client [%s] connect time out\n", c->server_info.host);
        return X_TRANS_DUE_CLOSE;
    }
}

x_frame_parse_t x_tcp_frame_parse(const uint8_t *data, size_t avail, size_t max_len,
                                  size_t *hdr_len, size_t *msg_len) {
    uint64_t value = 0;
    for (size_t i = 0; i < LEB128_MAX_BYTES; i++) {
        if (i == avail) return X_FRAME_INCOMPLETE;
        uint64_t bits = data[i] & 0x7f;
        unsigned shift = static_cast<unsigned>(7 * i);
        // The value only grows from here: refuse it as soon as it passes the limit.
        if (bits && (shift >= 64 || bits > (max_len >> shift))) return X_FRAME_TOO_BIG;
        value += bits << shift;
        if (value > max_len) return X_FRAME_TOO_BIG;
        if (data[i] & 0x80) continue;
        size_t hdr = i + 1;
        if (value > avail - hdr) return X_FRAME_INCOMPLETE;
        *hdr_len = hdr;
        *msg_len = static_cast<size_t>(value);
        return X_FRAME_OK;
    }
    return X_FRAME_BAD;
}

// ---- TCP client ----

x_tcp_client_t *x_tcp_client_create(work_thread_t *thread, const char *if_name,
                                    uint32_t bind_addr) {
    auto *tc = static_cast<x_tcp_client_t *>(calloc(1, sizeof(x_tcp_client_t)));
    if (!tc) return nullptr;
    tc->base.thread = thread;
    tc->base.type = X_TRANS_TCP;
    x_trans_client_set_local(&tc->base, if_name, bind_addr);
    tc->base.do_init = x_tcp_client_init;
    tc->base.do_check = x_tcp_client_check;
    tc->base.do_free = x_tcp_client_free;
    tc->base.do_send = x_tcp_client_send;
    return tc;
}

bool x_tcp_client_init(x_trans_client_t *c, const char *host, uint16_t port,
                       const char *server_path, uint32_t reconn_inval, uint32_t reconn_cnt,
                       uint32_t heartbeat_timeout, void *original, data_handler data_func,
                       init_handler init_func, close_handler close_func) {
    x_tcp_client_t *tc = tcp_of(c);
    if (!x_trans_client_store(c, host, port, server_path, reconn_inval, reconn_cnt,
                              heartbeat_timeout, original, data_func, init_func, close_func)) {
        return false;
    }
    if (!buf_alloc(&tc->send_buf, X_TRANS_BUF_INIT) ||
        !buf_alloc(&tc->recv_buf, X_TRANS_BUF_INIT)) {
        log_error("create tcp_client buf failed\n");
        return false;
    }
    tc->enable_send = false;
    c->status = X_TRANS_DISCONNECTED;
    tc->last_reconn_time = x_time_ms();
    conn_server(tc);
    return true;
}

bool x_tcp_client_send(x_trans_client_t *c, const uint8_t *buf, size_t len) {
    x_tcp_client_t *tc = tcp_of(c);
    buf_t *sb = &tc->send_buf;
    if (!sb->start) return false;
    size_t pending = buf_size(sb);
    if (pending > X_TRANS_SEND_MAX || len > X_TRANS_SEND_MAX - pending) {
        log_error("tcp_client[%s] send buf is full\n", server_text(c));
        return true;
    }
    uint8_t prefix[LEB128_MAX_BYTES];
    size_t plen = 0;
    uint64_t v = len;
    do {
        prefix[plen] = static_cast<uint8_t>(v & 0x7f);
        v >>= 7;
        if (v) prefix[plen] |= 0x80;
        plen++;
    } while (v);
    if (!x_trans_send_room(sb, plen + len)) {
        log_error("tcp_client[%s] send buf is full\n", server_text(c));
        return false;
    }
    memcpy(sb->last, prefix, plen);
    if (len) memcpy(sb->last + plen, buf, len);
    sb->last += plen + len;
    if (tc->enable_send && !x_trans_stream_flush(epfd_of(tc), &tc->ev_data, sb, &tc->enable_send)) {
        x_tcp_client_close(tc);
        return false;
    }
    return true;
}

void x_tcp_client_check(x_trans_client_t *c) {
    x_tcp_client_t *tc = tcp_of(c);
    switch (
        x_trans_stream_due(c, &tc->last_reconn_time, tc->wait_conned_time, tc->last_active_time)) {
    case X_TRANS_DUE_CONNECT:
        conn_server(tc);
        break;
    case X_TRANS_DUE_CLOSE:
        x_tcp_client_close(tc);
        break;
    default:
        break;
    }
}

void x_tcp_client_close(x_tcp_client_t *tc) {
    tc->generation++;
    tc->enable_send = false;
    cancel_query(tc);
    x_trans_close_socket(epfd_of(tc), &tc->ev_data);
    // Emptied, not freed: a handler further up the stack may still read the message it got.
    tc->send_buf.pos = tc->send_buf.last = tc->send_buf.start;
    tc->recv_buf.pos = tc->recv_buf.last = tc->recv_buf.start;
    tc->last_reconn_time = x_time_ms();
    tc->base.status = X_TRANS_DISCONNECTED;
    x_trans_client_count_close(&tc->base, &tc->reconn_ref);
}

void x_tcp_client_free(x_trans_client_t *c) {
    if (!c) return;
    x_tcp_client_t *tc = tcp_of(c);
    cancel_query(tc);
    x_trans_close_socket(epfd_of(tc), &tc->ev_data);
    buf_free(&tc->send_buf);
    buf_free(&tc->recv_buf);
    free(tc);
}

bool x_tcp_client_adopt(x_tcp_client_t *tc, int fd) {
    if (fd <= 0 || pf_socket_set_non_block(fd) != 0) return false;
    cancel_query(tc);
    x_trans_close_socket(epfd_of(tc), &tc->ev_data);
    tc->ev_data.fd = fd;
    tc->ev_data.other_ctx = tc;
    if (!ev_add_event(epfd_of(tc), &tc->ev_data, EPOLLIN, on_tcp_relay)) return false;
    on_connected(tc);
    return true;
}
