// The whole intake on four threads: accept on main, hand-off to a worker, first byte, close on
// the owner, free on main. Run under ThreadSanitizer by the threading build.
#include "core/x_client.h"
#include "core/x_server.h"
#include "report/monitor.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

uint16_t free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    close(fd);
    return ntohs(sin.sin_port);
}

std::string write_config(uint16_t port) {
    char path[] = "/tmp/quoxel-intake-XXXXXX";
    int fd = mkstemp(path);
    std::string text = "[kni]\nthread_num = 4\n[quoxel]\nros_id = 1\n[port0]\naddr = 127.0.0.1\n"
                       "port_start = " + std::to_string(port) + "\nport_end = " +
                       std::to_string(port) + "\nallow_udp = 0\nlisten_protocol = http\nauth = -1\n";
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    return path;
}

bool connect_send_close(uint16_t port, bool send_byte) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
        close(fd);
        return false;
    }
    if (send_byte)
        (void)!write(fd, "\x05", 1); // refused: the port admits HTTP only
    else
        shutdown(fd, SHUT_WR); // closed before the first byte
    char b;
    (void)!read(fd, &b, 1); // wait for the server's close
    close(fd);
    return true;
}

} // namespace

TEST(IntakeThreads, ConnectCloseCyclesAreFreedOnMain) {
    uint16_t port = free_port();
    std::string path = write_config(port);
    x_server_t *s = x_server_create();
    ASSERT_TRUE(x_server_load_config(&s->config, path.c_str()));
    unlink(path.c_str());
    server = s;
    // The main thread's loop runs where it was initialised, as in the process.
    std::atomic<int> started{0};
    std::thread loop([s, &started] {
        started = x_server_start(s) ? 1 : -1;
        if (started == 1) x_server_run(s);
    });
    while (started == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (started != 1) {
        loop.join();
        FAIL() << "server did not start";
    }
    auto freed = [] {
        return monitor_main.error_code[X_ERROR_SOCKET_RECV_FROM_CLIENT].load() +
               monitor_main.error_code[X_ERROR_SERVER_PROTO_SUPPORT].load();
    };
    uint64_t before = freed();
    constexpr int kCycles = 2000;
    for (int i = 0; i < kCycles; i++) ASSERT_TRUE(connect_send_close(port, i % 2 == 0));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (freed() - before < kCycles && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(freed() - before, static_cast<uint64_t>(kCycles));
    s->running.store(0);
    loop.join();
    x_server_close(s);
    server = nullptr;
}
