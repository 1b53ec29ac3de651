// Logins from sessions on every thread to the backend on main and back, also for clients that
// already left. Run under ThreadSanitizer.
#include "core/x_server.h"
#include "running_server.h"
#include "report/monitor.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string config(uint16_t port) {
    return "[kni]\nthread_num = 4\n[quoxel]\nros_id = 1\n[auth0]\ntype = local\n"
           "user1 = alice:secret\n[port0]\naddr = 127.0.0.1\nport_start = " +
           std::to_string(port) + "\nport_end = " + std::to_string(port) +
           "\nallow_udp = 0\nlisten_protocol = socks5\nauth = 0\n";
}

// One login: the two-byte sub-negotiation answer, or "" when the client leaves at once.
std::string login(uint16_t port, const std::string &password, bool leave) {
    int fd = dial_loopback(port);
    if (fd < 0) return "connect failed";
    std::string msg = std::string("\x05\x01\x02\x01\x05", 5) + "alice" +
                      static_cast<char>(password.size()) + password;
    (void)!write(fd, msg.data(), msg.size());
    char buf[4];
    std::string got = !leave && read_n(fd, buf, 4) ? std::string(buf + 2, 2) : "";
    close(fd);
    return got;
}

// Sessions freed so far: every one ends with an error code, counted when main frees it.
uint64_t ended() {
    uint64_t n = 0;
    for (auto &c : monitor_main.error_code)
        n += c.load();
    return n;
}

} // namespace

TEST(AuthThreads, AnswersReachTheirSessionsOnEveryThread) {
    uint16_t port = free_port();
    RunningServer srv;
    ASSERT_TRUE(srv.start(config(port)));
    uint64_t before = ended();
    std::vector<std::thread> clients;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; t++) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < 150; i++) {
                bool good = (i + t) % 2 == 0;
                bool leave = i % 5 == 4;
                std::string got = login(port, good ? "secret" : "Secret", leave);
                std::string want = leave ? "" : good ? std::string("\x01\x00", 2) : "\x01\x01";
                if (got != want) wrong++;
            }
        });
    }
    for (auto &c : clients)
        c.join();
    EXPECT_EQ(wrong.load(), 0);
    // Stop only once every session has been freed on main.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ended() - before < 600 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ended() - before, 600u);
}
