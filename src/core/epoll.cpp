#include "core/epoll.h"

#include "core/log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>

bool ev_del_event(int epfd, event_data_t *ev) {
    if (epfd == 0 || ev == nullptr || ev->fd == 0) {
        log_error("ev_del_event param error\n");
        return false;
    }
    if (ev->reg_events == 0) return true;
    if (epoll_ctl(epfd, EPOLL_CTL_DEL, ev->fd, nullptr) != 0) {
        log_error("pf_epoll_ctl del for fd: %d reg_events:%u error: %s\n", ev->fd, ev->reg_events,
                  strerror(errno));
        return false;
    }
    ev->reg_events = 0;
    return true;
}

bool ev_add_event(int epfd, event_data_t *ev, uint32_t events, event_handler handler) {
    if (epfd == 0 || ev == nullptr || handler == nullptr || ev->fd == 0) {
        log_error("ev_add_event param error\n");
        return false;
    }
    ev->handler = handler;
    if (events == ev->reg_events) return true;
    if (events == 0) return ev_del_event(epfd, ev);
    struct epoll_event e = {};
    e.events = events;
    e.data.ptr = ev;
    int op = ev->reg_events ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(epfd, op, ev->fd, &e) != 0) {
        log_error("epoll_ctl add for fd: %d reg_events:%u error: %s\n", ev->fd, ev->reg_events,
                  strerror(errno));
        return false;
    }
    ev->reg_events = events;
    return true;
}

int pf_socket_set_non_block(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1) return -1;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}
