// Byte-level pieces of the binary JSON form shared by the tree codec (binary_json.cpp) and the
// streamed codec (binary_json_raw.cpp). Not an interface for other modules.
//
// Writers put bytes at a pointer the caller has made room for (sizes come from the *_size
// helpers). Readers take a cursor and an end and never read past the end.
#pragma once

#include "bjson/binary_json.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bjson_wire {

constexpr uint8_t TAG_NULL = 0x00;
constexpr uint8_t TAG_TRUE = 0x01;
constexpr uint8_t TAG_FALSE = 0x02;
constexpr uint8_t TAG_I8 = 0x03;
constexpr uint8_t TAG_I16 = 0x04;
constexpr uint8_t TAG_I32 = 0x05;
constexpr uint8_t TAG_I64 = 0x06;
constexpr uint8_t TAG_FLOAT = 0x07;
constexpr uint8_t TAG_DOUBLE = 0x08;
constexpr uint8_t TAG_U64 = 0x09;
constexpr uint8_t TAG_NEG_SMALL = 0x10; // 0x10..0x1F: minus the low nibble
constexpr uint8_t TAG_POS_SMALL = 0x20; // 0x20..0x3F: the low five bits
constexpr uint8_t KIND_STRING = 0x40;
constexpr uint8_t KIND_OBJECT = 0x80;
constexpr uint8_t KIND_ARRAY = 0xC0;
constexpr uint8_t KIND_MASK = 0xC0;
constexpr uint8_t LEN_MORE = 0x20; // bit 5 of a length tag: LEB128 of length >> 5 follows
constexpr uint8_t LEN_LOW = 0x1F;  // the low five bits of the length in the tag

// ---- numbers ----

inline size_t int_size(int64_t v) {
    if (v >= -15 && v <= 31) return 1;
    if (v >= INT8_MIN && v <= INT8_MAX) return 2;
    if (v >= INT16_MIN && v <= INT16_MAX) return 3;
    if (v >= INT32_MIN && v <= INT32_MAX) return 5;
    return 9;
}

inline uint8_t *put_le(uint8_t *p, uint64_t v, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        *p++ = static_cast<uint8_t>(v >> (8 * i));
    return p;
}

inline uint64_t get_le(const uint8_t *p, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i)
        v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

// The first signed form that holds v.
inline uint8_t *put_int(uint8_t *p, int64_t v) {
    auto bits = static_cast<uint64_t>(v);
    switch (int_size(v)) {
    case 1:
        *p++ = v >= 0 ? static_cast<uint8_t>(TAG_POS_SMALL + v)
                      : static_cast<uint8_t>(TAG_NEG_SMALL - v);
        return p;
    case 2:
        *p++ = TAG_I8;
        return put_le(p, bits, 1);
    case 3:
        *p++ = TAG_I16;
        return put_le(p, bits, 2);
    case 5:
        *p++ = TAG_I32;
        return put_le(p, bits, 4);
    default:
        *p++ = TAG_I64;
        return put_le(p, bits, 8);
    }
}

inline uint8_t *put_u64(uint8_t *p, uint64_t v) {
    *p++ = TAG_U64;
    return put_le(p, v, 8);
}

inline uint8_t *put_float(uint8_t *p, float f) {
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    *p++ = TAG_FLOAT;
    return put_le(p, bits, 4);
}

inline uint8_t *put_double(uint8_t *p, double d) {
    uint64_t bits;
    memcpy(&bits, &d, sizeof bits);
    *p++ = TAG_DOUBLE;
    return put_le(p, bits, 8);
}

// ---- lengths and counts ----

inline size_t len_size(uint64_t n) {
    size_t size = 1;
    for (n >>= 5; n != 0; n >>= 7)
        ++size;
    return size;
}

inline uint8_t *put_len(uint8_t *p, uint8_t kind, uint64_t n) {
    if (n <= LEN_LOW) {
        *p++ = static_cast<uint8_t>(kind | n);
        return p;
    }
    *p++ = static_cast<uint8_t>(kind | LEN_MORE | (n & LEN_LOW));
    for (n >>= 5; n > 0x7F; n >>= 7)
        *p++ = static_cast<uint8_t>((n & 0x7F) | 0x80);
    *p++ = static_cast<uint8_t>(n);
    return p;
}

// The length or count of a string, object or array whose tag is already consumed. False when
// bytes are missing or the value does not fit in 64 bits.
inline bool get_len(const uint8_t *&p, const uint8_t *end, uint8_t tag, uint64_t *n) {
    uint64_t value = tag & LEN_LOW;
    if ((tag & LEN_MORE) != 0) {
        for (unsigned shift = 5;; shift += 7) {
            if (p == end) return false;
            uint8_t b = *p++;
            uint64_t bits = b & 0x7F;
            if (shift >= 64 || (bits >> (64 - shift)) != 0) return false;
            value |= bits << shift;
            if ((b & 0x80) == 0) break;
        }
    }
    *n = value;
    return true;
}

// ---- the key-length table ----

// Nibbles of one key length (base-8 digits); a length of 0 has no form.
inline size_t key_nibbles(uint64_t len) {
    size_t n = 0;
    for (; len != 0; len >>= 3)
        ++n;
    return n;
}

// Packs nibbles two to a byte, the earlier one high.
struct nibble_writer {
    uint8_t *p;
    int pending = -1;

    void put(uint8_t nib) {
        if (pending < 0) {
            pending = nib;
            return;
        }
        *p++ = static_cast<uint8_t>((pending << 4) | nib);
        pending = -1;
    }
    void put_length(uint64_t len) {
        for (; len != 0; len >>= 3)
            put(static_cast<uint8_t>(len < 8 ? len : ((len & 7) | 8)));
    }
    uint8_t *finish() {
        if (pending >= 0) *p++ = static_cast<uint8_t>(pending << 4);
        pending = -1;
        return p;
    }
};

// Longest key a table can describe, and the most digits such a length takes.
constexpr uint64_t KEY_LEN_MAX = UINT32_MAX;
constexpr unsigned KEY_DIGITS_MAX = 11;

// Reads nibbles of a table, high half of each byte first.
struct nibble_reader {
    const uint8_t *p;
    const uint8_t *end;
    bool low = false; // the next nibble is the low half of *p

    bool next(uint8_t *nib) {
        if (p == end) return false;
        if (!low) {
            *nib = static_cast<uint8_t>(*p >> 4);
            low = true;
        } else {
            *nib = static_cast<uint8_t>(*p++ & 0x0F);
            low = false;
        }
        return true;
    }
    // One whole key length; false for a missing nibble, a length of 0 or one above 2^32 - 1.
    bool length(uint32_t *len) {
        uint64_t v = 0;
        for (unsigned digit = 0;; ++digit) {
            uint8_t nib;
            if (digit == KEY_DIGITS_MAX || !next(&nib)) return false;
            v |= static_cast<uint64_t>(nib & 7) << (3 * digit);
            if ((nib & 8) == 0) break;
        }
        if (v == 0 || v > KEY_LEN_MAX) return false;
        *len = static_cast<uint32_t>(v);
        return true;
    }
    // The table's end: past a half-used last byte.
    const uint8_t *table_end() const { return low ? p + 1 : p; }
};

// Scans the table of n keys starting at p and gives its end; false when it runs past end or a
// length is 0 or too long.
inline bool table_span(const uint8_t *p, const uint8_t *end, uint64_t n,
                       const uint8_t **table_end) {
    nibble_reader r{p, end};
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t len;
        if (!r.length(&len)) return false;
    }
    *table_end = r.table_end();
    return true;
}

// ---- scalars ----

// A double narrowed to a float; magnitudes beyond the float range become infinities (a plain
// conversion of such a value is undefined).
inline float to_float(double d) {
    if (d > FLT_MAX) return HUGE_VALF;
    if (d < -FLT_MAX) return -HUGE_VALF;
    return static_cast<float>(d);
}

// A decoded number of any numeric tag.
struct number {
    bjson_val_type type; // BJSON_INT, BJSON_UINT, BJSON_FLOAT or BJSON_DOUBLE
    int64_t i;
    uint64_t u;
    float f;
    double d;
};

// Bytes that follow a fixed-size tag (0..9 and the small integers); -1 for other tags.
inline int fixed_payload(uint8_t tag) {
    static constexpr int sizes[10] = {0, 0, 0, 1, 2, 4, 8, 4, 8, 8};
    if (tag < 10) return sizes[tag];
    if (tag >= TAG_NEG_SMALL && tag < KIND_STRING) return 0;
    return -1;
}

// Decodes a numeric tag and its payload; false for another tag or missing bytes.
inline bool get_number(const uint8_t *&p, const uint8_t *end, number *num) {
    if (p == end) return false;
    uint8_t tag = *p;
    int payload = fixed_payload(tag);
    if (payload < 0 || tag <= TAG_FALSE || end - p - 1 < payload) return false;
    const uint8_t *q = p + 1;
    *num = number{BJSON_INT, 0, 0, 0, 0};
    switch (tag) {
    case TAG_I8:
        num->i = static_cast<int8_t>(q[0]);
        break;
    case TAG_I16:
        num->i = static_cast<int16_t>(get_le(q, 2));
        break;
    case TAG_I32:
        num->i = static_cast<int32_t>(get_le(q, 4));
        break;
    case TAG_I64:
        num->i = static_cast<int64_t>(get_le(q, 8));
        break;
    case TAG_FLOAT: {
        auto bits = static_cast<uint32_t>(get_le(q, 4));
        num->type = BJSON_FLOAT;
        memcpy(&num->f, &bits, sizeof bits);
        break;
    }
    case TAG_DOUBLE: {
        uint64_t bits = get_le(q, 8);
        num->type = BJSON_DOUBLE;
        memcpy(&num->d, &bits, sizeof bits);
        break;
    }
    case TAG_U64:
        num->type = BJSON_UINT;
        num->u = get_le(q, 8);
        break;
    default:
        num->i = tag < TAG_POS_SMALL ? -static_cast<int64_t>(tag & 0x0F) : (tag & LEN_LOW);
        break;
    }
    if (num->type == BJSON_INT) num->u = static_cast<uint64_t>(num->i);
    p = q + payload;
    return true;
}

// The tree kind of a tag; BJSON_NONE for an unassigned tag.
inline bjson_val_type tag_type(uint8_t tag) {
    switch (tag & KIND_MASK) {
    case KIND_STRING:
        return BJSON_STRING;
    case KIND_OBJECT:
        return BJSON_OBJECT;
    case KIND_ARRAY:
        return BJSON_ARRAY;
    default:
        break;
    }
    if (tag == TAG_NULL) return BJSON_NULL;
    if (tag <= TAG_FALSE) return BJSON_BOOL;
    if (tag == TAG_FLOAT) return BJSON_FLOAT;
    if (tag == TAG_DOUBLE) return BJSON_DOUBLE;
    if (tag == TAG_U64) return BJSON_UINT;
    if (tag < TAG_FLOAT || tag >= TAG_NEG_SMALL) return BJSON_INT;
    return BJSON_NONE; // 0x0A..0x0F
}

} // namespace bjson_wire
