#include "bjson/binary_json_raw.h"

#include "bjson/binary_json_wire.h"

#include <cmath>
#include <cstdarg>
#include <cstring>

using namespace bjson_wire;

namespace {

// Room for `need` more bytes (exactly that much when the buffer has no storage yet).
bool room(buf_t *buf, size_t need) {
    if (buf == nullptr) return false;
    return buf_check_to_write(buf, need);
}

const uint8_t *read_end(const buf_t *buf) {
    return buf->last;
}

bool take_tag(buf_t *buf, uint8_t kind, uint64_t *n) {
    if (buf->pos == buf->last || (*buf->pos & KIND_MASK) != kind) return false;
    uint8_t tag = *buf->pos;
    const uint8_t *p = buf->pos + 1;
    if (!get_len(p, read_end(buf), tag, n)) return false;
    buf->pos = const_cast<uint8_t *>(p);
    return true;
}

bool take_number(buf_t *buf, number *num) {
    const uint8_t *p = buf->pos;
    if (!get_number(p, read_end(buf), num)) return false;
    buf->pos = const_cast<uint8_t *>(p);
    return true;
}

// Truncates toward zero, saturating at the ends of the range (NaN gives 0).
int64_t double_to_int(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775808.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(d);
}

uint64_t double_to_uint(double d) {
    if (d >= 9223372036854775808.0) {
        return d >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(d);
    }
    return static_cast<uint64_t>(double_to_int(d));
}

double number_as_double(const number &num) {
    switch (num.type) {
    case BJSON_FLOAT:
        return num.f;
    case BJSON_DOUBLE:
        return num.d;
    case BJSON_UINT:
        return static_cast<double>(num.u);
    default:
        return static_cast<double>(num.i);
    }
}

bool write_table(buf_t *buf, size_t n, const uint32_t *lengths, const char *const *keys) {
    size_t nibbles = 0;
    for (size_t i = 0; i < n; ++i) {
        uint64_t len = keys != nullptr ? strlen(keys[i]) : lengths[i];
        if (len == 0 || len > KEY_LEN_MAX) return false; // an empty key has no form
        nibbles += key_nibbles(len);
    }
    if (!room(buf, len_size(n) + (nibbles + 1) / 2)) return false;
    nibble_writer w{put_len(buf->last, KIND_OBJECT, n)};
    for (size_t i = 0; i < n; ++i)
        w.put_length(keys != nullptr ? strlen(keys[i]) : lengths[i]);
    buf->last = w.finish();
    return true;
}

bool skip_value(const uint8_t *&p, const uint8_t *end, int depth);

bool skip_object(const uint8_t *&p, const uint8_t *end, uint64_t n, int depth) {
    if (n == 0) return true;
    if (n > static_cast<uint64_t>(end - p)) return false;
    const uint8_t *data;
    if (!table_span(p, end, n, &data)) return false;
    // The table is read in place a second time, key by key: nothing is allocated.
    nibble_reader table{p, data};
    p = data;
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t len;
        if (!table.length(&len) || len > static_cast<uint64_t>(end - p)) return false;
        p += len;
        if (!skip_value(p, end, depth)) return false;
    }
    return true;
}

bool skip_value(const uint8_t *&p, const uint8_t *end, int depth) {
    if (p == end) return false;
    uint8_t tag = *p;
    int payload = fixed_payload(tag);
    if (payload >= 0) {
        if (end - p - 1 < payload) return false;
        p += 1 + payload;
        return true;
    }
    if (tag < KIND_STRING) return false; // 0x0A..0x0F
    ++p;
    uint64_t n;
    if (!get_len(p, end, tag, &n) || n > static_cast<uint64_t>(end - p)) return false;
    uint8_t kind = tag & KIND_MASK;
    if (kind == KIND_STRING) {
        p += n;
        return true;
    }
    if (depth >= BJSON_MAX_DEPTH) return false;
    if (kind == KIND_OBJECT) return skip_object(p, end, n, depth + 1);
    for (uint64_t i = 0; i < n; ++i)
        if (!skip_value(p, end, depth + 1)) return false;
    return true;
}

} // namespace

// ---- writers ----

bool bjson_raw_write_null(buf_t *buf) {
    if (!room(buf, 1)) return false;
    *buf->last++ = TAG_NULL;
    return true;
}

bool bjson_raw_write_bool(buf_t *buf, bool b) {
    if (!room(buf, 1)) return false;
    *buf->last++ = b ? TAG_TRUE : TAG_FALSE;
    return true;
}

bool bjson_raw_write_int(buf_t *buf, int64_t v) {
    if (!room(buf, int_size(v))) return false;
    buf->last = put_int(buf->last, v);
    return true;
}

bool bjson_raw_write_uint(buf_t *buf, uint64_t v) {
    // Unsigned ranges: only the non-negative signed forms, anything from 2^31 on as 0x09.
    if (v <= INT32_MAX) return bjson_raw_write_int(buf, static_cast<int64_t>(v));
    if (!room(buf, 9)) return false;
    buf->last = put_u64(buf->last, v);
    return true;
}

bool bjson_raw_write_float(buf_t *buf, float f) {
    if (!room(buf, 5)) return false;
    buf->last = put_float(buf->last, f);
    return true;
}

bool bjson_raw_write_double(buf_t *buf, double d) {
    if (!room(buf, 9)) return false;
    buf->last = put_double(buf->last, d);
    return true;
}

bool bjson_raw_write_string(buf_t *buf, const char *data, size_t len) {
    if (!room(buf, len_size(len) + len)) return false;
    buf->last = put_len(buf->last, KIND_STRING, len);
    if (len > 0) memcpy(buf->last, data, len);
    buf->last += len;
    return true;
}

bool bjson_raw_write_array(buf_t *buf, size_t n) {
    if (!room(buf, len_size(n))) return false;
    buf->last = put_len(buf->last, KIND_ARRAY, n);
    return true;
}

bool bjson_raw_write_object(buf_t *buf, size_t n, ...) {
    // Keys are gathered in batches so that any number of them needs no allocation.
    constexpr size_t BATCH = 64;
    const char *keys[BATCH];
    va_list ap;
    va_start(ap, n);
    size_t got = n < BATCH ? n : BATCH;
    for (size_t i = 0; i < got; ++i)
        keys[i] = va_arg(ap, const char *);
    bool ok = true;
    if (n <= BATCH) {
        ok = write_table(buf, n, nullptr, keys);
    } else {
        // Long lists: lengths first into a table the size of the count.
        auto *lengths = static_cast<uint32_t *>(malloc(n * sizeof(uint32_t)));
        ok = lengths != nullptr;
        for (size_t i = 0; ok && i < n; ++i) {
            size_t len = strlen(i < BATCH ? keys[i] : va_arg(ap, const char *));
            ok = len > 0 && len <= KEY_LEN_MAX;
            if (ok) lengths[i] = static_cast<uint32_t>(len);
        }
        ok = ok && write_table(buf, n, lengths, nullptr);
        free(lengths);
    }
    va_end(ap);
    return ok;
}

bool bjson_raw_write_object_by_array(buf_t *buf, size_t n, const uint32_t *lengths) {
    if (n > 0 && lengths == nullptr) return false;
    return write_table(buf, n, lengths, nullptr);
}

bool bjson_raw_write_object_key(buf_t *buf, const char *key, size_t len) {
    if (!room(buf, len)) return false;
    if (len > 0) memcpy(buf->last, key, len);
    buf->last += len;
    return true;
}

// ---- readers ----

bool bjson_raw_read_null(buf_t *buf) {
    if (buf->pos == buf->last || *buf->pos != TAG_NULL) return false;
    ++buf->pos;
    return true;
}

bool bjson_raw_read_bool(buf_t *buf, bool *b) {
    if (buf->pos == buf->last || (*buf->pos != TAG_TRUE && *buf->pos != TAG_FALSE)) return false;
    *b = *buf->pos++ == TAG_TRUE;
    return true;
}

bool bjson_raw_read_int(buf_t *buf, int64_t *v) {
    number num;
    if (!take_number(buf, &num)) return false;
    if (num.type == BJSON_FLOAT || num.type == BJSON_DOUBLE) {
        *v = double_to_int(number_as_double(num));
    } else {
        *v = static_cast<int64_t>(num.u);
    }
    return true;
}

bool bjson_raw_read_uint(buf_t *buf, uint64_t *v) {
    number num;
    if (!take_number(buf, &num)) return false;
    if (num.type == BJSON_FLOAT || num.type == BJSON_DOUBLE) {
        *v = double_to_uint(number_as_double(num));
    } else {
        *v = num.u;
    }
    return true;
}

bool bjson_raw_read_float(buf_t *buf, float *f) {
    number num;
    if (!take_number(buf, &num)) return false;
    *f = num.type == BJSON_FLOAT ? num.f : to_float(number_as_double(num));
    return true;
}

bool bjson_raw_read_double(buf_t *buf, double *d) {
    number num;
    if (!take_number(buf, &num)) return false;
    *d = number_as_double(num);
    return true;
}

bool bjson_raw_read_string(buf_t *buf, bjson_str_t *str, bool copy) {
    uint64_t n;
    if (!take_tag(buf, KIND_STRING, &n) || n > buf_size(buf)) return false;
    const char *text = reinterpret_cast<const char *>(buf->pos);
    if (copy) {
        if (!bjson_str_init(str, text, static_cast<size_t>(n))) return false;
    } else {
        str->data = const_cast<char *>(text);
        str->len = static_cast<size_t>(n);
    }
    buf->pos += n;
    return true;
}

bool bjson_raw_read_array_len(buf_t *buf, size_t *n) {
    uint64_t count;
    if (!take_tag(buf, KIND_ARRAY, &count) || count > buf_size(buf)) return false;
    *n = static_cast<size_t>(count);
    return true;
}

bool bjson_raw_read_object(buf_t *buf, bjson_raw_object_ctx_t *ctx) {
    uint64_t n;
    if (!take_tag(buf, KIND_OBJECT, &n) || n > buf_size(buf)) return false;
    const uint8_t *table_end = buf->pos;
    if (n > 0 && !table_span(buf->pos, read_end(buf), n, &table_end)) return false;
    ctx->len = static_cast<size_t>(n);
    ctx->key_len_buf.start = ctx->key_len_buf.pos = buf->pos;
    ctx->key_len_buf.last = ctx->key_len_buf.end = const_cast<uint8_t *>(table_end);
    ctx->count = 0;
    ctx->key_len = 0;
    ctx->c = 0;
    ctx->half = -1;
    buf->pos = const_cast<uint8_t *>(table_end);
    return true;
}

bool bjson_raw_read_object_key(buf_t *buf, bjson_raw_object_ctx_t *ctx, bjson_str_t *key,
                               bool copy) {
    if (ctx->count >= ctx->len) return false;
    uint64_t len = 0;
    ctx->c = 0;
    for (;;) {
        uint8_t nib;
        if (ctx->half >= 0) {
            nib = static_cast<uint8_t>(ctx->half);
            ctx->half = -1;
        } else {
            buf_t *t = &ctx->key_len_buf;
            if (t->pos == t->last) return false;
            nib = static_cast<uint8_t>(*t->pos >> 4);
            ctx->half = static_cast<int16_t>(*t->pos++ & 0x0F);
        }
        if (ctx->c == KEY_DIGITS_MAX) return false;
        len |= static_cast<uint64_t>(nib & 7) << (3 * ctx->c++);
        if ((nib & 8) == 0) break;
    }
    if (len == 0 || len > KEY_LEN_MAX || len > buf_size(buf)) return false;
    ctx->key_len = static_cast<uint32_t>(len);
    const char *text = reinterpret_cast<const char *>(buf->pos);
    if (copy) {
        if (!bjson_str_init(key, text, ctx->key_len)) return false;
    } else {
        key->data = const_cast<char *>(text);
        key->len = ctx->key_len;
    }
    buf->pos += ctx->key_len;
    ctx->count++;
    return true;
}

bool bjson_raw_read_skip(buf_t *buf) {
    const uint8_t *p = buf->pos;
    if (!skip_value(p, read_end(buf), 0)) return false;
    buf->pos = const_cast<uint8_t *>(p);
    return true;
}

bool bjson_raw_current_type(const buf_t *buf, bjson_val_type *type) {
    if (buf->pos == buf->last) return false;
    bjson_val_type t = tag_type(*buf->pos);
    if (t == BJSON_NONE) return false;
    *type = t;
    return true;
}
