#include "net/x_udp_client.h"

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

x_udp_client_t *udp_of(x_trans_client_t *c) {
    return reinterpret_cast<x_udp_client_t *>(c);
}

int epfd_of(const x_udp_client_t *uc) {
    return uc->base.thread->epoll_fd;
}

void cancel_query(x_udp_client_t *uc) {
    if (uc->dns_query) x_dns_cancel(uc->base.thread->dns, uc->dns_query);
    uc->dns_query = nullptr;
}

bool from_server(const x_udp_client_t *uc, const sockaddr_in &from, socklen_t from_len) {
    return from_len == sizeof(from) && from.sin_family == AF_INET &&
           from.sin_addr.s_addr == uc->base.server_addr.sin_addr.s_addr &&
           from.sin_port == uc->base.server_addr.sin_port;
}

void on_udp_data(x_server_t *, event_data_t *ev, uint32_t) {
    auto *uc = static_cast<x_udp_client_t *>(ev->other_ctx);
    buf_t *rb = &uc->recv_buf;
    sockaddr_in from{};
    socklen_t from_len = sizeof(from);
    // Readable does not promise a datagram (a bad checksum drops it): never wait for one.
    ssize_t n = recvfrom(ev->fd, rb->start, buf_capacity(rb), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        log_error("conn [%s] udp recvfrom failed: %s\n", uc->base.server_info.host,
                  strerror(errno));
        x_udp_client_close(uc);
        return;
    }
    // Anyone can send to the socket: only non-empty datagrams of the server count.
    if (n == 0 || !from_server(uc, from, from_len)) return;
    if (uc->base.handler_data) {
        uint32_t gen = uc->generation;
        bool ok = uc->base.handler_data(uc->base.original, rb->start, static_cast<size_t>(n));
        if (!ok && gen == uc->generation) x_udp_client_close(uc);
    }
}

int open_socket(x_udp_client_t *uc) {
    x_trans_client_t *c = &uc->base;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (fd == 0) {
        // Descriptor 0 means "none" to the registration records: move it out of the way.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        fd = moved;
    }
    if (fd < 0) {
        log_error("conn [%s] create udp src socket failed\n", c->server_info.host);
        return -1;
    }
    if (c->if_name[0] && !set_socket_bindtodevice(fd, c->if_name, strlen(c->if_name))) {
        log_error("set udp [%s] bindtodevice failed\n", c->server_info.host);
        close(fd);
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = c->bind_addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0) {
        log_error("udp_client [%s] auth udp bind failed: %s\n", c->server_info.host,
                  strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void on_dns_resp(void *original, int status, sockaddr_storage *addr) {
    auto *uc = static_cast<x_udp_client_t *>(original);
    uc->dns_query = nullptr;
    if (!x_trans_take_address(&uc->base, status, addr)) {
        x_udp_client_close(uc);
        return;
    }
    int fd = open_socket(uc);
    if (fd < 0) {
        x_udp_client_close(uc);
        return;
    }
    uc->ev_data.fd = fd;
    uc->ev_data.other_ctx = uc;
    if (!ev_add_event(epfd_of(uc), &uc->ev_data, EPOLLIN, on_udp_data)) {
        log_error("udp_client [%s] udp epoll failed\n", uc->base.server_info.host);
        x_udp_client_close(uc);
        return;
    }
    uc->base.status = X_TRANS_CONNECTED;
    uc->reconn_ref = 0;
    uint32_t gen = uc->generation;
    if (uc->base.handler_init && !uc->base.handler_init(uc->base.original) &&
        gen == uc->generation) {
        x_udp_client_close(uc);
    }
}

void on_reload_resp(void *original, int status, sockaddr_storage *addr) {
    auto *uc = static_cast<x_udp_client_t *>(original);
    uc->dns_query = nullptr;
    if (status != 0 || !addr || addr->ss_family != AF_INET) return;
    in_addr_t now_addr = reinterpret_cast<sockaddr_in *>(addr)->sin_addr.s_addr;
    in_addr_t old_addr = uc->base.server_addr.sin_addr.s_addr;
    if (now_addr == old_addr) return;
    auto *a = reinterpret_cast<const uint8_t *>(&old_addr);
    auto *b = reinterpret_cast<const uint8_t *>(&now_addr);
    log_info("udp client server addr changed, reload: %u.%u.%u.%u -> %u.%u.%u.%u\n", a[0], a[1],
             a[2], a[3], b[0], b[1], b[2], b[3]);
    uc->base.server_addr.sin_addr.s_addr = now_addr;
}

void resolve(x_udp_client_t *uc, x_dns_callback cb) {
    cancel_query(uc);
    uc->last_reload_server_time = x_time_ms();
    x_dns_t *dns = uc->base.thread->dns;
    if (!dns) {
        cb(uc, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    const char *host = uc->base.server_info.host;
    uc->dns_query = x_dns_query(dns, host, strlen(host), uc, cb, false);
}

void conn_server(x_udp_client_t *uc) {
    uc->base.status = X_TRANS_RESOLVING;
    resolve(uc, on_dns_resp);
}

} // namespace

x_udp_client_t *x_udp_client_create(work_thread_t *thread, const char *if_name,
                                    uint32_t bind_addr) {
    auto *uc = static_cast<x_udp_client_t *>(calloc(1, sizeof(x_udp_client_t)));
    if (!uc) return nullptr;
    uc->base.thread = thread;
    uc->base.type = X_TRANS_UDP;
    x_trans_client_set_local(&uc->base, if_name, bind_addr);
    uc->base.do_init = x_udp_client_init;
    uc->base.do_check = x_udp_client_check;
    uc->base.do_free = x_udp_client_free;
    uc->base.do_send = x_udp_client_send;
    return uc;
}

bool x_udp_client_init(x_trans_client_t *c, const char *host, uint16_t port,
                       const char *server_path, uint32_t reconn_inval, uint32_t reconn_cnt,
                       uint32_t heartbeat_timeout, void *original, data_handler data_func,
                       init_handler init_func, close_handler close_func) {
    x_udp_client_t *uc = udp_of(c);
    if (!x_trans_client_store(c, host, port, server_path, reconn_inval, reconn_cnt,
                              heartbeat_timeout, original, data_func, init_func, close_func)) {
        return false;
    }
    if (!buf_alloc(&uc->recv_buf, X_UDP_RECV_SIZE)) {
        log_error("create udp client recv buf failed\n");
        return false;
    }
    c->status = X_TRANS_DISCONNECTED;
    conn_server(uc);
    return true;
}

bool x_udp_client_send(x_trans_client_t *c, const uint8_t *buf, size_t len) {
    x_udp_client_t *uc = udp_of(c);
    if (!uc->ev_data.fd) return false;
    ssize_t n = sendto(uc->ev_data.fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr *>(&c->server_addr), sizeof(c->server_addr));
    if (n >= 0) return true;
    // A full socket buffer loses this datagram only, as the network itself may.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return true;
    log_error("conn [%s] send data failed: %s\n", c->server_info.host, strerror(errno));
    x_udp_client_close(uc);
    return false;
}

void x_udp_client_check(x_trans_client_t *c) {
    x_udp_client_t *uc = udp_of(c);
    if (c->status == X_TRANS_DISCONNECTED) {
        // Not at once: a name that fails to resolve would be asked for on every loop pass.
        if (x_time_ms() - uc->last_reconn_time >= c->reconn_inval) conn_server(uc);
    } else if (c->status == X_TRANS_CONNECTED &&
               x_time_ms() - uc->last_reload_server_time > X_UDP_RELOAD_MS) {
        resolve(uc, on_reload_resp);
    }
}

void x_udp_client_close(x_udp_client_t *uc) {
    uc->generation++;
    cancel_query(uc);
    x_trans_close_socket(epfd_of(uc), &uc->ev_data);
    uc->last_reconn_time = x_time_ms();
    uc->base.status = X_TRANS_DISCONNECTED;
    x_trans_client_count_close(&uc->base, &uc->reconn_ref);
}

void x_udp_client_free(x_trans_client_t *c) {
    if (!c) return;
    x_udp_client_t *uc = udp_of(c);
    cancel_query(uc);
    x_trans_close_socket(epfd_of(uc), &uc->ev_data);
    buf_free(&uc->recv_buf);
    free(uc);
}
