#include "core/work_thread.h"

#include "auth/x_auth.h"
#include "core/log.h"
#include "core/platform_kni.h"
#include "core/qps_limit.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"
#include "net/x_dns.h"
#include "report/x_flow_report.h"
#include "report/x_log_flow.h"
#include "report/x_log_report.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <unistd.h>

dictType session_dict_type = {dictHashU32Key, nullptr, nullptr, dictComparePtrKey,
                              nullptr,        nullptr, nullptr, nullptr};

namespace {

constexpr unsigned long SESSION_TABLE_PRESIZE = 8192;
constexpr uint64_t SHOW_CACHE_INTERVAL_MS = 10000;
constexpr int EPOLL_WAIT_MS = 100;

void *worker_thread_main(void *arg) {
    auto *thread = static_cast<work_thread_t *>(arg);
    signal(SIGPIPE, SIG_IGN);
    if (!work_thread_init(thread)) exit(1);
    while (thread->server->running.load(std::memory_order_acquire))
        (void)on_ev_loop(thread);
    thread->tid.store(pthread_t{}, std::memory_order_relaxed);
    return nullptr;
}

void pin_thread(int core) {
    if (core < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (core < CPU_SETSIZE) CPU_SET(core, &set);
    (void)pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

void dispatch(x_server_t *server, const struct epoll_event &e) {
    auto *ev = static_cast<event_data_t *>(e.data.ptr);
    x_client_t *c = ev->client;
    if (c && x_client_is_closing(c)) return;
    bool connecting = c && c->dst_connecting && ev == &c->tcp_dst_ev_data;
    if (c && !connecting && (e.events & (EPOLLERR | EPOLLHUP))) {
        if (!c->is_showreport) {
            if (ev->fd == c->connect_ev_data.fd)
                x_client_log_error(c, X_ERROR_SOCKET_RECV_FROM_CLIENT, "client active closed");
            else
                x_client_log_error(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "server active closed");
        }
        x_client_close(c);
        return;
    }
    if (ev->handler) ev->handler(server, ev, e.events);
}

void main_thread_checks(work_thread_t *thread) {
    x_server_t *server = thread->server;
    uint64_t now = x_time_ms();
    x_auth_check_backends(server);
    x_log_flows_check(server);
    x_flow_reports_check(server);
    qps_limit_check(&server->qps_limit);
    ip_restrict_check(&server->ip_restrict, now);
    x_server_check(server);
    if (now - thread->last_show_cache_time > SHOW_CACHE_INTERVAL_MS) {
        log_info("session to client dict size: %lu \n", dictSize(thread->session_to_clients));
        thread->last_show_cache_time = now;
    }
}

// A session id carried in a message's data word.
uint32_t session_of(void *data) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
}

void on_client_close_msg(work_thread_t *thread, x_client_t *c) {
    x_auth_on_client_close(thread->server, c);
    x_client_list_append(&thread->server->main_thread->client_free_list, c);
}

} // namespace

bool work_thread_start(x_server_t *server, work_thread_t *thread, uint32_t index) {
    thread->server = server;
    thread->index = index;
    if (index == 0) return work_thread_init(thread);
    pthread_t id;
    if (pthread_create(&id, nullptr, worker_thread_main, thread) != 0) {
        log_error("pthread_create failed\n");
        return false;
    }
    thread->join_id = id;
    return true;
}

bool work_thread_init(work_thread_t *thread) {
    x_server_t *server = thread->server;
    const x_config_server_t &config = server->config;
    thread->tid.store(pthread_self(), std::memory_order_relaxed);
    if (config.threads) pin_thread(config.threads[thread->index].thread_core);
    thread->session_to_clients = dictCreate(&session_dict_type);
    if (dictSize(thread->session_to_clients) < SESSION_TABLE_PRESIZE &&
        dictTryExpand(thread->session_to_clients, SESSION_TABLE_PRESIZE) != DICT_OK) {
        log_error("expand session to clients dict failed\n");
        return false;
    }
    thread->epoll_fd = epoll_create(WORK_THREAD_MAX_EVENTS);
    if (thread->epoll_fd < 0) {
        thread->epoll_fd = 0;
        log_error("create epoll failed: %s\n", strerror(errno));
        return false;
    }
    thread->dns = x_dns_create(thread->epoll_fd);
    if (thread->dns == nullptr) {
        log_error("dns init failed\n");
        return false;
    }
    // Every thread answers from its own copy of the hosts file; the main thread's resolver
    // reports the loads.
    x_dns_use_hosts(thread->dns, reinterpret_cast<const char *>(config.hosts_file.data),
                    thread->index == 0);
    x_timer_init(&thread->tovask_timer, 500);
    x_timer_init(&thread->conn_timer, config.src_timeout);
    x_timer_init(&thread->dst_timer, config.dst_timeout);
    x_timer_init(&thread->flow_timer, 1000);
    x_timer_init(&thread->reply_timer, 60000);
    x_timer_init(&thread->verify_timer, 10000);
    thread->last_show_cache_time = x_time_ms();
    thread->inited.store(true, std::memory_order_release);
    return true;
}

void work_thread_free(work_thread_t *thread) {
    if (thread->dns) x_dns_close(thread->dns);
    thread->dns = nullptr;
    if (thread->epoll_fd) close(thread->epoll_fd);
    thread->epoll_fd = 0;
    if (thread->session_to_clients) dictRelease(thread->session_to_clients);
    thread->session_to_clients = nullptr;
    free(thread->relay_scratch);
    thread->relay_scratch = nullptr;
    for (int &fd : thread->relay_pipe) {
        if (fd > 0) close(fd);
        fd = 0;
    }
}

void work_thread_do(work_thread_t *thread) {
    int n = epoll_wait(thread->epoll_fd, thread->events, WORK_THREAD_MAX_EVENTS, EPOLL_WAIT_MS);
    if (n < 0 && errno != EINTR) {
        log_error("epoll_wait error: %s\n", strerror(errno));
        exit(1);
    }
    for (int i = 0; i < n; i++)
        dispatch(thread->server, thread->events[i]);
    if (thread->index == 0) main_thread_checks(thread);
    x_dns_check(thread->dns);
    x_timer_check(&thread->tovask_timer);
    x_timer_check(&thread->conn_timer);
    x_timer_check(&thread->dst_timer);
    x_timer_check(&thread->reply_timer);
    x_timer_check(&thread->flow_timer);
    x_timer_check(&thread->verify_timer);
    x_client_check_to_close(&thread->client_close_list);
    x_client_check_to_free(&thread->client_free_list);
}

int on_ev_loop(work_thread_t *thread) {
    if (!thread->server->running.load(std::memory_order_acquire)) return -1;
    work_thread_do(thread);
    return 0;
}

void work_thread_on_ipc(work_thread_t *thread, uint32_t, uint32_t, uint32_t type, void *data) {
    switch (type) {
    case X_IPC_AUTH_REQ:
    case X_IPC_ACL_REQ:
    case X_IPC_VERIFY_REQ:
        x_auth_on_ipc_request(thread, type, session_of(data));
        break;
    case X_IPC_AUTH_RESP:
        x_auth_on_ipc_auth_resp(thread, session_of(data));
        break;
    case X_IPC_ACL_RESP:
        x_auth_on_ipc_acl_resp(thread, session_of(data));
        break;
    case X_IPC_VERIFY_RESP:
        x_auth_on_ipc_verify_resp(thread, session_of(data));
        break;
    case X_IPC_CLIENT_CLOSE:
        on_client_close_msg(thread, static_cast<x_client_t *>(data));
        break;
    case X_IPC_FLOW:
        x_flow_reports_on_flow(thread->server, static_cast<x_flow_log_pkt_t *>(data));
        x_log_on_flow(thread->server, static_cast<x_flow_log_pkt_t *>(data));
        free(data);
        break;
    case X_IPC_REPORT:
        x_log_on_report(thread->server, static_cast<x_report_log_pkt_t *>(data));
        free(data);
        break;
    default:
        break;
    }
}
