#include "proto/x_forward_session.h"

#include "core/work_thread.h"
#include "core/x_client.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

int x_forward_connect_error(const event_data_t *ev, uint32_t events) {
    int err = 0;
    socklen_t elen = sizeof err;
    if (getsockopt(ev->fd, SOL_SOCKET, SO_ERROR, &err, &elen) != 0) err = errno;
    if (err == 0 && (events & (EPOLLERR | EPOLLHUP))) err = ECONNRESET;
    return err;
}

bool x_forward_send(x_client_t *c, const void *data, size_t len, int *err) {
    ssize_t n = send(c->tcp_dst_ev_data.fd, data, len, MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(len)) return true;
    *err = n < 0 ? errno : EAGAIN;
    return false;
}

bool x_forward_watch(x_client_t *c, event_handler handler) {
    return ev_add_event(c->thread->epoll_fd, &c->tcp_dst_ev_data, EPOLLIN, handler);
}

void x_forward_consume(x_client_t *c) {
    c->down.buf.pos = c->down.buf.last = c->down.buf.start;
}

bool x_forward_release_socket(x_client_t *c) {
    event_data_t *ev = &c->tcp_dst_ev_data;
    if (ev->fd == 0) return true;
    ev->handler = nullptr;
    if (!ev_del_event(c->thread->epoll_fd, ev)) return false;
    close(ev->fd);
    ev->fd = 0;
    ev->reg_events = 0;
    return true;
}
