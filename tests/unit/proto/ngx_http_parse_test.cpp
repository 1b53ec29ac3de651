#include "proto/ngx_http_parse.h"

#include "proto/http_ctx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace std::string_literals;

namespace {

enum Kind { REQ, HDR, STATUS };

// One call of the parser of `kind` over the whole text: 0 for a line, else the parser's code.
int parse(Kind kind, const std::string &text) {
    buf_t b{};
    http_ctx_t ctx{};
    EXPECT_TRUE(buf_alloc(&b, text.size() + 1));
    memcpy(b.last, text.data(), text.size());
    b.last += text.size();
    int rc = kind == REQ      ? ngx_http_parse_request_line_buf(&ctx, &b)
             : kind == STATUS ? ngx_http_parse_status_line_buf(&ctx, &b)
                              : ngx_http_parse_header_line_buf(&ctx, false, &b);
    buf_free(&b);
    return rc;
}

} // namespace

// What end-to-end exchanges miss, a wrapping port, bare CRs, control bytes; splits: fuzz target.
TEST(HttpLines, ParseResults) {
    const struct {
        Kind kind;
        std::string text;
        int rc;
    } cases[] = {
        {REQ, "CONNECT  h:443 HTTP/1.1\r\n", 11},
        {REQ, "GET http://h?q=1 HTTP/1.1\r\n", 0},
        {REQ, "GET http://h:4294967377/ HTTP/1.1\r\n", 11},
        {REQ, "GET /p\n", 0},
        {REQ, "GET /p  \r\n", 0},
        {REQ, "POST /p\r\n", 13},
        {REQ, "GET / HTTP/2.0\r\n", 12},
        {REQ, "GET / HTTP/11.1\r\n", 12},
        {REQ, "GET / HTTP/1.1\rX", 11},
        {REQ, "GET / HTTP/1.1 x\r\n", 11},
        {REQ, "G@T / HTTP/1.1\r\n", 10},
        {REQ, "GET http://h/a\x01z HTTP/1.1\r\n", 11},
        {REQ, "GET http://h_x/ HTTP/1.1\r\n", 11},
        {REQ, "GET 1http://h/ HTTP/1.1\r\n", 11},
        {HDR, "Name:\r\n", 0},
        {HDR, "HTTp/1.1 200\r\n", 14},
        {HDR, "A: b\0c\r\n"s, 14},
        {HDR, "A:\0\r\n"s, 14},
        {HDR, "A: b \0\r\n"s, 14},
        {HDR, "A: b\rX", 14},
        {STATUS, "HTTP/1.1 200\n", 0},
        {STATUS, "HTTP/1.1 2000 OK\r\n", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.kind, c.text), c.rc) << c.kind << " " << c.text;
}
