#include "proto/http_hop.h"

#include "proto/http_ctx.h"
#include "proto/ngx_http_parse.h"

#include <cstring>

namespace {

constexpr char CONNECTION_CLOSE[] = "Connection: close";
constexpr char CONNECTION_UPGRADE_CLOSE[] = "Connection: upgrade, close";

// Headers that are always the client's business with the proxy. "close" is a reserved name that
// the added Connection line itself names: an origin would take such a header for a hop-by-hop one.
constexpr const char *HOP_HEADERS[] = {"connection", "keep-alive", "proxy-connection",
                                       "te",         "trailer",    "close"};

// The header names the Connection headers list, in lower case.
struct hop_names_t {
    char name[HTTP_HOP_NAMES_MAX][HTTP_HOP_NAME_LEN_MAX];
    size_t len[HTTP_HOP_NAMES_MAX];
    size_t num;
};

uint8_t lower(uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c - 'A' + 'a') : c;
}

bool same_name(const uint8_t *p, size_t len, const char *lowcase, size_t lowcase_len) {
    if (len != lowcase_len) return false;
    for (size_t i = 0; i < len; i++)
        if (lower(p[i]) != static_cast<uint8_t>(lowcase[i])) return false;
    return true;
}

bool name_is(const http_ctx_t *h, const char *lowcase) {
    return same_name(h->header_name_start,
                     static_cast<size_t>(h->header_name_end - h->header_name_start), lowcase,
                     strlen(lowcase));
}

bool listed(const hop_names_t *names, const http_ctx_t *h) {
    for (size_t i = 0; i < names->num; i++)
        if (same_name(h->header_name_start,
                      static_cast<size_t>(h->header_name_end - h->header_name_start),
                      names->name[i], names->len[i]))
            return true;
    return false;
}

bool is_ows(uint8_t c) {
    return c == ' ' || c == '\t';
}

// Adds the comma-separated names of a Connection value; false when they do not fit.
bool add_names(hop_names_t *names, const uint8_t *p, const uint8_t *end) {
    while (p < end) {
        const uint8_t *comma = static_cast<const uint8_t *>(memchr(p, ',', end - p));
        const uint8_t *e = comma != nullptr ? comma : end;
        const uint8_t *b = p;
        while (b < e && is_ows(*b))
            b++;
        const uint8_t *t = e;
        while (t > b && is_ows(t[-1]))
            t--;
        size_t len = static_cast<size_t>(t - b);
        if (len > 0) {
            if (names->num == HTTP_HOP_NAMES_MAX || len > HTTP_HOP_NAME_LEN_MAX) return false;
            for (size_t i = 0; i < len; i++)
                names->name[names->num][i] = static_cast<char>(lower(b[i]));
            names->len[names->num++] = len;
        }
        p = comma != nullptr ? comma + 1 : end;
    }
    return true;
}

bool names_upgrade(const hop_names_t *names) {
    for (size_t i = 0; i < names->num; i++)
        if (names->len[i] == 7 && memcmp(names->name[i], "upgrade", 7) == 0) return true;
    return false;
}

// Whether a header line leaves the forwarded request.
bool dropped(const http_ctx_t *h, const hop_names_t *names, bool upgrade) {
    if (name_is(h, "upgrade")) return !upgrade;
    for (const char *hop : HOP_HEADERS)
        if (name_is(h, hop)) return true;
    return listed(names, h);
}

// First pass: the names the Connection headers list, and whether there is an Upgrade header.
http_hop_result_t collect(buf_t view, hop_names_t *names, bool *upgrade_header) {
    http_ctx_t h{};
    for (;;) {
        int rc = ngx_http_parse_header_line_buf(&h, false, &view);
        if (rc == NGX_HTTP_PARSE_HEADER_DONE) return HTTP_HOP_OK;
        if (rc != NGX_OK) return HTTP_HOP_MALFORMED;
        if (name_is(&h, "connection") && !add_names(names, h.header_start, h.header_end))
            return HTTP_HOP_TOO_MANY;
        if (name_is(&h, "upgrade")) *upgrade_header = true;
    }
}

} // namespace

http_hop_result_t http_hop_filter(buf_t *buf) {
    buf_t view = *buf;
    view.pos = buf->start;
    http_ctx_t line{};
    if (ngx_http_parse_request_line_buf(&line, &view) != NGX_OK) return HTTP_HOP_MALFORMED;
    buf->pos = buf->start;
    if (line.http_version < 1000) return HTTP_HOP_OK;
    uint8_t *headers = view.pos;
    hop_names_t names;
    names.num = 0;
    bool upgrade_header = false;
    http_hop_result_t r = collect(view, &names, &upgrade_header);
    if (r != HTTP_HOP_OK) return r;
    bool upgrade = upgrade_header && names_upgrade(&names);

    // Second pass: kept lines move down over dropped ones; the names are copies, so the Connection
    // lines they came from may be overwritten.
    http_ctx_t h{};
    uint8_t *w = headers;
    uint8_t *at = headers;
    for (;;) {
        at = view.pos;
        int rc = ngx_http_parse_header_line_buf(&h, false, &view);
        if (rc == NGX_HTTP_PARSE_HEADER_DONE) break;
        if (rc != NGX_OK) return HTTP_HOP_MALFORMED;
        if (dropped(&h, &names, upgrade)) continue;
        size_t n = static_cast<size_t>(view.pos - at);
        memmove(w, at, n);
        w += n;
    }
    // `at` is the line that ended the head (empty but for stray colons): it and the body bytes
    // after it close the gap; the added line ends as it does.
    size_t eol = view.pos - at >= 2 && view.pos[-2] == '\r' ? 2 : 1;
    size_t tail = static_cast<size_t>(buf->last - at);
    memmove(w, at, tail);
    buf->last = w + tail;

    const char *field = upgrade ? CONNECTION_UPGRADE_CLOSE : CONNECTION_CLOSE;
    size_t flen = strlen(field);
    size_t add = flen + eol;
    size_t w_off = static_cast<size_t>(w - buf->start);
    if (buf_free_space(buf) < add && !buf_check_to_write(buf, add)) return HTTP_HOP_ALLOC;
    w = buf->start + w_off;
    memmove(w + add, w, static_cast<size_t>(buf->last - w));
    memcpy(w, field, flen);
    memcpy(w + flen, eol == 2 ? "\r\n" : "\n", eol);
    buf->last += add;
    buf->pos = buf->start;
    return HTTP_HOP_OK;
}
