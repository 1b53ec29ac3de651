// The length-counted string of the whole system, its comparisons and Base64.
//
// A string made by ngx_str_init (or copy/update) owns a heap copy of len + 1 bytes whose last
// byte is 0, so its text can also be handed to C APIs. A string that points into a buffer owns
// nothing and must not be freed with ngx_str_free.
#pragma once

#include <cstddef>
#include <cstdint>

struct ngx_str_t {
    size_t len;    // size of the text in bytes, without the terminating 0
    uint8_t *data; // the text; null when the string is empty and owns nothing
};

// Makes `str` own a zeroed copy of len + 1 bytes and copies `data` into it when data is not
// null. Fails, leaving `str` unchanged, when it already holds text (a non-zero length, or an
// owned empty text) or when the allocation fails.
[[nodiscard]] bool ngx_str_init(ngx_str_t *str, const void *data, size_t len);
// ngx_str_init from another string.
[[nodiscard]] bool ngx_str_copy(ngx_str_t *dst, const ngx_str_t *src);
// Replaces the text of `str` by a copy of `src`. On failure `str` is left empty.
[[nodiscard]] bool ngx_str_update(ngx_str_t *str, const ngx_str_t *src);
// Frees the owned text and clears the record; null is ignored.
void ngx_str_free(ngx_str_t *str);
// A zeroed string record on the heap; null on allocation failure.
ngx_str_t *ngx_str_new();
// Frees the owned text and the record made by ngx_str_new; null is ignored.
void ngx_str_delete(ngx_str_t *str);

// Byte equality. False when either string or its data is absent or the lengths differ.
bool ngx_str_equals(const ngx_str_t *a, const ngx_str_t *b);
// Equality of host names: each byte is compared after mapping '-', '.', digits and letters
// (upper case to lower case) through the domain table; every other byte maps to 0, so such bytes
// compare equal to each other. Absent strings or data, or different lengths, are unequal.
bool ngx_str_equals_nocase(const ngx_str_t *a, const ngx_str_t *b);

// Room a destination needs for the Base64 form of `len` bytes, and for the decoded form of
// `len` Base64 characters.
constexpr size_t ngx_base64_encoded_length(size_t len) {
    return (len + 2) / 3 * 4;
}
constexpr size_t ngx_base64_decoded_length(size_t len) {
    return (len + 3) / 4 * 3;
}

// Standard Base64 with '=' padding into dst->data, which must have room for
// ngx_base64_encoded_length(src->len) bytes; sets dst->len.
void ngx_encode_base64(ngx_str_t *dst, const ngx_str_t *src);
// Decodes src into dst->data (room for ngx_base64_decoded_length(src->len) bytes) and sets
// dst->len. Decoding stops at the first '='; an empty source, or one starting with '=', gives an
// empty result. Returns -1 (dst->len 0) for a byte outside the alphabet before the first '=' or
// when that part's length modulo 4 is 1, else 0.
int ngx_decode_base64(ngx_str_t *dst, const ngx_str_t *src);
