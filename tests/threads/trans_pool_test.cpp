// Pools of service clients driven on a worker while the main thread drives its own: each thread
// owns its clients, resolver and epoll, and nothing of theirs is shared.
#include "config/x_server_config.h"
#include "core/work_thread.h"
#include "net/x_conn_pool.h"
#include "net/x_dns.h"

#include <gtest/gtest.h>

#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<bool> serving{true};

// Echoes the bytes of every connection to the listener (LEB128 frames come back as they went).
void echo(int listener) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    char buf[65536];
    while (serving && poll(fds.data(), fds.size(), 50) >= 0) {
        for (size_t i = 1; i < fds.size(); i++) {
            ssize_t n = (fds[i].revents & POLLIN) ? read(fds[i].fd, buf, sizeof(buf)) : 0;
            if (n > 0) (void)!send(fds[i].fd, buf, size_t(n), MSG_NOSIGNAL);
        }
        if (fds[0].revents & POLLIN) fds.push_back({accept(listener, nullptr, nullptr), POLLIN, 0});
    }
    for (pollfd &p : fds)
        close(p.fd);
}

bool count(void *o, const uint8_t *, size_t len) {
    *static_cast<int *>(o) += len == 100;
    return true;
}

// One event loop with its own pool of three TCP clients; sends `want` messages once all are up.
int run_loop(const char *conf, uint16_t port, int want) {
    auto *t = new work_thread_t{};
    t->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    t->dns = x_dns_create_at(t->epoll_fd, conf, 53);
    x_config_remote_server_t server{{9, (uint8_t *)"127.0.0.1"}, port};
    x_conn_pool_t *pool = x_conn_pool_create(t, "", 0, 3);
    int got = 0, sent = 0;
    EXPECT_TRUE(x_conn_pool_add(pool, X_TRANS_TCP, &server, 1, "", 100, 10000, &got, count, nullptr,
                                nullptr));
    uint8_t msg[100] = {};
    epoll_event events[16];
    for (int pass = 0; pass < 20000 && got < want; pass++) {
        int n = epoll_wait(t->epoll_fd, events, 16, 5);
        for (int i = 0; i < n; i++) {
            auto *ev = static_cast<event_data_t *>(events[i].data.ptr);
            if (ev->handler) ev->handler(nullptr, ev, events[i].events);
        }
        x_dns_check(t->dns);
        x_conn_pool_conn_check(pool);
        if (x_conn_pool_connected(pool) == 3 && sent < want && sent - got < 8) {
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
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    ASSERT_EQ(bind(listener, (sockaddr *)&a, len), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    getsockname(listener, (sockaddr *)&a, &len);
    std::thread server(echo, listener);
    int worker_got = 0;
    std::thread worker([&] { worker_got = run_loop(conf, ntohs(a.sin_port), 1000); });
    int main_got = run_loop(conf, ntohs(a.sin_port), 1000);
    worker.join();
    serving = false;
    server.join();
    unlink(conf);
    EXPECT_EQ(worker_got, 1000);
    EXPECT_EQ(main_got, 1000);
}
