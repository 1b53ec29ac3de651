#include "proto/http_ctx.h"

#include "proto/feed.h"
#include "proto/ngx_http_parse.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What a proxy forwards for `text` arriving in pieces of `first` bytes then `step` bytes: the
// request line and headers are parsed, the proxy headers removed, an absolute URI cut to
// origin form, and the segments gathered up to the buffer's write cursor. "<error N>" when a
// step fails.
std::string forwarded(const std::string &text, size_t first, size_t step) {
    Feeder f(text);
    int rc = feed(f, first, step,
                  [](Feeder &x) { return ngx_http_parse_request_line_buf(&x.ctx, &x.b); });
    if (rc != 0) return "<error " + std::to_string(rc) + ">";
    http_ctx_start_segments(&f.ctx, f.b.start);
    for (;;) {
        rc = feed(f, 0, step,
                  [](Feeder &x) { return ngx_http_parse_header_line_buf(&x.ctx, false, &x.b); });
        if (rc == NGX_HTTP_PARSE_HEADER_DONE) break;
        if (rc != 0) return "<error " + std::to_string(rc) + ">";
        if (http_header_name_is(&f.ctx, "proxy-authorization", 19) ||
            http_header_name_is(&f.ctx, "proxy-connection", 16)) {
            if (!http_skip_current_header(&f.ctx)) return "<error skip>";
        }
    }
    if (!f.give(text.size())) return "<error give>";
    if (!http_rewrite_absolute_uri(&f.ctx)) return "<error rewrite>";
    if (!http_ctx_close_segments(&f.ctx, f.b.last)) return "<error close>";
    std::string out;
    for (size_t i = 0; i < f.ctx.header_seg_count; i++) {
        const iovec &seg = f.ctx.header_seg[i];
        EXPECT_GE(static_cast<uint8_t *>(seg.iov_base), f.b.start);
        EXPECT_LE(static_cast<uint8_t *>(seg.iov_base) + seg.iov_len, f.b.last);
        out.append(static_cast<const char *>(seg.iov_base), seg.iov_len);
    }
    return out;
}

const std::string kLongName = std::string(32, 'x') + "Proxy-Authorization";

const struct {
    std::string in, out;
} kForwarded[] = {
    {"GET http://h/p?q HTTP/1.1\r\nHost: h\r\n\r\n", "GET /p?q HTTP/1.1\r\nHost: h\r\n\r\n"},
    // No path: the origin receives "/", whatever follows the authority.
    {"GET http://h HTTP/1.1\r\nHost: h\r\n\r\n", "GET / HTTP/1.1\r\nHost: h\r\n\r\n"},
    {"GET http://h HTTP/1.10\r\n\r\n", "GET / HTTP/1.10\r\n\r\n"},
    {"GET http://h:8080 HTTP/1.1   \r\n\r\n", "GET / HTTP/1.1   \r\n\r\n"},
    {"GET http://[::1]:8080 HTTP/1.1\n\n", "GET / HTTP/1.1\n\n"},
    {"GET http://h?a=b HTTP/1.1\r\n\r\n", "GET /?a=b HTTP/1.1\r\n\r\n"},
    {"GET http://h:81?a HTTP/1.1\r\n\r\n", "GET /?a HTTP/1.1\r\n\r\n"},
    {"HEAD http://[::1]:81/x HTTP/1.0\r\n\r\n", "HEAD /x HTTP/1.0\r\n\r\n"},
    // Proxy headers are removed with their whole line, whatever ends it; the rest pass in order
    // and the body bytes held go along.
    {"POST http://h:81/p HTTP/1.1\r\nProxy-Authorization: Basic YTpi\r\nAccept: */*\r\n"
     "Proxy-Connection: keep-alive\r\nContent-Length: 4\r\n\r\nBODY",
     "POST /p HTTP/1.1\r\nAccept: */*\r\nContent-Length: 4\r\n\r\nBODY"},
    {"GET http://h/ HTTP/1.1\nProxy-Connection: x\nA: b\n\n", "GET / HTTP/1.1\nA: b\n\n"},
    {"GET http://h/ HTTP/1.1\r\nProxy-Connection: x   \r\nA: b\r\n\r\n",
     "GET / HTTP/1.1\r\nA: b\r\n\r\n"},
    {"GET http://h/ HTTP/1.1\r\nProxy-Connection: x \n\r\n", "GET / HTTP/1.1\r\n\r\n"},
    {"GET http://h/ HTTP/1.1\r\nProxy-Connection: x\r\r\nA: b\r\n\r\n",
     "GET / HTTP/1.1\r\nA: b\r\n\r\n"},
    {"GET http://h/ HTTP/1.1\r\nProxy-Connection:\r\nProxy-Authorization\r\n\r\n",
     "GET / HTTP/1.1\r\n\r\n"},
    {"GET http://h/ HTTP/1.1\r\n::Proxy-Connection: x\r\nA: b\r\n\r\n",
     "GET / HTTP/1.1\r\nA: b\r\n\r\n"},
    {"GET http://h/ HTTP/1.1\r\n" + kLongName + ": kept\r\n\r\n",
     "GET / HTTP/1.1\r\n" + kLongName + ": kept\r\n\r\n"},
    {"GET http://h/ HTTP/1.1\r\nHTTP/1.1 200 OK\r\nA: b\r\n\r\n",
     "GET / HTTP/1.1\r\nHTTP/1.1 200 OK\r\nA: b\r\n\r\n"},
    // CONNECT and origin-form lines are not rewritten.
    {"CONNECT h:443 HTTP/1.1\r\nProxy-Authorization: Basic YTpi\r\n\r\nhello",
     "CONNECT h:443 HTTP/1.1\r\n\r\nhello"},
    {"GET /x HTTP/1.1\r\nHost: h\r\n\r\n", "GET /x HTTP/1.1\r\nHost: h\r\n\r\n"},
    // Every removal takes a segment: more proxy headers than the list holds is a failure.
    {"GET http://h/ HTTP/1.1\r\n" +
         [] {
             std::string s;
             for (int i = 0; i < 10; i++)
                 s += "Proxy-Connection: x\r\n";
             return s;
         }() +
         "\r\n",
     "<error skip>"},
    {"GET http://h/ HTTP/1.1\r\nA_B: x\r\n\r\n", "<error 14>"},
    {"GET http://h:70000/ HTTP/1.1\r\n\r\n", "<error 11>"},
};

TEST(HttpCtx, ForwardsTheRewrittenRequestAtEverySplit) {
    for (const auto &c : kForwarded) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(forwarded(c.in, c.in.size(), 0), c.out);
        for (size_t cut = 1; cut < c.in.size(); cut++) {
            ASSERT_EQ(forwarded(c.in, cut, 0), c.out) << "split at " << cut;
        }
        EXPECT_EQ(forwarded(c.in, 1, 1), c.out) << "byte by byte";
    }
}

TEST(HttpCtx, RewriteLeavesTheListAloneWhenItCannotCut) {
    Feeder f("GET http://h HTTP/1.1\r\n");
    ASSERT_TRUE(f.give(f.text.size()));
    ASSERT_EQ(ngx_http_parse_request_line_buf(&f.ctx, &f.b), 0);
    // Nine segments in use leave room for one cut, and this line needs two.
    http_ctx_start_segments(&f.ctx, f.b.start);
    for (size_t i = 1; i < 9; i++) {
        ASSERT_TRUE(http_skip_payload(&f.ctx, f.b.last, f.b.last, f.ctx.header_seg_count - 1));
    }
    http_ctx_t before = f.ctx;
    EXPECT_FALSE(http_rewrite_absolute_uri(&f.ctx));
    EXPECT_EQ(memcmp(&before, &f.ctx, sizeof(before)), 0);

    // Pointers that do not describe an authority are refused rather than cut.
    http_ctx_reset(&f.ctx);
    f.b.pos = f.b.start;
    ASSERT_EQ(ngx_http_parse_request_line_buf(&f.ctx, &f.b), 0);
    http_ctx_start_segments(&f.ctx, f.b.start);
    f.ctx.host_end = f.ctx.request_end + 1;
    EXPECT_FALSE(http_rewrite_absolute_uri(&f.ctx));
    f.ctx.host_end = f.ctx.host.data - 1;
    EXPECT_FALSE(http_rewrite_absolute_uri(&f.ctx));
}

TEST(HttpCtx, SkipPayloadSplitsShortensOrRefuses) {
    uint8_t b[100];
    http_ctx_t ctx{};
    http_ctx_start_segments(&ctx, b);
    ASSERT_TRUE(http_skip_payload(&ctx, b + 10, b + 20, 0)); // last: [0,10) [20,open)
    ASSERT_TRUE(http_ctx_close_segments(&ctx, b + 50));      // [0,10) [20,50)
    ASSERT_TRUE(http_skip_payload(&ctx, b + 5, b + 10, 0));  // ends at the cut: [0,5) [20,50)
    ASSERT_EQ(ctx.header_seg_count, 2u);
    ASSERT_TRUE(http_skip_payload(&ctx, b + 1, b + 2, 0)); // inside: [0,1) [2,5) [20,50)
    ASSERT_EQ(ctx.header_seg_count, 3u);
    const std::pair<size_t, size_t> want[] = {{0, 1}, {2, 3}, {20, 30}};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(static_cast<uint8_t *>(ctx.header_seg[i].iov_base) - b,
                  static_cast<ptrdiff_t>(want[i].first));
        EXPECT_EQ(ctx.header_seg[i].iov_len, want[i].second);
    }
    http_ctx_t before = ctx;
    EXPECT_FALSE(http_skip_payload(&ctx, b + 3, b + 6, 1));   // runs past the segment
    EXPECT_FALSE(http_skip_payload(&ctx, b + 0, b + 3, 1));   // starts before it
    EXPECT_FALSE(http_skip_payload(&ctx, b + 4, b + 3, 1));   // reversed
    EXPECT_FALSE(http_skip_payload(&ctx, b + 21, b + 22, 3)); // no such segment
    EXPECT_FALSE(http_ctx_close_segments(&ctx, b + 10));      // before the last base
    EXPECT_EQ(memcmp(&before, &ctx, sizeof(ctx)), 0);
}

TEST(HttpCtx, AdjBufMovesOnlyPointersIntoTheBuffer) {
    Feeder f("GET http://host:81/p HTTP/1.1\r\nAb: cd\r\n");
    ASSERT_TRUE(f.give(f.text.size()));
    ASSERT_EQ(ngx_http_parse_request_line_buf(&f.ctx, &f.b), 0);
    http_ctx_start_segments(&f.ctx, f.b.start);
    ASSERT_EQ(ngx_http_parse_header_line_buf(&f.ctx, false, &f.b), 0);
    uint8_t outside = 0;
    f.ctx.status.start = &outside;
    f.ctx.content_length = 7;

    // Shrinking below the bytes held would lose them.
    size_t cap = buf_capacity(&f.b);
    EXPECT_FALSE(http_ctx_adj_buf(&f.ctx, &f.b, f.text.size() - 1));
    EXPECT_EQ(buf_capacity(&f.b), cap);

    // Grow far enough that the storage certainly moves.
    uint8_t *old = f.b.start;
    ASSERT_TRUE(http_ctx_adj_buf(&f.ctx, &f.b, 1 << 22));
    ASSERT_NE(f.b.start, old);
    EXPECT_EQ(f.str(f.ctx.host.data, f.ctx.host.data + f.ctx.host.len), "host");
    EXPECT_EQ(f.str(f.ctx.uri_start, f.ctx.uri_end), "/p");
    EXPECT_EQ(f.str(f.ctx.request_start, f.ctx.method_end + 1), "GET");
    EXPECT_EQ(f.str(f.ctx.header_line_start, f.ctx.header_line_end), "Ab: cd\r\n");
    EXPECT_EQ(f.str(f.ctx.header_start, f.ctx.header_end), "cd");
    EXPECT_EQ(f.ctx.header_seg[0].iov_base, f.b.start);
    EXPECT_EQ(f.ctx.status.start, &outside);
    EXPECT_EQ(f.ctx.schema_start, f.b.start + 4);
    EXPECT_EQ(f.ctx.status.end, nullptr);
    EXPECT_EQ(f.ctx.content_length, 7u);
}

} // namespace
