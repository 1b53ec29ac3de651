// Hostile bytes into the hop-by-hop filter, in a buffer of exactly their size: accepted output is
// a request head the parsers read, the body unchanged after it, and a fixed point of the filter.
#include "proto/http_ctx.h"
#include "proto/http_hop.h"
#include "proto/ngx_http_parse.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Filters a copy of the bytes; the result, and the output in *out when accepted.
http_hop_result_t run(const uint8_t *data, size_t size, std::string *out) {
    buf_t b{};
    if (size == 0 || !buf_alloc(&b, size)) return HTTP_HOP_MALFORMED;
    memcpy(b.start, data, size);
    b.last = b.start + size;
    http_hop_result_t r = http_hop_filter(&b);
    out->assign(reinterpret_cast<const char *>(b.pos), buf_size(&b));
    buf_free(&b);
    return r;
}

// Length of the request head (through its empty line), or 0 when the parsers cannot read one.
size_t head_length(const std::string &s) {
    auto *p = reinterpret_cast<uint8_t *>(const_cast<char *>(s.data()));
    buf_t b{p, p + s.size(), p, p + s.size()};
    http_ctx_t ctx{};
    if (ngx_http_parse_request_line_buf(&ctx, &b) != NGX_OK) return 0;
    if (ctx.http_version < 1000) return static_cast<size_t>(b.pos - b.start);
    http_ctx_t h{};
    for (;;) {
        int rc = ngx_http_parse_header_line_buf(&h, false, &b);
        if (rc == NGX_HTTP_PARSE_HEADER_DONE) return static_cast<size_t>(b.pos - b.start);
        if (rc != NGX_OK) return 0;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string once;
    if (run(data, size, &once) != HTTP_HOP_OK) return 0;
    std::string in(reinterpret_cast<const char *>(data), size);
    size_t in_head = head_length(in), out_head = head_length(once);
    std::string twice;
    if (in_head == 0 || out_head == 0 ||
        in.compare(in_head, std::string::npos, once, out_head, std::string::npos) != 0 ||
        run(reinterpret_cast<const uint8_t *>(once.data()), once.size(), &twice) != HTTP_HOP_OK ||
        twice != once)
        abort();
    return 0;
}
