#include "core/epoll.h"

#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

void handler_a(x_server_t *, event_data_t *, uint32_t) {}
void handler_b(x_server_t *, event_data_t *, uint32_t) {}

struct Epoll {
    int fd = epoll_create1(0);
    ~Epoll() { close(fd); }
};

} // namespace

TEST(Epoll, SameMaskOnlyReplacesHandlerAndZeroMaskUnregisters) {
    Epoll ep;
    event_data_t ev{};
    ev.fd = eventfd(0, EFD_NONBLOCK);
    ASSERT_TRUE(ev_add_event(ep.fd, &ev, EPOLLIN, handler_a));
    EXPECT_EQ(ev.reg_events, static_cast<uint32_t>(EPOLLIN));
    // Close the descriptor behind epoll's back: a system call would now fail, so success proves
    // that none was made.
    int real = ev.fd;
    ev.fd = 999;
    ASSERT_TRUE(ev_add_event(ep.fd, &ev, EPOLLIN, handler_b));
    EXPECT_EQ(ev.handler, handler_b);
    ev.fd = real;
    ASSERT_TRUE(ev_add_event(ep.fd, &ev, EPOLLIN | EPOLLOUT, handler_b));
    ASSERT_TRUE(ev_add_event(ep.fd, &ev, 0, handler_b));
    EXPECT_EQ(ev.reg_events, 0u);
    ev.fd = 999;
    EXPECT_TRUE(ev_del_event(ep.fd, &ev)); // nothing registered: no system call
    close(real);
}

TEST(Epoll, ParameterErrorsAndFailedCtlReportFalse) {
    Epoll ep;
    event_data_t ev{};
    EXPECT_FALSE(ev_add_event(ep.fd, &ev, EPOLLIN, handler_a)); // fd 0
    ev.fd = 5;
    EXPECT_FALSE(ev_add_event(0, &ev, EPOLLIN, handler_a));
    EXPECT_FALSE(ev_add_event(ep.fd, &ev, EPOLLIN, nullptr));
    EXPECT_FALSE(ev_del_event(ep.fd, nullptr));
    ev.fd = 12345; // not open
    EXPECT_FALSE(ev_add_event(ep.fd, &ev, EPOLLIN, handler_a));
    EXPECT_EQ(ev.reg_events, 0u);
}
