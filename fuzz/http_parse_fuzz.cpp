// Hostile bytes into the HTTP parsers, in pieces, in a buffer reallocated to exactly what it holds
// before every call: recorded pointers lie inside the data, a request's segments stay in order and
// start with the origin-form path after a rewrite. Byte 0 picks the parser (request, status lines,
// header lines, Base64) and whether '_' is allowed in names; byte 1 sets the piece size.
#include "proto/http_ctx.h"
#include "proto/ngx_http_parse.h"
#include "proto/ngx_string.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Input {
    const uint8_t *data;
    size_t size, given, piece;
};

void check(bool ok) {
    if (!ok) abort();
}

// Appends the next piece and reallocates the storage to exactly what is held.
bool give(http_ctx_t *ctx, buf_t *b, Input *in) {
    size_t n = std::min(in->piece, in->size - in->given);
    if (n == 0) return false;
    size_t held = b->start == nullptr ? 0 : static_cast<size_t>(b->last - b->start);
    if (!http_ctx_adj_buf(ctx, b, held + n)) abort();
    memcpy(b->last, in->data + in->given, n);
    b->last += n;
    in->given += n;
    return true;
}

void check_ctx(const http_ctx_t *c, const buf_t *b) {
    const uint8_t *host_last = c->host.data != nullptr ? c->host.data + c->host.len : nullptr;
    const uint8_t *ptrs[] = {
        c->header_name_start, c->header_name_end, c->header_start,  c->header_end,
        c->header_line_start, c->header_line_end, c->request_start, c->request_end,
        c->method_end,        c->schema_start,    c->schema_end,    c->uri_start,
        c->uri_end,           c->host_end,        c->status.start,  c->status.end,
        c->host.data,         host_last,
    };
    for (const uint8_t *p : ptrs)
        check(p == nullptr || (p >= b->start && p <= b->last));
    check(b->pos >= b->start && b->pos <= b->last);
    check(c->lowcase_index < sizeof(c->lowcase_header));
    check(c->header_seg_count <= HTTP_MAX_HEADER_SEG);
}

template <typename Parse> int run(http_ctx_t *ctx, buf_t *b, Input *in, Parse parse) {
    for (;;) {
        int rc = parse();
        check_ctx(ctx, b);
        if (rc != NGX_AGAIN) return rc;
        check(b->pos == b->last);
        if (!give(ctx, b, in)) return rc;
    }
}

void fuzz_request(http_ctx_t *ctx, buf_t *b, Input *in, bool underscores) {
    auto request_line = [&] { return ngx_http_parse_request_line_buf(ctx, b); };
    if (run(ctx, b, in, request_line) != NGX_OK) return;
    check(ctx->request_start != nullptr && ctx->request_end != nullptr);
    check(ctx->http_version == 9 || ctx->http_major == 1);
    http_ctx_start_segments(ctx, b->start);
    for (;;) {
        int rc =
            run(ctx, b, in, [&] { return ngx_http_parse_header_line_buf(ctx, underscores, b); });
        if (rc == NGX_HTTP_PARSE_HEADER_DONE) break;
        if (rc != NGX_OK) return;
        if (http_header_name_is(ctx, "proxy-authorization", 19) ||
            http_header_name_is(ctx, "proxy-connection", 16)) {
            if (!http_skip_current_header(ctx)) return;
        }
    }
    bool rewritten = ctx->schema_start != nullptr;
    if (!http_rewrite_absolute_uri(ctx)) return;
    check(http_ctx_close_segments(ctx, b->last));
    const uint8_t *prev_end = b->start; // segments lie inside the data, in order
    for (size_t i = 0; i < ctx->header_seg_count; i++) {
        auto *base = static_cast<const uint8_t *>(ctx->header_seg[i].iov_base);
        check(base >= prev_end && base + ctx->header_seg[i].iov_len <= b->last);
        prev_end = base + ctx->header_seg[i].iov_len;
    }
    if (!rewritten) return;
    // The forwarded line is the method, its spaces, then the origin-form path.
    auto *s0 = static_cast<const uint8_t *>(ctx->header_seg[0].iov_base);
    size_t len0 = ctx->header_seg[0].iov_len;
    size_t i = static_cast<size_t>(ctx->method_end + 1 - s0);
    while (i < len0 && s0[i] == ' ')
        i++;
    check(i == len0 && ctx->header_seg_count > 1);
    check(*static_cast<const uint8_t *>(ctx->header_seg[1].iov_base) == '/');
}

void fuzz_lines(http_ctx_t *ctx, buf_t *b, Input *in, bool status, bool underscores) {
    for (int lines = 0; lines < 64; lines++) {
        int rc = run(ctx, b, in, [&] {
            return status ? ngx_http_parse_status_line_buf(ctx, b)
                          : ngx_http_parse_header_line_buf(ctx, underscores, b);
        });
        if (rc == NGX_OK && status) {
            check(ctx->status.count == 3 && ctx->status.code <= 999);
            check(ctx->status.start != nullptr && ctx->status.end != nullptr);
            check(*ctx->status.end == '\r' || *ctx->status.end == '\n');
        }
        if (rc != NGX_OK && rc != NGX_HTTP_PARSE_HEADER_DONE) return;
        if (b->pos == b->last && !give(ctx, b, in)) return;
    }
}

void fuzz_base64(const uint8_t *data, size_t size) {
    std::vector<uint8_t> out(ngx_base64_decoded_length(size) + 1);
    ngx_str_t src{size, const_cast<uint8_t *>(data)}, dst{0, out.data()};
    if (ngx_decode_base64(&dst, &src) != 0) return check(dst.len == 0);
    check(dst.len <= ngx_base64_decoded_length(size));
    std::vector<uint8_t> enc(ngx_base64_encoded_length(dst.len) + 1);
    ngx_str_t coded{0, enc.data()};
    ngx_encode_base64(&coded, &dst);
    std::vector<uint8_t> again(ngx_base64_decoded_length(coded.len) + 1);
    ngx_str_t back{0, again.data()};
    check(ngx_decode_base64(&back, &coded) == 0);
    check(back.len == dst.len && memcmp(back.data, dst.data, dst.len) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    uint8_t mode = data[0];
    Input in{data + 2, size - 2, 0, static_cast<size_t>(data[1] % 64) + 1};
    bool underscores = (mode & 4) != 0;
    http_ctx_t ctx{};
    buf_t b{};
    if ((mode & 3) != 3) give(&ctx, &b, &in);
    if ((mode & 3) == 0)
        fuzz_request(&ctx, &b, &in, underscores);
    else if ((mode & 3) < 3)
        fuzz_lines(&ctx, &b, &in, (mode & 3) == 1, underscores);
    else
        fuzz_base64(in.data, in.size);
    buf_free(&b);
    return 0;
}
