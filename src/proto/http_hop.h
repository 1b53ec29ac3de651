// Hop-by-hop headers of a forwarded request. Each session carries one request to one origin, so
// the forwarded request says so: the headers that describe the client's connection to the proxy
// (Connection and every header it names, Keep-Alive, Proxy-Connection, TE, Trailer, and Upgrade
// unless the request asks for an upgrade) are dropped, and "Connection: close" is added before the
// empty line. The origin then answers once, tells the client so and closes, and the session ends
// with it; the client opens a new proxy connection for its next request. An upgrade request (an
// Upgrade header that its Connection header names) keeps Upgrade and says
// "Connection: upgrade, close".
#pragma once

#include "core/buf.h"

#include <cstddef>

// Headers the Connection headers of one request may name, and the longest such name; a request
// beyond either is refused rather than forwarded with hop-by-hop headers left in.
constexpr size_t HTTP_HOP_NAMES_MAX = 16;
constexpr size_t HTTP_HOP_NAME_LEN_MAX = 64;

enum http_hop_result_t {
    HTTP_HOP_OK = 0,
    HTTP_HOP_TOO_MANY,  // the Connection headers name too many headers, or too long a name
    HTTP_HOP_MALFORMED, // the held bytes do not start with a complete request head
    HTTP_HOP_ALLOC,     // no room for the added header could be made
};

// Rewrites the request in [buf->start, buf->last) in place: its request line, header lines and
// empty line (line ends as the client wrote them, LF alone or CR LF), then any body bytes, which
// are kept as they are. The added line ends as the request's empty line does. An HTTP/0.9 request
// has no headers and is left alone. The buffer grows when the added line needs room; pos is set
// to start.
[[nodiscard]] http_hop_result_t http_hop_filter(buf_t *buf);
