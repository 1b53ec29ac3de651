// A real server from INI text, started and run on a thread of its own (as the process does).
#pragma once

#include "core/x_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// Binds the socket to a free port of 127.0.0.1 and returns that port.
inline uint16_t bound_port(int fd) {
    sockaddr_in sin{
        .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    return ntohs(sin.sin_port);
}

inline uint16_t free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port = bound_port(fd);
    close(fd);
    return port;
}

// A socket connected to 127.0.0.1:port with a 5 s receive timeout, or -1.
inline int dial_loopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{.sin_family = AF_INET,
                    .sin_port = htons(port),
                    .sin_addr = {htonl(INADDR_LOOPBACK)},
                    .sin_zero = {}};
    timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0) return fd;
    close(fd);
    return -1;
}

// Reads exactly n bytes; false when the peer closes or the read times out first.
inline bool read_n(int fd, char *buf, size_t n) {
    for (size_t got = 0; got < n;) {
        ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

struct RunningServer {
    x_server_t *s = nullptr;
    std::thread loop;

    // Loads the INI text and starts the server; false (with a test failure) when it cannot.
    bool start(const std::string &ini) {
        char path[] = "/tmp/quoxel-thread-test-XXXXXX";
        int fd = mkstemp(path);
        bool written = write(fd, ini.data(), ini.size()) == static_cast<ssize_t>(ini.size());
        close(fd);
        s = x_server_create();
        bool loaded = written && x_server_load_config(&s->config, path);
        unlink(path);
        EXPECT_TRUE(loaded);
        if (!loaded) return false;
        server = s;
        std::atomic<int> started{0};
        loop = std::thread([this, &started] {
            bool ok = x_server_start(s);
            started = ok ? 1 : -1; // `started` lives on the caller's stack: not read after this
            if (ok) x_server_run(s);
        });
        while (started == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(started, 1);
        return started == 1;
    }

    ~RunningServer() {
        if (s == nullptr) return;
        s->running.store(0);
        if (loop.joinable()) loop.join();
        x_server_close(s);
        server = nullptr;
    }
};
