// JSON values in memory, and their compact binary wire form (whole trees).
//
// A value is a tree of bjson_val_t records. Objects keep their members in the shared hash table
// (keyed by the member's own `key`, hashed with SipHash-1-2 under the zero key), so the member
// order of both codecs is the table's iteration order, not the order of insertion. Arrays keep
// their elements in a growable pointer array.
//
// Text (string payloads and member names) is either owned (copied, NUL-terminated, the value's
// flag set) or borrowed (the caller keeps the bytes alive as long as the value). Every operation
// that stores text takes a `copy` flag for that choice.
//
// Wire form, one tag byte per value, multi-byte numbers little-endian:
//   0x00 null, 0x01 true, 0x02 false, 0x03..0x06 signed 1/2/4/8 bytes, 0x07 float, 0x08 double,
//   0x09 unsigned 8 bytes, 0x10..0x1F minus the low nibble, 0x20..0x3F the low five bits,
//   0x40.. string, 0x80.. object, 0xC0.. array: low five bits of the length, bit 5 "LEB128 of
//   length >> 5 follows". An object's count is followed by the key-length table (base-8 digits
//   in nibbles, least significant first, bit 3 "another digit follows"), then each key's bytes
//   and its value. 0x0A..0x0F are never valid.
#pragma once

#include "core/buf.h"
#include "dict/dict.h"

#include <cstddef>
#include <cstdint>

enum bjson_val_type : uint32_t {
    BJSON_NONE = 0, // never produced; the codecs write nothing for it
    BJSON_NULL = 1,
    BJSON_BOOL = 2, // stored in the integer slot as 0 or 1
    BJSON_INT = 3,
    BJSON_UINT = 4,
    BJSON_FLOAT = 5,
    BJSON_DOUBLE = 6,
    BJSON_STRING = 7,
    BJSON_OBJECT = 8,
    BJSON_ARRAY = 9,
    BJSON_BYTES = 10, // never produced; the codecs write nothing for it
};

// Deepest nesting either decoder (and the raw skip) accepts; deeper input fails cleanly.
constexpr int BJSON_MAX_DEPTH = 256;

// A byte string. Owned text holds len + 1 bytes, the last one NUL.
struct bjson_str_t {
    size_t len; // bytes, without a terminator
    char *data; // the bytes; null for none
};

struct bjson_val_t;

struct bjson_arr_t {
    bjson_val_t **arr; // the element pointers
    uint32_t cap;      // slots allocated
    uint32_t len;      // slots used
};

// The hash table of an object: key = pointer to the member's `key`, value = the member.
using bjson_dict_t = dict;

struct bjson_val_t {
    bjson_val_type type; // kind of value
    bool key_alloc;      // the value owns key.data
    bool val_alloc;      // the value owns its string text, pointer array or table
    bjson_str_t key;     // member name while the value belongs to an object, else empty
    union {
        int64_t i;         // BJSON_INT, BJSON_BOOL (0 or 1)
        uint64_t u;        // BJSON_UINT
        double d;          // BJSON_DOUBLE
        float f;           // BJSON_FLOAT
        bjson_str_t s;     // BJSON_STRING
        bjson_arr_t list;  // BJSON_ARRAY
        bjson_dict_t *map; // BJSON_OBJECT
    };
};

// ---- creation and release ----

// A new BJSON_NULL value; null when memory runs out.
bjson_val_t *bjson_create();
// A new empty object whose table is pre-sized for cap members; null on failure.
bjson_val_t *bjson_create_object(uint32_t cap);
// A new empty array with cap slots; null on failure.
bjson_val_t *bjson_create_array(uint32_t cap);
// Frees an owned key, the contents (as bjson_set_null) and the record. Null is accepted.
void bjson_free(bjson_val_t *val);

// ---- setting a value in place (the old contents are released; the key stays) ----

// Frees owned text, every element or member, the pointer array or table; the value becomes
// BJSON_NULL with a zero payload.
void bjson_set_null(bjson_val_t *val);
void bjson_set_int(bjson_val_t *val, int64_t v);
void bjson_set_uint(bjson_val_t *val, uint64_t v);
void bjson_set_bool(bjson_val_t *val, bool v);
void bjson_set_float(bjson_val_t *val, float v);
void bjson_set_double(bjson_val_t *val, double v);
// Copies len bytes (plus a NUL) or borrows them. The new text is prepared before the old is
// released, so data may point into the value's own old text. False when the copy cannot be
// allocated (the value is then BJSON_NULL).
[[nodiscard]] bool bjson_set_string(bjson_val_t *val, const char *data, size_t len, bool copy);
// An object stays as it is (true). Otherwise an empty object pre-sized for cap members.
[[nodiscard]] bool bjson_set_object(bjson_val_t *val, uint32_t cap);
// An array stays as it is (true). Otherwise an empty array with cap slots; on failure the value
// is BJSON_NULL and the result false.
[[nodiscard]] bool bjson_set_array(bjson_val_t *val, uint32_t cap);
// Replaces the key (copied or borrowed); the old owned key is freed after the new is in place.
// Must not be called on a value while it is a member of an object.
[[nodiscard]] bool bjson_set_key(bjson_val_t *val, const char *key, size_t len, bool copy);

// ---- reading a value (never fails; a kind that does not fit gives 0) ----

int64_t bjson_get_int(const bjson_val_t *val);   // floats truncated toward zero
uint64_t bjson_get_uint(const bjson_val_t *val); // floats truncated toward zero
bool bjson_get_bool(const bjson_val_t *val);     // numbers non-zero; NaN is true
float bjson_get_float(const bjson_val_t *val);
double bjson_get_double(const bjson_val_t *val);
const char *bjson_get_string(const bjson_val_t *val); // the text of a string, else null
size_t bjson_string_len(const bjson_val_t *val);      // its length, else 0
size_t bjson_object_len(const bjson_val_t *val);      // members of an object, else 0
uint32_t bjson_array_len(const bjson_val_t *val);     // elements of an array, else 0

// ---- objects (the member name is a NUL-terminated string; a non-object fails) ----

// The member, or null.
bjson_val_t *bjson_object_get(const bjson_val_t *obj, const char *key);
// Typed lookups: store into the output only on success. int/uint accept BJSON_INT and
// BJSON_UINT (the 64 bits unchanged); bool only BJSON_BOOL; float only BJSON_FLOAT; double only
// BJSON_DOUBLE; string only BJSON_STRING with text. Another kind counts as missing.
[[nodiscard]] bool bjson_object_get_int(const bjson_val_t *obj, const char *key, int64_t *out);
[[nodiscard]] bool bjson_object_get_uint(const bjson_val_t *obj, const char *key, uint64_t *out);
[[nodiscard]] bool bjson_object_get_bool(const bjson_val_t *obj, const char *key, bool *out);
[[nodiscard]] bool bjson_object_get_float(const bjson_val_t *obj, const char *key, float *out);
[[nodiscard]] bool bjson_object_get_double(const bjson_val_t *obj, const char *key, double *out);
[[nodiscard]] bool bjson_object_get_string(const bjson_val_t *obj, const char *key,
                                           const char **data, size_t *len);
// Removes and frees the member; a missing member is no error. False for a non-object.
bool bjson_object_del(bjson_val_t *obj, const char *key);
// Gives val the key (copied or borrowed) and puts it in the object, replacing and then freeing
// a member of that name. The replacement is prepared first: a borrowed key or borrowed text
// that points into the old member is copied before the old member goes, and setting the member
// that is already there is a no-op. False for a non-object, a null val, or a failed copy; the
// object is then unchanged and val still belongs to the caller.
[[nodiscard]] bool bjson_object_set(bjson_val_t *obj, const char *key, bool copy_key,
                                    bjson_val_t *val);
// Create a member of that kind, add it with bjson_object_set and return it; null on failure
// (the new member is freed, the object unchanged).
bjson_val_t *bjson_object_set_null(bjson_val_t *obj, const char *key, bool copy_key);
bjson_val_t *bjson_object_set_bool(bjson_val_t *obj, const char *key, bool copy_key, bool v);
bjson_val_t *bjson_object_set_int(bjson_val_t *obj, const char *key, bool copy_key, int64_t v);
bjson_val_t *bjson_object_set_uint(bjson_val_t *obj, const char *key, bool copy_key, uint64_t v);
bjson_val_t *bjson_object_set_float(bjson_val_t *obj, const char *key, bool copy_key, float v);
bjson_val_t *bjson_object_set_double(bjson_val_t *obj, const char *key, bool copy_key, double v);
bjson_val_t *bjson_object_set_string(bjson_val_t *obj, const char *key, bool copy_key,
                                     const char *data, size_t len, bool copy);
bjson_val_t *bjson_object_set_object(bjson_val_t *obj, const char *key, bool copy_key,
                                     uint32_t cap);
bjson_val_t *bjson_object_set_array(bjson_val_t *obj, const char *key, bool copy_key, uint32_t cap);
// Calls fn for each member in table order until fn returns false; false in that case or for a
// non-object. fn must not add or remove members.
bool bjson_object_foreach(const bjson_val_t *obj, bool (*fn)(bjson_val_t *member, void *ctx),
                          void *ctx);

// ---- arrays (a non-array fails) ----

// Element i, or null when i is not below the length.
bjson_val_t *bjson_array_get(const bjson_val_t *arr, uint32_t i);
// Appends, doubling the slots when full (an array without slots gets 4). False for a null val
// or a failed reallocation (the array unchanged, val still the caller's).
[[nodiscard]] bool bjson_array_add(bjson_val_t *arr, bjson_val_t *val);
// Puts val in slot i and then frees the old element (a no-op when val is that element). False
// when i is not below the length or val is null.
[[nodiscard]] bool bjson_array_set(bjson_val_t *arr, uint32_t i, bjson_val_t *val);
// Frees element i and moves the later ones down; an index past the end is no error.
bool bjson_array_del(bjson_val_t *arr, uint32_t i);
// Create, append and return the new element; null on failure (the element freed).
bjson_val_t *bjson_array_add_null(bjson_val_t *arr);
bjson_val_t *bjson_array_add_bool(bjson_val_t *arr, bool v);
bjson_val_t *bjson_array_add_int(bjson_val_t *arr, int64_t v);
bjson_val_t *bjson_array_add_uint(bjson_val_t *arr, uint64_t v);
bjson_val_t *bjson_array_add_float(bjson_val_t *arr, float v);
bjson_val_t *bjson_array_add_double(bjson_val_t *arr, double v);
bjson_val_t *bjson_array_add_string(bjson_val_t *arr, const char *data, size_t len, bool copy);
bjson_val_t *bjson_array_add_object(bjson_val_t *arr, uint32_t cap);
bjson_val_t *bjson_array_add_array(bjson_val_t *arr, uint32_t cap);
// Typed reads of element i, with the kind rules of the object lookups.
[[nodiscard]] bool bjson_array_get_int(const bjson_val_t *arr, uint32_t i, int64_t *out);
[[nodiscard]] bool bjson_array_get_uint(const bjson_val_t *arr, uint32_t i, uint64_t *out);
[[nodiscard]] bool bjson_array_get_bool(const bjson_val_t *arr, uint32_t i, bool *out);
[[nodiscard]] bool bjson_array_get_float(const bjson_val_t *arr, uint32_t i, float *out);
[[nodiscard]] bool bjson_array_get_double(const bjson_val_t *arr, uint32_t i, double *out);
[[nodiscard]] bool bjson_array_get_string(const bjson_val_t *arr, uint32_t i, const char **data,
                                          size_t *len);

// ---- strings ----

// Allocates len + 1 bytes into str, copies data when it is not null, terminates. False on
// allocation failure (str untouched).
[[nodiscard]] bool bjson_str_init(bjson_str_t *str, const char *data, size_t len);
// Frees text made by bjson_str_init (or an owned read of the raw reader) and clears the record.
void bjson_str_free(bjson_str_t *str);
// Both have text, equal lengths and equal bytes.
bool bjson_str_equals(const bjson_str_t *a, const bjson_str_t *b);
bool bjson_str_equals_str(const bjson_str_t *str, const char *data, size_t len);

// Deep equality: same kinds, payloads (doubles and floats bitwise), elements in order and
// members by name. BJSON_INT and BJSON_UINT with the same 64 bits are equal (the binary form
// carries small unsigned numbers in signed forms). Keys of a and b themselves are not compared.
bool bjson_equals(const bjson_val_t *a, const bjson_val_t *b);

// ---- the binary form of a whole tree ----

// Exact encoded size in bytes; 0 for null, BJSON_NONE, or a tree the encoder refuses (an
// object member with an empty key or longer than 2^32 - 1 bytes, a container too large).
size_t bjson_get_encode_size(const bjson_val_t *val);
// One allocation of the exact size, handed to the caller (free with free()). False on a null
// argument, a size of 0, or a failure.
[[nodiscard]] bool bjson_encode(const bjson_val_t *val, uint8_t **buffer, size_t *size);
// Appends the encoding to buf (storage of exactly the needed size when it has none). On failure
// the write position is restored and the result is false.
[[nodiscard]] bool bjson_encode_with_buf(const bjson_val_t *val, buf_t *buf);
// Decodes one value that occupies buffer[0, size) exactly. With copy false every string and key
// points into buffer, which must outlive the tree. Counts and lengths are checked against the
// bytes that remain before anything is allocated; nesting is limited to BJSON_MAX_DEPTH; an
// object with a duplicate or empty key fails. On failure nothing is left allocated.
[[nodiscard]] bool bjson_decode(bjson_val_t **val, const uint8_t *buffer, size_t size, bool copy);
