#include "bjson/binary_json_parse.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// First storage of a text buffer.
constexpr size_t TEXT_FIRST_CAP = 1024;
// Widest "%f" text written as it is; wider values are written in exponent form.
constexpr size_t DOUBLE_TEXT_MAX = 63;
// Longest number run the parser accepts (it is copied to a bounded buffer for strtod).
constexpr size_t NUMBER_RUN_MAX = 255;
// Pre-sized members of a parsed object and slots of a parsed array.
constexpr uint32_t PARSE_OBJECT_CAP = 10;
constexpr uint32_t PARSE_ARRAY_CAP = 10;

// ---- encoding ----

bool put(buf_t *buf, const void *data, size_t len) {
    if (!buf_check_to_write(buf, len)) return false;
    memcpy(buf->last, data, len);
    buf->last += len;
    return true;
}

bool put_str(buf_t *buf, const char *text) {
    return put(buf, text, strlen(text));
}

// A double as JSON: "%f" when it fits in 63 characters, else the shortest exact "%.17g" form
// without the '+' of the exponent (the parser takes no '+'); NaN and infinities as null.
bool put_double(buf_t *buf, double d) {
    if (!std::isfinite(d)) return put_str(buf, "null");
    char text[DOUBLE_TEXT_MAX + 1];
    int n = snprintf(text, sizeof text, "%f", d);
    if (n < 0 || static_cast<size_t>(n) > DOUBLE_TEXT_MAX) {
        char wide[40];
        n = snprintf(wide, sizeof wide, "%.17g", d);
        size_t out = 0;
        for (int i = 0; i < n; ++i)
            if (wide[i] != '+') text[out++] = wide[i];
        text[out] = '\0';
    }
    return put_str(buf, text);
}

bool put_escaped(buf_t *buf, const char *data, size_t len) {
    if (!put(buf, "\"", 1)) return false;
    size_t run = 0; // bytes written unchanged are copied in runs
    for (size_t i = 0; i < len; ++i) {
        const char *esc = nullptr;
        switch (data[i]) {
        case '"':
            esc = "\\\"";
            break;
        case '\\':
            esc = "\\\\";
            break;
        case '/':
            esc = "\\/";
            break;
        case '\n':
            esc = "\\n";
            break;
        case '\r':
            esc = "\\r";
            break;
        case '\t':
            esc = "\\t";
            break;
        case '\b':
            esc = "\\b";
            break;
        case '\f':
            esc = "\\f";
            break;
        default:
            continue;
        }
        if (!put(buf, data + run, i - run) || !put(buf, esc, 2)) return false;
        run = i + 1;
    }
    return put(buf, data + run, len - run) && put(buf, "\"", 1);
}

bool encode_node(const bjson_val_t *val, buf_t *buf, bool top);

struct member_walk {
    buf_t *buf;
    bool first;
};

bool put_member(bjson_val_t *member, void *ctx) {
    auto *w = static_cast<member_walk *>(ctx);
    if (!w->first && !put(w->buf, ",", 1)) return false;
    w->first = false;
    return put_escaped(w->buf, member->key.data, member->key.len) && put(w->buf, ":", 1) &&
           encode_node(member, w->buf, false);
}

bool encode_node(const bjson_val_t *val, buf_t *buf, bool top) {
    char num[32];
    switch (val->type) {
    case BJSON_NULL:
        return put_str(buf, "null");
    case BJSON_BOOL:
        return put_str(buf, val->i != 0 ? "true" : "false");
    case BJSON_INT:
        snprintf(num, sizeof num, "%" PRId64, val->i);
        return put_str(buf, num);
    case BJSON_UINT:
        snprintf(num, sizeof num, "%" PRIu64, val->u);
        return put_str(buf, num);
    case BJSON_FLOAT:
        return put_double(buf, val->f);
    case BJSON_DOUBLE:
        return put_double(buf, val->d);
    case BJSON_STRING:
        return put_escaped(buf, val->s.data, val->s.len);
    case BJSON_ARRAY:
        if (!put(buf, "[", 1)) return false;
        for (uint32_t i = 0; i < val->list.len; ++i) {
            if (i > 0 && !put(buf, ",", 1)) return false;
            if (!encode_node(val->list.arr[i], buf, false)) return false;
        }
        return put(buf, "]", 1);
    case BJSON_OBJECT: {
        member_walk w{buf, true};
        return put(buf, "{", 1) && bjson_object_foreach(val, put_member, &w) && put(buf, "}", 1);
    }
    default:
        // Nothing is written for these kinds; inside a container that would leave "[1,]".
        return top;
    }
}

// ---- decoding ----

struct parser {
    const char *p;
    const char *end;

    bool at_end() const { return p == end; }
    void skip_space() {
        while (p != end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
    }
};

bool parse_node(parser &ps, bjson_val_t *val, int depth);

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One escape after the backslash at s; writes its bytes to out (when not null) and gives their
// count, or -1 for a bad escape. *s moves past the escape.
int unescape(const char *&s, const char *end, char *out) {
    if (s == end) return -1;
    char c = *s++;
    char single = 0;
    switch (c) {
    case '"':
    case '\\':
    case '/':
        single = c;
        break;
    case 'b':
        single = '\b';
        break;
    case 'f':
        single = '\f';
        break;
    case 'n':
        single = '\n';
        break;
    case 'r':
        single = '\r';
        break;
    case 't':
        single = '\t';
        break;
    case 'u': {
        if (end - s < 4) return -1;
        unsigned cp = 0;
        for (int i = 0; i < 4; ++i) {
            int h = hex_digit(s[i]);
            if (h < 0) return -1;
            cp = cp << 4 | static_cast<unsigned>(h);
        }
        s += 4;
        uint8_t bytes[3];
        int n;
        if (cp < 0x80) {
            bytes[0] = static_cast<uint8_t>(cp);
            n = 1;
        } else if (cp < 0x800) {
            bytes[0] = static_cast<uint8_t>(0xC0 | cp >> 6);
            bytes[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            n = 2;
        } else {
            bytes[0] = static_cast<uint8_t>(0xE0 | cp >> 12);
            bytes[1] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
            bytes[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            n = 3;
        }
        if (out != nullptr) memcpy(out, bytes, static_cast<size_t>(n));
        return n;
    }
    default:
        return -1;
    }
    if (out != nullptr) *out = single;
    return 1;
}

// The string whose opening quote is at ps.p, in two passes: measure, then decode into an owned
// buffer. *text is malloc'ed and NUL-terminated.
bool parse_string(parser &ps, char **text, size_t *len) {
    const char *start = ps.p + 1;
    size_t n = 0;
    const char *s = start;
    for (;;) {
        if (s == ps.end) return false;
        if (*s == '"') break;
        if (*s++ != '\\') {
            ++n;
            continue;
        }
        int k = unescape(s, ps.end, nullptr);
        if (k < 0) return false;
        n += static_cast<size_t>(k);
    }
    char *out = static_cast<char *>(malloc(n + 1));
    if (out == nullptr) return false;
    size_t w = 0;
    for (s = start; *s != '"';) {
        if (*s != '\\') {
            out[w++] = *s++;
            continue;
        }
        ++s;
        w += static_cast<size_t>(unescape(s, ps.end, out + w));
    }
    out[w] = '\0';
    ps.p = s + 1;
    *text = out;
    *len = n;
    return true;
}

bool parse_number(parser &ps, bjson_val_t *val) {
    const char *start = ps.p;
    bool dot = false, exp = false, minus = false;
    for (; ps.p != ps.end; ++ps.p) {
        char c = *ps.p;
        bool *seen = c == '.' ? &dot : (c == 'e' || c == 'E') ? &exp : c == '-' ? &minus : nullptr;
        if (seen == nullptr && (c < '0' || c > '9')) break;
        if (seen != nullptr) {
            if (*seen) return false;
            *seen = true;
        }
    }
    // A number cannot be the last byte of the text.
    size_t len = static_cast<size_t>(ps.p - start);
    if (ps.p == ps.end || len > NUMBER_RUN_MAX) return false;
    char run[NUMBER_RUN_MAX + 1];
    memcpy(run, start, len);
    run[len] = '\0';
    char *stop = nullptr;
    errno = 0;
    if (dot || exp) {
        double d = strtod(run, &stop);
        if (stop != run + len) return false;
        bjson_set_double(val, d);
    } else if (!minus) {
        unsigned long long u = strtoull(run, &stop, 10);
        if (stop != run + len) return false;
        bjson_set_uint(val, u);
    } else {
        long long i = strtoll(run, &stop, 10);
        if (stop != run + len) return false;
        bjson_set_int(val, i);
    }
    return true;
}

bool parse_object(parser &ps, bjson_val_t *val, int depth) {
    if (!bjson_set_object(val, PARSE_OBJECT_CAP)) return false;
    ++ps.p;
    for (;;) {
        ps.skip_space();
        if (ps.at_end()) return false;
        if (*ps.p == '}') break; // also after a comma, and for an empty object
        if (*ps.p != '"') return false;
        char *key;
        size_t key_len;
        if (!parse_string(ps, &key, &key_len)) return false;
        bjson_val_t *member = bjson_create();
        if (member == nullptr) {
            free(key);
            return false;
        }
        member->key = {key_len, key};
        member->key_alloc = true;
        ps.skip_space();
        bool ok = !ps.at_end() && *ps.p++ == ':' && parse_node(ps, member, depth) &&
                  dictAdd(val->map, &member->key, member) == DICT_OK;
        if (!ok) {
            bjson_free(member); // a key already present fails too
            return false;
        }
        ps.skip_space();
        if (ps.at_end()) return false;
        if (*ps.p == '}') break;
        if (*ps.p++ != ',') return false;
    }
    ++ps.p;
    return true;
}

bool parse_array(parser &ps, bjson_val_t *val, int depth) {
    if (!bjson_set_array(val, PARSE_ARRAY_CAP)) return false;
    ++ps.p;
    ps.skip_space();
    if (!ps.at_end() && *ps.p == ']') {
        ++ps.p;
        return true;
    }
    for (;;) {
        bjson_val_t *element = bjson_create();
        if (element == nullptr) return false;
        if (!parse_node(ps, element, depth) || !bjson_array_add(val, element)) {
            bjson_free(element);
            return false;
        }
        ps.skip_space();
        if (ps.at_end()) return false;
        char c = *ps.p++;
        if (c == ']') return true;
        if (c != ',') return false;
    }
}

bool parse_literal(parser &ps, bjson_val_t *val) {
    static const struct {
        const char *text;
        int kind; // 1 true, 0 false, -1 null
    } literals[] = {{"true", 1}, {"false", 0}, {"null", -1}};
    for (const auto &lit : literals) {
        size_t n = strlen(lit.text);
        if (static_cast<size_t>(ps.end - ps.p) < n || memcmp(ps.p, lit.text, n) != 0) continue;
        ps.p += n;
        if (lit.kind >= 0) bjson_set_bool(val, lit.kind == 1);
        return true;
    }
    return false;
}

bool parse_node(parser &ps, bjson_val_t *val, int depth) {
    ps.skip_space();
    if (ps.at_end()) return false;
    char c = *ps.p;
    if (c == '{' || c == '[') {
        if (depth >= BJSON_MAX_DEPTH) return false;
        return c == '{' ? parse_object(ps, val, depth + 1) : parse_array(ps, val, depth + 1);
    }
    if (c == '"') {
        char *text;
        size_t len;
        if (!parse_string(ps, &text, &len)) return false;
        bjson_set_null(val);
        val->type = BJSON_STRING;
        val->val_alloc = true;
        val->s = {len, text};
        return true;
    }
    if (c == '-' || (c >= '0' && c <= '9')) return parse_number(ps, val);
    if (c == 't' || c == 'f' || c == 'n') return parse_literal(ps, val);
    return false; // control bytes and everything else
}

} // namespace

bool bjson_encode_to_str_with_buf(const bjson_val_t *val, buf_t *buf) {
    if (val == nullptr || buf == nullptr) return false;
    if (buf->start == nullptr && !buf_alloc(buf, TEXT_FIRST_CAP)) return false;
    size_t mark = static_cast<size_t>(buf->last - buf->start);
    if (!encode_node(val, buf, true)) {
        buf->last = buf->start + mark;
        return false;
    }
    return true;
}

bool bjson_encode_to_str(const bjson_val_t *val, char **buffer, size_t *size) {
    if (buffer == nullptr || size == nullptr) return false;
    buf_t buf = {};
    if (!bjson_encode_to_str_with_buf(val, &buf) || !put(&buf, "", 1)) {
        buf_free(&buf);
        return false;
    }
    *buffer = reinterpret_cast<char *>(buf.start);
    *size = buf_size(&buf);
    return true;
}

bool bjson_decode_from_str(bjson_val_t **val, const char *text, size_t len) {
    if (val == nullptr || text == nullptr || len == 0) return false;
    bjson_val_t *root = bjson_create();
    if (root == nullptr) return false;
    parser ps{text, text + len};
    bool ok = parse_node(ps, root, 0);
    // After the value: whitespace only, up to the end or a NUL that ends the text early.
    if (ok) {
        ps.skip_space();
        ok = ps.at_end() || *ps.p == '\0';
    }
    if (!ok) {
        bjson_free(root);
        return false;
    }
    *val = root;
    return true;
}
