#include "core/x_client.h"

#include "core/log.h"
#include "core/platform_kni.h"
#include "core/socket_util.h"
#include "core/token_bucket.h"
#include "core/x_random.h"
#include "core/x_server.h"
#include "dict/dict.h"
#include "net/x_dns.h"
#include "net/x_tovask.h"
#include "report/monitor.h"
#include "report/x_log_flow.h"
#include "report/x_log_report.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <ctime>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr const char *PROTO_NAMES[] = {"auto", "http", "socks5", "tovask"};
// The last element of a close or free list holds this in its `next`.
x_client_t *const LIST_END = reinterpret_cast<x_client_t *>(1);
constexpr int SESSION_ATTEMPTS = 5;
constexpr size_t FORWARD_CRED_MAX = 256;

int str_len(const ngx_str_t &s) {
    return static_cast<int>(s.len);
}
const char *str_data(const ngx_str_t &s) {
    return s.data ? reinterpret_cast<const char *>(s.data) : "";
}

// Longest piece of a peer's text shown in an error line; escaped it takes up to four times that.
constexpr size_t LOG_FIELD_MAX = 256;

// Peer text for an error line (a user name, a target, a token): its first LOG_FIELD_MAX bytes
// with control bytes and backslashes written as \xNN, so it can neither end the line nor forge
// another one.
struct log_field_t {
    char text[LOG_FIELD_MAX * 4 + 1];
    explicit log_field_t(const ngx_str_t &s) {
        size_t n = s.len < LOG_FIELD_MAX ? s.len : LOG_FIELD_MAX;
        if (x_log_escape_field(text, sizeof text, s.data, n) == SIZE_MAX) text[0] = '\0';
    }
};

// Passwords never reach a log line: a non-empty one prints as "***", so every field keeps its
// place for the readers that split these lines.
const char *masked(const ngx_str_t &s) {
    return s.len > 0 ? "***" : "";
}

// Closing the descriptor takes it out of the epoll set (descriptors are never duplicated here), so
// no separate removal is made; an event of the same batch finds the record zeroed and no handler.
void close_registration(event_data_t *ev) {
    if (ev->fd == 0) return;
    close(ev->fd);
    *ev = event_data_t{};
}

void close_pause_timer(x_client_relay_t *relay) {
    if (relay->timer_fd.fd == 0) return;
    close(relay->timer_fd.fd);
    relay->timer_fd = event_data_t{};
}

bool owned_by_caller(const x_client_t *c) {
    return pthread_equal(pthread_self(), c->thread->tid.load(std::memory_order_relaxed));
}

} // namespace

const char *proto_name(unsigned proto) {
    return proto < sizeof PROTO_NAMES / sizeof PROTO_NAMES[0] ? PROTO_NAMES[proto] : "unknown";
}

x_client_t *x_client_new(x_server_t *server) {
    if (server == nullptr) return nullptr;
    auto *c = static_cast<x_client_t *>(calloc(1, sizeof(x_client_t)));
    if (c == nullptr) return nullptr;
    c->server = server;
    c->connect_ev_data.client = c;
    c->tcp_dst_ev_data.client = c;
    c->udp_src_ev_data.client = c;
    c->udp_dst_ev_data.client = c;
    c->auth_index = -1;
    return c;
}

uint32_t x_client_get_session(dict *table, uint32_t index) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    uint32_t stamp = (static_cast<uint32_t>(ts.tv_sec) & 0x7F) << 20;
    for (int i = 0; i < SESSION_ATTEMPTS; i++) {
        // Peers may be handed identifiers and present them back: the random bits must not be
        // guessable from earlier ones, so they come from the kernel's generator.
        uint32_t bits;
        if (!x_random_u32(&bits)) break;
        uint32_t id = (index << 28) | stamp | (bits & 0xFFFFF);
        // 0 means "no session" everywhere, so it counts as taken.
        if (id != 0 &&
            dictFind(table, reinterpret_cast<void *>(static_cast<uintptr_t>(id))) == nullptr)
            return id;
    }
    log_error("generate rand session failed\n");
    return 0;
}

void x_client_log_error(x_client_t *c, uint16_t code, const char *msg) {
    c->error_code = code;
    const uint8_t *ip = reinterpret_cast<const uint8_t *>(&c->addr.sin_addr.s_addr);
    const x_forward_t *f = c->forward;
    const x_client_auth_request_t &rq = c->auth_request;
    // The token belongs to the main thread while a question is out.
    static const ngx_str_t no_token{};
    const log_field_t user(rq.username);
    const log_field_t token(x_auth_question_out(rq) ? no_token : c->auth_result.log_token);
    const log_field_t host(c->acl_match.target_host);
    if (f && f->host.len > 0) {
        const log_field_t f_user(f->username), f_host(f->host);
        log_error("client[%u] [%u.%u.%u.%u] user[%s://%s:%s@%s] token[%s] target_info[%s:%u] "
                  "forward[%s://%s:%s@%s:%u] code[%u] msg[%s]\n",
                  c->session, ip[0], ip[1], ip[2], ip[3], proto_name(c->listen_proto), user.text,
                  masked(rq.password), addr2str(&c->localaddr), token.text, host.text,
                  c->acl_match.target_port, proto_name(f->proto), f_user.text, masked(f->password),
                  f_host.text, f->port, code, msg);
    } else {
        log_error("client[%u] [%u.%u.%u.%u] user[%s://%s:%s@%s] token[%s] target_info[%s:%u] "
                  "forward[] code[%u] msg[%s]\n",
                  c->session, ip[0], ip[1], ip[2], ip[3], proto_name(c->listen_proto), user.text,
                  masked(rq.password), addr2str(&c->localaddr), token.text, host.text,
                  c->acl_match.target_port, code, msg);
    }
}

bool x_client_fill_forward(x_client_t *c, const ngx_str_t *host, uint16_t port, uint8_t proto,
                           const ngx_str_t *username, const ngx_str_t *password) {
    auto *f = static_cast<x_forward_t *>(calloc(1, sizeof(x_forward_t)));
    if (f == nullptr) {
        log_error("calloc forward fail\n");
        return false;
    }
    uint8_t old_proto = c->forward ? c->forward->proto : 0;
    bool ok = true;
    if (host && host->len > 0) {
        if (!ngx_str_init(&f->host, host->data, host->len)) {
            log_error("calloc forward host fail\n");
            ok = false;
        }
        f->port = port;
        f->proto = proto;
    }
    if (ok && username && password && username->len > 0 && password->len > 0) {
        if (username->len > FORWARD_CRED_MAX || password->len > FORWARD_CRED_MAX) {
            log_error("calloc forward username[%.*s] or password[%s] is too long\n",
                      str_len(*username), str_data(*username), masked(*password));
            ok = false;
        } else if (!ngx_str_init(&f->username, username->data, username->len) ||
                   !ngx_str_init(&f->password, password->data, password->len)) {
            log_error("calloc forward username password fail\n");
            ok = false;
        } else if (!x_forward_create_auth(f)) {
            // The RFC 1929 length byte holds 255 at most: longer credentials cannot go upstream.
            log_error("calloc forward s5 auth fail\n");
            ok = false;
        } else {
            f->has_username = 1;
        }
    }
    if (!ok) {
        x_forward_member_free(f);
        free(f);
        return false;
    }
    if (f->proto == 0) f->proto = old_proto;
    if (c->is_auth_forward && c->forward) { // never leak an earlier forward of our own
        x_forward_member_free(c->forward);
        free(c->forward);
    }
    c->forward = f;
    c->is_auth_forward = true;
    return true;
}

void x_client_reset_auth(x_client_t *c) {
    ngx_str_free(&c->auth_request.username);
    ngx_str_free(&c->auth_request.password);
    ngx_str_free(&c->auth_result.token);
    ngx_str_free(&c->auth_result.user_key);
    ngx_str_free(&c->auth_result.log_token);
    ngx_str_free(&c->auth_result.flow_token);
    ngx_str_free(&c->auth_result.stats_token);
    if (c->is_auth_forward && c->forward) {
        x_forward_member_free(c->forward);
        free(c->forward);
        c->forward = nullptr;
        c->is_auth_forward = false;
    }
    ngx_str_free(&c->acl_match.target_host);
}

void x_client_flow_timeout(void *ctx, x_timer_event_t *ev) {
    auto *c = static_cast<x_client_t *>(ctx);
    if (c->up.sum || c->down.sum) x_log_send_flow(c);
    x_timer_reg(&c->thread->flow_timer, ev);
}

void x_client_replay_timeout(void *ctx, x_timer_event_t *ev) {
    auto *c = static_cast<x_client_t *>(ctx);
    if (c->last_reply_time + c->idle_timeout > x_time_ms()) {
        x_timer_reg(&c->thread->reply_timer, ev);
        return;
    }
    x_client_close(c);
}

void x_client_verify_timeout(void *ctx, x_timer_event_t *ev) {
    auto *c = static_cast<x_client_t *>(ctx);
    x_auth_verify_tick(c, x_time_ms());
    // A request that could not be queued closed the session: its timers are gone for good.
    if (!x_client_is_closing(c)) x_timer_reg(&c->thread->verify_timer, ev);
}

void x_client_start_session_timers(x_client_t *c) {
    c->flow_timeout.ctx = c;
    c->flow_timeout.callback = x_client_flow_timeout;
    x_timer_reg(&c->thread->flow_timer, &c->flow_timeout);
    c->last_reply_time = x_time_ms();
    c->reply_timeout.ctx = c;
    c->reply_timeout.callback = x_client_replay_timeout;
    x_timer_reg(&c->thread->reply_timer, &c->reply_timeout);
    if (c->auth_result.next_verify) {
        c->verify_timeout.ctx = c;
        c->verify_timeout.callback = x_client_verify_timeout;
        x_timer_reg(&c->thread->verify_timer, &c->verify_timeout);
    }
}

void x_client_list_append(x_client_list_t *list, x_client_t *c) {
    c->next = LIST_END;
    if (list->tail)
        list->tail->next = c;
    else
        list->head = c;
    list->tail = c;
}

void x_client_close(x_client_t *c) {
    if (c == nullptr || x_client_is_closing(c)) return;
    if (!owned_by_caller(c)) {
        log_error("client close in other thread\n");
        assert(!"client close in other thread");
        abort();
    }
    x_timer_del(&c->tcp_conn_timeout);
    x_timer_del(&c->tcp_dst_timeout);
    x_timer_del(&c->flow_timeout);
    x_timer_del(&c->reply_timeout);
    x_timer_del(&c->verify_timeout);
    if (c->callback) x_tovask_forward_cancel(c); // its agent request goes with it
    close_pause_timer(&c->up);
    close_pause_timer(&c->down);
    if (c->up.sum || c->down.sum) x_log_send_flow(c); // the last flow sample
    if (c->udp_dropped)
        log_info("client[%u] target_info[%s:%u] dropped [%u] datagrams for other destinations\n",
                 c->session, log_field_t(c->acl_match.target_host).text, c->acl_match.target_port,
                 c->udp_dropped);
    if (c->dns_query) {
        x_dns_cancel(c->thread->dns, c->dns_query);
        c->dns_query = nullptr;
    }
    // The main thread hands a client socket to its owner with an epoll_ctl on the owner's epoll
    // and holds the socket for the length of that call: closing it meanwhile would leave the
    // registration alive until the call returns, and an event reported in that window would
    // reach this record after it went to be freed. Out of epoll first, the window is gone.
    if (c->connect_ev_data.fd) (void)ev_del_event(c->thread->epoll_fd, &c->connect_ev_data);
    close_registration(&c->connect_ev_data);
    close_registration(&c->tcp_dst_ev_data);
    close_registration(&c->udp_src_ev_data);
    close_registration(&c->udp_dst_ev_data);
    if (c->session && c->thread->index != 0)
        dictDelete(c->thread->session_to_clients,
                   reinterpret_cast<void *>(static_cast<uintptr_t>(c->session)));
    x_client_list_append(&c->thread->client_close_list, c);
}

void x_client_check_to_close(x_client_list_t *list) {
    x_client_list_t unsent{};
    x_client_t *c = list->head;
    while (c && c != LIST_END) {
        x_client_t *next = c->next;
        c->next = LIST_END;
        uint32_t from = c->thread->index;
        if (!pf_ipc_send_to_main(from, X_IPC_CLIENT_CLOSE, c)) {
            // A full ring must not leak the session: try again on the next pass.
            log_error("ipc send client close [%u] to main failed\n", from);
            x_client_list_append(&unsent, c);
        }
        c = next;
    }
    *list = unsent;
}

void x_client_free(x_client_t *c) {
    if (c == nullptr) return;
    add_error_code_count(c->error_code);
    if (c->session) {
        dictDelete(c->server->main_thread->session_to_clients,
                   reinterpret_cast<void *>(static_cast<uintptr_t>(c->session)));
        c->session = 0;
    }
    x_client_reset_auth(c);
    buf_free(&c->up.buf);
    buf_free(&c->down.buf);
    free(c);
}

void x_client_check_to_free(x_client_list_t *list) {
    x_client_t *c = list->head;
    while (c && c != LIST_END) {
        x_client_t *next = c->next;
        x_client_free(c);
        c = next;
    }
    list->head = list->tail = nullptr;
}

namespace {

constexpr uint32_t RELAY_MSS_MAX = 1500;
constexpr uint64_t RELAY_PAUSE_THRESHOLD_US = 100000;
// Bytes one direction may move per readiness event before it yields to the rest of the thread
// (at least one read of relay_buffer; with one-segment reads, 16 segments).
constexpr size_t RELAY_EVENT_BYTES_MIN = 16 * RELAY_MSS_MAX;
// Pipe slots per page of relay_buffer (see relay_pipe).
constexpr int RELAY_PIPE_SLOTS_PER_PAGE = 4;
// A read at least this large marks a direction as streaming: its next reads are spliced.
constexpr size_t RELAY_STREAMING_BYTES = 16 * 1024;

uint32_t relay_mss(int fd) {
    int mss = get_tcp_mss(fd);
    // An unknown segment size must not leave a zero-sized read window spinning the loop.
    return mss <= 0 || static_cast<uint32_t>(mss) > RELAY_MSS_MAX ? RELAY_MSS_MAX
                                                                  : static_cast<uint32_t>(mss);
}

size_t relay_buffer_size(const x_client_t *c) {
    uint32_t size = c->server->config.relay_buffer;
    return size ? size : X_RELAY_BUFFER_DEFAULT;
}

// The thread's scratch buffer every relay read lands in; null when it cannot be made.
uint8_t *relay_scratch(x_client_t *c) {
    work_thread_t *t = c->thread;
    if (t->relay_scratch == nullptr)
        t->relay_scratch = static_cast<uint8_t *>(malloc(relay_buffer_size(c)));
    return t->relay_scratch;
}

void relay_pipe_close(work_thread_t *t) {
    for (int &fd : t->relay_pipe) {
        if (fd > 0) close(fd);
        fd = 0;
    }
}

// The thread's pipe, sized to relay_buffer where the system allows; null when none can be made
// (out of descriptors): the caller then copies through the scratch buffer instead.
int *relay_pipe(x_client_t *c) {
    work_thread_t *t = c->thread;
    if (t->relay_pipe[0] > 0) return t->relay_pipe;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
    // A socket's bytes arrive in pieces of any size and each piece takes a slot of the pipe:
    // slots for pieces of a quarter page keep a read from stopping short of relay_buffer. The
    // pipe holds no memory while empty; where the system refuses that size, the plain size and
    // then the default only mean shorter moves.
    int size = static_cast<int>(relay_buffer_size(c));
    if (fcntl(fds[0], F_SETPIPE_SZ, size * RELAY_PIPE_SLOTS_PER_PAGE) < 0)
        (void)fcntl(fds[0], F_SETPIPE_SZ, size);
    t->relay_pipe[0] = fds[0];
    t->relay_pipe[1] = fds[1];
    return t->relay_pipe;
}

void relay_setup(x_client_relay_t *r, event_data_t *in, event_data_t *out, token_bucket_t *bucket) {
    r->ev_data_in = in;
    r->ev_data_out = out;
    r->mss = relay_mss(out->fd);
    r->bucket = bucket;
    // Bytes already held (a client's early data read with its request) stay for the relay; an
    // empty handshake buffer is given back, so an idle session holds no buffer at all.
    if (buf_size(&r->buf) == 0)
        buf_free(&r->buf);
    else
        buf_drain(&r->buf);
}

// Adds or removes bits of a registration's mask, keeping its handler.
bool set_interest(x_client_t *c, event_data_t *ev, uint32_t add, uint32_t remove) {
    uint32_t mask = (ev->reg_events | add) & ~remove;
    return ev_add_event(c->thread->epoll_fd, ev, mask, ev->handler);
}

bool relay_fail(x_client_t *c, const char *msg) {
    x_client_log_error(c, X_ERROR_EVENT_OPT, msg);
    return false;
}

bool relay_again(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// Bytes remain for the output: wait for its writability with the input off (backpressure).
bool relay_wait_writable(x_client_t *c, x_client_relay_t *r) {
    if (!(r->ev_data_out->reg_events & EPOLLOUT) && !set_interest(c, r->ev_data_out, EPOLLOUT, 0))
        return relay_fail(c, "tcp relay out mod add out event failed");
    if ((r->ev_data_in->reg_events & EPOLLIN) && !set_interest(c, r->ev_data_in, 0, EPOLLIN))
        return relay_fail(c, "tcp relay in mod del in event failed");
    return true;
}

// Everything was written: read again, stop watching writability.
bool relay_resume_reading(x_client_t *c, x_client_relay_t *r) {
    if (!(r->ev_data_in->reg_events & EPOLLIN) && !set_interest(c, r->ev_data_in, EPOLLIN, 0))
        return relay_fail(c, "tcp relay in mod add in event failed");
    if ((r->ev_data_out->reg_events & EPOLLOUT) && !set_interest(c, r->ev_data_out, 0, EPOLLOUT))
        return relay_fail(c, "tcp relay out mod del out event failed");
    return true;
}

bool relay_pause(x_client_t *c, x_client_relay_t *r, uint64_t wait_us) {
    if ((r->ev_data_in->reg_events & EPOLLIN) && !set_interest(c, r->ev_data_in, 0, EPOLLIN))
        return relay_fail(c, "tcp relay mod del in event failed");
    if ((r->ev_data_out->reg_events & EPOLLOUT) && !set_interest(c, r->ev_data_out, 0, EPOLLOUT))
        return relay_fail(c, "tcp relay mod del out event failed");
    if (r->timer_fd.fd == 0) {
        int fd = timerfd_create(CLOCK_MONOTONIC, 0);
        if (fd < 0) return relay_fail(c, "tcp relay create timer fd failed");
        r->timer_fd.fd = fd;
        r->timer_fd.client = c;
        r->timer_fd.other_ctx = r;
        if (!ev_add_event(c->thread->epoll_fd, &r->timer_fd, EPOLLIN | EPOLLET,
                          relay_bucket_acquire))
            return relay_fail(c, "tcp relay add timer fd event failed");
    }
    struct itimerspec its = {};
    uint64_t ns = wait_us * 1000;
    its.it_value.tv_sec = static_cast<time_t>(ns / 1000000000ull);
    its.it_value.tv_nsec = static_cast<long>(ns % 1000000000ull);
    if (timerfd_settime(r->timer_fd.fd, 0, &its, nullptr) != 0)
        return relay_fail(c, "tcp relay timer fd set time failed");
    return true;
}

// How much the next read may take: the scratch buffer, what is left of this event's share, and
// what the bucket lets through before its debt passes the pause threshold (plus one segment, so
// that a direction always makes progress and its pauses stay short).
size_t relay_read_size(x_client_t *c, x_client_relay_t *r, size_t budget) {
    size_t want = std::min(relay_buffer_size(c), budget);
    if (r->bucket) {
        uint64_t room = token_bucket_room(r->bucket, RELAY_PAUSE_THRESHOLD_US);
        if (room < want) want = std::min<size_t>(want, static_cast<size_t>(room) + r->mss);
    }
    return want;
}

// Writes freshly read bytes at once; what the output does not take is kept as the direction's
// tail, in a buffer of its own size, and the direction waits for writability.
bool relay_write(x_client_t *c, x_client_relay_t *r, const uint8_t *data, size_t len) {
    ssize_t n = send(r->ev_data_out->fd, data, len, MSG_NOSIGNAL);
    if (n < 0) {
        if (!relay_again(errno)) return false;
        n = 0;
    }
    r->sum += static_cast<uint32_t>(n);
    size_t tail = len - static_cast<size_t>(n);
    if (tail == 0) return true;
    if (!buf_alloc(&r->buf, tail)) {
        x_client_log_error(c, X_ERROR_ALLOC, "tcp relay buf alloc fail");
        return false;
    }
    memcpy(r->buf.start, data + n, tail);
    r->buf.pos = r->buf.start;
    r->buf.last = r->buf.start + tail;
    return relay_wait_writable(c, r);
}

// Moves bytes spliced into the thread's pipe on to the output. The pipe is left empty whatever
// happens, since the next direction of the thread uses it: what the output does not take becomes
// the direction's tail, and a pipe in an unknown state is closed.
bool relay_write_piped(x_client_t *c, x_client_relay_t *r, int *pipe_fd, size_t len) {
    ssize_t n = splice(pipe_fd[0], nullptr, r->ev_data_out->fd, nullptr, len,
                       SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n < 0) {
        if (!relay_again(errno)) {
            relay_pipe_close(c->thread);
            return false;
        }
        n = 0;
    }
    r->sum += static_cast<uint32_t>(n);
    size_t tail = len - static_cast<size_t>(n);
    if (tail == 0) return true;
    if (!buf_alloc(&r->buf, tail)) {
        relay_pipe_close(c->thread);
        x_client_log_error(c, X_ERROR_ALLOC, "tcp relay buf alloc fail");
        return false;
    }
    r->buf.pos = r->buf.last = r->buf.start;
    while (r->buf.last < r->buf.end) {
        ssize_t got = read(pipe_fd[0], r->buf.last, static_cast<size_t>(r->buf.end - r->buf.last));
        if (got <= 0) {
            relay_pipe_close(c->thread);
            return false;
        }
        r->buf.last += got;
    }
    return relay_wait_writable(c, r);
}

// Result of relay_move when the session must close.
constexpr ssize_t RELAY_MOVE_CLOSE = -2;

// Reads at most `want` bytes of the input, charges them to the bucket (`wait` gets the wait it
// asks for) and writes them out. They go through the thread's pipe, never copied, unless reads
// are one segment (relay_buffer at its smallest), the stream is to be transformed, no pipe can
// be made (out of descriptors) or the last read was small (a request, an answer, keystrokes:
// splicing costs more than a copy there): then through the scratch buffer. Bytes read; 0 at end of
// stream; -1 with errno set when nothing was read; RELAY_MOVE_CLOSE when the session must close.
ssize_t relay_move(x_client_t *c, x_client_relay_t *r, size_t want, uint64_t *wait) {
    bool copy = !r->streaming || relay_buffer_size(c) <= RELAY_MSS_MAX || c->code_key != 0;
    int *pipe_fd = copy ? nullptr : relay_pipe(c);
    if (pipe_fd) {
        ssize_t n = splice(r->ev_data_in->fd, nullptr, pipe_fd[1], nullptr, want,
                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n <= 0) return n;
        r->streaming = static_cast<size_t>(n) >= RELAY_STREAMING_BYTES;
        *wait = token_bucket_take(r->bucket, static_cast<uint64_t>(n));
        return relay_write_piped(c, r, pipe_fd, static_cast<size_t>(n)) ? n : RELAY_MOVE_CLOSE;
    }
    uint8_t *scratch = relay_scratch(c);
    if (scratch == nullptr) {
        x_client_log_error(c, X_ERROR_ALLOC, "tcp relay buf alloc fail");
        return RELAY_MOVE_CLOSE;
    }
    ssize_t n = recv(r->ev_data_in->fd, scratch, want, 0);
    if (n <= 0) return n;
    r->streaming = static_cast<size_t>(n) >= RELAY_STREAMING_BYTES;
    // Every byte of a stream to transform passes here once, in the scratch buffer, between its
    // read and its write: the place for the session's transform.
    if (c->code_key) xor_encrypt_data(scratch, static_cast<size_t>(n), c->code_key);
    *wait = token_bucket_take(r->bucket, static_cast<uint64_t>(n));
    return relay_write(c, r, scratch, static_cast<size_t>(n)) ? n : RELAY_MOVE_CLOSE;
}

} // namespace

void x_client_relay_prepare(x_client_t *c) {
    event_data_t *cli = &c->connect_ev_data, *dst = &c->tcp_dst_ev_data;
    relay_setup(&c->up, cli, dst, c->auth_result.bucket_up);
    relay_setup(&c->down, dst, cli, c->auth_result.bucket_down);
}

bool x_client_relay_kick(x_client_t *c) {
    for (x_client_relay_t *r : {&c->up, &c->down})
        if (buf_size(&r->buf) > 0 && !tcp_relay(c, r)) return false;
    return true;
}

void on_tcp_relay(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    c->last_reply_time = x_time_ms();
    x_client_relay_t *on_out, *on_in;
    if (ev == &c->tcp_dst_ev_data) {
        on_out = &c->up;
        on_in = &c->down;
    } else if (ev == &c->connect_ev_data) {
        on_out = &c->down;
        on_in = &c->up;
    } else {
        x_client_close(c);
        return;
    }
    if ((events & EPOLLOUT) && !tcp_relay(c, on_out)) {
        x_client_close(c);
        return;
    }
    if ((events & EPOLLIN) && !x_client_is_closing(c) && !tcp_relay(c, on_in)) x_client_close(c);
}

bool tcp_relay(x_client_t *c, x_client_relay_t *r) {
    // A bounded number of bytes per event: one busy direction must not starve the other
    // direction, the other sessions of its thread or their handshakes. Level-triggered readiness
    // brings the rest on the next pass.
    size_t budget = std::max(relay_buffer_size(c), RELAY_EVENT_BYTES_MIN);
    for (;;) {
        // A tail left by an earlier write (or early data from the handshake) goes first; the
        // input is read only once the direction holds nothing.
        int out = tcp_relay_out(c, r);
        if (out == RELAY_OUT_ERROR) return false;
        if (out == RELAY_OUT_WAIT || budget == 0) return true;
        size_t want = relay_read_size(c, r, budget);
        uint64_t wait = 0;
        ssize_t n = relay_move(c, r, want, &wait);
        // End of stream, with nothing of this direction left undelivered: the session is over.
        if (n == 0 || n == RELAY_MOVE_CLOSE) return false;
        if (n < 0) return relay_again(errno);
        if (wait > RELAY_PAUSE_THRESHOLD_US) return relay_pause(c, r, wait);
        if (buf_size(&r->buf) > 0) return true; // waiting for writability
        // A read that returns less than it was offered emptied the socket: level-triggered
        // readiness tells when more arrive, without a read that fails.
        if (static_cast<size_t>(n) < want) return true;
        budget -= std::min(budget, static_cast<size_t>(n));
    }
}

int tcp_relay_out(x_client_t *c, x_client_relay_t *r) {
    size_t pending = buf_size(&r->buf);
    // Nothing held (also after a pause, which turned the input off): make sure it reads again.
    if (pending == 0) return relay_resume_reading(c, r) ? RELAY_OUT_DONE : RELAY_OUT_ERROR;
    ssize_t n = send(r->ev_data_out->fd, r->buf.pos, pending, MSG_NOSIGNAL);
    if (n > 0) {
        r->sum += static_cast<uint32_t>(n);
        r->buf.pos += n;
    } else if (n == 0 || !relay_again(errno)) {
        return RELAY_OUT_ERROR;
    }
    if (buf_size(&r->buf) > 0) return relay_wait_writable(c, r) ? RELAY_OUT_WAIT : RELAY_OUT_ERROR;
    // Drained: the tail's buffer goes back, so a quiet direction holds no memory.
    buf_free(&r->buf);
    return relay_resume_reading(c, r) ? RELAY_OUT_DONE : RELAY_OUT_ERROR;
}

void relay_bucket_acquire(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    auto *r = static_cast<x_client_relay_t *>(ev->other_ctx);
    uint64_t expirations;
    (void)!read(ev->fd, &expirations, sizeof expirations);
    c->last_reply_time = x_time_ms();
    // tcp_relay writes what is still held first, then reads again if that went out whole.
    if (!tcp_relay(c, r)) x_client_close(c);
}

void stop_relay_cb(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_log_error(ev->client, X_ERROR_SOCKET_RECV_FROM_CLIENT, "client active closed");
    x_client_close(ev->client);
}

void x_client_park(x_client_t *c) {
    if (!ev_add_event(c->thread->epoll_fd, &c->connect_ev_data, EPOLLRDHUP, stop_relay_cb)) {
        x_client_log_error(c, X_ERROR_EVENT_OPT, "client park event failed");
        x_client_close(c);
    }
}
