#include "net/x_tovask.h"

#include "bjson/binary_json_raw.h"
#include "core/log.h"
#include "core/socket_util.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int LISTEN_BACKLOG = 128;
constexpr int ANSWERS_PER_EVENT = 64;
constexpr uint8_t ATTACHED[2] = {0x00, 0x00};
constexpr uint8_t REFUSED[2] = {0x00, 0x01};

void *session_key(uint32_t session) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(session));
}

uint64_t request_hash(const void *key) {
    uint32_t session = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    return dictGenHashFunction(&session, sizeof session);
}

void request_free(dict *, void *val) {
    auto *r = static_cast<x_forward_ctrl_request_t *>(val);
    x_timer_del(&r->timeout);
    buf_free(&r->buf);
    free(r);
}

dictType request_dict_type = {request_hash, nullptr,      nullptr, nullptr,
                              nullptr,      request_free, nullptr, nullptr};

x_tovask_forward_t *endpoint_of(const x_client_t *c) {
    return c->thread ? c->thread->tovask : nullptr;
}

x_client_t *waiting_client(work_thread_t *thread, uint32_t session) {
    auto *c =
        static_cast<x_client_t *>(dictFetchValue(thread->session_to_clients, session_key(session)));
    if (c == nullptr || x_client_is_closing(c) || c->callback == nullptr) return nullptr;
    return c;
}

bool send_request(x_forward_ctrl_request_t *r) {
    r->last_send_time = x_time_ms();
    ssize_t n = sendto(r->tovask_forward->ctrl_data.fd, r->buf.pos, buf_size(&r->buf), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr *>(&r->ctrl_addr), sizeof r->ctrl_addr);
    return n == static_cast<ssize_t>(buf_size(&r->buf)) ||
           (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS));
}

bool write_key(buf_t *b, const char *key) {
    return bjson_raw_write_object_key(b, key, strlen(key));
}

bool write_str(buf_t *b, const char *key, const ngx_str_t &s) {
    return write_key(b, key) &&
           bjson_raw_write_string(b, reinterpret_cast<const char *>(s.data), s.len);
}

bool write_int(buf_t *b, const char *key, int64_t v) {
    return write_key(b, key) && bjson_raw_write_int(b, v);
}

void close_data_connect(x_data_connect_s *d) {
    x_timer_del(&d->tcp_conn_timeout);
    if (d->connect_ev_data.fd > 0) {
        (void)ev_del_event(d->thread->epoll_fd, &d->connect_ev_data);
        close(d->connect_ev_data.fd);
    }
    free(d);
}

void refuse(int fd) {
    (void)!send(fd, REFUSED, sizeof REFUSED, MSG_NOSIGNAL | MSG_DONTWAIT);
    close(fd);
}

bool listen_on(x_tovask_forward_t *f, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_error("server create socket failed: %s\n", strerror(errno));
        return false;
    }
    f->link_listen.fd = fd;
    if (pf_socket_set_non_block(fd) != 0) {
        log_error("server socket set non block failed: %s\n", strerror(errno));
        return false;
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        log_error("server socket set SO_REUSEADDR failed: %s\n", strerror(errno));
        return false;
    }
    sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
        log_error("server socket port %u bind failed: %s\n", port, strerror(errno));
        return false;
    }
    if (listen(fd, LISTEN_BACKLOG) != 0) {
        log_error("server socket listen failed: %s\n", strerror(errno));
        return false;
    }
    if (!ev_add_event(f->thread->epoll_fd, &f->link_listen, EPOLLIN, on_agent_data_connect)) {
        log_error("add listen event failed: %s\n", strerror(errno));
        return false;
    }
    return true;
}

bool open_control(x_tovask_forward_t *f) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_error("create tovask forward socket failed\n");
        return false;
    }
    f->ctrl_data.fd = fd;
    sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
        log_error("tovask forward socket bind failed\n");
        return false;
    }
    if (!ev_add_event(f->thread->epoll_fd, &f->ctrl_data, EPOLLIN,
                      x_tovask_forward_recv_ctr_message)) {
        log_error("tovask forward udp add listen event failed\n");
        return false;
    }
    return true;
}

void on_answer(x_tovask_forward_t *f, const sockaddr_in &from, size_t len) {
    int64_t code;
    uint32_t session;
    if (!x_tovask_decode_answer(f->buf, len, &code, &session)) {
        log_error("tovask forward recv msg bjson decode failed\n");
        return;
    }
    auto *r = static_cast<x_forward_ctrl_request_t *>(
        dictFetchValue(f->session_to_request, session_key(session)));
    // Only the agent the request went to answers it; a late or second answer finds nothing.
    if (r == nullptr || from.sin_addr.s_addr != r->ctrl_addr.sin_addr.s_addr ||
        from.sin_port != r->ctrl_addr.sin_port)
        return;
    dictDelete(f->session_to_request, session_key(session));
    if (code == 0) {
        x_client_t *c = waiting_client(f->thread, session);
        if (c) c->is_ctrl_ready = true; // the data connection comes next
        return;
    }
    uint16_t status = code > 0 && code < 0xFFFF
                          ? static_cast<uint16_t>(code)
                          : static_cast<uint16_t>(X_ERROR_FORWARD_TOVASK_CTRL);
    do_agent_conn_resp(f->thread, status, session, 0, 0, 0);
}

} // namespace

bool x_tovask_forward_init(x_tovask_forward_t *f, work_thread_t *thread, uint16_t link_port) {
    memset(f, 0, sizeof *f);
    f->thread = thread;
    f->link_port = link_port;
    f->link_listen.other_ctx = f;
    f->ctrl_data.other_ctx = f;
    if (!listen_on(f, link_port) || !open_control(f)) return false;
    f->session_to_request = dictCreate(&request_dict_type);
    if (f->session_to_request == nullptr) {
        log_error("tovask forward create session to request dict failed\n");
        return false;
    }
    return true;
}

void x_tovask_forward_close(x_tovask_forward_t *f) {
    for (event_data_t *ev : {&f->link_listen, &f->ctrl_data}) {
        if (ev->fd <= 0) continue;
        (void)ev_del_event(f->thread->epoll_fd, ev);
        close(ev->fd);
        ev->fd = 0;
    }
    if (f->session_to_request) dictRelease(f->session_to_request);
    f->session_to_request = nullptr;
}

bool x_tovask_encode_request(const x_client_t *c, uint16_t link_port, buf_t *out) {
    const x_forward_t *fw = c->forward;
    bool tcp = c->model != 2;
    static const uint32_t tcp_keys[] = {1, 2, 2, 1, 2, 2, 1, 1};
    static const uint32_t udp_keys[] = {1, 1, 2, 2, 1, 1};
    bool ok = tcp ? bjson_raw_write_object_by_array(out, 8, tcp_keys)
                  : bjson_raw_write_object_by_array(out, 6, udp_keys);
    ok = ok && write_int(out, "a", tcp ? 1 : 2);
    if (tcp)
        ok = ok && write_str(out, "rd", c->acl_match.target_host) &&
             write_int(out, "ro", c->acl_match.target_port);
    ok = ok && write_int(out, "s", c->session) &&
         write_int(out, "pa", c->localaddr.sin_addr.s_addr) && write_int(out, "po", link_port) &&
         write_str(out, "u", fw->username) && write_str(out, "p", fw->password);
    // Cut short, a request would name another target or other credentials: never sent.
    return ok && buf_size(out) <= X_TOVASK_REQUEST_MAX;
}

void x_tovask_forward_do_conn_req(x_client_t *c, x_tovask_callback callback) {
    x_tovask_forward_t *f = endpoint_of(c);
    const x_forward_t *fw = c->forward;
    if (fw == nullptr || fw->username.len == 0 || fw->password.len == 0) {
        callback(c, X_ERROR_FORWARD_TOVASK_PARAM);
        return;
    }
    if (f == nullptr) { // without port_agent_data no agent can answer: as if none did
        log_error("tovask forward no agent data port on thread %u\n", c->thread->index);
        callback(c, X_ERROR_FORWARD_TOVASK_CTRL);
        return;
    }
    auto *r = static_cast<x_forward_ctrl_request_t *>(calloc(1, sizeof(x_forward_ctrl_request_t)));
    if (r == nullptr) {
        log_error("tovask forward send conn req create encode buf failed\n");
        callback(c, X_ERROR_FORWARD_TOVASK_REQUEST);
        return;
    }
    if (!x_tovask_encode_request(c, f->link_port, &r->buf)) {
        bool too_long = buf_size(&r->buf) > X_TOVASK_REQUEST_MAX;
        buf_free(&r->buf);
        free(r);
        log_error("tovask forward create conn req failed\n");
        callback(c, too_long ? X_ERROR_FORWARD_TOVASK_PARAM : X_ERROR_FORWARD_TOVASK_REQUEST);
        return;
    }
    r->tovask_forward = f;
    r->session = c->session;
    r->retry_count = 1;
    r->ctrl_addr = c->dst_addr;
    r->timeout.ctx = r;
    r->timeout.callback = on_forward_ctrl_request_timeout;
    dictDelete(f->session_to_request, session_key(c->session)); // a retried session's old one
    if (dictAdd(f->session_to_request, session_key(c->session), r) != DICT_OK) {
        request_free(nullptr, r);
        log_error("tovask forward add session to request dict failed\n");
        callback(c, X_ERROR_FORWARD_TOVASK_REQUEST);
        return;
    }
    x_timer_reg(&c->thread->tovask_timer, &r->timeout);
    if (!send_request(r)) {
        log_error("tovask forward send conn req to %s failed: %s\n", addr2str(&r->ctrl_addr),
                  strerror(errno));
        dictDelete(f->session_to_request, session_key(c->session));
        callback(c, X_ERROR_FORWARD_TOVASK_SEND);
        return;
    }
    c->is_ctrl_ready = false;
    c->callback = callback;
}

uint16_t x_tovask_forward_resolved(x_client_t *c, int status, const sockaddr_storage *addr,
                                   x_timer_callback on_timeout, x_tovask_callback callback) {
    if (status != 0) return static_cast<uint16_t>(status);
    if (addr->ss_family != AF_INET) return X_ERROR_DNS_STATUS_NOT_FOUND;
    c->dst_addr.sin_family = AF_INET;
    c->dst_addr.sin_addr = reinterpret_cast<const sockaddr_in *>(addr)->sin_addr;
    c->dst_addr.sin_port = htons(c->forward->port);
    x_timer_del(&c->tcp_conn_timeout);
    c->tcp_dst_timeout.ctx = c;
    c->tcp_dst_timeout.callback = on_timeout;
    x_timer_reg(&c->thread->dst_timer, &c->tcp_dst_timeout);
    x_tovask_forward_do_conn_req(c, callback);
    return 0;
}

void x_tovask_forward_cancel(x_client_t *c) {
    x_tovask_forward_t *f = endpoint_of(c);
    c->callback = nullptr;
    if (f && f->session_to_request) dictDelete(f->session_to_request, session_key(c->session));
}

void on_forward_ctrl_request_timeout(void *ctx, x_timer_event_t *) {
    auto *r = static_cast<x_forward_ctrl_request_t *>(ctx);
    x_tovask_forward_t *f = r->tovask_forward;
    uint32_t session = r->session;
    if (r->retry_count >= X_TOVASK_SENDS) {
        dictDelete(f->session_to_request, session_key(session));
        do_agent_conn_resp(f->thread, X_ERROR_FORWARD_TOVASK_CTRL, session, 0, 0, 0);
        return;
    }
    uint64_t interval = f->thread->server->config.tovask_retry_interval;
    if (x_time_ms() - r->last_send_time >= interval) {
        r->retry_count++;
        if (!send_request(r)) {
            log_error("tovask forward send conn request to %s failed: %s\n",
                      addr2str(&r->ctrl_addr), strerror(errno));
            dictDelete(f->session_to_request, session_key(session));
            return; // the session ends by its own timer
        }
    }
    x_timer_reg(&f->thread->tovask_timer, &r->timeout);
}

void x_tovask_forward_recv_ctr_message(x_server_t *, event_data_t *ev, uint32_t) {
    auto *f = static_cast<x_tovask_forward_t *>(ev->other_ctx);
    for (int i = 0; i < ANSWERS_PER_EVENT; i++) {
        sockaddr_in from = {};
        socklen_t fromlen = sizeof from;
        ssize_t n = recvfrom(ev->fd, f->buf, sizeof f->buf, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                log_error("recvfrom failed\n");
            return;
        }
        if (from.sin_family != AF_INET || static_cast<size_t>(n) > X_TOVASK_ANSWER_MAX) continue;
        on_answer(f, from, static_cast<size_t>(n));
    }
}

bool x_tovask_decode_answer(const uint8_t *data, size_t len, int64_t *code, uint32_t *session) {
    buf_t b = {};
    b.start = b.pos = const_cast<uint8_t *>(data);
    b.end = b.last = b.start + len;
    bjson_raw_object_ctx_t ctx;
    if (!bjson_raw_read_object(&b, &ctx)) return false;
    bool have_c = false, have_s = false;
    bjson_str_t key;
    while (ctx.count < ctx.len) {
        if (!bjson_raw_read_object_key(&b, &ctx, &key, false)) return false;
        if (key.len == 1 && key.data[0] == 'c') {
            if (!bjson_raw_read_int(&b, code)) return false;
            have_c = true;
        } else if (key.len == 1 && key.data[0] == 's') {
            uint64_t s;
            if (!bjson_raw_read_uint(&b, &s) || s > UINT32_MAX) return false;
            *session = static_cast<uint32_t>(s);
            have_s = true;
        } else if (!bjson_raw_read_skip(&b)) {
            return false;
        }
    }
    return have_c && have_s;
}

int x_tovask_read_hello(const uint8_t *d, size_t len, x_tovask_hello_t *out) {
    if (len >= 1 && d[0] != (X_TOVASK_MAGIC & 0xFF)) return X_TOVASK_HELLO_BAD;
    if (len >= 2 && d[1] != (X_TOVASK_MAGIC >> 8)) return X_TOVASK_HELLO_BAD;
    if (len < X_TOVASK_HELLO_LEN) return X_TOVASK_HELLO_MORE;
    out->code_key = d[2];
    out->session = static_cast<uint32_t>(d[3]) << 24 | static_cast<uint32_t>(d[4]) << 16 |
                   static_cast<uint32_t>(d[5]) << 8 | d[6];
    out->idle_timeout = static_cast<uint32_t>(d[7]) << 24 | static_cast<uint32_t>(d[8]) << 16 |
                        static_cast<uint32_t>(d[9]) << 8 | d[10];
    return X_TOVASK_HELLO_OK;
}

void xor_encrypt_data(uint8_t *data, size_t length, uint8_t key) {
    uint32_t wide = key * 0x01010101u;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        uint32_t w;
        memcpy(&w, data + i, 4);
        w ^= wide;
        memcpy(data + i, &w, 4);
    }
    for (; i < length; i++)
        data[i] ^= key;
}

void on_agent_data_connect(x_server_t *server, event_data_t *ev, uint32_t) {
    auto *f = static_cast<x_tovask_forward_t *>(ev->other_ctx);
    int fd = accept4(ev->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            log_error("accept failed: %s\n", strerror(errno));
        return;
    }
    auto *d = static_cast<x_data_connect_s *>(calloc(1, sizeof(x_data_connect_s)));
    if (d == nullptr) {
        log_error("ev calloc failed: %s\n", strerror(errno));
        close(fd);
        return;
    }
    d->tovask_forward = f;
    d->thread = f->thread;
    d->connect_ev_data.fd = fd;
    d->connect_ev_data.other_ctx = d;
    if (!ev_add_event(f->thread->epoll_fd, &d->connect_ev_data, EPOLLIN | EPOLLRDHUP,
                      on_agent_data_recv_data)) {
        log_error("add recv event failed\n");
        close_data_connect(d);
        return;
    }
    d->tcp_conn_timeout.ctx = d;
    d->tcp_conn_timeout.callback = on_agent_data_connect_timeout;
    x_timer_reg(&f->thread->conn_timer, &d->tcp_conn_timeout);
    (void)server;
}

void on_agent_data_recv_data(x_server_t *, event_data_t *ev, uint32_t events) {
    auto *d = static_cast<x_data_connect_s *>(ev->other_ctx);
    int fd = ev->fd;
    ssize_t n = recv(fd, d->hello + d->have, X_TOVASK_HELLO_LEN - d->have, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
        !(events & (EPOLLERR | EPOLLHUP)))
        return;
    if (n <= 0) {
        log_error("tcp recv fd: %d recv len %d is too short\n", fd, static_cast<int>(d->have));
        close_data_connect(d);
        return;
    }
    d->have = static_cast<uint8_t>(d->have + n);
    x_tovask_hello_t hello;
    int rc = x_tovask_read_hello(d->hello, d->have, &hello);
    if (rc == X_TOVASK_HELLO_MORE) return;
    work_thread_t *thread = d->thread;
    int magic = d->hello[0] | d->hello[1] << 8;
    // The connection leaves the record: attached to its session, or refused.
    (void)ev_del_event(thread->epoll_fd, ev);
    d->connect_ev_data.fd = 0;
    close_data_connect(d);
    if (rc == X_TOVASK_HELLO_BAD) {
        log_error("magic %d is invalid\n", magic);
        refuse(fd);
        return;
    }
    do_agent_conn_resp(thread, 0, hello.session, fd, hello.code_key, hello.idle_timeout);
}

void on_agent_data_connect_timeout(void *ctx, x_timer_event_t *) {
    close_data_connect(static_cast<x_data_connect_s *>(ctx));
}

void do_agent_conn_resp(work_thread_t *thread, uint16_t code, uint32_t session, int fd,
                        uint8_t code_key, uint32_t idle_timeout) {
    x_client_t *c = waiting_client(thread, session);
    if (c == nullptr) { // nobody waits: the connection is nobody's destination
        if (fd > 0) refuse(fd);
        return;
    }
    if (fd > 0) {
        if (send(fd, ATTACHED, sizeof ATTACHED, MSG_NOSIGNAL | MSG_DONTWAIT) !=
            static_cast<ssize_t>(sizeof ATTACHED)) {
            close(fd); // a dead connection does not end the wait: the agent may try again
            return;
        }
        c->code_key = code_key;
        if (idle_timeout) c->idle_timeout = idle_timeout;
        c->tcp_dst_ev_data.fd = fd;
    }
    x_tovask_callback callback = c->callback;
    x_tovask_forward_cancel(c);
    callback(c, code);
}
