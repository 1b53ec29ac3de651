// Remote authentication from every thread: grants, refusals and time-outs, clients leaving
// mid-question, and relaying sessions verified by the main thread. Run under ThreadSanitizer.
#include "auth/bjson_msg.h"
#include "running_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;

namespace {

// A UDP service: users "g..." are granted (verify every 10 s), "r..." refused, others ignored.
struct Service {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    std::atomic<bool> run{true};
    std::atomic<int> verifies{0};
    std::thread loop;

    void serve() {
        uint8_t msg[2048];
        while (run) {
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            ssize_t n =
                recvfrom(fd, msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&from), &flen);
            buf_t in = {msg, msg + (n > 0 ? n : 0), msg, msg + (n > 0 ? n : 0)};
            bjson_raw_object_ctx_t ctx{};
            bjson_str_t key{}, user{};
            int64_t id = 0, action = 0;
            if (n <= 0 || !bjson_raw_read_object(&in, &ctx)) continue;
            while (bjson_raw_read_object_key(&in, &ctx, &key, false)) {
                std::string k(key.data, key.len);
                if (!(k == "i"   ? bjson_raw_read_int(&in, &id)
                      : k == "a" ? bjson_raw_read_int(&in, &action)
                      : k == "u" ? bjson_raw_read_string(&in, &user, false)
                                 : bjson_raw_read_skip(&in)))
                    break;
            }
            char first = user.len ? user.data[0] : 0;
            Members m = {
                {"i", I(id)}, {"a", I(action == 3 ? 4 : 2)}, {"c", I(first == 'r' ? 5 : 0)}};
            if (action == 3)
                verifies++;
            else if (first == 'g')
                m.insert(m.end(), {{"t", S(std::string(user.data, user.len))},
                                   {"ra", I(4096)},
                                   {"v", I(10)},
                                   {"vu", I(1)}});
            else if (first != 'r')
                continue;
            std::string out = obj(m);
            sendto(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from), flen);
        }
    }
    ~Service() {
        run = false;
        if (loop.joinable()) loop.join();
        close(fd);
    }
};

// Credentials (and with `origin` a CONNECT there, the socket kept in *keep): the answer.
std::string login(uint16_t port, const std::string &user, bool leave, uint16_t origin = 0,
                  int *keep = nullptr) {
    int fd = dial_loopback(port);
    std::string msg = "\x05\x01\x02\x01"s + static_cast<char>(user.size()) + user + "\x02pw";
    (void)!write(fd, msg.data(), msg.size());
    char buf[10];
    std::string got = !leave && read_n(fd, buf, 4) ? std::string(buf + 2, 2) : "";
    std::string req = "\x05\x01\x00\x01\x7f\x00\x00\x01"s + static_cast<char>(origin >> 8) +
                      static_cast<char>(origin & 0xff);
    if (origin && got == "\x01\x00"s && write(fd, req.data(), req.size()) > 0 &&
        read_n(fd, buf, 10) && buf[1] == 0)
        *keep = fd;
    else
        close(fd);
    return got;
}

} // namespace

TEST(RemoteAuthThreads, GrantsRefusalsTimeOutsAndVerifiesFromEveryThread) {
    Service service;
    timeval tv = {0, 100000};
    setsockopt(service.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    uint16_t port = free_port(), svc = bound_port(service.fd);
    service.loop = std::thread([&] { service.serve(); });
    int origin = socket(AF_INET, SOCK_STREAM, 0);
    uint16_t origin_port = bound_port(origin);
    listen(origin, 64);
    RunningServer srv;
    ASSERT_TRUE(srv.start("[kni]\nthread_num = 4\n[quoxel]\nros_id = 1\nsrc_timeout = 8000\n"
                          "allow_local_ip = 1\n[auth0]\ntype = remote\nserver_ip = 127.0.0.1\n"
                          "trans_type = 1\npool_size = 1\nserver_port = " +
                          std::to_string(svc) +
                          "\n[port0]\naddr = 127.0.0.1\nallow_udp = 0\nlisten_protocol = socks5\n"
                          "auth = 0\nport_start = " +
                          std::to_string(port) + "\nport_end = " + std::to_string(port) + "\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::atomic<int> wrong{0};
    std::vector<int> held(4, -1);
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; t++) {
        clients.emplace_back([&, t] {
            // A relaying session per thread, verified while the others come and go.
            if (login(port, "gold", false, origin_port, &held[t]) != "\x01\x00"s) wrong++;
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(21);
            for (int i = 0; std::chrono::steady_clock::now() < end; i++) {
                std::string user =
                    std::string("grs").substr((i + t) % 3, 1) + std::to_string(i % 7);
                bool leave = i % 3 == 2;
                std::string got = login(port, user, leave);
                if (!leave && user[0] != 's' && got != (user[0] == 'g' ? "\x01\x00"s : "\x01\x01"s))
                    wrong++;
            }
        });
    }
    for (auto &c : clients)
        c.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(service.verifies.load(), 0);
    for (int fd : held)
        if (fd >= 0) close(fd);
    close(origin);
    // The relaying sessions end (and are freed on main) before the server stops.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}
