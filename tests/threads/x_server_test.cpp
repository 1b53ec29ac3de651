// The whole intake on four threads: accept on main, hand-off to a worker, first byte, close on
// the owner, free on main. Run under ThreadSanitizer by the threading build.
#include "core/x_client.h"
#include "running_server.h"
#include "report/monitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

std::string config(uint16_t port) {
    return "[kni]\nthread_num = 4\n[quoxel]\nros_id = 1\n[port0]\naddr = 127.0.0.1\n"
           "port_start = " +
           std::to_string(port) + "\nport_end = " + std::to_string(port) +
           "\nallow_udp = 0\nlisten_protocol = http\nauth = -1\n";
}

// One client that sends a refused byte or closes before sending; waits for the server's close.
bool connect_send_close(uint16_t port, bool send_byte) {
    int fd = dial_loopback(port);
    if (fd < 0) return false;
    if (send_byte)
        (void)!write(fd, "\x05", 1); // refused: the port admits HTTP only
    else
        shutdown(fd, SHUT_WR); // closed before the first byte
    char b;
    (void)!read(fd, &b, 1);
    close(fd);
    return true;
}

uint64_t freed() {
    return monitor_main.error_code[X_ERROR_SOCKET_RECV_FROM_CLIENT].load() +
           monitor_main.error_code[X_ERROR_SERVER_PROTO_SUPPORT].load();
}

} // namespace

TEST(IntakeThreads, ConnectCloseCyclesAreFreedOnMain) {
    uint16_t port = free_port();
    RunningServer srv;
    ASSERT_TRUE(srv.start(config(port)));
    uint64_t before = freed();
    constexpr int kCycles = 2000;
    for (int i = 0; i < kCycles; i++)
        ASSERT_TRUE(connect_send_close(port, i % 2 == 0));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (freed() - before < kCycles && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(freed() - before, static_cast<uint64_t>(kCycles));
}
