#include "proto/ngx_http_parse.h"

#include "proto/feed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// Everything a parse records, as offsets into the buffer so that parses over differently
// grown buffers compare equal.
std::vector<size_t> snapshot(const Feeder &f, int rc) {
    const http_ctx_t &c = f.ctx;
    return {size_t(rc),
            f.off(f.b.pos),
            c.state,
            c.method,
            c.http_version,
            c.port,
            c.host.len,
            f.off(c.host.data),
            f.off(c.request_start),
            f.off(c.request_end),
            f.off(c.method_end),
            f.off(c.schema_start),
            f.off(c.schema_end),
            f.off(c.uri_start),
            f.off(c.uri_end),
            f.off(c.host_end),
            f.off(c.header_name_start),
            f.off(c.header_name_end),
            f.off(c.header_start),
            f.off(c.header_end),
            f.off(c.header_line_start),
            f.off(c.header_line_end),
            c.lowcase_index,
            c.status.code,
            c.status.count,
            f.off(c.status.start),
            f.off(c.status.end)};
}

// Parses `text` whole, then split at every byte position, then byte by byte, and checks that
// every split gives what the whole parse gave. Returns the whole parse's feeder.
template <typename Parse>
void check_splits(const std::string &text, Parse parse, Feeder &whole, int *rc) {
    *rc = feed(whole, text.size(), 0, parse);
    std::vector<size_t> want = snapshot(whole, *rc);
    for (size_t cut = 1; cut < text.size(); cut++) {
        Feeder f(text);
        int r = feed(f, cut, 0, parse);
        EXPECT_EQ(snapshot(f, r), want) << "split at " << cut;
    }
    Feeder f(text);
    int r = feed(f, 1, 1, parse);
    EXPECT_EQ(snapshot(f, r), want) << "byte by byte";
}

int parse_request(Feeder &f) {
    return ngx_http_parse_request_line_buf(&f.ctx, &f.b);
}
int parse_status(Feeder &f) {
    return ngx_http_parse_status_line_buf(&f.ctx, &f.b);
}
int parse_header(Feeder &f) {
    return ngx_http_parse_header_line_buf(&f.ctx, false, &f.b);
}
int parse_header_us(Feeder &f) {
    return ngx_http_parse_header_line_buf(&f.ctx, true, &f.b);
}

struct RequestCase {
    std::string text;
    int rc;
    unsigned method = 0, version = 0;
    std::string host = "", uri = "<null>", authority_end = "";
    unsigned port = 0;
};

const RequestCase kRequests[] = {
    {"GET http://h/ HTTP/1.1\r\n", 0, NGX_HTTP_GET, 1001, "h", "/", "/ HTTP/1.1\r\n"},
    {"CONNECT h:443 HTTP/1.1\r\n", 0, NGX_HTTP_CONNECT, 1001, "h", "<null>", " HTTP/1.1\r\n", 443},
    {"CONNECT h HTTP/1.1\r\n", 0, NGX_HTTP_CONNECT, 1001, "h", "<null>", " HTTP/1.1\r\n"},
    {"CONNECT [::1]:443 HTTP/1.1\r\n", 0, NGX_HTTP_CONNECT, 1001, "[::1]", "<null>",
     " HTTP/1.1\r\n", 443},
    {"CONNECT  h:443 HTTP/1.1\r\n", 11},
    // Without a path the URI is the '/' after the scheme's colon.
    {"GET http://h HTTP/1.1\r\n", 0, NGX_HTTP_GET, 1001, "h", "/", " HTTP/1.1\r\n"},
    {"GET http://h:81 HTTP/1.12  \r\n", 0, NGX_HTTP_GET, 1012, "h", "/", " HTTP/1.12  \r\n", 81},
    {"GET http://h?q=1 HTTP/1.1\r\n", 0, NGX_HTTP_GET, 1001, "h", "?q=1", "?q=1 HTTP/1.1\r\n"},
    {"GET http://h:8080/a/./b%20?c#d+e HTTP/1.0\r\n", 0, NGX_HTTP_GET, 1000, "h", "/a/./b%20?c#d+e",
     "/a/./b%20?c#d+e HTTP/1.0\r\n", 8080},
    {"POST https://a-b.example.com:65535/x HTTP/1.1\n", 0, NGX_HTTP_POST, 1001, "a-b.example.com",
     "/x", "/x HTTP/1.1\n", 65535},
    // A port that does not fit 16 bits is refused instead of wrapping to another port.
    {"GET http://h:65536/ HTTP/1.1\r\n", 11},
    {"GET http://h:4294967377/ HTTP/1.1\r\n", 11},
    {"GET http://[fe80::1%25eth0]:8/ HTTP/1.1\r\n", 11}, // '%' is not in an IP literal
    {"GET http://[fe80::1]:8/ HTTP/1.1\r\n", 0, NGX_HTTP_GET, 1001, "[fe80::1]", "/",
     "/ HTTP/1.1\r\n", 8},
    {"GET /index.html HTTP/1.1\r\n", 0, NGX_HTTP_GET, 1001, "", "/index.html", ""},
    {"\r\n\nHEAD http://h/ HTTP/1.1\r\n", 0, NGX_HTTP_HEAD, 1001, "h", "/", "/ HTTP/1.1\r\n"},
    {"BREW http://h/ HTTP/1.1\r\n", 0, 0, 1001, "h", "/", "/ HTTP/1.1\r\n"},
    {"GET http://h/\x80\xff HTTP/1.1\r\n", 0, NGX_HTTP_GET, 1001, "h", "/\x80\xff",
     "/\x80\xff HTTP/1.1\r\n"},
    {"GET /p\r\n", 0, NGX_HTTP_GET, 9, "", "/p", ""},
    {"GET /p\n", 0, NGX_HTTP_GET, 9, "", "/p", ""},
    {"GET /p  \r\n", 0, NGX_HTTP_GET, 9, "", "/p", ""},
    {"POST /p\r\n", 13},
    {"GET / HTTP/2.0\r\n", 12},
    {"GET / HTTP/11.1\r\n", 12},
    {"GET / HTTP/1.999\r\n", 0, NGX_HTTP_GET, 1999, "", "/", ""},
    {"GET / HTTP/1.1000\r\n", 11},
    {"GET / HTTP/1.\r\n", 11},
    {"GET / HTTP/1.1\rX", 11},
    {"GET / HTTP/1.1 x\r\n", 11},
    {"GET / HTTPS/1.1\r\n", 11},
    {"get / HTTP/1.1\r\n", 10},
    {"G@T / HTTP/1.1\r\n", 10},
    {"GET http://h/a\x01z HTTP/1.1\r\n", 11},
    {"GET http://h/a\x7fz HTTP/1.1\r\n", 11},
    {"GET http://h_x/ HTTP/1.1\r\n", 11},
    {"GET http:/h/ HTTP/1.1\r\n", 11},
    {"GET http://h\r\n", 11},
    {"GET 1http://h/ HTTP/1.1\r\n", 11},
    {"GET http://h/", -2},
};

TEST(RequestLine, ParsesEveryCaseAlikeAtEverySplit) {
    for (const RequestCase &c : kRequests) {
        SCOPED_TRACE(c.text);
        Feeder f(c.text);
        int rc;
        check_splits(c.text, parse_request, f, &rc);
        ASSERT_EQ(rc, c.rc);
        if (rc != 0) continue;
        const http_ctx_t &x = f.ctx;
        EXPECT_EQ(x.method, c.method);
        EXPECT_EQ(x.http_version, c.version);
        EXPECT_EQ(f.str(x.host.data, x.host.data + x.host.len), x.host.data ? c.host : "<null>");
        EXPECT_EQ(x.port, c.port);
        EXPECT_EQ(f.str(x.uri_start, x.uri_end), c.uri);
        if (!c.host.empty()) {
            EXPECT_EQ(f.str(x.host_end, f.b.last), c.authority_end);
        }
        EXPECT_EQ(f.b.pos, f.b.last);
        EXPECT_EQ(x.state, 0u);
        // The request line ends at its CR, or at its LF when there is none.
        std::string line_end = f.str(x.request_end, f.b.last);
        EXPECT_TRUE(line_end == "\r\n" || line_end == "\n") << line_end;
    }
}

TEST(RequestLine, StopsAfterTheLineAndRecordsTheMethodEnd) {
    Feeder f("CONNECT h:1 HTTP/1.1\r\nHost: h\r\n");
    ASSERT_EQ(feed(f, f.text.size(), 0, parse_request), 0);
    EXPECT_EQ(f.off(f.b.pos), 22u);
    EXPECT_EQ(f.off(f.ctx.method_end), 6u);
    EXPECT_EQ(f.off(f.ctx.request_end), 20u);
}

struct HeaderCase {
    std::string text;
    bool underscores;
    int rc;
    std::string name = "", value = "", lowcase = "";
    unsigned lowcase_index = 0;
    size_t line_start = 0, line_end = 0;
};

const std::string kLongName = std::string(32, 'x') + "Proxy-Authorization";

const HeaderCase kHeaders[] = {
    {"Host: example.com\r\n", false, 0, "Host", "example.com", "host", 4, 0, 19},
    {"PROXY-authorization: Basic YTpi\r\n", false, 0, "PROXY-authorization", "Basic YTpi",
     "proxy-authorization", 19, 0, 33},
    {"Name value\r\n", false, 0, "Name", "value", "name", 4, 0, 12},
    {"Name:   v w  \r\n", false, 0, "Name", "v w", "name", 4, 0, 15},
    {"Name:\r\n", false, 0, "Name", "", "name", 4, 0, 7},
    {"Name\r\n", false, 0, "Name", "", "name", 4, 0, 6},
    {"A: b\n", false, 0, "A", "b", "a", 1, 0, 5},
    {"A: b\r\r\n", false, 0, "A", "b", "a", 1, 0, 7},
    {"A: \t\x80\r\n", false, 0, "A", "\t\x80", "a", 1, 0, 7},
    {"::Host: h\r\n", false, 0, "Host", "h", "host", 4, 0, 11},
    {"HTTP/1.1 200 OK\r\nX: y\r\n", false, 0, "X", "y", "x", 1, 17, 23},
    {"X_Y: 1\r\n", true, 0, "X_Y", "1", "x_y", 3, 0, 8},
    {"_a: 1\r\n", true, 0, "_a", "1", "_a", 2, 0, 7},
    // Only the last 32 characters of a long name survive, and the index wraps.
    {kLongName + ": v\r\n", false, 0, kLongName, "v", "proxy-authorization", 19, 0, 56},
    {"\r\n", false, 1},
    {"\n", false, 1},
    {"X_Y: 1\r\n", false, 14},
    {"_a: 1\r\n", false, 14},
    {"HTTp/1.1 200\r\n", false, 14},
    {"A: b\0c\r\n"s, false, 14},
    {"A:\0\r\n"s, false, 14},
    {"A: b \0\r\n"s, false, 14},
    {"A: b\rX", false, 14},
    {"\rX", false, 14},
    {"A@: b\r\n", false, 14},
    {"@A: b\r\n", false, 14},
    {"A: b", false, -2},
};

TEST(HeaderLine, ParsesEveryCaseAlikeAtEverySplit) {
    for (const HeaderCase &c : kHeaders) {
        SCOPED_TRACE(c.text);
        Feeder f(c.text);
        int rc;
        check_splits(c.text, c.underscores ? parse_header_us : parse_header, f, &rc);
        ASSERT_EQ(rc, c.rc);
        if (rc != 0) continue;
        const http_ctx_t &x = f.ctx;
        EXPECT_EQ(f.str(x.header_name_start, x.header_name_end), c.name);
        EXPECT_EQ(f.str(x.header_start, x.header_end), c.value);
        EXPECT_EQ(x.lowcase_index, c.lowcase_index);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(x.lowcase_header), c.lowcase.size()),
                  c.lowcase);
        EXPECT_EQ(f.off(x.header_line_start), c.line_start);
        EXPECT_EQ(f.off(x.header_line_end), c.line_end);
        EXPECT_EQ(f.b.pos, x.header_line_end);
    }
}

TEST(HeaderLine, NameComparisonUsesTheWholeName) {
    struct {
        std::string line;
        bool is_proxy_auth;
    } cases[] = {
        {"Proxy-Authorization: x\r\n", true},   {"proxy-AUTHORIZATION x\r\n", true},
        {kLongName + ": x\r\n", false},         {"Proxy-Authorizatio: x\r\n", false},
        {"Proxy-Authorizations: x\r\n", false},
    };
    for (const auto &c : cases) {
        Feeder f(c.line);
        ASSERT_EQ(feed(f, f.text.size(), 0, parse_header), 0);
        EXPECT_EQ(http_header_name_is(&f.ctx, "proxy-authorization", 19), c.is_proxy_auth)
            << c.line;
    }
}

TEST(HeaderLine, ParsesConsecutiveLinesUntilTheEmptyOne) {
    Feeder f("A: 1\r\nB: 2\n\r\nbody");
    ASSERT_TRUE(f.give(f.text.size()));
    std::vector<std::string> names;
    int rc;
    while ((rc = parse_header(f)) == 0) {
        names.push_back(f.str(f.ctx.header_name_start, f.ctx.header_name_end));
    }
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(f.str(f.b.pos, f.b.last), "body");
}

struct StatusCase {
    std::string text;
    int rc;
    unsigned code = 0, version = 0;
    std::string code_text = "", rest = "";
};

const StatusCase kStatus[] = {
    {"HTTP/1.1 200 Connection established\r\n", 0, 200, 1001, "200", ""},
    {"HTTP/1.0 407 Proxy Authentication Required\nX", 0, 407, 1000, "407", "X"},
    {"HTTP/1.1 200\r\n\r\n", 0, 200, 1001, "200", "\r\n"},
    {"HTTP/1.1 200\n", 0, 200, 1001, "200", ""},
    {"HTTP/1.1  2 0 0 OK\r\n", 0, 200, 1001, "2 0", ""},
    {"HTTP/1.1 403.1 Forbidden\r\n", 0, 403, 1001, "403", ""},
    {"HTTP/123.456 599 x\r\n", 0, 599, 123456, "599", ""},
    {"HTTP/1.1 200 OK\rX", -1},
    {"HTTP/1.1 20x OK\r\n", -1},
    {"HTTP/1.1 2000 OK\r\n", -1},
    {"HTTP/1.1 20\r\n", -1},
    {"HTTP/0.9 200 OK\r\n", -1},
    {"HTTP/1. 200 OK\r\n", -1},
    {"HTTP/1.1000 200 OK\r\n", -1},
    {"HTTP/1000.1 200 OK\r\n", -1},
    {"HTTP/1.1\r\n", -1},
    {"http/1.1 200 OK\r\n", -1},
    {"HTTP/1.1 200 OK", -2},
};

TEST(StatusLine, ParsesEveryCaseAlikeAtEverySplit) {
    for (const StatusCase &c : kStatus) {
        SCOPED_TRACE(c.text);
        Feeder f(c.text);
        int rc;
        check_splits(c.text, parse_status, f, &rc);
        ASSERT_EQ(rc, c.rc);
        if (rc != 0) continue;
        const ngx_http_status_t &s = f.ctx.status;
        EXPECT_EQ(s.code, c.code);
        EXPECT_EQ(s.count, 3u);
        EXPECT_EQ(s.http_version, c.version);
        EXPECT_EQ(f.str(s.start, s.start + c.code_text.size()), c.code_text);
        EXPECT_TRUE(*s.end == '\r' || *s.end == '\n');
        EXPECT_EQ(f.str(f.b.pos, f.b.last), c.rest);
    }
}

TEST(StatusLine, ASecondLineOnTheSameContextStartsAfresh) {
    Feeder f("HTTP/1.1 407 No\r\nHTTP/1.0 200 OK\n");
    ASSERT_TRUE(f.give(f.text.size()));
    ASSERT_EQ(parse_status(f), 0);
    ASSERT_EQ(parse_status(f), 0);
    EXPECT_EQ(f.ctx.status.code, 200u);
    EXPECT_EQ(f.ctx.status.http_version, 1000u);
    EXPECT_EQ(*f.ctx.status.end, '\n');
}

} // namespace
