// The parse context of one HTTP message and the segment list of a request being forwarded.
//
// Every pointer of the context points into the buf_t being parsed. The buffer may grow while a
// message arrives: grow it with http_ctx_adj_buf so the pointers follow the storage.
//
// The segment list describes what is forwarded: it starts as one segment at the start of the
// buffer, and removing a piece (a header line, the scheme and host of an absolute URI) splits a
// segment in two. The last segment stays open: its length is set by the sender from the buffer's
// write cursor, so request bytes that arrive after the headers go along with them.
#pragma once

#include "core/buf.h"
#include "proto/ngx_string.h"

#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

constexpr size_t HTTP_MAX_HEADER_SEG = 10;

struct ngx_http_status_t {
    unsigned http_version; // major * 1000 + minor
    unsigned code;         // the three-digit status code
    unsigned count;        // status code digits read so far
    uint8_t *start;        // first digit of the code
    uint8_t *end;          // end of the line: its CR, or its LF when there is no CR
};

struct http_ctx_t {
    struct iovec header_seg[HTTP_MAX_HEADER_SEG]; // forwarded pieces, in order
    size_t header_seg_count;                      // segments in use

    uint32_t state;      // parser state between calls; 0 between messages
    uint16_t http_minor; // version digits
    uint16_t http_major;
    unsigned method;       // NGX_HTTP_GET ...; 0 for a method without a code
    unsigned http_version; // http_major * 1000 + http_minor (9 for an HTTP/0.9 request)

    uint8_t *header_name_start; // current header: first byte of its name
    uint8_t *header_name_end;   // one past its name
    uint8_t *header_start;      // first byte of its value
    uint8_t *header_end;        // one past its value
    uint8_t *header_line_start; // first byte of its line (before any stray leading ':')
    uint8_t *header_line_end;   // one past the LF that ends its line
    unsigned lowcase_index;     // name characters stored so far, modulo 32
    uint8_t lowcase_header[32]; // the name in lower case (the first 32 characters in order)

    uint8_t *request_start; // first byte of the method
    uint8_t *request_end;   // end of the request line: its CR, or its LF
    uint8_t *method_end;    // last byte of the method
    uint8_t *schema_start;  // scheme of an absolute URI ("http")
    uint8_t *schema_end;    // the ':' after the scheme
    uint8_t *uri_start;     // first byte of the URI
    uint8_t *uri_end;       // one past the URI
    uint8_t *host_end;      // one past the host and its port in an absolute URI or CONNECT target

    ngx_str_t host;           // host of an absolute URI or CONNECT target (points into the buffer)
    uint16_t port;            // port given after the host, 0 when absent
    uint32_t content_length;  // reserved for the body length
    ngx_http_status_t status; // the parsed status line
};

// Gives the buffer `size` bytes of storage: a first allocation when it has none, otherwise a
// reallocation after which every pointer of `ctx` into the old storage (segment bases, header and
// request-line pointers, host, status) points to the same byte of the new one. Fails, changing
// nothing, on allocation failure or when `size` is smaller than the bytes already written.
[[nodiscard]] bool http_ctx_adj_buf(http_ctx_t *ctx, buf_t *buf, size_t size);
// Clears every field: segments, state, version, method, pointers, host, port, status.
void http_ctx_reset(http_ctx_t *ctx);

// Starts the segment list with one open segment at `base` (the start of the request).
void http_ctx_start_segments(http_ctx_t *ctx, uint8_t *base);
// Closes the last segment at `last` (the buffer's write cursor). False when `last` lies before
// the segment's base.
[[nodiscard]] bool http_ctx_close_segments(http_ctx_t *ctx, uint8_t *last);
// Removes the bytes [start, end) from segment `index` by splitting it. False, changing nothing,
// when the list is full, the index is not in use or the range does not lie inside the segment.
[[nodiscard]] bool http_skip_payload(http_ctx_t *ctx, uint8_t *start, uint8_t *end, size_t index);
// Removes the whole header line just parsed (with its line end, whatever form it has) from the
// last segment.
[[nodiscard]] bool http_skip_current_header(http_ctx_t *ctx);
// True when the header just parsed has exactly this lower-case name (compared in full, so a long
// name whose last 32 characters happen to match is not mistaken for it).
bool http_header_name_is(const http_ctx_t *ctx, const char *lowcase_name, size_t len);
// Turns an absolute-URI request line into origin form in the segment list: "GET http://h:8/p?q
// HTTP/1.1" forwards "GET /p?q HTTP/1.1", and a URI without a path ("http://h", "http://h?q")
// forwards "/" (or "/?q"). Nothing to do for a request without a scheme. False, changing nothing,
// when the recorded request line is not coherent or the segment list cannot hold the cuts.
[[nodiscard]] bool http_rewrite_absolute_uri(http_ctx_t *ctx);
