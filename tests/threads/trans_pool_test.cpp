// A pool of TCP and UDP service clients driven on a worker while the main thread drives its own:
// each thread owns its clients, resolver and epoll, and nothing of theirs is shared.
#include "core/work_thread.h"
#include "net/x_conn_pool.h"
#include "net/x_dns.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<bool> serving{true};

// Echoes whatever arrives on fd (a TCP connection's bytes or UDP datagrams) until stopped.
void echo(int fd, bool udp) {
    if (!udp) fd = accept(fd, nullptr, nullptr);
    pollfd p{fd, POLLIN, 0};
    char buf[65536];
    while (serving && poll(&p, 1, 50) >= 0) {
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n =
            (p.revents & POLLIN) ? recvfrom(fd, buf, sizeof(buf), 0, (sockaddr *)&from, &len) : 0;
        if (n > 0)
            (void)!sendto(fd, buf, size_t(n), MSG_NOSIGNAL, udp ? (sockaddr *)&from : nullptr,
                          udp ? len : 0);
    }
    close(fd);
}

int listen_on(int type, uint16_t *port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (bind(fd, (sockaddr *)&a, len) != 0 || (type == SOCK_STREAM && listen(fd, 4) != 0))
        return -1;
    getsockname(fd, (sockaddr *)&a, &len);
    *port = ntohs(a.sin_port);
    return fd;
}

bool count(void *o, const uint8_t *, size_t len) {
    *static_cast<int *>(o) += len == 100;
    return true;
}

// One event loop with its own pool: sends `want` messages once both members are up.
int run_loop(const char *conf, uint16_t tcp_port, uint16_t udp_port, int want) {
    auto *t = new work_thread_t{};
    t->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    t->dns = x_dns_create_at(t->epoll_fd, conf, 53);
    x_conn_pool_t *pool = x_conn_pool_create(t, "", 0, 2);
    int got = 0, sent = 0;
    for (auto [type, port] : {std::pair{X_TRANS_TCP, tcp_port}, std::pair{X_TRANS_UDP, udp_port}}) {
        x_trans_client_t *c = x_trans_client_create(type, t, "", 0);
        EXPECT_TRUE(
            c->do_init(c, "127.0.0.1", port, "", 100, 0, 10000, &got, count, nullptr, nullptr));
        EXPECT_TRUE(x_conn_pool_put(pool, c));
    }
    uint8_t msg[100] = {};
    epoll_event events[16];
    for (int pass = 0; pass < 2000 && got < want; pass++) {
        int n = epoll_wait(t->epoll_fd, events, 16, 5);
        for (int i = 0; i < n; i++) {
            auto *ev = static_cast<event_data_t *>(events[i].data.ptr);
            if (ev->handler) ev->handler(nullptr, ev, events[i].events);
        }
        x_dns_check(t->dns);
        x_conn_pool_conn_check(pool);
        if (x_conn_pool_connected(pool) == 2 && sent < want && sent - got < 8) {
            EXPECT_TRUE(x_conn_pool_send(pool, msg, sizeof(msg)));
            sent++;
        }
    }
    x_conn_pool_free(pool);
    x_dns_close(t->dns);
    close(t->epoll_fd);
    delete t;
    return got;
}

} // namespace

TEST(TransPoolThreads, WorkerAndMainDriveTheirOwnPools) {
    char conf[] = "/tmp/trans_pool_resolv_XXXXXX";
    int cfd = mkstemp(conf);
    ASSERT_GE(cfd, 0);
    ASSERT_GT(write(cfd, "nameserver 127.0.0.1\n", 21), 0);
    close(cfd);
    uint16_t ports[4];
    std::vector<std::thread> servers;
    for (int i = 0; i < 4; i++) {
        int fd = listen_on(i % 2 ? SOCK_DGRAM : SOCK_STREAM, &ports[i]);
        ASSERT_GE(fd, 0);
        servers.emplace_back(echo, fd, i % 2 == 1);
    }
    int worker_got = 0;
    std::thread worker([&] { worker_got = run_loop(conf, ports[0], ports[1], 200); });
    int main_got = run_loop(conf, ports[2], ports[3], 200);
    worker.join();
    serving = false;
    for (auto &s : servers)
        s.join();
    unlink(conf);
    EXPECT_EQ(worker_got, 200);
    EXPECT_EQ(main_got, 200);
}
