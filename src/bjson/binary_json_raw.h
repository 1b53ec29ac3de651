// Streamed binary JSON: writers that append values straight to a send buffer and readers that
// consume replies in place, without building a tree (the wire form is described in
// binary_json.h).
//
// Writers append to buf (growing it) and return false only when memory runs out; a failed write
// leaves nothing of the value behind. Readers consume from buf->pos up to buf->last and return
// false on a wrong tag or when the input ends early; after a false result the read position is
// not meaningful and the message is abandoned.
//
// To write an object: bjson_raw_write_object (or _by_array) writes the tag, count and key-length
// table; then, for each member in the same order, bjson_raw_write_object_key and the value.
// To read one: bjson_raw_read_object, then for each member bjson_raw_read_object_key and a
// reader (or bjson_raw_read_skip) for its value.
#pragma once

#include "bjson/binary_json.h"
#include "core/buf.h"

#include <cstddef>
#include <cstdint>

// State of a streamed object read.
struct bjson_raw_object_ctx_t {
    size_t len;        // members of the object
    buf_t key_len_buf; // spans the key-length table inside the input (owns nothing)
    uint32_t count;    // keys read so far
    uint32_t key_len;  // length being assembled
    uint32_t c;        // digits of it read so far
    int16_t half;      // pending low nibble of the last table byte, -1 for none
};

// ---- writers ----

[[nodiscard]] bool bjson_raw_write_null(buf_t *buf);             // 0x00
[[nodiscard]] bool bjson_raw_write_bool(buf_t *buf, bool b);     // 0x01 / 0x02
[[nodiscard]] bool bjson_raw_write_int(buf_t *buf, int64_t v);   // smallest signed form
[[nodiscard]] bool bjson_raw_write_uint(buf_t *buf, uint64_t v); // unsigned ranges, 0x09
[[nodiscard]] bool bjson_raw_write_float(buf_t *buf, float f);   // 0x07 and 4 bytes
[[nodiscard]] bool bjson_raw_write_double(buf_t *buf, double d); // 0x08 and 8 bytes
[[nodiscard]] bool bjson_raw_write_string(buf_t *buf, const char *data, size_t len);
// The array tag with its count; the caller then writes n values.
[[nodiscard]] bool bjson_raw_write_array(buf_t *buf, size_t n);
// The object tag with its count and the complete key-length table, from n NUL-terminated keys
// given as further arguments (const char *). False for an empty key (it has no form).
[[nodiscard]] bool bjson_raw_write_object(buf_t *buf, size_t n, ...);
// The same from n key lengths; false for a length of 0.
[[nodiscard]] bool bjson_raw_write_object_by_array(buf_t *buf, size_t n, const uint32_t *lengths);
// A key's bytes only, in the order of the table.
[[nodiscard]] bool bjson_raw_write_object_key(buf_t *buf, const char *key, size_t len);

// ---- readers ----

[[nodiscard]] bool bjson_raw_read_null(buf_t *buf);
[[nodiscard]] bool bjson_raw_read_bool(buf_t *buf, bool *b);
// Every integer tag, 0x07, 0x08, 0x09: floats truncated toward zero (saturated outside the
// range), 0x09 as its 64 bits.
[[nodiscard]] bool bjson_raw_read_int(buf_t *buf, int64_t *v);
// The same; floats of 2^63 or more converted as unsigned.
[[nodiscard]] bool bjson_raw_read_uint(buf_t *buf, uint64_t *v);
// Every numeric tag, converted.
[[nodiscard]] bool bjson_raw_read_float(buf_t *buf, float *f);
[[nodiscard]] bool bjson_raw_read_double(buf_t *buf, double *d);
// A string: copied (owned, NUL-terminated; free with bjson_str_free) or pointing into buf.
[[nodiscard]] bool bjson_raw_read_string(buf_t *buf, bjson_str_t *str, bool copy);
// An array tag: its element count (at most the bytes that remain); the elements follow.
[[nodiscard]] bool bjson_raw_read_array_len(buf_t *buf, size_t *n);
// An object tag: fills ctx and leaves the read position at the first key. False when the count
// exceeds the bytes that remain or the table runs past the input.
[[nodiscard]] bool bjson_raw_read_object(buf_t *buf, bjson_raw_object_ctx_t *ctx);
// The next key, copied or pointing into buf; false after the last key, for a key length of 0
// or of 2^32 or more, or when the key's bytes are missing. The member's value follows.
[[nodiscard]] bool bjson_raw_read_object_key(buf_t *buf, bjson_raw_object_ctx_t *ctx,
                                             bjson_str_t *key, bool copy);
// Steps over one whole value (nesting limited to BJSON_MAX_DEPTH); allocates nothing.
[[nodiscard]] bool bjson_raw_read_skip(buf_t *buf);
// The kind of the next value, as the tree decoder would give it, without consuming it. False
// at the end of input or for an unassigned tag.
[[nodiscard]] bool bjson_raw_current_type(const buf_t *buf, bjson_val_type *type);
