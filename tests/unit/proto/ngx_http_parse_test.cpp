#include "proto/ngx_http_parse.h"

#include "proto/http_ctx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace std::string_literals;

namespace {

enum Kind { REQ, HDR, HDR_US, STATUS };

// One call of the parser of `kind` over the whole text: 0 a line, 1 the header's end, -2 wants
// more bytes, other values the parser's error codes.
int parse(Kind kind, const std::string &text) {
    buf_t b{};
    http_ctx_t ctx{};
    EXPECT_TRUE(buf_alloc(&b, text.size() + 1));
    memcpy(b.last, text.data(), text.size());
    b.last += text.size();
    int rc = kind == REQ      ? ngx_http_parse_request_line_buf(&ctx, &b)
             : kind == STATUS ? ngx_http_parse_status_line_buf(&ctx, &b)
                              : ngx_http_parse_header_line_buf(&ctx, kind == HDR_US, &b);
    buf_free(&b);
    return rc;
}

} // namespace

// The three line parsers over what clients and upstreams send; how every case splits across
// reads is left to the fuzz target, what the proxy makes of the lines to the end-to-end suites.
TEST(HttpLines, ParseResults) {
    const struct {
        Kind kind;
        std::string text;
        int rc;
    } cases[] = {
        {REQ, "GET http://h/ HTTP/1.1\r\n", 0},
        {REQ, "CONNECT h:443 HTTP/1.1\r\n", 0},
        {REQ, "CONNECT h HTTP/1.1\r\n", 0},
        {REQ, "CONNECT [::1]:443 HTTP/1.1\r\n", 0},
        {REQ, "CONNECT  h:443 HTTP/1.1\r\n", 11},
        {REQ, "GET http://h HTTP/1.1\r\n", 0},
        {REQ, "GET http://h:81 HTTP/1.12  \r\n", 0},
        {REQ, "GET http://h?q=1 HTTP/1.1\r\n", 0},
        {REQ, "GET http://h:8080/a/./b%20?c#d+e HTTP/1.0\r\n", 0},
        {REQ, "POST https://a-b.example.com:65535/x HTTP/1.1\n", 0},
        {REQ, "GET http://h:65536/ HTTP/1.1\r\n", 11},
        {REQ, "GET http://h:4294967377/ HTTP/1.1\r\n", 11},
        {REQ, "GET http://[fe80::1%25eth0]:8/ HTTP/1.1\r\n", 11},
        {REQ, "GET http://[fe80::1]:8/ HTTP/1.1\r\n", 0},
        {REQ, "GET /index.html HTTP/1.1\r\n", 0},
        {REQ, "\r\n\nHEAD http://h/ HTTP/1.1\r\n", 0},
        {REQ, "BREW http://h/ HTTP/1.1\r\n", 0},
        {REQ, "GET http://h/\x80\xff HTTP/1.1\r\n", 0},
        {REQ, "GET /p\r\n", 0},
        {REQ, "GET /p\n", 0},
        {REQ, "GET /p  \r\n", 0},
        {REQ, "POST /p\r\n", 13},
        {REQ, "GET / HTTP/2.0\r\n", 12},
        {REQ, "GET / HTTP/11.1\r\n", 12},
        {REQ, "GET / HTTP/1.999\r\n", 0},
        {REQ, "GET / HTTP/1.1000\r\n", 11},
        {REQ, "GET / HTTP/1.\r\n", 11},
        {REQ, "GET / HTTP/1.1\rX", 11},
        {REQ, "GET / HTTP/1.1 x\r\n", 11},
        {REQ, "GET / HTTPS/1.1\r\n", 11},
        {REQ, "get / HTTP/1.1\r\n", 10},
        {REQ, "G@T / HTTP/1.1\r\n", 10},
        {REQ, "GET http://h/a\x01z HTTP/1.1\r\n", 11},
        {REQ, "GET http://h/a\x7fz HTTP/1.1\r\n", 11},
        {REQ, "GET http://h_x/ HTTP/1.1\r\n", 11},
        {REQ, "GET http:/h/ HTTP/1.1\r\n", 11},
        {REQ, "GET http://h\r\n", 11},
        {REQ, "GET 1http://h/ HTTP/1.1\r\n", 11},
        {REQ, "GET http://h/", -2},
        {HDR, "Host: example.com\r\n", 0},
        {HDR, "PROXY-authorization: Basic YTpi\r\n", 0},
        {HDR, "Name value\r\n", 0},
        {HDR, "Name:   v w  \r\n", 0},
        {HDR, "Name:\r\n", 0},
        {HDR, "Name\r\n", 0},
        {HDR, "A: b\n", 0},
        {HDR, "A: b\r\r\n", 0},
        {HDR, "A: \t\x80\r\n", 0},
        {HDR, "::Host: h\r\n", 0},
        {HDR, "HTTP/1.1 200 OK\r\nX: y\r\n", 0},
        {HDR_US, "X_Y: 1\r\n", 0},
        {HDR_US, "_a: 1\r\n", 0},
        {HDR, (std::string(32, 'x') + "Proxy-Authorization: v\r\n"), 0},
        {HDR, "\r\n", 1},
        {HDR, "\n", 1},
        {HDR, "X_Y: 1\r\n", 14},
        {HDR, "_a: 1\r\n", 14},
        {HDR, "HTTp/1.1 200\r\n", 14},
        {HDR, "A: b\0c\r\n"s, 14},
        {HDR, "A:\0\r\n"s, 14},
        {HDR, "A: b \0\r\n"s, 14},
        {HDR, "A: b\rX", 14},
        {HDR, "\rX", 14},
        {HDR, "A@: b\r\n", 14},
        {HDR, "@A: b\r\n", 14},
        {HDR, "A: b", -2},
        {STATUS, "HTTP/1.1 200 Connection established\r\n", 0},
        {STATUS, "HTTP/1.0 407 Proxy Authentication Required\nX", 0},
        {STATUS, "HTTP/1.1 200\r\n\r\n", 0},
        {STATUS, "HTTP/1.1 200\n", 0},
        {STATUS, "HTTP/1.1  2 0 0 OK\r\n", 0},
        {STATUS, "HTTP/1.1 403.1 Forbidden\r\n", 0},
        {STATUS, "HTTP/123.456 599 x\r\n", 0},
        {STATUS, "HTTP/1.1 200 OK\rX", -1},
        {STATUS, "HTTP/1.1 20x OK\r\n", -1},
        {STATUS, "HTTP/1.1 2000 OK\r\n", -1},
        {STATUS, "HTTP/1.1 20\r\n", -1},
        {STATUS, "HTTP/0.9 200 OK\r\n", -1},
        {STATUS, "HTTP/1. 200 OK\r\n", -1},
        {STATUS, "HTTP/1.1000 200 OK\r\n", -1},
        {STATUS, "HTTP/1000.1 200 OK\r\n", -1},
        {STATUS, "HTTP/1.1\r\n", -1},
        {STATUS, "http/1.1 200 OK\r\n", -1},
        {STATUS, "HTTP/1.1 200 OK", -2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.kind, c.text), c.rc) << c.kind << " " << c.text;
}
