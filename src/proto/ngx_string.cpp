#include "proto/ngx_string.h"

#include <cstdlib>
#include <cstring>

namespace {

// Host-name characters: '-', '.', digits and lower-case letters map to themselves, upper case
// maps to lower case, everything else to 0.
constexpr uint8_t domain_char(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c | 0x20);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.') return c;
    return 0;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 character, or 64 for a byte outside the alphabet.
constexpr uint8_t base64_value(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 64;
}

} // namespace

bool ngx_str_init(ngx_str_t *str, const void *data, size_t len) {
    // An owned empty text has data but no length: refusing it too keeps a second init from
    // dropping (and leaking) the first copy.
    if (str == nullptr || str->len != 0 || str->data != nullptr || len == SIZE_MAX) return false;
    auto *p = static_cast<uint8_t *>(calloc(len + 1, 1));
    if (p == nullptr) return false;
    if (data != nullptr && len > 0) memcpy(p, data, len);
    str->data = p;
    str->len = len;
    return true;
}

bool ngx_str_copy(ngx_str_t *dst, const ngx_str_t *src) {
    if (src == nullptr) return false;
    return ngx_str_init(dst, src->data, src->len);
}

bool ngx_str_update(ngx_str_t *str, const ngx_str_t *src) {
    if (str == nullptr || src == nullptr) return false;
    if (str == src) return true;
    ngx_str_free(str);
    return ngx_str_copy(str, src);
}

void ngx_str_free(ngx_str_t *str) {
    if (str == nullptr) return;
    free(str->data);
    str->data = nullptr;
    str->len = 0;
}

ngx_str_t *ngx_str_new() {
    return static_cast<ngx_str_t *>(calloc(1, sizeof(ngx_str_t)));
}

void ngx_str_delete(ngx_str_t *str) {
    if (str == nullptr) return;
    free(str->data);
    free(str);
}

bool ngx_str_equals(const ngx_str_t *a, const ngx_str_t *b) {
    if (a == nullptr || b == nullptr || a->data == nullptr || b->data == nullptr) return false;
    if (a->len != b->len) return false;
    return memcmp(a->data, b->data, a->len) == 0;
}

bool ngx_str_equals_nocase(const ngx_str_t *a, const ngx_str_t *b) {
    if (a == nullptr || b == nullptr || a->data == nullptr || b->data == nullptr) return false;
    if (a->len != b->len) return false;
    for (size_t i = 0; i < a->len; i++) {
        if (domain_char(a->data[i]) != domain_char(b->data[i])) return false;
    }
    return true;
}

void ngx_encode_base64(ngx_str_t *dst, const ngx_str_t *src) {
    const uint8_t *s = src->data;
    size_t len = src->len;
    uint8_t *d = dst->data;
    while (len >= 3) {
        *d++ = kBase64[s[0] >> 2];
        *d++ = kBase64[((s[0] & 0x03) << 4) | (s[1] >> 4)];
        *d++ = kBase64[((s[1] & 0x0F) << 2) | (s[2] >> 6)];
        *d++ = kBase64[s[2] & 0x3F];
        s += 3;
        len -= 3;
    }
    if (len > 0) {
        *d++ = kBase64[s[0] >> 2];
        if (len == 1) {
            *d++ = kBase64[(s[0] & 0x03) << 4];
            *d++ = '=';
        } else {
            *d++ = kBase64[((s[0] & 0x03) << 4) | (s[1] >> 4)];
            *d++ = kBase64[(s[1] & 0x0F) << 2];
        }
        *d++ = '=';
    }
    dst->len = static_cast<size_t>(d - dst->data);
}

int ngx_decode_base64(ngx_str_t *dst, const ngx_str_t *src) {
    dst->len = 0;
    size_t n = 0;
    while (n < src->len && src->data[n] != '=') {
        if (base64_value(src->data[n]) == 64) return -1;
        n++;
    }
    if (n % 4 == 1) return -1;
    const uint8_t *s = src->data;
    uint8_t *d = dst->data;
    while (n >= 4) {
        uint8_t v0 = base64_value(s[0]), v1 = base64_value(s[1]);
        uint8_t v2 = base64_value(s[2]), v3 = base64_value(s[3]);
        *d++ = static_cast<uint8_t>(v0 << 2 | v1 >> 4);
        *d++ = static_cast<uint8_t>(v1 << 4 | v2 >> 2);
        *d++ = static_cast<uint8_t>(v2 << 6 | v3);
        s += 4;
        n -= 4;
    }
    if (n > 1) {
        uint8_t v0 = base64_value(s[0]), v1 = base64_value(s[1]);
        *d++ = static_cast<uint8_t>(v0 << 2 | v1 >> 4);
        if (n == 3) {
            uint8_t v2 = base64_value(s[2]);
            *d++ = static_cast<uint8_t>(v1 << 4 | v2 >> 2);
        }
    }
    dst->len = static_cast<size_t>(d - dst->data);
    return 0;
}
