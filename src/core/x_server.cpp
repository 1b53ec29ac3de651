#include "core/x_server.h"

#include "auth/x_auth.h"
#include "config/ip_pool.h"
#include "core/log.h"
#include "core/platform_kni.h"
#include "core/socket_util.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "dict/dict.h"
#include "proto/http_proxy.h"
#include "proto/socks5_proxy.h"
#include "proto/x_haproxy.h"
#include "report/monitor.h"
#include "report/x_flow_report.h"
#include "report/x_log_flow.h"
#include "report/x_log_report.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

x_server_t *server = nullptr;

namespace {

constexpr int LISTEN_BACKLOG = 128;
constexpr uint64_t LISTEN_BACKOFF_MS = 100;
constexpr uint64_t ACCEPT_ERROR_LOG_INTERVAL_MS = 1000;

void *session_key(uint32_t session) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(session));
}

x_listener_t *listener_of(event_data_t *ev) {
    return reinterpret_cast<x_listener_t *>(ev);
}

void on_listen_backoff(void *ctx, x_timer_event_t *) {
    auto *l = static_cast<x_listener_t *>(ctx);
    if (!ev_add_event(server->main_thread->epoll_fd, &l->ev, EPOLLIN, l->ev.handler))
        x_timer_reg(&server->listen_timer, &l->backoff);
}

void close_client_socket(int fd) {
    close(fd);
}

void fill_session(x_server_t *s, x_client_t *c, int fd, const sockaddr_in &peer,
                  x_config_port_t *port) {
    c->model = 1;
    c->idle_timeout = s->config.reply_timeout;
    c->addr = peer;
    c->connect_ev_data.fd = fd;
    c->connect_ev_data.xport = port;
    c->auth_index = port->auth_index;
    c->localaddr.sin_family = AF_INET;
    get_local_addr(fd, &c->localaddr.sin_addr.s_addr, &c->localaddr.sin_port);
    c->peer_addr.sin_family = AF_INET;
    c->peer_addr.sin_addr = c->localaddr.sin_addr;
    if (s->config.nat_cache) {
        void *key = reinterpret_cast<void *>(static_cast<uintptr_t>(c->localaddr.sin_addr.s_addr));
        auto mapped = static_cast<in_addr_t>(
            reinterpret_cast<uintptr_t>(dictFetchValue(s->config.nat_cache, key)));
        if (mapped) c->localaddr.sin_addr.s_addr = mapped;
    }
    if (port->forward.proto != 0) c->forward = &port->forward;
}

// Sets the hand-off state before the descriptor enters the chosen thread's epoll: once it is
// there, that thread may run at once and must find the session complete.
bool hand_off(x_client_t *c, work_thread_t *to) {
    event_data_t *ev = &c->connect_ev_data;
    c->thread = to;
    ev->handler = on_client_add_work_thread;
    ev->reg_events = EPOLLIN;
    struct epoll_event e = {};
    e.events = EPOLLIN;
    e.data.ptr = ev;
    if (epoll_ctl(to->epoll_fd, EPOLL_CTL_ADD, ev->fd, &e) == 0) return true;
    log_error("epoll_ctl add for fd: %d reg_events:%u error: %s\n", ev->fd, 0u, strerror(errno));
    ev->reg_events = 0;
    return false;
}

// A first byte naming a protocol the port does not admit.
void refuse_protocol(x_client_t *c, const char *msg) {
    x_client_log_error(c, X_ERROR_SERVER_PROTO_SUPPORT, msg);
    x_client_close(c);
}

bool open_port_block(x_server_t *s, x_config_port_t *port, uint32_t *index) {
    // A wide counter: a range ending at 65535 must end.
    for (uint32_t p = port->port_start; p <= port->port_end; p++)
        if (!x_server_add_listen(s, port, static_cast<uint16_t>(p), (*index)++, on_client_connect))
            return false;
    if (port->port_health &&
        !x_server_add_listen(s, port, port->port_health, (*index)++, on_monitor_connect))
        return false;
    return true;
}

bool start_threads(x_server_t *s) {
    uint32_t n = x_config_thread_count(&s->config);
    s->main_weight = 100 / n;
    s->thread_weight = s->main_weight + 100 * (n - 1);
    void *mem = calloc(n, sizeof(work_thread_t));
    if (mem == nullptr) {
        log_error("thread malloc failed\n");
        return false;
    }
    s->threads = static_cast<work_thread_t *>(mem);
    for (uint32_t i = 0; i < n; i++)
        new (&s->threads[i]) work_thread_t{};
    s->thread_count = n;
    s->main_thread = &s->threads[0];
    s->running.store(1, std::memory_order_release);
    for (uint32_t i = 0; i < n; i++) {
        if (!work_thread_start(s, &s->threads[i], i)) {
            s->running.store(0, std::memory_order_release);
            return false;
        }
    }
    for (uint32_t i = 0; i < n; i++) {
        while (!s->threads[i].inited.load(std::memory_order_acquire)) {
            struct timespec ts = {0, 1000};
            nanosleep(&ts, nullptr);
        }
    }
    return true;
}

// Workers must have left their loops before anything they use is freed.
void join_workers(x_server_t *s) {
    for (uint32_t i = 1; s->threads && i < s->thread_count; i++) {
        if (s->threads[i].join_id == 0) continue;
        pthread_join(s->threads[i].join_id, nullptr);
        s->threads[i].join_id = 0;
    }
}

void free_threads(x_server_t *s) {
    if (s->threads == nullptr) return;
    for (uint32_t i = 0; i < s->thread_count; i++) {
        work_thread_free(&s->threads[i]);
        s->threads[i].~work_thread_t();
    }
    free(s->threads);
    s->threads = nullptr;
    s->main_thread = nullptr;
}

void close_listeners(x_server_t *s) {
    if (s->listen_ev_data_list == nullptr) return;
    for (uint32_t i = 0; i < s->config.listen_count; i++) {
        event_data_t *ev = &s->listen_ev_data_list[i].ev;
        if (ev->fd == 0) continue;
        if (s->main_thread && s->main_thread->epoll_fd)
            (void)ev_del_event(s->main_thread->epoll_fd, ev);
        close(ev->fd);
    }
    free(s->listen_ev_data_list);
    s->listen_ev_data_list = nullptr;
}

} // namespace

x_server_t *x_server_create() {
    srand(static_cast<unsigned>(time(nullptr)));
    void *mem = calloc(1, sizeof(x_server_t));
    if (mem == nullptr) {
        log_error("server malloc failed\n");
        return nullptr;
    }
    return new (mem) x_server_t{};
}

bool x_server_start(x_server_t *s) {
    x_config_server_t &cfg = s->config;
    if (!qps_limit_config(&s->qps_limit, cfg.global_limit, cfg.ip_limit, cfg.ip_timout))
        return false;
    if (!ip_restrict_init(&s->ip_restrict, cfg.ip_restrict_mode, &cfg.ip_restrict_file))
        return false;
    if (!x_auth_create_backends(s)) return false;
    x_timer_init(&s->listen_timer, LISTEN_BACKOFF_MS);
    if (!x_log_reports_start(s) || !x_log_flows_start(s) || !x_flow_reports_start(s)) return false;
    if (!start_threads(s)) return false;
    if (!pf_ipc_init(s->threads, s->thread_count, work_thread_on_ipc)) {
        s->running.store(0, std::memory_order_release);
        return false;
    }
    if (!x_auth_init_backends(s) || !x_flow_reports_init(s)) return false;
    s->listen_ev_data_list = static_cast<x_listener_t *>(
        calloc(cfg.listen_count ? cfg.listen_count : 1, sizeof(x_listener_t)));
    if (s->listen_ev_data_list == nullptr) return false;
    uint32_t index = 0;
    for (uint32_t i = 0; i < cfg.port_num; i++)
        if (!open_port_block(s, &cfg.ports[i], &index)) return false;
    return true;
}

bool x_server_check_config(x_server_t *s, const char *path) {
    // Pools would take their addresses off the interfaces while loading: a check leaves them.
    auto leave_interface = [](const char *, size_t, in_addr_t) { return true; };
    x_ip_pool_set_netcard_ops(leave_interface, leave_interface);
    x_config_server_t &cfg = s->config;
    return x_server_load_config(&cfg, path) &&
           ip_restrict_init(&s->ip_restrict, cfg.ip_restrict_mode, &cfg.ip_restrict_file) &&
           x_auth_check_list_files(&cfg) && x_auth_create_backends(s) &&
           x_auth_check_backend_files(s);
}

void x_server_run(x_server_t *s) {
    pf_run(on_ev_loop, s->main_thread);
}

void x_server_close(x_server_t *s) {
    if (s == nullptr) return;
    s->running.store(0, std::memory_order_release);
    join_workers(s);
    pf_ipc_close();
    close_listeners(s);
    // Backends and reports hold connections registered with the main thread: released while
    // it exists.
    x_flow_reports_close(s);
    x_auth_free_backends(s);
    free_threads(s);
    ip_restrict_uninit(&s->ip_restrict);
    x_log_flows_close(s);
    x_log_reports_close(s);
    qps_limit_free(&s->qps_limit);
    x_server_free_config(&s->config);
    s->~x_server_t();
    free(s);
}

bool x_server_add_listen(x_server_t *s, x_config_port_t *xport, uint16_t port, uint32_t index,
                         event_handler handler) {
    x_listener_t *l = &s->listen_ev_data_list[index];
    event_data_t *ev = &l->ev;
    ev->xport = xport;
    l->backoff.ctx = l;
    l->backoff.callback = on_listen_backoff;
    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        log_error("server create socket failed: %s\n", strerror(errno));
        return false;
    }
    ev->fd = fd;
    int one = 1;
    if (pf_socket_set_non_block(fd) != 0) {
        log_error("server socket set non block failed: %s\n", strerror(errno));
        return false;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        log_error("server socket set SO_REUSEADDR failed: %s\n", strerror(errno));
        return false;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
        log_error("server socket set SO_REUSEPORT failed: %s\n", strerror(errno));
        return false;
    }
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = xport->addr;
    sin.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
        log_error("server socket port %u bind failed: %s\n", port, strerror(errno));
        return false;
    }
    if (listen(fd, LISTEN_BACKLOG) != 0) {
        log_error("server socket listen failed: %s\n", strerror(errno));
        return false;
    }
    if (!ev_add_event(s->main_thread->epoll_fd, ev, EPOLLIN, handler)) {
        log_error("add listen event failed: %s\n", strerror(errno));
        return false;
    }
    return true;
}

work_thread_t *x_server_get_rand_worker(x_server_t *s) {
    uint32_t r = static_cast<uint32_t>(rand()) % s->thread_weight;
    uint32_t index = (r - s->main_weight + 100) / 100;
    return &s->threads[index < s->thread_count ? index : 0];
}

void x_server_check(x_server_t *s) {
    x_timer_check(&s->listen_timer);
}

bool x_server_accept_error(x_server_t *s, event_data_t *ev, int err) {
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED) return false;
    x_listener_t *l = listener_of(ev);
    // Out of descriptors, a level-triggered listener stays ready: stop accepting on it for a
    // moment instead of spinning the loop.
    if ((err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) &&
        ev_add_event(s->main_thread->epoll_fd, ev, 0, ev->handler))
        x_timer_reg(&s->listen_timer, &l->backoff);
    uint64_t now = x_time_ms();
    if (l->last_error_log != 0 && now - l->last_error_log < ACCEPT_ERROR_LOG_INTERVAL_MS)
        return false;
    l->last_error_log = now;
    return true;
}

void on_client_connect(x_server_t *s, event_data_t *ev, uint32_t) {
    struct sockaddr_in peer = {};
    socklen_t len = sizeof peer;
    int fd =
        accept4(ev->fd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (x_server_accept_error(s, ev, err)) log_error("accept failed: %s\n", strerror(err));
        return;
    }
    if (!ip_restrict_lookup(&s->ip_restrict, peer.sin_addr.s_addr)) {
        close_client_socket(fd);
        return;
    }
    if (!qps_limit_take(&s->qps_limit, peer.sin_addr.s_addr)) {
        log_error("qps limit take failed, ip: %s\n", addr2str(&peer));
        close_client_socket(fd);
        return;
    }
    // Born non-blocking by accept4; the reuse options only matter to sockets that bind.
    x_client_t *c = x_client_new(s);
    if (c == nullptr) {
        log_error("new client failed\n");
        close_client_socket(fd);
        return;
    }
    fill_session(s, c, fd, peer, ev->xport);
    c->thread = s->main_thread;
    if (!ev_add_event(s->main_thread->epoll_fd, &c->connect_ev_data, EPOLLIN,
                      on_client_first_data_main)) {
        x_client_log_error(c, X_ERROR_EVENT_OPT, "add first data main event failed");
        close_client_socket(fd);
        x_client_free(c);
        return;
    }
    c->tcp_conn_timeout.ctx = c;
    c->tcp_conn_timeout.callback = on_client_connect_timeout;
    x_timer_reg(&s->main_thread->conn_timer, &c->tcp_conn_timeout);
    monitor_incr(monitor_main.request_total);
}

void on_client_connect_timeout(void *ctx, x_timer_event_t *) {
    auto *c = static_cast<x_client_t *>(ctx);
    x_client_log_error(c, X_ERROR_CLIENT_REQUEST_TIMEOUT, "wait client data timeout");
    x_client_close(c);
}

void on_client_first_data_main(x_server_t *s, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (c->session) {
        x_client_log_error(c, X_ERROR_CLIENT_SESSION, "client already to worker thread");
        return;
    }
    x_timer_del(&c->tcp_conn_timeout);
    work_thread_t *to = x_server_get_rand_worker(s);
    // A session the main thread keeps stays registered where it is: no removal and re-adding.
    if (to != s->main_thread && !ev_del_event(s->main_thread->epoll_fd, ev)) {
        x_client_log_error(c, X_ERROR_EVENT_OPT, "main thread del first data event failed");
        x_client_close(c);
        return;
    }
    uint32_t session = x_client_get_session(s->main_thread->session_to_clients, to->index);
    if (session == 0) {
        x_client_log_error(c, X_ERROR_CLIENT_SESSION, "session to client create failed");
        x_client_close(c);
        return;
    }
    if (dictAdd(s->main_thread->session_to_clients, session_key(session), c) != DICT_OK) {
        x_client_log_error(c, X_ERROR_CACHE_ADD, "main thread session to client cache add failed");
        x_client_close(c);
        return;
    }
    c->session = session;
    if (to == s->main_thread) {
        ev->handler = on_client_add_work_thread;
        on_client_add_work_thread(s, ev, events);
        return;
    }
    if (!hand_off(c, to)) {
        c->thread = s->main_thread;
        ev->handler = on_client_first_data_main;
        x_client_log_error(c, X_ERROR_EVENT_OPT, "main thread add to work event failed");
        x_client_close(c);
    }
    // After a successful hand-off the session belongs to the chosen thread: not touched here.
}

void on_client_add_work_thread(x_server_t *s, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (c->thread->index != 0 &&
        dictAdd(c->thread->session_to_clients, session_key(c->session), c) != DICT_OK) {
        x_client_log_error(c, X_ERROR_CACHE_ADD, "add session to work thread client cache failed");
        x_client_close(c);
        return;
    }
    // The table holds the session now: a first read that finds nothing must not add it again.
    ev->handler = on_client_first_data;
    on_client_first_data(s, ev, events);
}

void on_client_first_data(x_server_t *server, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    uint8_t byte;
    ssize_t n = recv(ev->fd, &byte, 1, 0);
    if (n == 1) {
        uint8_t admitted = ev->xport->listentbl;
        if (byte == 0x05) {
            if (admitted & X_LISTEN_SOCKS5)
                s5_on_first_byte(server, ev, byte);
            else
                refuse_protocol(c, "not support socks5");
        } else if (byte == 'P') {
            haproxy_add_handler(server, ev, events, byte, on_client_haproxy_v1_first);
        } else if (byte == 0x0D) {
            haproxy_add_handler(server, ev, events, byte, on_client_haproxy_v2_first);
        } else if (admitted & X_LISTEN_HTTP) {
            http_on_first_byte(server, ev, events, byte);
        } else {
            refuse_protocol(c, "not support http");
        }
        return;
    }
    if (n == 0) {
        x_client_log_error(c, X_ERROR_SOCKET_RECV_FROM_CLIENT, "recv first data active closed");
        x_client_close(c);
        return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    if (errno != ECONNRESET)
        x_client_log_error(c, X_ERROR_SOCKET_RECV_FROM_CLIENT, "recv first data failed");
    x_client_close(c);
}
