#include "proto/ngx_http_parse.h"

#include <cstring>

namespace {

constexpr uint8_t CR = '\r';
constexpr uint8_t LF = '\n';

enum request_state : uint32_t {
    rq_start = 0,
    rq_method,
    rq_spaces_before_uri,
    rq_schema,
    rq_schema_slash,
    rq_schema_slash_slash,
    rq_host_start,
    rq_host,
    rq_host_end,
    rq_host_ip_literal,
    rq_port,
    rq_after_slash_in_uri,
    rq_check_uri,
    rq_uri,
    rq_http_09,
    rq_http_H,
    rq_http_HT,
    rq_http_HTT,
    rq_http_HTTP,
    rq_first_major_digit,
    rq_major_digit,
    rq_first_minor_digit,
    rq_minor_digit,
    rq_spaces_after_digit,
    rq_almost_done,
};

enum header_state : uint32_t {
    hd_start = 0,
    hd_name,
    hd_space_before_value,
    hd_value,
    hd_space_after_value,
    hd_ignore_line,
    hd_almost_done,
    hd_header_almost_done,
    hd_after_colon, // stray ':' before the name were skipped; the line started earlier
};

enum status_state : uint32_t {
    st_start = 0,
    st_H,
    st_HT,
    st_HTT,
    st_HTTP,
    st_first_major_digit,
    st_major_digit,
    st_first_minor_digit,
    st_minor_digit,
    st_status,
    st_space_after_status,
    st_status_text,
    st_almost_done,
};

struct method_entry {
    const char *name;
    unsigned code;
};

constexpr method_entry kMethods[] = {
    {"GET", NGX_HTTP_GET},
    {"HEAD", NGX_HTTP_HEAD},
    {"POST", NGX_HTTP_POST},
    {"PUT", NGX_HTTP_PUT},
    {"DELETE", NGX_HTTP_DELETE},
    {"MKCOL", NGX_HTTP_MKCOL},
    {"COPY", NGX_HTTP_COPY},
    {"MOVE", NGX_HTTP_MOVE},
    {"OPTIONS", NGX_HTTP_OPTIONS},
    {"PROPFIND", NGX_HTTP_PROPFIND},
    {"PROPPATCH", NGX_HTTP_PROPPATCH},
    {"LOCK", NGX_HTTP_LOCK},
    {"UNLOCK", NGX_HTTP_UNLOCK},
    {"PATCH", NGX_HTTP_PATCH},
    {"TRACE", NGX_HTTP_TRACE},
    {"CONNECT", NGX_HTTP_CONNECT},
};

unsigned method_code(const uint8_t *name, size_t len) {
    for (const method_entry &m : kMethods) {
        if (strlen(m.name) == len && memcmp(m.name, name, len) == 0) return m.code;
    }
    return NGX_HTTP_UNKNOWN;
}

bool is_letter(uint8_t ch) {
    uint8_t c = static_cast<uint8_t>(ch | 0x20);
    return c >= 'a' && c <= 'z';
}

bool is_digit(uint8_t ch) {
    return ch >= '0' && ch <= '9';
}

bool is_method_char(uint8_t ch) {
    return (ch >= 'A' && ch <= 'Z') || ch == '_' || ch == '-';
}

// Control bytes other than CR and LF, and DEL: never valid in a URI.
bool is_uri_control(uint8_t ch) {
    return (ch < 0x20 && ch != CR && ch != LF) || ch == 0x7F;
}

// Header name characters in lower case, 0 for bytes that cannot be in a name.
uint8_t name_char(uint8_t ch) {
    if (ch >= 'A' && ch <= 'Z') return static_cast<uint8_t>(ch | 0x20);
    if ((ch >= 'a' && ch <= 'z') || is_digit(ch) || ch == '-') return ch;
    return 0;
}

bool is_ip_literal_char(uint8_t ch) {
    if (is_letter(ch) || is_digit(ch)) return true;
    return strchr("-._~!$&'()*+,;=:", ch) != nullptr && ch != 0;
}

// Clears what one request line records, so a context reused without a reset cannot mix two.
void start_request(http_ctx_t *ctx, uint8_t *p) {
    ctx->request_start = p;
    ctx->request_end = ctx->method_end = nullptr;
    ctx->schema_start = ctx->schema_end = nullptr;
    ctx->uri_start = ctx->uri_end = ctx->host_end = nullptr;
    ctx->host.data = nullptr;
    ctx->host.len = 0;
    ctx->port = 0;
    ctx->http_major = ctx->http_minor = 0;
    ctx->method = NGX_HTTP_UNKNOWN;
}

// The space that ends an absolute URI or CONNECT target without a path. For an absolute URI the
// URI is the first '/' of "//", one byte long; a CONNECT target has no URI.
void authority_ends_at_space(http_ctx_t *ctx, uint8_t *p) {
    ctx->host_end = p;
    if (ctx->schema_end != nullptr) {
        ctx->uri_start = ctx->schema_end + 1;
        ctx->uri_end = ctx->schema_end + 2;
    }
}

} // namespace

int ngx_http_parse_request_line_buf(http_ctx_t *ctx, buf_t *buf) {
    uint32_t state = ctx->state;
    uint8_t *p = buf->pos;
    int rc = NGX_HTTP_PARSE_INVALID_REQUEST;

    for (; p < buf->last; p++) {
        uint8_t ch = *p;
        switch (static_cast<request_state>(state)) {
        case rq_start:
            if (ch == CR || ch == LF) break;
            if (!is_method_char(ch)) {
                rc = NGX_HTTP_PARSE_INVALID_METHOD;
                goto fail;
            }
            start_request(ctx, p);
            state = rq_method;
            break;

        case rq_method:
            if (is_method_char(ch)) break;
            if (ch != ' ') {
                rc = NGX_HTTP_PARSE_INVALID_METHOD;
                goto fail;
            }
            ctx->method_end = p - 1;
            ctx->method =
                method_code(ctx->request_start, static_cast<size_t>(p - ctx->request_start));
            state = ctx->method == NGX_HTTP_CONNECT ? rq_host_start : rq_spaces_before_uri;
            break;

        case rq_spaces_before_uri:
            if (ch == '/') {
                ctx->uri_start = p;
                state = rq_after_slash_in_uri;
            } else if (is_letter(ch)) {
                ctx->schema_start = p;
                state = rq_schema;
            } else if (ch != ' ') {
                goto fail;
            }
            break;

        case rq_schema:
            if (is_letter(ch) || is_digit(ch) || ch == '+' || ch == '-' || ch == '.') break;
            if (ch != ':') goto fail;
            ctx->schema_end = p;
            state = rq_schema_slash;
            break;

        case rq_schema_slash:
            if (ch != '/') goto fail;
            state = rq_schema_slash_slash;
            break;

        case rq_schema_slash_slash:
            if (ch != '/') goto fail;
            state = rq_host_start;
            break;

        case rq_host_start:
            ctx->host.data = p;
            if (ch == '[') {
                state = rq_host_ip_literal;
                break;
            }
            state = rq_host;
            [[fallthrough]];

        case rq_host:
            if (is_letter(ch) || is_digit(ch) || ch == '.' || ch == '-') break;
            [[fallthrough]];

        case rq_host_end:
            ctx->host.len = static_cast<size_t>(p - ctx->host.data);
            switch (ch) {
            case ':':
                state = rq_port;
                break;
            case '/':
                ctx->uri_start = ctx->host_end = p;
                state = rq_after_slash_in_uri;
                break;
            case '?':
                ctx->uri_start = ctx->host_end = p;
                state = rq_uri;
                break;
            case ' ':
                authority_ends_at_space(ctx, p);
                state = rq_http_09;
                break;
            default:
                goto fail;
            }
            break;

        case rq_host_ip_literal:
            if (ch == ']') {
                state = rq_host_end;
                break;
            }
            if (!is_ip_literal_char(ch)) goto fail;
            break;

        case rq_port:
            if (is_digit(ch)) {
                // A port that does not fit 16 bits would silently name another port.
                unsigned port = ctx->port * 10u + static_cast<unsigned>(ch - '0');
                if (port > 65535) goto fail;
                ctx->port = static_cast<uint16_t>(port);
                break;
            }
            switch (ch) {
            case '/':
                ctx->uri_start = ctx->host_end = p;
                state = rq_after_slash_in_uri;
                break;
            case '?':
                ctx->uri_start = ctx->host_end = p;
                state = rq_uri;
                break;
            case ' ':
                authority_ends_at_space(ctx, p);
                state = rq_http_09;
                break;
            default:
                goto fail;
            }
            break;

        // The three URI states end the URI alike and refuse the same bytes; they differ in
        // which state the next byte is read in.
        case rq_after_slash_in_uri:
        case rq_check_uri:
        case rq_uri:
            switch (ch) {
            case ' ':
                ctx->uri_end = p;
                state = rq_http_09;
                continue;
            case CR:
                ctx->uri_end = p;
                ctx->http_minor = 9;
                state = rq_almost_done;
                continue;
            case LF:
                ctx->uri_end = p;
                ctx->http_minor = 9;
                goto done;
            default:
                break;
            }
            if (is_uri_control(ch)) goto fail;
            if (state == rq_after_slash_in_uri) {
                switch (ch) {
                case '.':
                case '%':
                case '/':
                case '?':
                case '#':
                    state = rq_uri;
                    break;
                case '+':
                    break;
                default:
                    state = rq_check_uri;
                }
            } else if (state == rq_check_uri) {
                switch (ch) {
                case '/':
                    state = rq_after_slash_in_uri;
                    break;
                case '%':
                case '?':
                case '#':
                    state = rq_uri;
                    break;
                default:
                    break;
                }
            }
            break;

        case rq_http_09:
            switch (ch) {
            case ' ':
                break;
            case CR:
                ctx->http_minor = 9;
                state = rq_almost_done;
                break;
            case LF:
                ctx->http_minor = 9;
                goto done;
            case 'H':
                state = rq_http_H;
                break;
            default:
                goto fail;
            }
            break;

        case rq_http_H:
            if (ch != 'T') goto fail;
            state = rq_http_HT;
            break;

        case rq_http_HT:
            if (ch != 'T') goto fail;
            state = rq_http_HTT;
            break;

        case rq_http_HTT:
            if (ch != 'P') goto fail;
            state = rq_http_HTTP;
            break;

        case rq_http_HTTP:
            if (ch != '/') goto fail;
            state = rq_first_major_digit;
            break;

        case rq_first_major_digit:
            if (ch < '1' || ch > '9') goto fail;
            ctx->http_major = static_cast<uint16_t>(ch - '0');
            if (ctx->http_major != 1) {
                rc = NGX_HTTP_PARSE_INVALID_VERSION;
                goto fail;
            }
            state = rq_major_digit;
            break;

        case rq_major_digit:
            if (ch == '.') {
                state = rq_first_minor_digit;
                break;
            }
            if (!is_digit(ch)) goto fail;
            // The first digit was 1, so any further digit makes a version above 1.
            rc = NGX_HTTP_PARSE_INVALID_VERSION;
            goto fail;

        case rq_first_minor_digit:
            if (!is_digit(ch)) goto fail;
            ctx->http_minor = static_cast<uint16_t>(ch - '0');
            state = rq_minor_digit;
            break;

        case rq_minor_digit:
            switch (ch) {
            case CR:
                state = rq_almost_done;
                break;
            case LF:
                goto done;
            case ' ':
                state = rq_spaces_after_digit;
                break;
            default:
                if (!is_digit(ch) || ctx->http_minor > 99) goto fail;
                ctx->http_minor = static_cast<uint16_t>(ctx->http_minor * 10 + (ch - '0'));
            }
            break;

        case rq_spaces_after_digit:
            switch (ch) {
            case ' ':
                break;
            case CR:
                state = rq_almost_done;
                break;
            case LF:
                goto done;
            default:
                goto fail;
            }
            break;

        case rq_almost_done:
            if (ch != LF) goto fail;
            ctx->request_end = p - 1;
            goto done;

        default:
            goto fail;
        }
    }
    buf->pos = p;
    ctx->state = state;
    return NGX_AGAIN;

done:
    buf->pos = p + 1;
    if (ctx->request_end == nullptr) ctx->request_end = p;
    ctx->http_version = ctx->http_major * 1000u + ctx->http_minor;
    ctx->state = rq_start;
    if (ctx->http_version == 9 && ctx->method != NGX_HTTP_GET) {
        return NGX_HTTP_PARSE_INVALID_09_METHOD;
    }
    return NGX_OK;

fail:
    buf->pos = p;
    ctx->state = state;
    return rc;
}

int ngx_http_parse_header_line_buf(http_ctx_t *ctx, bool allow_underscores, buf_t *buf) {
    uint32_t state = ctx->state;
    uint8_t *p = buf->pos;

    for (; p < buf->last; p++) {
        uint8_t ch = *p;
        uint8_t c;
        switch (static_cast<header_state>(state)) {
        case hd_start:
            ctx->header_line_start = p;
            [[fallthrough]];

        case hd_after_colon:
            ctx->header_name_start = p;
            switch (ch) {
            case CR:
                ctx->header_end = p;
                state = hd_header_almost_done;
                continue;
            case LF:
                ctx->header_end = p;
                goto header_done;
            case ':':
                state = hd_after_colon;
                continue;
            default:
                break;
            }
            c = name_char(ch);
            if (c == 0 && !(ch == '_' && allow_underscores)) goto fail;
            ctx->lowcase_header[0] = c != 0 ? c : ch;
            ctx->lowcase_index = 1;
            state = hd_name;
            break;

        case hd_name:
            c = name_char(ch);
            if (c != 0 || (ch == '_' && allow_underscores)) {
                ctx->lowcase_header[ctx->lowcase_index++] = c != 0 ? c : ch;
                ctx->lowcase_index %= sizeof(ctx->lowcase_header);
                break;
            }
            switch (ch) {
            case ':':
            case ' ':
                ctx->header_name_end = p;
                state = hd_space_before_value;
                break;
            case CR:
                ctx->header_name_end = ctx->header_start = ctx->header_end = p;
                state = hd_almost_done;
                break;
            case LF:
                ctx->header_name_end = ctx->header_start = ctx->header_end = p;
                goto done;
            case '/':
                // A status line among the headers ("HTTP/1.1 200 OK") is passed over.
                if (p - ctx->header_name_start == 4 &&
                    memcmp(ctx->header_name_start, "HTTP", 4) == 0) {
                    state = hd_ignore_line;
                    break;
                }
                goto fail;
            default:
                goto fail;
            }
            break;

        case hd_space_before_value:
            switch (ch) {
            case ' ':
                break;
            case CR:
                ctx->header_start = ctx->header_end = p;
                state = hd_almost_done;
                break;
            case LF:
                ctx->header_start = ctx->header_end = p;
                goto done;
            case '\0':
                ctx->header_end = p;
                goto fail;
            default:
                ctx->header_start = p;
                state = hd_value;
            }
            break;

        case hd_value:
            switch (ch) {
            case ' ':
                ctx->header_end = p;
                state = hd_space_after_value;
                break;
            case CR:
                ctx->header_end = p;
                state = hd_almost_done;
                break;
            case LF:
                ctx->header_end = p;
                goto done;
            case '\0':
                ctx->header_end = p;
                goto fail;
            default:
                break;
            }
            break;

        case hd_space_after_value:
            switch (ch) {
            case ' ':
                break;
            case CR:
                state = hd_almost_done;
                break;
            case LF:
                goto done;
            case '\0':
                goto fail;
            default:
                state = hd_value;
            }
            break;

        case hd_ignore_line:
            if (ch == LF) state = hd_start;
            break;

        case hd_almost_done:
            if (ch == LF) goto done;
            if (ch != CR) goto fail;
            break;

        case hd_header_almost_done:
            if (ch != LF) goto fail;
            goto header_done;

        default:
            goto fail;
        }
    }
    buf->pos = p;
    ctx->state = state;
    return NGX_AGAIN;

done:
    buf->pos = p + 1;
    ctx->header_line_end = p + 1;
    ctx->state = hd_start;
    return NGX_OK;

header_done:
    buf->pos = p + 1;
    ctx->header_line_end = p + 1;
    ctx->state = hd_start;
    return NGX_HTTP_PARSE_HEADER_DONE;

fail:
    buf->pos = p;
    ctx->state = state;
    return NGX_HTTP_PARSE_INVALID_HEADER;
}

int ngx_http_parse_status_line_buf(http_ctx_t *ctx, buf_t *buf) {
    uint32_t state = ctx->state;
    uint8_t *p = buf->pos;
    ngx_http_status_t *st = &ctx->status;

    for (; p < buf->last; p++) {
        uint8_t ch = *p;
        switch (static_cast<status_state>(state)) {
        case st_start:
            if (ch != 'H') goto fail;
            *st = ngx_http_status_t{};
            ctx->http_major = ctx->http_minor = 0;
            state = st_H;
            break;

        case st_H:
            if (ch != 'T') goto fail;
            state = st_HT;
            break;

        case st_HT:
            if (ch != 'T') goto fail;
            state = st_HTT;
            break;

        case st_HTT:
            if (ch != 'P') goto fail;
            state = st_HTTP;
            break;

        case st_HTTP:
            if (ch != '/') goto fail;
            state = st_first_major_digit;
            break;

        case st_first_major_digit:
            if (ch < '1' || ch > '9') goto fail;
            ctx->http_major = static_cast<uint16_t>(ch - '0');
            state = st_major_digit;
            break;

        case st_major_digit:
            if (ch == '.') {
                state = st_first_minor_digit;
                break;
            }
            if (!is_digit(ch) || ctx->http_major > 99) goto fail;
            ctx->http_major = static_cast<uint16_t>(ctx->http_major * 10 + (ch - '0'));
            break;

        case st_first_minor_digit:
            if (!is_digit(ch)) goto fail;
            ctx->http_minor = static_cast<uint16_t>(ch - '0');
            state = st_minor_digit;
            break;

        case st_minor_digit:
            if (ch == ' ') {
                state = st_status;
                break;
            }
            if (!is_digit(ch) || ctx->http_minor > 99) goto fail;
            ctx->http_minor = static_cast<uint16_t>(ctx->http_minor * 10 + (ch - '0'));
            break;

        case st_status:
            if (ch == ' ') break;
            if (!is_digit(ch)) goto fail;
            if (st->count == 0) st->start = p;
            st->code = st->code * 10 + static_cast<unsigned>(ch - '0');
            if (++st->count == 3) state = st_space_after_status;
            break;

        case st_space_after_status:
            switch (ch) {
            case ' ':
            case '.':
                state = st_status_text;
                break;
            case CR:
                state = st_almost_done;
                break;
            case LF:
                goto done;
            default:
                goto fail;
            }
            break;

        case st_status_text:
            if (ch == CR) {
                state = st_almost_done;
            } else if (ch == LF) {
                goto done;
            }
            break;

        case st_almost_done:
            if (ch != LF) goto fail;
            st->end = p - 1;
            goto done;

        default:
            goto fail;
        }
    }
    buf->pos = p;
    ctx->state = state;
    return NGX_AGAIN;

done:
    buf->pos = p + 1;
    if (st->end == nullptr) st->end = p;
    st->http_version = ctx->http_major * 1000u + ctx->http_minor;
    ctx->http_version = st->http_version;
    ctx->state = st_start;
    return NGX_OK;

fail:
    buf->pos = p;
    ctx->state = state;
    return NGX_ERROR;
}
