// Incremental parsers for HTTP/1.x request lines, header lines and status lines.
//
// Each parser consumes the bytes [buf->pos, buf->last) and keeps everything it needs between calls
// in the http_ctx_t, so a message may arrive in pieces of any size:
// - NGX_AGAIN: every byte was consumed (pos == last); call again once more bytes are held, in
//   the same buffer (grown with http_ctx_adj_buf if needed);
// - NGX_OK (and NGX_HTTP_PARSE_HEADER_DONE for the empty line ending the headers): pos is
//   just after the line and ctx->state is 0 again;
// - an error code: pos is at the offending byte; the message cannot be parsed further.
#pragma once

#include "core/buf.h"
#include "proto/http_ctx.h"

constexpr int NGX_AGAIN = -2;
constexpr int NGX_ERROR = -1; // invalid status line
constexpr int NGX_OK = 0;
constexpr int NGX_HTTP_PARSE_HEADER_DONE = 1;
constexpr int NGX_HTTP_PARSE_INVALID_METHOD = 10;
constexpr int NGX_HTTP_PARSE_INVALID_REQUEST = 11;
constexpr int NGX_HTTP_PARSE_INVALID_VERSION = 12;
constexpr int NGX_HTTP_PARSE_INVALID_09_METHOD = 13;
constexpr int NGX_HTTP_PARSE_INVALID_HEADER = 14;

// Method codes in http_ctx_t::method.
constexpr unsigned NGX_HTTP_UNKNOWN = 0;
constexpr unsigned NGX_HTTP_GET = 2;
constexpr unsigned NGX_HTTP_HEAD = 4;
constexpr unsigned NGX_HTTP_POST = 8;
constexpr unsigned NGX_HTTP_PUT = 16;
constexpr unsigned NGX_HTTP_DELETE = 32;
constexpr unsigned NGX_HTTP_MKCOL = 64;
constexpr unsigned NGX_HTTP_COPY = 128;
constexpr unsigned NGX_HTTP_MOVE = 256;
constexpr unsigned NGX_HTTP_OPTIONS = 512;
constexpr unsigned NGX_HTTP_PROPFIND = 1024;
constexpr unsigned NGX_HTTP_PROPPATCH = 2048;
constexpr unsigned NGX_HTTP_LOCK = 4096;
constexpr unsigned NGX_HTTP_UNLOCK = 8192;
constexpr unsigned NGX_HTTP_PATCH = 16384;
constexpr unsigned NGX_HTTP_TRACE = 32768;
constexpr unsigned NGX_HTTP_CONNECT = 65536;

// Request line: method, then an origin-form path, an absolute URI ("scheme://host[:port]..."),
// or for CONNECT exactly one space and "host[:port]"; then "HTTP/1.x", or nothing for an
// HTTP/0.9 GET. Records the method, the request-line pointers, host, port (an explicit port
// above 65535 is an invalid request) and the version. Results: NGX_AGAIN, NGX_OK, 10 to 13.
[[nodiscard]] int ngx_http_parse_request_line_buf(http_ctx_t *ctx, buf_t *buf);

// One header line per call. Records the name (and its lower-case form in lowcase_header), the
// value and the whole line. Results: NGX_AGAIN, NGX_OK, NGX_HTTP_PARSE_HEADER_DONE,
// NGX_HTTP_PARSE_INVALID_HEADER ('_' in a name is refused unless allow_underscores).
[[nodiscard]] int ngx_http_parse_header_line_buf(http_ctx_t *ctx, bool allow_underscores,
                                                 buf_t *buf);

// Status line "HTTP/x.y ddd reason" into ctx->status and the version fields. Results:
// NGX_AGAIN, NGX_OK, NGX_ERROR.
[[nodiscard]] int ngx_http_parse_status_line_buf(http_ctx_t *ctx, buf_t *buf);
