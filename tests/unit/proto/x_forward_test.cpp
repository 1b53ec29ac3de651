#include "proto/x_forward.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;

// A socket pair whose far end the test writes; the reader sees the near end.
struct Pipe {
    int fd[2] = {-1, -1};
    buf_t buf{};
    Pipe() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0);
        EXPECT_TRUE(buf_alloc(&buf, X_FORWARD_BUF_SIZE));
        buf.pos = buf.last = buf.start;
    }
    ~Pipe() {
        close(fd[0]);
        if (fd[1] >= 0) close(fd[1]);
        buf_free(&buf);
    }
    void put(const std::string &s) {
        ASSERT_EQ(write(fd[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    void hang_up() {
        close(fd[1]);
        fd[1] = -1;
    }
    std::string rest() { // what the reader left in the socket
        char tmp[4096];
        ssize_t n = recv(fd[0], tmp, sizeof tmp, 0);
        return n > 0 ? std::string(tmp, static_cast<size_t>(n)) : "";
    }
    std::string held() const {
        return std::string(reinterpret_cast<char *>(buf.pos), buf_size(&buf));
    }
};

// Feeds `answer` split after byte `cut`, then "TAIL"; returns the reader's results per piece.
template <typename Read>
std::pair<int, int> two_pieces(Pipe &p, const std::string &answer, size_t cut, Read read) {
    p.put(answer.substr(0, cut));
    int first = cut ? read(p) : X_FORWARD_AGAIN;
    p.put(answer.substr(cut) + "TAIL");
    return {first, read(p)};
}

TEST(XForwardS5Reply, ReadByAddressTypeAtEverySplit) {
    const std::string replies[] = {
        "\x05\x00\x00\x01\x7f\x00\x00\x01\x04\x38"s,
        "\x05\x00\x00\x03\x0d"s + "bound.example" + "\x00\x50"s,
        "\x05\x05\x00\x04"s + std::string(16, '\x01') + "\x01\xbb"s,
        "\x05\x00\x00\x03\x00\x00\x50"s, // an empty name
    };
    for (const std::string &r : replies) {
        for (size_t cut = 0; cut < r.size(); cut++) {
            Pipe p;
            auto [first, second] = two_pieces(
                p, r, cut, [](Pipe &x) { return x_forward_recv_s5_reply(&x.buf, x.fd[0]); });
            EXPECT_EQ(first, X_FORWARD_AGAIN) << cut;
            ASSERT_EQ(second, X_FORWARD_DONE) << cut;
            EXPECT_EQ(p.held(), r);
            EXPECT_EQ(p.rest(), "TAIL") << "the reply must not swallow tunnel bytes";
            x_forward_s5_reply_t out;
            ASSERT_TRUE(x_forward_s5_parse_reply(p.buf.pos, buf_size(&p.buf), &out));
            EXPECT_EQ(out.rep, static_cast<uint8_t>(r[1]));
        }
    }
}

TEST(XForwardS5Reply, UnknownTypeClosedAndParse) {
    Pipe bad;
    bad.put("\x05\x00\x00\x07\x00\x00\x00\x00\x00\x00"s);
    EXPECT_EQ(x_forward_recv_s5_reply(&bad.buf, bad.fd[0]), X_FORWARD_BAD);

    Pipe closed;
    closed.put("\x05\x00\x00\x01\x7f"s);
    closed.hang_up();
    EXPECT_EQ(x_forward_recv_s5_reply(&closed.buf, closed.fd[0]), X_FORWARD_CLOSED);

    x_forward_s5_reply_t out;
    std::string dom = "\x05\x00\x00\x03\x05relay\x12\x34"s;
    ASSERT_TRUE(
        x_forward_s5_parse_reply(reinterpret_cast<const uint8_t *>(dom.data()), dom.size(), &out));
    EXPECT_EQ(std::string(out.name), "relay");
    EXPECT_EQ(out.port, 0x1234);
    // One byte short or long is not a reply.
    EXPECT_FALSE(x_forward_s5_parse_reply(reinterpret_cast<const uint8_t *>(dom.data()),
                                          dom.size() - 1, &out));
    EXPECT_FALSE(x_forward_s5_parse_reply(reinterpret_cast<const uint8_t *>((dom + "x").data()),
                                          dom.size() + 1, &out));
}

TEST(XForwardHttp, AnswerReadUpToItsEmptyLineAtEverySplit) {
    struct Case {
        std::string answer;
        unsigned status;
    } cases[] = {
        {"HTTP/1.1 200 Connection established\r\n\r\n", 200},
        {"HTTP/1.1 200 OK\r\nProxy-Agent: x\r\nVia: 1.1 y\r\n\r\n", 200},
        {"HTTP/1.0 200 OK\n\n", 200},
        {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n", 407},
        {"HTTP/1.1 200 OK\r\nX: a\n\r\n", 200},
    };
    for (const Case &k : cases) {
        for (size_t cut = 0; cut < k.answer.size(); cut++) {
            Pipe p;
            unsigned status = 0;
            auto [first, second] = two_pieces(p, k.answer, cut, [&](Pipe &x) {
                return x_forward_recv_http_resp(&x.buf, x.fd[0], &status);
            });
            EXPECT_EQ(first, X_FORWARD_AGAIN) << k.answer << " cut " << cut;
            ASSERT_EQ(second, X_FORWARD_DONE) << k.answer << " cut " << cut;
            EXPECT_EQ(status, k.status);
            EXPECT_EQ(p.held(), k.answer);
            EXPECT_EQ(p.rest(), "TAIL");
        }
    }
}

TEST(XForwardHttp, Failures) {
    unsigned status = 0;
    Pipe bad; // not a status line: refused as soon as that is clear, not at the buffer's end
    bad.put("SSH-2.0-OpenSSH\r\n");
    EXPECT_EQ(x_forward_recv_http_resp(&bad.buf, bad.fd[0], &status), X_FORWARD_BAD);

    Pipe idle; // nothing waiting is a wait, not a failure
    EXPECT_EQ(x_forward_recv_http_resp(&idle.buf, idle.fd[0], &status), X_FORWARD_AGAIN);

    Pipe closed;
    closed.put("HTTP/1.1 200 OK\r\nX-A: 1\r\n");
    closed.hang_up();
    EXPECT_EQ(x_forward_recv_http_resp(&closed.buf, closed.fd[0], &status), X_FORWARD_AGAIN);
    EXPECT_EQ(x_forward_recv_http_resp(&closed.buf, closed.fd[0], &status), X_FORWARD_CLOSED);

    Pipe huge; // a header that never ends within the buffer
    huge.put("HTTP/1.1 200 OK\r\nX-Pad: " + std::string(2000, 'a'));
    int rc = x_forward_recv_http_resp(&huge.buf, huge.fd[0], &status);
    EXPECT_EQ(rc, X_FORWARD_TOO_LONG);
    EXPECT_EQ(buf_size(&huge.buf), X_FORWARD_BUF_SIZE);
}

TEST(XForwardRequests, S5Connect) {
    struct Case {
        std::string host;
        std::string want; // without the port; "" when refused
    } cases[] = {
        {"10.1.2.3", "\x05\x01\x00\x01\x0a\x01\x02\x03"s},
        {"1.2.3", "\x05\x01\x00\x03\x05"
                  "1.2.3"s}, // not dotted-quad: sent as a name
        {"example.com", "\x05\x01\x00\x03\x0b"
                        "example.com"s},
        {std::string(255, 'a'), "\x05\x01\x00\x03\xff"s + std::string(255, 'a')},
        {std::string(256, 'a'), ""},
        {"", ""},
    };
    for (const Case &k : cases) {
        ngx_str_t host{k.host.size(),
                       reinterpret_cast<uint8_t *>(const_cast<char *>(k.host.data()))};
        uint8_t out[X_FORWARD_S5_REQUEST_MAX];
        size_t n = x_forward_s5_connect_request(&host, 443, out);
        if (k.want.empty()) {
            EXPECT_EQ(n, 0u) << k.host.size();
            continue;
        }
        EXPECT_EQ(std::string(reinterpret_cast<char *>(out), n), k.want + "\x01\xbb"s);
    }
    x_forward_t s5{};
    s5.proto = X_FORWARD_SOCKS5;
    x_forward_t http{};
    http.proto = X_FORWARD_HTTP;
    EXPECT_TRUE(x_forward_target_fits(&s5, 255));
    EXPECT_FALSE(x_forward_target_fits(&s5, 256));
    EXPECT_TRUE(x_forward_target_fits(&http, 1000));
}

TEST(XForwardRequests, HttpConnect) {
    x_forward_t f{};
    std::string auth = "Proxy-Authorization: Basic dTpw\r\n";
    char out[X_FORWARD_BUF_SIZE];
    ngx_str_t host{6, reinterpret_cast<uint8_t *>(const_cast<char *>("h.test"))};

    ASSERT_GT(x_forward_http_connect_request(&f, &host, 80, false, out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "CONNECT h.test:80 HTTP/1.1\r\nHost: h.test:80\r\n"
                                "Proxy-Connection: keep-alive\r\n\r\n");
    f.has_username = 1;
    f.base64_auth = {auth.size(), reinterpret_cast<uint8_t *>(auth.data())};
    int n = x_forward_http_connect_request(&f, &host, 80, true, out, sizeof out);
    EXPECT_EQ(std::string(out, static_cast<size_t>(n)),
              "CONNECT h.test:80 HTTP/1.1\r\nHost: h.test:80\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
              "Proxy-Connection: keep-alive\r\n" +
                  auth + "\r\n");

    // Refused: names that would add lines or words, and requests that do not fit.
    for (std::string bad : {"a\r\nX: 1"s, "a b"s, "a\x7f"s, "a\0b"s, std::string(700, 'a'), ""s}) {
        ngx_str_t h{bad.size(), reinterpret_cast<uint8_t *>(bad.data())};
        EXPECT_EQ(x_forward_http_connect_request(&f, &h, 80, true, out, sizeof out), -1)
            << bad.size();
    }
    std::string fits(600, 'a');
    ngx_str_t h{fits.size(), reinterpret_cast<uint8_t *>(fits.data())};
    EXPECT_GT(x_forward_http_connect_request(&f, &h, 80, true, out, sizeof out), 0);
}

} // namespace
