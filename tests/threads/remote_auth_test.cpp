// Remote authentication under load from every thread: logins that are granted, refused or left
// unanswered (time-outs), clients leaving mid-question, and relaying sessions verified by the
// main thread while they share their user's buckets. Run under ThreadSanitizer.
#include "bjson/binary_json_raw.h"
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

    uint16_t start() {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv = {0, 100000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
        socklen_t len = sizeof sin;
        getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
        loop = std::thread([this] { serve(); });
        return ntohs(sin.sin_port);
    }
    void serve() {
        uint8_t msg[2048];
        while (run) {
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            ssize_t n =
                recvfrom(fd, msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&from), &flen);
            if (n <= 0) continue;
            buf_t in = {msg, msg + n, msg, msg + n};
            bjson_raw_object_ctx_t ctx{};
            bjson_str_t key{}, user{};
            int64_t id = 0, action = 0;
            if (!bjson_raw_read_object(&in, &ctx)) continue;
            while (bjson_raw_read_object_key(&in, &ctx, &key, false)) {
                bool ok = key.len == 1 && key.data[0] == 'i'   ? bjson_raw_read_int(&in, &id)
                          : key.len == 1 && key.data[0] == 'a' ? bjson_raw_read_int(&in, &action)
                          : key.len == 1 && key.data[0] == 'u'
                              ? bjson_raw_read_string(&in, &user, false)
                              : bjson_raw_read_skip(&in);
                if (!ok) break;
            }
            buf_t out{};
            bool sent =
                action == 3 ? (verifies++, bjson_raw_write_object(&out, 3, "i", "a", "c") &&
                                               bjson_raw_write_object_key(&out, "i", 1) &&
                                               bjson_raw_write_int(&out, id) &&
                                               bjson_raw_write_object_key(&out, "a", 1) &&
                                               bjson_raw_write_int(&out, 4) &&
                                               bjson_raw_write_object_key(&out, "c", 1) &&
                                               bjson_raw_write_int(&out, 0))
                : user.len && (user.data[0] == 'g' || user.data[0] == 'r')
                    ? bjson_raw_write_object(&out, 7, "i", "a", "c", "t", "ra", "v", "vu") &&
                          bjson_raw_write_object_key(&out, "i", 1) &&
                          bjson_raw_write_int(&out, id) &&
                          bjson_raw_write_object_key(&out, "a", 1) &&
                          bjson_raw_write_int(&out, 2) &&
                          bjson_raw_write_object_key(&out, "c", 1) &&
                          bjson_raw_write_int(&out, user.data[0] == 'g' ? 0 : 5) &&
                          bjson_raw_write_object_key(&out, "t", 1) &&
                          bjson_raw_write_string(&out, user.data, user.len) &&
                          bjson_raw_write_object_key(&out, "ra", 2) &&
                          bjson_raw_write_int(&out, 4096) &&
                          bjson_raw_write_object_key(&out, "v", 1) &&
                          bjson_raw_write_int(&out, 10) &&
                          bjson_raw_write_object_key(&out, "vu", 2) && bjson_raw_write_int(&out, 1)
                    : false;
            if (sent)
                sendto(fd, out.pos, buf_size(&out), 0, reinterpret_cast<sockaddr *>(&from), flen);
            buf_free(&out);
        }
    }
    ~Service() {
        run = false;
        if (loop.joinable()) loop.join();
        close(fd);
    }
};

std::string config(uint16_t port, uint16_t service) {
    return "[kni]\nthread_num = 4\n[quoxel]\nros_id = 1\nsrc_timeout = 8000\n[auth0]\ntype = "
           "remote\nserver_ip = 127.0.0.1\nserver_port = " +
           std::to_string(service) +
           "\ntrans_type = 1\npool_size = 1\n[port0]\naddr = 127.0.0.1\n"
           "port_start = " +
           std::to_string(port) + "\nport_end = " + std::to_string(port) +
           "\nallow_udp = 0\nlisten_protocol = socks5\nauth = 0\n";
}

// Reads exactly n bytes (false on an end or the 5 s time-out).
bool read_n(int fd, char *buf, size_t n) {
    for (size_t got = 0; got < n;) {
        ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// Greeting and credentials; with `origin`, also a CONNECT there. The credentials answer.
std::string login(uint16_t port, const std::string &user, bool leave, uint16_t origin, int *keep) {
    int fd = dial_loopback(port);
    if (fd < 0) return "connect failed";
    std::string msg = std::string("\x05\x01\x02\x01", 4) + static_cast<char>(user.size()) + user +
                      std::string("\x02pw", 3);
    (void)!write(fd, msg.data(), msg.size());
    char buf[12];
    std::string got;
    if (!leave && read_n(fd, buf, 4)) got.assign(buf + 2, 2);
    if (origin && got == std::string("\x01\x00", 2)) {
        std::string req = std::string("\x05\x01\x00\x01\x7f\x00\x00\x01", 8) +
                          static_cast<char>(origin >> 8) + static_cast<char>(origin & 0xff);
        (void)!write(fd, req.data(), req.size());
        if (read_n(fd, buf, 10) && buf[1] == 0) {
            *keep = fd;
            return got;
        }
    }
    close(fd);
    return got;
}

} // namespace

TEST(RemoteAuthThreads, GrantsRefusalsTimeOutsAndVerifiesFromEveryThread) {
    Service service;
    uint16_t port = free_port(), svc = service.start();
    int origin = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(origin, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    listen(origin, 64);
    socklen_t len = sizeof sin;
    getsockname(origin, reinterpret_cast<sockaddr *>(&sin), &len);
    RunningServer srv;
    ASSERT_TRUE(srv.start(config(port, svc)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::atomic<int> wrong{0};
    std::vector<int> held(4, -1);
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; t++) {
        clients.emplace_back([&, t] {
            // A relaying session per thread, verified while the others come and go.
            if (login(port, "gold", false, ntohs(sin.sin_port), &held[t]) != "\x01\x00"s) wrong++;
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(21);
            for (int i = 0; std::chrono::steady_clock::now() < end; i++) {
                const char *users[] = {"gold", "green", "red", "silent"};
                std::string user = users[(i + t) % 4];
                bool leave = i % 3 == 2;
                std::string got = login(port, user + std::to_string(i % 7), leave, 0, nullptr);
                bool ok =
                    leave || user[0] == 's' || got == (user[0] == 'g' ? "\x01\x00"s : "\x01\x01"s);
                if (!ok) wrong++;
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
}
